// tolvadmin_check_rules.cpp - the rules of the check: each record file against its names, each index against
// the records it lists, each membership against its other side; and the one safe mend for each finding that
// has one. Every file is read once; lookups go through hash sets.
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "tolvadmin_check_registry.h"
#include "tolvinternal.h"

namespace tolv::admin::checking {

namespace {

// Longest index line, before its newline, that a list's piece reader keeps whole.
constexpr std::size_t kMaxIndexLine = kMaxListLine - 1;
constexpr std::string_view kSep = kIndexSep;
constexpr std::string_view kDisabledName = kIndexDisabled;

// What the checks keep of a record file.
struct Record {
    std::string id, domain, uuid, rgy, cert_dn;
    bool named = false;  // its names give its own file name
};
using Records = std::unordered_map<std::string, Record>;

std::vector<std::string> sorted_keys(const Records &records) {
    std::vector<std::string> keys;
    keys.reserve(records.size());
    for (const auto &[k, v] : records) keys.push_back(k);
    std::sort(keys.begin(), keys.end());
    return keys;
}

// An index of users or groups: "domain id  uuid  registry_id" lines, and
// "- -  uuid  registry_id" for disabled entries.
struct IndexFamily {
    const char *list;  // "userlist.file"
    const char *what;  // "user"
    const Format &format;
    std::string_view disabled_suffix;  // ".user"
};
const IndexFamily kUsers{tolv::format::kUserList.data(), "user", kUserFile, tolv::format::kDisabledUserSuffix};
const IndexFamily kGroups{tolv::format::kGroupList.data(), "group", kGroupFile, tolv::format::kDisabledGroupSuffix};

// One line of the user or group list.
struct IndexLine {
    std::string text;
    std::string_view name, uuid, rgy;
    bool malformed = false, disabled = false, opaque = false, keep = true;
    std::string file;  // the record file it names
};

bool split_index(IndexLine &l) {
    const std::string_view t(l.text);
    const std::size_t a = t.find(kSep);
    if (a == std::string_view::npos) return false;
    const std::size_t b = t.find(kSep, a + kSep.size());
    if (b == std::string_view::npos) return false;
    l.name = t.substr(0, a);
    l.uuid = t.substr(a + kSep.size(), b - a - kSep.size());
    l.rgy = t.substr(b + kSep.size());
    l.disabled = l.name == kDisabledName;
    return l.disabled || l.name.find(' ') != std::string_view::npos;
}

// strncmp(key, name, n) <= 0 for the plug-in's insertion rule.
bool goes_before(std::string_view key, std::string_view name) {
    return key.substr(0, name.size()).compare(name) <= 0;
}

// ---------------------------------------------------------------------------
// An entry list: sorted, one entry per line, no duplicates, no file when empty.
struct EntryList {
    std::string name;
    bool exists = false, dirty = false;
    std::vector<std::string> lines;
    std::vector<char> keep;
    std::vector<std::string> added;

    void drop(std::size_t i) {
        keep[i] = false;
        dirty = true;
    }
    void add(std::string entry) {
        added.push_back(std::move(entry));
        dirty = true;
    }
};

class Checker {
public:
    Checker(Registry &reg, Findings &out) : reg_(reg), out_(out) {}

    void run() {
        temporary_files();
        read_records();
        orphan_blobs();
        check_index(kUsers, users_, disabled_users_);
        check_certdns();
        check_index(kGroups, groups_, disabled_groups_);
        check_memberships();
        check_entry_index(tolv::format::kPolicyList.data(), kPolicyFile, policies_, [](std::string_view l) -> std::string {
            const std::size_t b = l.find(' ');
            if (b == std::string_view::npos || b == 0 || b + 1 == l.size()) return {};
            return sanitised(cat({l.substr(0, b), "_", l.substr(b + 1), kPolicyFile.suffix}));
        });
        check_entry_index(tolv::format::kResourceList.data(), kResourceFile, resources_,
                          [](std::string_view l) { return named_file(l, kResourceFile.suffix); });
        check_entry_index(tolv::format::kResgroupList.data(), kResgroupFile, resgroups_,
                          [](std::string_view l) { return named_file(l, kResgroupFile.suffix); });
        check_resgroup_members();
        check_credentials();
    }

private:
    static std::string named_file(std::string_view l, std::string_view suffix) {
        if (l.empty() || l.find(' ') != std::string_view::npos) return {};
        return sanitised(cat({l, suffix}));
    }

