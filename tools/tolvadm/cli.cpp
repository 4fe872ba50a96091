// cli.cpp - tolvadm's command line over CLI11: the one place that compiles it.
#include "cli.h"

#include <CLI/CLI.hpp>

#include <deque>
#include <iostream>

#include "tolvadm.h"

namespace tolvadm {

struct Command::Parts {
    CLI::App app;
    std::deque<std::unique_ptr<Command>> commands;
    std::deque<std::unique_ptr<Option>> options;
    Parts(const std::string &description, const std::string &name) : app(description, name) {}
};

namespace {

CLI::App *app_of(void *impl) { return static_cast<CLI::App *>(impl); }
CLI::Option *option_of(void *impl) { return static_cast<CLI::Option *>(impl); }

// Our own exceptions become CLI11's, so a callback's usage error and a
// finished --version end the parse as CLI11's own would.
std::function<void()> translated(std::function<void()> f) {
    return [f = std::move(f)] {
        try {
            f();
        } catch (const UsageError &e) {
            throw CLI::ValidationError(e.what());
        } catch (const Finished &) {
            throw CLI::Success();
        }
    };
}

// The command that was being parsed when the command line went wrong.
CLI::App *deepest(CLI::App *app) {
    for (;;) {
        auto parsed = app->get_subcommands();
        if (parsed.empty()) return app;
        app = parsed.front();
    }
}

std::string command_names(CLI::App *app) {
    std::string names;
    for (CLI::App *sub : app->get_subcommands([](CLI::App *) { return true; }))
        names += (names.empty() ? "" : ", ") + sub->get_name();
    return names;
}

// A missing or mistyped command gets the list of the commands at that level.
int usage_error(CLI::App &app, const CLI::ParseError &e) {
    CLI::App *at = deepest(&app);
    const std::string where = at == &app ? "tolvadm" : "tolvadm " + at->get_name();
    const std::string names = command_names(at);
    const std::string what = e.what();
    if (!names.empty() && at->get_subcommands().empty() &&
        (dynamic_cast<const CLI::ExtrasError *>(&e) || what.find("subcommand") != std::string::npos)) {
        std::cerr << where << ": ";
        auto extras = at->remaining();
        if (extras.empty()) extras = app.remaining(true);
        if (!extras.empty() && !extras.front().starts_with("-"))
            std::cerr << "unknown command " << quoted_text(extras.front());
        else if (!extras.empty())
            std::cerr << "unknown option " << quoted_text(extras.front());
        else
            std::cerr << "a command is required";
        std::cerr << "; the commands are: " << names << " (" << where << " --help)\n";
        return kExitUsage;
    }
    return app.exit(e) == 0 ? 0 : kExitUsage;
}

}  // namespace

Option *Option::required() {
    option_of(impl_)->required();
    return this;
}

Option *Option::check_member(std::initializer_list<const char *> names) {
    option_of(impl_)->check(CLI::IsMember(std::vector<const char *>(names)));
    return this;
}

Option *Option::check_range(int lo, int hi) {
    option_of(impl_)->check(CLI::Range(lo, hi));
    return this;
}

Option *Option::check_range(int64_t lo, int64_t hi) {
    option_of(impl_)->check(CLI::Range(lo, hi));
    return this;
}

Option *Option::excludes(Option *other) {
    option_of(impl_)->excludes(option_of(other->impl_));
    return this;
}

Option *Option::envname(const std::string &name) {
    option_of(impl_)->envname(name);
    return this;
}

Option::operator bool() const { return static_cast<bool>(*option_of(impl_)); }

Command::Command(const std::string &description, const std::string &name)
    : owned_(std::make_unique<Parts>(description, name)) {
    parts_ = owned_.get();
    impl_ = &parts_->app;
}

Command::Command(void *impl, Parts *parts) : impl_(impl), parts_(parts) {}

Command::~Command() = default;

Command *Command::add_subcommand(const std::string &name, const std::string &description) {
    CLI::App *sub = app_of(impl_)->add_subcommand(name, description);
    return parts_->commands.emplace_back(new Command(sub, parts_)).get();
}

namespace {

template <class T>
CLI::Option *add(void *impl, const std::string &name, T &into, const std::string &description) {
    return app_of(impl)->add_option(name, into, description);
}

}  // namespace

#define TOLVADM_ADD_OPTION(T)                                                                        \
    Option *Command::add_option(const std::string &name, T &into, const std::string &description) { \
        return parts_->options.emplace_back(new Option(add(impl_, name, into, description))).get();   \
    }
TOLVADM_ADD_OPTION(std::string)
TOLVADM_ADD_OPTION(int32_t)
TOLVADM_ADD_OPTION(uint32_t)
TOLVADM_ADD_OPTION(int64_t)
TOLVADM_ADD_OPTION(std::vector<std::string>)
#undef TOLVADM_ADD_OPTION

Option *Command::add_flag(const std::string &name, bool &into, const std::string &description) {
    return parts_->options.emplace_back(new Option(app_of(impl_)->add_flag(name, into, description))).get();
}

Option *Command::add_flag_callback(const std::string &name, std::function<void()> f,
                                   const std::string &description) {
    CLI::Option *o = app_of(impl_)->add_flag_callback(name, translated(std::move(f)), description);
    return parts_->options.emplace_back(new Option(o)).get();
}

Command *Command::callback(std::function<void()> f) {
    app_of(impl_)->callback(translated(std::move(f)));
    return this;
}

Command *Command::require_subcommand(int n) {
    app_of(impl_)->require_subcommand(n);
    return this;
}

Command *Command::require_option(int n) {
    app_of(impl_)->require_option(n);
    return this;
}

Command *Command::fallthrough() {
    app_of(impl_)->fallthrough();
    return this;
}

Command *Command::footer(const std::string &text) {
    app_of(impl_)->footer(text);
    return this;
}

std::optional<int> Command::parse(int argc, char **argv) {
    CLI::App &app = *app_of(impl_);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        return usage_error(app, e);
    }
    return std::nullopt;
}

}  // namespace tolvadm
