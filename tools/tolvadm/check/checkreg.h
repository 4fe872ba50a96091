// checkreg.h - what the files of `tolvadm check` share: the registry directory
// as the checker reads and mends it, the findings it collects, and the layout
// of the registry's record files. checker.cpp holds the rules the files must
// agree on; cmd_check.cpp the command line and the report.
//
// The checker reads the files itself (the tool never links the plug-in) and
// writes repairs the way the plug-in does: a list is written to "<list>_T" in
// one go (mode 0600) and renamed over the list; an entry list left empty is
// removed. It holds the plug-in's write lock (tolvlock.h) for the whole run,
// so no plug-in operation of any host changes files meanwhile. No plug-in
// operation is called while the lock is held: the plug-in would wait for it.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "tolvfields.h"

namespace tolvadm::check {

// A file that cannot be read or written: the check stops with status 2.
struct IoError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// ---------------------------------------------------------------------------
// Names and texts.

// The plug-in's file-name rule: ':', '/' and '\' become '-'.
std::string sanitised(std::string_view name);
std::string cat(std::initializer_list<std::string_view> parts);
std::string in_quotes(std::string_view s);
bool ends_with(std::string_view s, std::string_view suffix);
std::string_view stem(std::string_view s, std::string_view suffix);

// The lines of a record file as the plug-in's 1000-byte line reader returns them.
std::vector<std::string_view> record_lines(std::string_view data);
std::vector<std::string_view> text_lines(std::string_view data);
// "line 3 " for the line at index 2.
std::string line_no(std::size_t i);

// ---------------------------------------------------------------------------
// The registry directory: the registry's "dir" string is a path prefix, so
// the files live in the directory up to its last '/' and carry the rest as
// a name prefix. Names below are always relative to the registry ("dir" + name).
struct Fd;

class Registry {
public:
    // durable: the registry's configuration says durable=true; every
    // rewrite and removal is then flushed before it counts as made.
    explicit Registry(std::string dir, bool durable = false);
    ~Registry();  // releases the lock
    Registry(const Registry &) = delete;
    Registry &operator=(const Registry &) = delete;

    const std::string &dir() const { return dir_; }
    // The directory that holds the files, and the name prefix of each.
    const std::string &folder() const { return folder_; }
    const std::string &prefix() const { return prefix_; }

    // The plug-in's write lock, held until the object goes. Shared, it keeps
    // writers out while readers (who take no lock) still go on.
    void lock(bool shared = false);
    // Collects the names of the regular files of the registry.
    void scan();

    const std::unordered_set<std::string> &names() const { return names_; }
    bool has(const std::string &name) const { return names_.count(name) != 0; }
    std::string path(std::string_view name) const { return cat({dir_, name}); }

    // The whole file; false when it is gone.
    bool read(const std::string &name, std::string &out) const;
    // Size of a file, or -1 when it is missing.
    long long size(const std::string &name) const;
    // Replaces a file the way the plug-in does: "<name>_T", mode 0600, rename.
    void replace(const std::string &name, std::string_view data);
    void remove(const std::string &name);

private:
    void flush_folder() const;
    std::string dir_, folder_, prefix_;
    bool durable_;
    struct Held;
    std::unique_ptr<Held> lock_;
    std::unordered_set<std::string> names_;
};

// ---------------------------------------------------------------------------
// Findings. A mendable finding names the file whose rewrite mends it; it is
// marked repaired once that file was written.
struct Finding {
    std::string file, problem;
    bool mendable = false;
    bool repaired = false;
};

class Findings {
public:
    explicit Findings(bool repair) : repair_(repair) {}
    bool repair() const { return repair_; }

    void left(std::string file, std::string problem) {
        list_.push_back({std::move(file), std::move(problem), false, false});
    }
    void mend(std::string file, std::string problem, const std::string &target) {
        pending_[target].push_back(list_.size());
        list_.push_back({std::move(file), std::move(problem), true, false});
    }
    // The target was written: its findings are repaired.
    void done(const std::string &target) {
        auto it = pending_.find(target);
        if (it == pending_.end()) return;
        for (std::size_t i : it->second) list_[i].repaired = true;
        pending_.erase(it);
    }
    const std::vector<Finding> &list() const { return list_; }

private:
    bool repair_;
    std::vector<Finding> list_;
    std::unordered_map<std::string, std::vector<std::size_t>> pending_;
};

// ---------------------------------------------------------------------------
// Record files (named in tolvformat.h), with the lines of the fields the
// checks read, found in the family's field table (0: the family has none).
struct Format {
    std::string_view suffix;
    const char *what;       // "user file"
    std::size_t min_lines;  // fewer lines read back as a short (malformed) record
    int id_line, domain_line, uuid_line, rgy_line, blob_line, cert_line;
};
template <class R, std::size_t N>
constexpr Format format_of(const tolv::format::RecordFile &file, const tolv::format::Field<R> (&fields)[N]) {
    using tolv::format::line_of;
    int id = 0;  // the first key that is not the domain
    for (std::size_t i = 0; i < N && !id; ++i)
        if (fields[i].kind == tolv::format::Kind::Key && std::string_view(fields[i].name) != "domain")
            id = static_cast<int>(i) + 1;
    return {file.suffix,          file.what,           file.min_lines,
            id,                   line_of(fields, "domain"), line_of(fields, "uuid"),
            line_of(fields, "registry_id"), line_of(fields, "blob"), line_of(fields, "cert_dn")};
}
inline constexpr Format kUserFile = format_of(tolv::format::kUserFile, tolv::format::kUserFields);
inline constexpr Format kGroupFile = format_of(tolv::format::kGroupFile, tolv::format::kGroupFields);
inline constexpr Format kPolicyFile = format_of(tolv::format::kPolicyFile, tolv::format::kPolicyFields);
inline constexpr Format kResourceFile = format_of(tolv::format::kResourceFile, tolv::format::kResourceFields);
inline constexpr Format kResgroupFile = format_of(tolv::format::kResgroupFile, tolv::format::kResgroupFields);
inline constexpr Format kRescredsFile = format_of(tolv::format::kRescredsFile, tolv::format::kRescredsFields);

// ---------------------------------------------------------------------------
// The journal's directories (checkjournal.cpp): a committed journal, an
// interrupted staging directory, entries in the idle directory, and what the
// plug-in moved aside. True when a committed journal holds changes not yet in
// place: the files are then between two versions, and nothing else is checked.
bool check_journal(Registry &reg, Findings &out);

// Runs every check on a locked and scanned registry, mending what has one
// safe answer when out.repair() (checker.cpp). Throws IoError.
void check_registry(Registry &reg, Findings &out);

}  // namespace tolvadm::check