    std::vector<std::string> names_with(std::string_view suffix) const { return reg_.names_with(suffix); }

    // --- blob files whose record is gone -------------------------------------
    void orphan_blobs() {
        std::unordered_set<std::string> owners;
        for (const Records *m : {&users_, &groups_, &policies_, &resources_, &resgroups_, &rescreds_})
            for (const auto &[file, r] : *m) owners.insert(file);
        // A disabled record's blob keeps the enabled name.
        for (const auto &[file, r] : disabled_users_)
            owners.insert(sanitised(cat({r.domain, "_", r.id, kUserFile.suffix})));
        for (const auto &[file, r] : disabled_groups_)
            owners.insert(sanitised(cat({r.domain, "_", r.id, kGroupFile.suffix})));
        for (const auto &name : names_with(tolv::format::kBlobSuffix)) {
            if (owners.count(std::string(stem(name, tolv::format::kBlobSuffix)))) continue;
            out_.mend(name, "blob file without a record", name);
            if (out_.repair()) {
                reg_.remove(name);
                out_.done(name);
            }
        }
    }

    // --- leftover temporary files -------------------------------------------
    void temporary_files() {
        for (const auto &name : names_with("_T")) {
            out_.mend(name, "leftover temporary file", name);
            if (out_.repair()) {
                reg_.remove(name);
                out_.done(name);
            }
        }
    }

    // --- record files --------------------------------------------------------
    void read_records() {
        auto read_all = [&](Records &into, const Format &f, std::string_view disabled_suffix = {}) {
            for (const auto &n : names_with(disabled_suffix.empty() ? f.suffix : disabled_suffix))
                into[n] = read_record(n, f, disabled_suffix);
        };
        read_all(users_, kUserFile);
        read_all(disabled_users_, kUserFile, kUsers.disabled_suffix);
        read_all(groups_, kGroupFile);
        read_all(disabled_groups_, kGroupFile, kGroups.disabled_suffix);
        read_all(policies_, kPolicyFile);
        read_all(resources_, kResourceFile);
        read_all(resgroups_, kResgroupFile);
        read_all(rescreds_, kRescredsFile);
    }

    // Reads a record file, reporting a short file, names that do not give its
    // file name, and a blob of another length. A disabled record is named by
    // its registry id; its blob keeps the enabled name.
    Record read_record(const std::string &file, const Format &f, std::string_view disabled_suffix) {
        Record r;
        std::string data;
        if (!reg_.read(file, data)) return r;
        const auto lines = record_lines(data);
        auto line = [&](int n) {
            return n > 0 && static_cast<std::size_t>(n) <= lines.size() ? std::string(lines[n - 1]) : std::string();
        };
        r.id = line(f.id_line);
        r.domain = line(f.domain_line);
        r.uuid = line(f.uuid_line);
        r.rgy = line(f.rgy_line);
        r.cert_dn = line(f.cert_line);
        if (lines.size() < f.min_lines)
            out_.left(file, cat({"is shorter than a ", f.what, ": ", std::to_string(lines.size()), " lines, ",
                                 std::to_string(f.min_lines), " expected"}));

        const bool creds = &f == &kRescredsFile;
        std::string own;  // the enabled file its names give

        if (f.domain_line && !r.id.empty() && !r.domain.empty())
            own = sanitised(cat({r.domain, "_", r.id, f.suffix}));
        else if (!f.domain_line && !r.id.empty())
            own = sanitised(cat({r.id, f.suffix}));
        const std::string expected = disabled_suffix.empty() ? own
                                     : r.rgy.empty()         ? std::string()
                                                             : sanitised(cat({r.rgy, disabled_suffix}));
        if (creds) {
            // Domain and user id are not in the file, only in its name.
            r.named = !r.id.empty() && file.ends_with("_" + own) && file.size() > own.size() + 1;
        } else {
            r.named = !own.empty() && expected == file;
        }
        if (own.empty())
            out_.left(file, "has empty key lines; it cannot be matched with its indexes");
        else if (!r.named)
            out_.left(file, "holds names that do not give its own file name; it cannot be matched with its indexes");

        const std::string length_line = line(f.blob_line);
        // As the plug-in reads it: below 1 no blob; beyond 32 bits no blob can have it.
        const long length = std::strtol(length_line.c_str(), nullptr, 10);
        if (length > 0 && static_cast<unsigned long>(length) > UINT32_MAX) {
            out_.left(file, cat({"records a blob length no blob can have: ", length_line}));
        } else if (length > 0 && !own.empty()) {
            const std::string blob = (creds ? file : own) + std::string(tolv::format::kBlobSuffix);
            const long long size = reg_.size(blob);
            if (size < 0)
                out_.left(file,
                          cat({"records a blob of ", std::to_string(length), " bytes, but ", blob, " is missing"}));
            else if (size != static_cast<long long>(length))
                out_.left(file, cat({"records a blob of ", std::to_string(length), " bytes, but ", blob, " holds ",
                                     std::to_string(size)}));
        }
        return r;
    }

