// cli.h - tolvadm's command line: commands with options and callbacks. Only
// cli.cpp compiles the parser (CLI11), so the command files stay cheap to compile.
//
// Commands and options are handles owned by the root Command; the pointers the
// add_* functions return stay valid as long as the root does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tolvadm {

// Thrown by a callback when the values given do not go together: reported
// like any other bad command line (exit status 2).
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};
// Thrown by a callback that has done all there is to do (--version): exit status 0.
struct Finished {};

class Option {
public:
    Option *required();
    // The value must be one of names.
    Option *check_member(std::initializer_list<const char *> names);
    // The value must lie in [lo, hi].
    Option *check_range(int lo, int hi);
    Option *check_range(int64_t lo, int64_t hi);
    Option *excludes(Option *other);
    // The environment variable read when the option is not given.
    Option *envname(const std::string &name);
    // Given on the command line (or through its environment variable).
    explicit operator bool() const;

private:
    friend class Command;
    explicit Option(void *impl) : impl_(impl) {}
    void *impl_;
};

class Command {
public:
    // The root: the whole command line of the program called name.
    Command(const std::string &description, const std::string &name);
    ~Command();
    Command(const Command &) = delete;
    Command &operator=(const Command &) = delete;

    Command *add_subcommand(const std::string &name, const std::string &description);
    Option *add_option(const std::string &name, std::string &into, const std::string &description = "");
    Option *add_option(const std::string &name, int32_t &into, const std::string &description = "");
    Option *add_option(const std::string &name, uint32_t &into, const std::string &description = "");
    Option *add_option(const std::string &name, int64_t &into, const std::string &description = "");
    Option *add_option(const std::string &name, std::vector<std::string> &into,
                       const std::string &description = "");
    Option *add_flag(const std::string &name, bool &into, const std::string &description = "");
    // A flag that runs f as soon as it is seen.
    Option *add_flag_callback(const std::string &name, std::function<void()> f, const std::string &description);
    // Runs f when this command was given, after its options are parsed.
    Command *callback(std::function<void()> f);
    Command *require_subcommand(int n);
    // Exactly this many of the options must be given.
    Command *require_option(int n);
    // Options of the parents are accepted after this command too.
    Command *fallthrough();
    Command *footer(const std::string &text);

    // Parses the command line and runs the callbacks of the commands given.
    // Returns the exit status when the command line stopped the program (help,
    // a usage error, Finished; already printed), nothing when the callbacks
    // ran. Exceptions of the callbacks other than UsageError and Finished pass through.
    std::optional<int> parse(int argc, char **argv);

private:
    struct Parts;
    Command(void *impl, Parts *parts);
    void *impl_;
    Parts *parts_;
    std::unique_ptr<Parts> owned_;  // the root's
};

}  // namespace tolvadm
