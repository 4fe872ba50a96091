// tolvadmin_bulk.cpp - many entries added in one writing call: every entry is checked in memory (names, texts,
// files that exist, identities, members) before anything is staged; then each record file is written once in
// its final place and each list rewritten once (tolvadmin_bulk_lists.cpp).
#include <algorithm>
#include <optional>
#include <unordered_map>
#include <unordered_set>

#include "tolvadmin.h"
#include "tolvadmin_bulk_lists.h"
#include "tolvinternal.h"

namespace tolv::admin {

namespace {

using bulk::IndexAdd;

std::string_view view(const char *s) { return s ? std::string_view(s) : std::string_view(); }

std::string lowered(std::string_view s) {
    std::string out(s);
    ui_tolower(out);
    return out;
}

// The longest companion suffixes of a record file written through "<name>_T".
constexpr std::size_t kBlobTemp = kBlobSuffix.size() + kTempSuffix.size();

// A user's file and every companion fit their names (as the user create checks them).
bool user_names_fit(std::string_view domain, std::string_view user_id) {
    const std::size_t longest = std::max({format::kUserFile.suffix.size() + kBlobTemp,
                                          format::kMyGroupsSuffix.size() + kTempSuffix.size(),
                                          format::kMyResCredsSuffix.size() + kTempSuffix.size()});
    return one_line(domain) && one_line(user_id) && component_fits(domain.size() + 1 + user_id.size(), longest);
}

// The registry's user or group list, as the identity checks read it: each identity with the names holding it.
struct Identities {
    io::Bytes data;
    std::unordered_multimap<std::string, std::string_view> registry_ids;  // lower-cased
    std::unordered_multimap<std::string_view, std::string_view> uuids;
    Rc load(std::string_view dir, std::string_view index) {
        const io::Read r = io::read_file(make_path(dir, index), data, true);
        if (r == io::Read::Missing) return Rc::Success;
        if (r != io::Read::Ok) return Rc::FileError;
        for (const IndexLine &l : bulk::index_lines(data)) {
            if (!l.registry_id.empty()) registry_ids.emplace(lowered(l.registry_id), l.name);
            if (!l.uuid.empty()) uuids.emplace(l.uuid, l.name);
        }
        return Rc::Success;
    }
    // Another entry's line than key's holds the identity.
    template <class M, class K>
    static bool other(const M &m, const K &id, std::string_view key) {
        auto [from, to] = m.equal_range(id);
        for (auto it = from; it != to; ++it)
            if (it->second != key) return true;
        return false;
    }
    bool taken(std::string_view key, std::string_view uuid, std::string_view registry_id) const {
        return (!uuid.empty() && other(uuids, uuid, key)) ||
               (!registry_id.empty() && other(registry_ids, lowered(registry_id), key));
    }
};

// Identities given to entries of the bulk so far.
struct Given {
    std::unordered_set<std::string> registry_ids, uuids;
    // False when either was given before; both are noted.
    bool fresh(std::string_view uuid, std::string_view registry_id) {
        bool ok = true;
        if (!uuid.empty()) ok = uuids.emplace(uuid).second && ok;
        if (!registry_id.empty()) ok = registry_ids.emplace(lowered(registry_id)).second && ok;
        return ok;
    }
};

class Adder {
public:
    Adder(std::string_view dir, Bulk &b, std::vector<BulkProblem> &problems) : dir_(dir), b_(b), problems_(problems) {}

    Rc run() {
        if (const Rc rc = check(); !ok(rc) || !problems_.empty()) return ok(rc) ? static_cast<Rc>(problems_.front().rc) : rc;
        return write();
    }

private:
    void refuse(BulkFamily f, std::size_t i, const char *op, Rc rc, std::string why, std::size_t cred = 0) {
        problems_.push_back({f, i, cred, op, code(rc), std::move(why)});
    }

    // A record file that must not exist yet: `exists` when it does, or when another entry of the bulk takes
    // the same file; false when it cannot be looked at (6 noted).
    bool absent(const std::string &path, BulkFamily f, std::size_t i, const char *op, Rc exists,
                std::size_t cred = 0) {
        if (!files_.insert(path).second) {
            refuse(f, i, op, exists, "another entry of the import has the same file", cred);
            return false;
        }
        const io::Read r = io::probe(path);
        if (r == io::Read::Missing) return true;
        refuse(f, i, op, r == io::Read::Ok ? exists : Rc::FileError,
               r == io::Read::Ok ? "already in the registry" : "its file cannot be looked at", cred);
        return false;
    }