    // --- the user and group lists -------------------------------------------
    void check_index(const IndexFamily &fam, Records &records, Records &disabled_records) {
        const std::string list = fam.list;
        std::string data;
        const bool existed = reg_.read(list, data);
        bool dirty = false;
        auto mend = [&](std::string file, std::string problem) {
            out_.mend(std::move(file), std::move(problem), list);
            dirty = true;
        };
        if (!data.empty() && data.back() != '\n') mend(list, "the last line has no newline");

        std::vector<IndexLine> lines;
        for (auto t : text_lines(data)) {
            lines.emplace_back();
            lines.back().text = t;
        }
        // Disabled entries first: an enabled line may turn into one.
        std::unordered_set<std::string> indexed_disabled;
        std::vector<std::size_t> orphans;  // disabled entries without their file
        for (auto &l : lines) {
            l.opaque = l.text.size() > kMaxIndexLine;
            l.malformed = !l.opaque && !split_index(l);
            if (l.opaque || l.malformed || !l.disabled) continue;
            l.file = sanitised(cat({l.rgy, fam.disabled_suffix}));
            if (reg_.has(l.file))
                indexed_disabled.insert(l.file);
            else
                orphans.push_back(static_cast<std::size_t>(&l - lines.data()));
        }

        // Enabled lines: each must name a record file.
        // A record's lines: its first line, each line chained to the next of the same record.
        std::unordered_map<std::string_view, std::size_t> by_file;
        by_file.reserve(lines.size());
        std::vector<std::size_t> order, next_same(lines.size(), lines.size());
        std::vector<std::size_t> last_of(lines.size());
        for (std::size_t i = 0; i < lines.size(); ++i) {
            IndexLine &l = lines[i];
            if (l.opaque) {
                out_.left(list, line_no(i) + "is longer than " + std::to_string(kMaxIndexLine) + " bytes");
                continue;
            }
            if (l.malformed) {
                l.keep = false;
                mend(list,
                     line_no(i) + in_quotes(l.text) + " is malformed (it needs \"domain id  uuid  registry_id\")");
                continue;
            }
            if (l.disabled) continue;
            const std::size_t b = l.name.find(' ');
            l.file = sanitised(cat({l.name.substr(0, b), "_", l.name.substr(b + 1), fam.format.suffix}));
            if (reg_.has(l.file)) {
                const auto [first, fresh] = by_file.emplace(l.file, i);
                if (fresh)
                    order.push_back(i);
                else
                    next_same[std::exchange(last_of[first->second], i)] = i;
                last_of[i] = i;
                continue;
            }
            const std::string off = sanitised(cat({l.rgy, fam.disabled_suffix}));
            if (reg_.has(off) && !indexed_disabled.count(off)) {
                // Disabling renamed the record but did not reach the list.
                mend(list, line_no(i) + in_quotes(l.name) + " names no " + l.file + ", but " + off +
                               " exists; the line becomes its disabled entry");
                l.text = cat({kDisabledName, kSep, l.uuid, kSep, l.rgy});
                split_index(l);
                l.file = off;
                indexed_disabled.insert(off);
            } else {
                l.keep = false;
                mend(list, line_no(i) + in_quotes(l.name) + " names no " + l.file);
            }
        }

        // One line per record, carrying the record's UUID and registry id.
        std::unordered_map<std::string_view, std::string> taken_uuid, taken_rgy;
        taken_uuid.reserve(order.size());
        taken_rgy.reserve(order.size());
        for (const std::size_t first : order) {
            std::vector<std::size_t> idx;
            for (std::size_t i = first; i < lines.size(); i = next_same[i]) idx.push_back(i);
            const std::string &file = lines[first].file;
            const Record &r = records[file];
            if (!r.named || r.uuid.empty() || r.rgy.empty()) continue;
            std::size_t keeper = idx.front();
            for (std::size_t i : idx)
                if (lines[i].uuid == r.uuid && lines[i].rgy == r.rgy) {
                    keeper = i;
                    break;
                }
            for (std::size_t i : idx)
                if (i != keeper) {
                    lines[i].keep = false;
                    mend(list, line_no(i) + "is a second line for " + file);
                }
            IndexLine &k = lines[keeper];
            if (k.uuid != r.uuid || k.rgy != r.rgy) {
                mend(list, line_no(keeper) + "does not carry the UUID and registry id of " + file);
                k.text = cat({k.name, kSep, r.uuid, kSep, r.rgy});
                split_index(k);
            }
            taken_uuid[r.uuid] = file;
            taken_rgy[r.rgy] = file;
        }

        // Records without a line get one in name order.
        std::unordered_map<std::string_view, std::size_t> orphan_by_uuid, orphan_by_rgy;
        for (std::size_t i : orphans) {
            orphan_by_uuid.emplace(lines[i].uuid, i);
            orphan_by_rgy.emplace(lines[i].rgy, i);
        }
        std::unordered_map<std::size_t, std::string> replaced;  // orphan line -> record taking its place
        std::vector<std::pair<std::string, std::string>> added;   // key, line
        // A record whose UUID or registry id another line already holds cannot get a line of its own.
        const auto taken = [&](const std::string &file, const Record &r, const std::string &missing) {
            const auto u = taken_uuid.find(r.uuid), g = taken_rgy.find(r.rgy);
            if (u == taken_uuid.end() && g == taken_rgy.end()) return false;
            out_.left(file, missing + "; its UUID or registry id is on the line of " +
                                (u != taken_uuid.end() ? u->second : g->second));
            return true;
        };
        for (const auto &file : sorted_keys(records)) {
            if (by_file.count(file)) continue;
            const Record &r = records[file];
            const std::string key = cat({r.domain, " ", r.id});
            const std::string text = cat({key, kSep, r.uuid, kSep, r.rgy});
            const std::string missing = std::string("has no line in ") + fam.list;
            if (!r.named || r.uuid.empty() || r.rgy.empty() || key.find(kSep) != std::string::npos ||
                text.size() > kMaxIndexLine) {
                out_.left(file, missing + "; its names, UUID or registry id cannot make one");
                continue;
            }
            if (taken(file, r, missing)) continue;
            mend(file, missing);
            taken_uuid[r.uuid] = file;
            taken_rgy[r.rgy] = file;
            for (const auto *m : {&orphan_by_uuid, &orphan_by_rgy}) {
                auto o = m->find(m == &orphan_by_uuid ? r.uuid : r.rgy);
                if (o != m->end()) replaced.emplace(o->second, file);
            }
            added.emplace_back(key, text);
        }

        for (std::size_t i : orphans) {
            const std::string what = line_no(i) + "is a disabled entry without its disabled " + fam.what + " file " +
                                      lines[i].file;
            auto r = replaced.find(i);
            if (r != replaced.end()) {
                lines[i].keep = false;
                mend(list, what + "; " + r->second + " takes its place");
            } else {
                out_.left(list, what);
            }
        }

        // Disabled record files without their entry get one at the end.
        std::vector<std::string> appended;
        for (const auto &file : sorted_keys(disabled_records)) {
            if (indexed_disabled.count(file)) continue;
            const Record &r = disabled_records[file];
            const std::string text = cat({kDisabledName, kSep, r.uuid, kSep, r.rgy});
            const std::string missing = std::string("has no disabled entry in ") + fam.list;
            if (!r.named || r.uuid.empty() || text.size() > kMaxIndexLine) {
                out_.left(file, missing + "; its UUID or registry id cannot make one");
                continue;
            }
            if (taken(file, r, missing)) continue;
            mend(file, missing);
            appended.push_back(text);
        }

        if (!dirty || !out_.repair()) return;
        std::sort(added.begin(), added.end());
        std::string out;
        std::size_t next = 0;
        for (const auto &l : lines) {
            if (!l.keep) continue;
            if (!l.disabled && !l.opaque)
                while (next < added.size() && goes_before(added[next].first, l.name))
                    out += added[next++].second + "\n";
            out += l.text + "\n";
        }
        for (; next < added.size(); ++next) out += added[next].second + "\n";
        for (const auto &t : appended) out += t + "\n";
        if (existed || !out.empty()) reg_.replace(list, out);
        out_.done(list);
    }

