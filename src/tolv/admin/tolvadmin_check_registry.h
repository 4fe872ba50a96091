// tolvadmin_check_registry.h - what the files of the check share: the registry directory as the check reads
// and mends it through the file layer, the findings it collects, and where the fields it reads stand in each
// record file. tolvadmin_check_rules.cpp holds the rules the files must agree on, tolvadmin_check_journal.cpp
// the journal's directories, tolvadmin_check.cpp the calls around them.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "tolvadmin_check.h"
#include "tolvfields.h"

namespace tolv::admin::checking {

// A file that cannot be read or written: the check stops with 6.
struct IoError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// ---------------------------------------------------------------------------
// Names and texts.

std::string sanitised(std::string_view name);
std::string cat(std::initializer_list<std::string_view> parts);
std::string in_quotes(std::string_view s);
std::string_view stem(std::string_view s, std::string_view suffix);

// The lines of a record file as the plug-in's record reader cuts them, and of a list cut at its newlines.
std::vector<std::string_view> record_lines(std::string_view data);
inline std::vector<std::string_view> text_lines(std::string_view data) {
    std::vector<std::string_view> out;
    while (!data.empty()) {
        const std::size_t nl = data.find('\n');
        out.push_back(data.substr(0, nl));
        data.remove_prefix(nl == std::string_view::npos ? data.size() : nl + 1);
    }
    return out;
}
// "line 3 " for the line at index 2.
std::string line_no(std::size_t i);

// ---------------------------------------------------------------------------
// The registry directory, inside the running call's scope: reads, and in a repair staged writes, all go
// through the file layer. Names are relative to the registry ("dir" + name).
class Registry {
public:
    explicit Registry(std::string_view dir) : dir_(dir) {}

    // Collects the names of the registry's regular files.
    void scan();
    bool has(const std::string &name) const { return names_.count(name) != 0; }
    // The names ending in suffix, sorted.
    std::vector<std::string> names_with(std::string_view suffix) const;
    std::string path(std::string_view name) const { return cat({dir_, name}); }

    // The whole file; false when it is gone.
    bool read(const std::string &name, std::string &out) const;
    // Size of a file, or -1 when it is missing.
    long long size(const std::string &name) const;
    // Replaces or removes a file: staged in the repair's journal.
    void replace(const std::string &name, std::string_view data);
    void remove(const std::string &name);

private:
    std::string_view dir_;
    std::unordered_set<std::string> names_;
    std::vector<std::string> sorted_;  // as scanned
};

// ---------------------------------------------------------------------------
// Findings. A mendable finding names the file whose rewrite mends it; it is marked repaired once that file
// was staged, and unmarked again when the repair is not committed.
class Findings {
public:
    Findings(bool repair, std::vector<Finding> &list) : repair_(repair), list_(list) {}
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
    void undone() {
        for (Finding &f : list_) f.repaired = false;
    }

private:
    bool repair_;
    std::vector<Finding> &list_;
    std::unordered_map<std::string, std::vector<std::size_t>> pending_;
};

// ---------------------------------------------------------------------------
// Record files (named in tolvformat.h), with the lines of the fields the checks read, found in the family's
// field table (0: the family has none).
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
// The journal's directories (tolvadmin_check_journal.cpp): a committed journal, an interrupted staging
// directory, entries in the idle directory, and what the plug-in moved aside. True when a committed journal
// holds changes not yet in place: the files are then between two versions, and nothing else is checked.
// repair: the call that follows applies the journal.
bool check_journal(std::string_view dir, Findings &out);

// Runs every check on a scanned registry, mending what has one safe answer when out.repair()
// (tolvadmin_check_rules.cpp). Throws IoError.
void check_registry(Registry &reg, Findings &out);

}  // namespace tolv::admin::checking