    // A UUID to write: the given one, or a new one (false, noted, when none can be made).
    template <class R>
    bool uuid_of(R *r, BulkFamily f, std::size_t i, const char *op, std::size_t cred = 0) {
        if (r->uuid_string) return true;
        ui_uuid_create(r->uuid, r->uuid_string);
        if (r->uuid_string) return true;
        refuse(f, i, op, Rc::FileError, "no UUID could be made", cred);
        return false;
    }

    Rc check() {
        Identities users, groups;
        if (const Rc rc = users.load(dir_, kUserList); !ok(rc)) return rc;
        if (const Rc rc = groups.load(dir_, kGroupList); !ok(rc)) return rc;
        for (std::size_t i = 0; i < b_.resources.size(); ++i) check_resource(i);
        for (std::size_t i = 0; i < b_.resgroups.size(); ++i) check_resgroup(i);
        for (std::size_t i = 0; i < b_.policies.size(); ++i) check_policy(i);
        Given given;
        for (std::size_t i = 0; i < b_.users.size(); ++i) check_user(i, users, given);
        given = {};
        for (std::size_t i = 0; i < b_.groups.size(); ++i) check_group(i, groups, given);
        return Rc::Success;
    }

    // Names that are usable and fit the record file (with "_blob_T") and a list line.
    bool keyed_fits(std::string_view entry, std::size_t file_len) {
        return one_line(entry) && component_fits(file_len, kBlobTemp) && entry_fits(entry.size());
    }

    // A resource or resource group, named by one name: usable, lower-cased, fitting its files (also_fits: the
    // family's other ones) and a list line, texts that read back, no file yet; then a UUID.
    template <class R>
    bool check_named(R *r, BulkFamily f, std::size_t i, const char *op, Rc invalid, Rc exists, FieldsOf<R> fields,
                     std::string (*file)(std::string_view, std::string_view), bool also_fits = true) {
        if (!usable_name(r->name)) {
            refuse(f, i, op, invalid, "no usable name");
            return false;
        }
        ui_tolower(r->name);
        if (!also_fits || !keyed_fits(r->name, file({}, r->name).size()) || !storable_record(r, fields)) {
            refuse(f, i, op, invalid, "a name or text that cannot be stored");
            return false;
        }
        return absent(file(dir_, r->name), f, i, op, exists) && uuid_of(r, f, i, op);
    }

    void check_resource(std::size_t i) {
        rspi_resource *r = b_.resources[i];
        if (check_named(r, BulkFamily::Resource, i, "rspi_create_resource", Rc::InvalidResource, Rc::ResourceExists,
                        format::kResourceFields, resource_file))
            resources_.insert(r->name);
    }

    void check_resgroup(std::size_t i) {
        constexpr const char *op = "rspi_create_resgroup";
        rspi_resgroup *g = b_.resgroups[i];
        const bool fits = !g->name || component_fits(resgroup_members_list(g->name).size(), kTempSuffix.size());
        if (!check_named(g, BulkFamily::Resgroup, i, op, Rc::InvalidResgroup, Rc::ResgroupExists,
                         format::kResgroupFields, resgroup_file, fits))
            return;
        for (int32_t m = 0; g->members && m < g->members->count; ++m) {
            char *name = g->members->names[m];
            if (!usable_name(name)) return refuse(BulkFamily::Resgroup, i, op, Rc::InvalidResource, "a member without a usable name");
            ui_tolower(name);
            const bool known = resources_.count(name) ||
                               (keyed_fits(name, resource_file({}, name).size()) &&
                                io::probe(resource_file(dir_, name)) == io::Read::Ok);
            if (!known) return refuse(BulkFamily::Resgroup, i, op, Rc::InvalidResource, std::string("no resource ") + name);
        }
    }