    // --- entry lists ---------------------------------------------------------
    EntryList &entry_list(const std::string &name) {
        auto [it, fresh] = lists_.try_emplace(name);
        EntryList &l = it->second;
        if (!fresh) return l;
        l.name = name;
        std::string data;
        l.exists = reg_.read(name, data);
        if (!l.exists) return l;
        if (data.empty()) {
            out_.mend(name, "is empty; an empty list has no file", name);
            l.dirty = true;
        } else if (data.back() != '\n') {
            out_.mend(name, "the last line has no newline", name);
            l.dirty = true;
        }
        bool unordered = false;
        for (auto t : text_lines(data)) {
            const std::size_t i = l.lines.size();
            l.lines.emplace_back(t);
            l.keep.push_back(true);
            if (t.empty()) {
                out_.mend(name, line_no(i) + "is empty", name);
                l.drop(i);
                continue;
            }
            if (t.size() > kMaxIndexLine)
                out_.left(name, line_no(i) + "is longer than " + std::to_string(kMaxIndexLine) + " bytes");
            std::size_t p = i;
            while (p > 0 && !l.keep[p - 1]) --p;
            if (p == 0 || unordered) continue;
            const int c = std::string_view(l.lines[p - 1]).compare(t);
            if (c == 0) {
                out_.mend(name, line_no(i) + "repeats " + in_quotes(t), name);
                l.drop(i);
            } else if (c > 0) {
                out_.mend(name, line_no(i) + in_quotes(t) + " is out of ascending order", name);
                unordered = l.dirty = true;
            }
        }
        return l;
    }