    void check_policy(std::size_t i) {
        constexpr const char *op = "rspi_create_policy";
        rspi_policy *p = b_.policies[i];
        if (!usable_name(p->policy_id) || !usable_name(p->domain))
            return refuse(BulkFamily::Policy, i, op, Rc::InvalidPolicy, "no usable name");
        lower_given(p->domain, p->policy_id);
        if (!keyed_fits(member_entry(p->domain, p->policy_id), policy_file({}, p->domain, p->policy_id).size()) ||
            !storable_record(p, FieldsOf<std::remove_pointer_t<decltype(p)>>(format::kPolicyFields)))
            return refuse(BulkFamily::Policy, i, op, Rc::InvalidPolicy, "a name or text that cannot be stored");
        if (!absent(policy_file(dir_, p->domain, p->policy_id), BulkFamily::Policy, i, op, Rc::PolicyExists)) return;
        (void)uuid_of(p, BulkFamily::Policy, i, op);
    }

    void check_user(std::size_t i, const Identities &listed, Given &given) {
        constexpr const char *op = "rspi_create_user";
        BulkUser &e = b_.users[i];
        rspi_user *u = e.record;
        if (!usable_name(u->user_id) || !usable_name(u->domain) || !user_names_fit(u->domain, u->user_id))
            return refuse(BulkFamily::User, i, op, Rc::InvalidUser, "no usable name");
        lower_given(u->domain, u->user_id);
        const std::string key = member_entry(u->domain, u->user_id);
        if (!absent(user_file(dir_, u->domain, u->user_id), BulkFamily::User, i, op, Rc::UserExists)) return;
        if (!uuid_of(u, BulkFamily::User, i, op)) return;
        const std::string_view rgy = view(u->registry_id), uuid = view(u->uuid_string);
        const std::size_t dn = view(u->cert_dn).size();
        if (rgy.empty() || uuid.empty() || !storable_uuid(uuid) ||
            !component_fits(rgy.size() + format::kDisabledUserSuffix.size(), 0) ||
            index_line(key, uuid, rgy).size() > kMaxListLine || (dn > 0 && !entry_fits(key.size() + 1 + dn)) ||
            !storable_record(u, FieldsOf<std::remove_pointer_t<decltype(u)>>(format::kUserFields)))
            return refuse(BulkFamily::User, i, op, Rc::InvalidUser, "a registry id, UUID or text that cannot be stored");
        if (listed.taken(key, uuid, rgy))
            return refuse(BulkFamily::User, i, op, Rc::UserExists, "its registry id or UUID is another user's");
        if (!given.fresh(uuid, rgy))
            return refuse(BulkFamily::User, i, op, Rc::UserExists, "its registry id or UUID is another user's of the import");
        users_.emplace(key, i);
        for (std::size_t c = 0; c < e.creds.size(); ++c) check_creds(i, c);
    }

    void check_creds(std::size_t i, std::size_t c) {
        constexpr const char *op = "rspi_create_rescreds";
        const rspi_user *u = b_.users[i].record;
        rspi_rescreds *r = b_.users[i].creds[c];
        if (!b_.users[i].enabled)
            return refuse(BulkFamily::Rescreds, i, op, Rc::InvalidRescreds, "a disabled user keeps no credentials", c);
        if (!usable_name(r->name)) return refuse(BulkFamily::Rescreds, i, op, Rc::InvalidRescreds, "no usable name", c);
        ui_tolower(r->name);
        const std::string entry = member_entry(u->domain, u->user_id).append(" ").append(r->name);
        if (!one_line(entry) || !component_fits(entry.size() + format::kRescredsFile.suffix.size(), kBlobTemp) ||
            !component_fits(rescreds_list(u->domain, u->user_id).size(), kTempSuffix.size()) ||
            !entry_fits(entry.size()) || !storable_record(r, FieldsOf<std::remove_pointer_t<decltype(r)>>(format::kRescredsFields)))
            return refuse(BulkFamily::Rescreds, i, op, Rc::InvalidRescreds, "a name or text that cannot be stored", c);
        if (!absent(rescreds_file(dir_, u->domain, u->user_id, r->name), BulkFamily::Rescreds, i, op,
                    Rc::RescredsExists, c))
            return;
        (void)uuid_of(r, BulkFamily::Rescreds, i, op, c);
    }