    void drop(EntryList &l, std::size_t i, const std::string &problem) {
        out_.mend(l.name, line_no(i) + in_quotes(l.lines[i]) + " " + problem, l.name);
        l.drop(i);
    }

    // Writes an entry list that changed: sorted, unique, no file when empty.
    void finish(EntryList &l) {
        if (!l.dirty || !out_.repair()) return;
        std::vector<std::string> all;
        for (std::size_t i = 0; i < l.lines.size(); ++i)
            if (l.keep[i]) all.push_back(std::move(l.lines[i]));
        for (auto &a : l.added) all.push_back(std::move(a));
        std::sort(all.begin(), all.end());
        all.erase(std::unique(all.begin(), all.end()), all.end());
        if (all.empty()) {
            if (l.exists) reg_.remove(l.name);
        } else {
            std::string out;
            for (const auto &a : all) out += a + "\n";
            reg_.replace(l.name, out);
        }
        l.dirty = false;
        out_.done(l.name);
    }

    void finish_all() {
        for (auto &[name, l] : lists_) finish(l);
        lists_.clear();
    }

    // An index that is an entry list: policies, resources, resource groups.
    template <class FileOf>
    void check_entry_index(const std::string &name, const Format &f, Records &records, FileOf file_of) {
        EntryList &l = entry_list(name);
        std::unordered_set<std::string> indexed;
        for (std::size_t i = 0; i < l.lines.size(); ++i) {
            if (!l.keep[i]) continue;
            const std::string file = file_of(l.lines[i]);
            if (file.empty())
                drop(l, i, "is malformed");
            else if (!reg_.has(file))
                drop(l, i, "names no " + file);
            else
                indexed.insert(file);
        }
        for (const auto &file : sorted_keys(records)) {
            if (indexed.count(file)) continue;
            const Record &r = records[file];
            const std::string entry = f.domain_line ? cat({r.domain, " ", r.id}) : r.id;
            if (!r.named || entry.size() > kMaxIndexLine) {
                out_.left(file, "has no line in " + name + "; its names cannot make one");
                continue;
            }
            out_.mend(file, "has no line in " + name, name);
            l.add(entry);
        }
        finish_all();
    }