    void check_group(std::size_t i, const Identities &listed, Given &given) {
        constexpr const char *op = "rspi_create_group";
        BulkGroup &e = b_.groups[i];
        rspi_group *g = e.record;
        if (!usable_name(g->group_id) || !usable_name(g->domain) || !g->registry_id || !*g->registry_id)
            return refuse(BulkFamily::Group, i, op, Rc::InvalidGroup, "no usable name or registry id");
        lower_given(g->domain, g->group_id);
        const std::string key = member_entry(g->domain, g->group_id);
        if (!absent(group_file(dir_, g->domain, g->group_id), BulkFamily::Group, i, op, Rc::GroupExists)) return;
        // Checked before a UUID is made: a new one is no one else's.
        const std::string_view given_uuid = view(g->uuid_string), rgy = view(g->registry_id);
        if (listed.taken(key, given_uuid, rgy))
            return refuse(BulkFamily::Group, i, op, Rc::GroupExists, "its registry id or UUID is another group's");
        if (!given.fresh(given_uuid, rgy))
            return refuse(BulkFamily::Group, i, op, Rc::GroupExists, "its registry id or UUID is another group's of the import");
        if (!uuid_of(g, BulkFamily::Group, i, op)) return;
        const std::string_view uuid = view(g->uuid_string);
        if (!one_line(key) || !component_fits(group_file({}, g->domain, g->group_id).size(), kBlobTemp) ||
            !component_fits(key.size() + format::kMembersSuffix.size(), kTempSuffix.size()) || !entry_fits(key.size()) ||
            !entry_fits(index_line(key, uuid, rgy).size() - 1) ||
            !component_fits(disabled_group_file({}, rgy).size(), 0) || !storable_uuid(uuid) ||
            !storable_record(g, FieldsOf<std::remove_pointer_t<decltype(g)>>(format::kGroupFields)))
            return refuse(BulkFamily::Group, i, op, Rc::InvalidGroup, "a name, registry id or text that cannot be stored");
        if (!e.enabled && io::probe(disabled_group_file(dir_, rgy)) != io::Read::Missing)
            return refuse(BulkFamily::Group, i, "rspi_disable_group", Rc::GroupExists,
                          "a disabled group with its registry id is in the registry");
        for (auto &[domain, user_id] : e.members) {
            domain = lowered(domain);
            user_id = lowered(user_id);
            const std::string member = member_entry(domain, user_id);
            const bool usable = usable_name(domain.c_str()) && usable_name(user_id.c_str()) && one_line(member) &&
                                entry_fits(member.size()) &&
                                component_fits(my_groups_list(domain, user_id).size(), kTempSuffix.size());
            const bool known = usable && (users_.count(member) ||
                                          (user_names_fit(domain, user_id) &&
                                           io::probe(user_file(dir_, domain, user_id)) == io::Read::Ok));
            if (!known)
                return refuse(BulkFamily::Group, i, "rspi_add_group_member", Rc::InvalidUser, "no user " + member);
        }
    }

    // A record file and its blob.
    template <class R>
    bool record(const std::string &path, R *r, FieldsOf<R> fields, const std::string &blob_of) {
        if (!io::write_file(path, encode_record<R>(r, fields))) return false;
        return !r->blob || ok(ui_write_blob(blob_file(blob_of), r->blob));
    }
    template <class R>
    bool record(const std::string &path, R *r, FieldsOf<R> fields) {
        return record(path, r, fields, path);
    }

    // A user's or group's record where the entry ends (a disabled one under its registry id, its blob under the
    // name it was created with) and its list line; its "domain id", or nothing when the write fails.
    template <class R>
    std::optional<std::string> indexed(R *r, char *R::*id, bool enabled, FieldsOf<R> fields,
                                       std::string (*file)(std::string_view, std::string_view, std::string_view),
                                       std::string (*disabled)(std::string_view, std::string_view),
                                       std::vector<IndexAdd> &lines) {
        const std::string path = file(dir_, r->domain, r->*id);
        if (!record(enabled ? path : disabled(dir_, r->registry_id), r, fields, path)) return std::nullopt;
        std::string key = member_entry(r->domain, r->*id);
        lines.push_back({key, r->uuid_string, r->registry_id, enabled});
        return key;
    }

    Rc write() {
        std::vector<std::string> resource_entries, resgroup_entries, policy_entries, cert_dns, purge;
        for (rspi_resource *r : b_.resources) {
            if (!record(resource_file(dir_, r->name), r, format::kResourceFields)) return Rc::FileError;
            resource_entries.emplace_back(r->name);
        }
        for (rspi_resgroup *g : b_.resgroups) {
            if (!record(resgroup_file(dir_, g->name), g, format::kResgroupFields)) return Rc::FileError;
            // As the create writes them: sorted, once each, no file without one.
            if (g->members) {
                std::vector<std::string> lines;
                for (int32_t m = 0; m < g->members->count; ++m) lines.push_back(std::string(g->members->names[m]) + '\n');
                std::sort(lines.begin(), lines.end());
                lines.erase(std::unique(lines.begin(), lines.end()), lines.end());
                const Rc rc = rewrite_list(make_path(dir_, resgroup_members_list(g->name)), [&](ListEdit &e) {
                    for (const std::string &line : lines) e.out.append(line);
                    return lines.empty() ? ListEnd::Remove : ListEnd::Replace;
                });
                if (!ok(rc)) return rc;
            }
            resgroup_entries.emplace_back(g->name);
        }
        for (rspi_policy *p : b_.policies) {
            if (!record(policy_file(dir_, p->domain, p->policy_id), p, format::kPolicyFields))
                return Rc::FileError;
            policy_entries.push_back(member_entry(p->domain, p->policy_id));
        }
        std::vector<IndexAdd> user_lines, group_lines;
        std::unordered_map<std::string, std::vector<std::string>> my_groups;
        for (const BulkUser &e : b_.users) {
            rspi_user *u = e.record;
            const auto indexed_as = indexed(u, &rspi_user::user_id, e.enabled, format::kUserFields, user_file,
                                            disabled_user_file, user_lines);
            if (!indexed_as) return Rc::FileError;
            const std::string &key = *indexed_as;
            // A disable drops the user's certificate-DN lines, whichever they are.
            if (!e.enabled)
                purge.push_back(key + " ");
            else if (u->cert_dn && *u->cert_dn)
                cert_dns.push_back(key + " " + u->cert_dn);
            std::vector<std::string> creds;
            for (rspi_rescreds *c : e.creds) {
                if (!record(rescreds_file(dir_, u->domain, u->user_id, c->name), c,
                            format::kRescredsFields))
                    return Rc::FileError;
                creds.push_back(key + " " + c->name);
            }
            if (const Rc rc = bulk::add_to_entrylist(dir_, rescreds_list(u->domain, u->user_id), std::move(creds));
                !ok(rc))
                return rc;
        }
        for (const BulkGroup &e : b_.groups) {
            rspi_group *g = e.record;
            const auto indexed_as = indexed(g, &rspi_group::group_id, e.enabled, format::kGroupFields, group_file,
                                            disabled_group_file, group_lines);
            if (!indexed_as) return Rc::FileError;
            const std::string &key = *indexed_as;
            std::vector<std::string> members;
            for (const auto &[domain, user_id] : e.members) {
                members.push_back(member_entry(domain, user_id));
                my_groups[members.back()].push_back(key);
            }
            if (const Rc rc = bulk::add_to_entrylist(dir_, group_members_list(g->domain, g->group_id), std::move(members));
                !ok(rc))
                return rc;
        }
        for (auto &[member, groups] : my_groups) {
            const std::size_t blank = member.find(' ');
            const std::string list = my_groups_list(member.substr(0, blank), member.substr(blank + 1));
            if (const Rc rc = bulk::add_to_entrylist(dir_, list, std::move(groups)); !ok(rc)) return rc;
        }
        for (const auto &[list, entries] : {std::pair{kResourceList, &resource_entries},
                                            std::pair{kResgroupList, &resgroup_entries},
                                            std::pair{kPolicyList, &policy_entries}})
            if (const Rc rc = bulk::add_to_entrylist(dir_, list, std::move(*entries)); !ok(rc)) return rc;
        if (const Rc rc = bulk::add_to_entrylist(dir_, kCertDnList, std::move(cert_dns), purge); !ok(rc)) return rc;
        if (const Rc rc = bulk::add_to_index(dir_, kUserList, user_lines); !ok(rc)) return rc;
        return bulk::add_to_index(dir_, kGroupList, group_lines);
    }

    std::string_view dir_;
    Bulk &b_;
    std::vector<BulkProblem> &problems_;
    std::unordered_set<std::string> files_;              // the record files of the bulk
    std::unordered_set<std::string> resources_;          // the resources of the bulk
    std::unordered_map<std::string, std::size_t> users_;  // "domain id" of the bulk's users
};

}  // namespace

uint32_t bulk_add(char **handle, Bulk &b, std::vector<BulkProblem> &problems) {
    problems.clear();
    return guarded_op(
        handle,
        [&](std::string_view dir) {
            problems.clear();
            return Adder(dir, b, problems).run();
        },
        true);
}

}  // namespace tolv::admin