    // --- certificate DNs -------------------------------------------------------
    void check_certdns() {
        const std::string name(tolv::format::kCertDnList);
        std::unordered_set<std::string> expected;
        for (const auto &[file, r] : users_)
            if (r.named && !r.cert_dn.empty()) expected.insert(cat({r.domain, " ", r.id, " ", r.cert_dn}));
        EntryList &l = entry_list(name);
        std::unordered_set<std::string> seen;
        for (std::size_t i = 0; i < l.lines.size(); ++i) {
            if (!l.keep[i]) continue;
            const std::string &t = l.lines[i];
            if (expected.count(t)) {
                seen.insert(t);
                continue;
            }
            const std::size_t a = t.find(' '), b = a == std::string::npos ? a : t.find(' ', a + 1);
            if (b == std::string::npos) {
                drop(l, i, "is malformed (it needs \"domain user dn\")");
                continue;
            }
            const std::string file =
                sanitised(cat({t.substr(0, a), "_", t.substr(a + 1, b - a - 1), kUserFile.suffix}));
            auto u = users_.find(file);
            if (u == users_.end())
                drop(l, i, "names no " + file);
            else if (u->second.named)
                drop(l, i, "is not the certificate DN of " + file);
        }
        std::vector<std::string> missing;
        for (const auto &e : expected)
            if (!seen.count(e)) missing.push_back(e);
        std::sort(missing.begin(), missing.end());
        for (auto &e : missing) {
            const std::size_t a = e.find(' '), b = e.find(' ', a + 1);
            out_.mend(sanitised(cat({e.substr(0, a), "_", e.substr(a + 1, b - a - 1), kUserFile.suffix})),
                      "has no line in " + name + " for its certificate DN", name);
            l.add(std::move(e));
        }
        finish_all();
    }

    // --- group memberships ---------------------------------------------------
    // A ".GPmembers" line "domain user" of group G matches a ".myGroups" line
    // "domain group" of user U when each names the other's file stem.
    void check_memberships() {
        constexpr std::string_view gp = tolv::format::kMembersSuffix, my = tolv::format::kMyGroupsSuffix;
        struct Side {
            EntryList *list;
            std::string stem;
            std::vector<std::string> other;  // per line: the other side's stem, "" when malformed
        };
        std::vector<Side> members, groups_of;
        std::unordered_set<std::string> pairs_gp, pairs_my;  // group stem '\0' user stem
        auto load = [&](std::string_view suffix, std::vector<Side> &sides, std::unordered_set<std::string> &pairs) {
            for (const auto &name : names_with(suffix)) {
                Side s{&entry_list(name), std::string(stem(name, suffix)), {}};
                for (std::size_t i = 0; i < s.list->lines.size(); ++i) {
                    const std::string &t = s.list->lines[i];
                    const std::size_t b = t.find(' ');
                    std::string other;
                    if (s.list->keep[i] && b != std::string::npos && b > 0 && b + 1 < t.size())
                        other = sanitised(cat({t.substr(0, b), "_", t.substr(b + 1)}));
                    else if (s.list->keep[i])
                        drop(*s.list, i, "is malformed (it needs \"domain id\")");
                    if (!other.empty())
                        pairs.insert(suffix == gp ? cat({s.stem, std::string_view("\0", 1), other})
                                                  : cat({other, std::string_view("\0", 1), s.stem}));
                    s.other.push_back(std::move(other));
                }
                sides.push_back(std::move(s));
            }
        };
        load(gp, members, pairs_gp);
        load(my, groups_of, pairs_my);
        for (auto &s : members)
            for (std::size_t i = 0; i < s.other.size(); ++i)
                if (!s.other[i].empty() && !pairs_my.count(cat({s.stem, std::string_view("\0", 1), s.other[i]})))
                    drop(*s.list, i, "has no matching line in " + s.other[i] + std::string(my));
        for (auto &s : groups_of)
            for (std::size_t i = 0; i < s.other.size(); ++i)
                if (!s.other[i].empty() && !pairs_gp.count(cat({s.other[i], std::string_view("\0", 1), s.stem})))
                    drop(*s.list, i, "has no matching line in " + s.other[i] + std::string(gp));
        finish_all();
    }

    // --- resource-group members ----------------------------------------------
    void check_resgroup_members() {
        for (const auto &name : names_with(tolv::format::kRgMembersSuffix)) {
            EntryList &l = entry_list(name);
            for (std::size_t i = 0; i < l.lines.size(); ++i) {
                if (!l.keep[i]) continue;
                const std::string file = named_file(l.lines[i], kResourceFile.suffix);
                if (file.empty())
                    drop(l, i, "is malformed");
                else if (!reg_.has(file))
                    out_.left(name, line_no(i) + "member " + in_quotes(l.lines[i]) + " names no resource file " + file);
            }
        }
        finish_all();
    }

    // --- credentials -----------------------------------------------------------
    void check_credentials() {
        constexpr std::string_view suffix = tolv::format::kMyResCredsSuffix;
        std::unordered_set<std::string> indexed;
        for (const auto &name : names_with(suffix)) {
            EntryList &l = entry_list(name);
            for (std::size_t i = 0; i < l.lines.size(); ++i) {
                if (!l.keep[i]) continue;
                const std::string &t = l.lines[i];
                const std::size_t a = t.find(' '), b = a == std::string::npos ? a : t.find(' ', a + 1);
                if (b == std::string::npos || b + 1 == t.size()) {
                    drop(l, i, "is malformed (it needs \"domain user resource\")");
                    continue;
                }
                const std::string file = sanitised(
                    cat({t.substr(0, a), "_", t.substr(a + 1, b - a - 1), "_", t.substr(b + 1), kRescredsFile.suffix}));
                if (reg_.has(file))
                    indexed.insert(file);
                else
                    drop(l, i, "names no credential file " + file);
            }
        }
        // A credential file names its user only through its file name: find
        // the one user whose stem it starts with.
        std::unordered_map<std::string, std::vector<const Record *>> users_by_stem;
        for (const auto &[file, r] : users_)
            if (r.named) users_by_stem[std::string(stem(file, kUserFile.suffix))].push_back(&r);
        for (const auto &file : sorted_keys(rescreds_)) {
            if (indexed.count(file)) continue;
            const Record &r = rescreds_[file];
            const std::string own = sanitised(cat({r.id, kRescredsFile.suffix}));
            const std::string user_stem = r.named ? file.substr(0, file.size() - own.size() - 1) : std::string();
            const auto u = users_by_stem.find(user_stem);
            if (!r.named || u == users_by_stem.end() || u->second.size() != 1) {
                out_.left(file, "is in no credential list, and no single user's list can take it");
                continue;
            }
            const std::string list = user_stem + std::string(suffix);
            const std::string entry = cat({u->second.front()->domain, " ", u->second.front()->id, " ", r.id});
            if (entry.size() > kMaxIndexLine) {
                out_.left(file, "is in no credential list, and its line would be too long");
                continue;
            }
            out_.mend(file, "has no line in " + list, list);
            entry_list(list).add(entry);
        }
        finish_all();
    }

    Registry &reg_;
    Findings &out_;
    Records users_, disabled_users_, groups_, disabled_groups_, policies_, resources_, resgroups_, rescreds_;
    std::map<std::string, EntryList> lists_;
};

}  // namespace

void check_registry(Registry &reg, Findings &out) { Checker(reg, out).run(); }

}  // namespace tolv::admin::checking
