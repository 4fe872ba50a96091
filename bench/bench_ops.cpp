// bench_ops.cpp - one class per measured operation. Records are built before
// the runs; a run is the interface call(s) alone. Floors touch the same
// registry files (indexes are rewritten with their own bytes) or scratch files
// of the same size beside them, so that neither changes the registry.
#include "bench_ops.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <unordered_map>
#include <utility>

#include "floor.h"
#include "rspi.h"
#include "tolv.h"

namespace tolvbench {

namespace {

// Records spread over the registry that the runs take in turn.
constexpr std::size_t kTargets = 64;

template <class T, void (*Free)(T *)>
struct Owned {
    T *p = nullptr;
    Owned() = default;
    explicit Owned(T *v) : p(v) {}
    Owned(Owned &&o) noexcept : p(std::exchange(o.p, nullptr)) {}
    Owned &operator=(Owned &&o) noexcept {
        std::swap(p, o.p);
        return *this;
    }
    ~Owned() { Free(p); }
    T *operator->() const { return p; }
    T *get() const { return p; }
};
using User = Owned<rspi_user, rspi_free_user>;
using Group = Owned<rspi_group, rspi_free_group>;
using Policy = Owned<rspi_policy, rspi_free_policy>;
using Creds = Owned<rspi_rescreds, rspi_free_rescreds>;
using Authn = Owned<rspi_authndata, rspi_free_authndata>;

char *dup(std::string_view v) { return rspi_strdup(std::string(v).c_str()); }

rspi_authndata *password(std::string_view v) {
    rspi_authndata *a = rspi_alloc_authndata();
    a->type = 1;
    a->length = static_cast<uint32_t>(v.size());
    a->data = dup(v);
    return a;
}

User make_user(std::string_view domain, std::string_view id) {
    User u(rspi_alloc_user());
    u->domain = dup(domain);
    u->user_id = dup(id);
    return u;
}

// A record that changes nothing of what it does not name (modify, enable).
void leave_unset(rspi_user *u) {
    u->flag_1 = 2;
    u->account_valid = 2;
    u->number_2 = -1;
}

Group make_group(std::string_view domain, std::string_view id) {
    Group g(rspi_alloc_group());
    g->domain = dup(domain);
    g->group_id = dup(id);
    return g;
}

std::string failed(const char *fn, uint32_t rc, uint32_t want = RSPI_RC_SUCCESS) {
    if (rc == want) return {};
    return std::string(fn) + " returned " + std::to_string(rc) + " (expected " + std::to_string(want) + ")";
}

// The operations of the user lifecycle that may land later: looked up at run
// time so that the benchmarks build and run without them.
using UserFn = uint32_t (*)(char **, rspi_user *);
UserFn late(const char *name) { return reinterpret_cast<UserFn>(::dlsym(RTLD_DEFAULT, name)); }

std::string missing_of(std::initializer_list<std::pair<const char *, UserFn>> fns) {
    std::string out;
    for (const auto &[name, fn] : fns)
        if (!fn) out.append(out.empty() ? "" : ", ").append(name);
    return out;
}

// kTargets users spread over the registry that satisfy keep(i).
template <class Keep>
std::vector<std::size_t> spread(const Registry &reg, Keep keep) {
    const std::size_t m = std::min(kTargets, reg.n);
    std::vector<std::size_t> out;
    for (std::size_t j = 0; j < m; ++j) {
        std::size_t i = (j * reg.n) / m + j % 7;
        for (std::size_t tries = 0; tries < reg.n && !keep(i % reg.n); ++tries) ++i;
        out.push_back(i % reg.n);
    }
    return out;
}
std::vector<std::size_t> spread(const Registry &reg) {
    return spread(reg, [](std::size_t) { return true; });
}

std::string user_path(const Registry &reg, std::size_t i) {
    return reg.dir + user_file_name(user_domain(i), user_id(i));
}

class Base : public Operation {
protected:
    Base(char **h, const Registry &reg)
        : h_(h), reg_(reg), userlist_(reg.dir + "userlist.file"), certdnlist_(reg.dir + "certdnlist.file"),
          scratch_(reg.dir + std::string(kFloorRecord)) {}
    ~Base() override {
        // Floors leave no scratch file behind.
        ::unlink(scratch_.c_str());
        ::unlink((reg_.dir + std::string(kFloorRenamed)).c_str());
    }
    char **h_;
    const Registry &reg_;
    const std::string userlist_, certdnlist_, scratch_;
};

// --- authentication and fetching -------------------------------------------

class AuthenticateUser : public Base {
public:
    AuthenticateUser(char **h, const Registry &reg) : Base(h, reg) {
        for (std::size_t i : spread(reg)) {
            users_.push_back(make_user(user_domain(i), user_id(i)));
            authn_.emplace_back(password(user_password(i)));
            paths_.push_back(user_path(reg, i));
        }
    }
    std::string run(std::size_t k) override {
        const std::size_t t = k % users_.size();
        return failed("rspi_authenticate_user", rspi_authenticate_user(h_, users_[t].get(), authn_[t].get()));
    }
    void floor(std::size_t k) override { floor::read_record(paths_[k % paths_.size()]); }

private:
    std::vector<User> users_;
    std::vector<Authn> authn_;
    std::vector<std::string> paths_;
};

class GetUser : public Base {
public:
    GetUser(char **h, const Registry &reg) : Base(h, reg) {
        for (std::size_t i : spread(reg)) {
            users_.push_back(make_user(user_domain(i), user_id(i)));
            paths_.push_back(user_path(reg, i));
        }
    }
    std::string run(std::size_t k) override {
        return failed("rspi_get_user", rspi_get_user(h_, users_[k % users_.size()].get()));
    }
    void floor(std::size_t k) override { floor::read_record(paths_[k % paths_.size()]); }

private:
    std::vector<User> users_;
    std::vector<std::string> paths_;
};

// --- changing users ----------------------------------------------------------

class CreateDeleteUser : public Base {
public:
    CreateDeleteUser(char **h, const Registry &reg)
        : Base(h, reg), delete_user_(late("rspi_delete_user")), user_(make_user(kBenchDomain, kBenchUser)) {
        rspi_user *u = user_.get();
        u->description = dup("Benchmark user");
        u->password = password("bench-password");
        u->registry_id = dup("uid=benchuser,ou=lab,o=Example");
        u->cert_dn = dup("CN=benchuser, OU=lab, O=Example");
        u->account_valid = 1;
        u->login_types = rspi_alloc_logintypes(2);
        u->login_types->types[0] = dup("web");
        u->login_types->types[1] = dup("ssh");
        bytes_ = user_file_bytes(0);
    }
    std::string missing() const override { return missing_of({{"rspi_delete_user", delete_user_}}); }
    std::string run(std::size_t) override {
        rspi_user *u = user_.get();
        // A new user every time: the plug-in makes its UUID.
        rspi_free(u->uuid_string);
        u->uuid_string = nullptr;
        if (auto e = failed("rspi_create_user", rspi_create_user(h_, u)); !e.empty()) return e;
        return failed("rspi_delete_user", delete_user_(h_, u));
    }
    void floor(std::size_t) override {
        floor::write_record(scratch_, bytes_);
        floor::rewrite_index(userlist_);
        floor::rewrite_index(certdnlist_);
        floor::next_call();
        floor::rewrite_index(certdnlist_);
        floor::unlink_file(scratch_);
        floor::rewrite_index(userlist_);
    }

private:
    UserFn delete_user_;
    User user_;
    std::string bytes_;
};

class ModifyUser : public Base {
public:
    ModifyUser(char **h, const Registry &reg) : Base(h, reg) {
        for (std::size_t i : spread(reg)) {
            User u = make_user(user_domain(i), user_id(i));
            u->description = dup(user_description(i));  // the stored value: the files stay as they are
            leave_unset(u.get());
            users_.push_back(std::move(u));
            paths_.push_back(user_path(reg, i));
            bytes_.push_back(user_file_bytes(i));
        }
    }
    std::string run(std::size_t k) override {
        return failed("rspi_modify_user", rspi_modify_user(h_, users_[k % users_.size()].get()));
    }
    void floor(std::size_t k) override {
        const std::size_t t = k % paths_.size();
        floor::read_record(paths_[t]);
        floor::rewrite_index(certdnlist_);
        floor::write_record(scratch_, bytes_[t]);
        floor::rewrite_index(userlist_);
        floor::rewrite_index(certdnlist_);
    }

private:
    std::vector<User> users_;
    std::vector<std::string> paths_, bytes_;
};

class DisableEnableUser : public Base {
public:
    DisableEnableUser(char **h, const Registry &reg)
        : Base(h, reg), disable_(late("rspi_disable_user")), enable_(late("rspi_enable_user")),
          renamed_(reg.dir + std::string(kFloorRenamed)) {
        // Users without credentials: disabling deletes credentials, and
        // enabling does not bring them back.
        for (std::size_t i : spread(reg, [&](std::size_t i) { return !has_creds(reg.shape, i); })) {
            disable_users_.push_back(make_user(user_domain(i), user_id(i)));
            User e = make_user(user_domain(i), user_id(i));
            e->registry_id = dup(user_registry_id(i));
            e->uuid_string = dup(user_uuid(i));
            leave_unset(e.get());
            enable_users_.push_back(std::move(e));
            paths_.push_back(user_path(reg, i));
            bytes_.push_back(user_file_bytes(i));
        }
        floor::write_record(scratch_, bytes_.front());
    }
    std::string missing() const override {
        return missing_of({{"rspi_disable_user", disable_}, {"rspi_enable_user", enable_}});
    }
    std::string run(std::size_t k) override {
        const std::size_t t = k % paths_.size();
        if (auto e = failed("rspi_disable_user", disable_(h_, disable_users_[t].get())); !e.empty()) return e;
        return failed("rspi_enable_user", enable_(h_, enable_users_[t].get()));
    }
    void floor(std::size_t k) override {
        const std::size_t t = k % paths_.size();
        // disable: read, purge the certificate DN, rename, disable the list line
        floor::read_record(paths_[t]);
        floor::rewrite_index(certdnlist_);
        floor::rename_file(scratch_, renamed_);
        floor::rewrite_index(userlist_);
        floor::next_call();
        // enable: rename back, read, write and index the user, then modify it
        floor::rename_file(renamed_, scratch_);
        floor::read_record(paths_[t]);
        floor::write_record(scratch_, bytes_[t]);
        floor::rewrite_index(userlist_);
        floor::rewrite_index(certdnlist_);
        floor::read_record(paths_[t]);
        floor::rewrite_index(certdnlist_);
        floor::write_record(scratch_, bytes_[t]);
        floor::rewrite_index(userlist_);
        floor::rewrite_index(certdnlist_);
    }

private:
    UserFn disable_, enable_;
    const std::string renamed_;
    std::vector<User> disable_users_, enable_users_;
    std::vector<std::string> paths_, bytes_;
};

// --- listings ------------------------------------------------------------------
// A walk's floor makes the heap calls the listing interface itself demands
// (an item and a copy of its text per line, two names copied again per step),
// without any parsing: what is left is the plug-in's own work.

class UserlistWalk : public Base {
public:
    UserlistWalk(char **h, const Registry &reg) : Base(h, reg) {}
    std::string run(std::size_t) override {
        Owned<rspi_userlist, rspi_free_userlist> list(rspi_alloc_userlist());
        if (auto e = failed("rspi_get_userlist", rspi_get_userlist(h_, list.get(), 0, nullptr, nullptr, nullptr));
            !e.empty())
            return e;
        User user(rspi_alloc_user());
        std::size_t count = 0;
        uint32_t rc;
        while ((rc = rspi_next_user(h_, list.get(), user.get(), 0)) == RSPI_RC_SUCCESS) ++count;
        if (auto e = failed("rspi_next_user", rc, RSPI_RC_NO_MORE_ENTRIES); !e.empty()) return e;
        if (count != reg_.n) return "rspi_next_user walked " + std::to_string(count) + " users";
        return {};
    }
    void floor(std::size_t) override { floor::scan_index_as_listing(userlist_); }
};

class GrouplistWalk : public Base {
public:
    GrouplistWalk(char **h, const Registry &reg) : Base(h, reg), grouplist_(reg.dir + "grouplist.file") {}
    std::string run(std::size_t) override {
        Owned<rspi_grouplist, rspi_free_grouplist> list(rspi_alloc_grouplist());
        if (auto e = failed("rspi_get_grouplist", rspi_get_grouplist(h_, list.get(), 0, nullptr, nullptr, nullptr));
            !e.empty())
            return e;
        Group group(rspi_alloc_group());
        std::size_t count = 0;
        uint32_t rc;
        while ((rc = rspi_next_group(h_, list.get(), group.get(), 0)) == RSPI_RC_SUCCESS) ++count;
        if (auto e = failed("rspi_next_group", rc, RSPI_RC_NO_MORE_ENTRIES); !e.empty()) return e;
        if (count != reg_.shape.groups) return "rspi_next_group walked " + std::to_string(count) + " groups";
        return {};
    }
    void floor(std::size_t) override { floor::scan_index_as_listing(grouplist_); }

private:
    const std::string grouplist_;
};

// --- lookups ---------------------------------------------------------------------

enum class By { Uuid, CertDn, RegistryId };

// Warm: the plug-in's copy of the index is current; the floor is what a
// cached lookup cannot do without: one stat of the index, one probe of a hash
// table of all N keys, and the read of the user found. Cold: the index was
// rewritten (same bytes, a new file renamed over it) before each run, and the
// run is the first lookup to meet it (which reads it as without a cache);
// Rebuild: the second (which makes the copy). Their floor is the scan a
// lookup without a copy does.
enum class Temp { Warm, Cold, Rebuild };

class LookupUser : public Base {
public:
    LookupUser(char **h, const Registry &reg, By by, Temp temp)
        : Base(h, reg), by_(by), cold_(temp != Temp::Warm), rebuild_(temp == Temp::Rebuild),
          index_(by == By::CertDn ? certdnlist_ : userlist_) {
        for (std::size_t i : spread(reg)) {
            User u(rspi_alloc_user());
            switch (by) {
            case By::Uuid: u->uuid_string = dup(user_uuid(i)); break;
            case By::CertDn: u->cert_dn = dup(user_cert_dn(i)); break;
            case By::RegistryId: u->registry_id = dup(user_registry_id(i)); break;
            }
            keys_.push_back(key_of(by, i));
            users_.push_back(std::move(u));
            paths_.push_back(user_path(reg, i));
        }
        if (cold_) {
            bytes_ = read_all(index_);
        } else {
            for (std::size_t i = 0; i < reg.n; ++i) table_.emplace(key_of(by, i), i);
        }
    }
    void prepare(std::size_t k) override {
        if (!cold_) return;
        floor::replace_file(index_, bytes_);
        if (rebuild_) (void)run(k + 1);
    }
    std::string run(std::size_t k) override {
        rspi_user *u = users_[k % users_.size()].get();
        switch (by_) {
        case By::Uuid: return failed("rspi_get_user_by_uuid", rspi_get_user_by_uuid(h_, u));
        case By::CertDn: return failed("rspi_get_user_by_certdn", rspi_get_user_by_certdn(h_, u));
        case By::RegistryId: return failed("rspi_get_user_by_rgyid", rspi_get_user_by_rgyid(h_, u));
        }
        return "unknown lookup";
    }
    void floor(std::size_t k) override {
        if (cold_) {
            floor::scan_index(index_);
        } else {
            floor::probe(index_);
            const auto it = table_.find(keys_[k % keys_.size()]);
            if (it == table_.end()) throw std::runtime_error("floor: key not in the table");
            sink_ = it->second;
        }
        floor::read_record(paths_[k % paths_.size()]);
    }

private:
    static std::string key_of(By by, std::size_t i) {
        switch (by) {
        case By::Uuid: return user_uuid(i);
        case By::CertDn: return user_cert_dn(i);
        case By::RegistryId: return user_registry_id(i);
        }
        return {};
    }
    static std::string read_all(const std::string &path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    By by_;
    bool cold_, rebuild_;
    const std::string index_;
    std::vector<User> users_;
    std::vector<std::string> paths_, keys_;
    std::string bytes_;
    std::unordered_map<std::string, std::size_t> table_;
    volatile std::size_t sink_ = 0;
};

// --- groups, policies, credentials ---------------------------------------------

class AddRemoveGroupMember : public Base {
public:
    AddRemoveGroupMember(char **h, const Registry &reg) : Base(h, reg) {
        for (std::size_t i : spread(reg, [&](std::size_t i) { return is_member(reg.shape, i); })) {
            const std::size_t g = group_without_user(reg.shape, i);
            Target t{make_user(user_domain(i), user_id(i)), make_group(group_domain(g), group_id(g)),
                     user_path(reg, i), reg.dir + group_file_name(group_domain(g), group_id(g)),
                     reg.dir + members_file_name(group_domain(g), group_id(g)),
                     reg.dir + my_groups_file_name(user_domain(i), user_id(i))};
            targets_.push_back(std::move(t));
        }
    }
    std::string run(std::size_t k) override {
        Target &t = targets_[k % targets_.size()];
        if (auto e = failed("rspi_add_group_member", rspi_add_group_member(h_, t.group.get(), t.user.get()));
            !e.empty())
            return e;
        return failed("rspi_remove_group_member", rspi_remove_group_member(h_, t.group.get(), t.user.get()));
    }
    void floor(std::size_t k) override {
        const Target &t = targets_[k % targets_.size()];
        floor::probe(t.group_file);
        floor::probe(t.user_file);
        floor::rewrite_index(t.members);
        floor::rewrite_index(t.my_groups);
        floor::next_call();
        floor::probe(t.group_file);
        floor::rewrite_index(t.members);
        floor::rewrite_index(t.my_groups);
    }

private:
    struct Target {
        User user;
        Group group;
        std::string user_file, group_file, members, my_groups;
    };
    std::vector<Target> targets_;
};

class CreateDeletePolicy : public Base {
public:
    CreateDeletePolicy(char **h, const Registry &reg)
        : Base(h, reg), policy_(rspi_alloc_policy()), policylist_(reg.dir + "policylist.file") {
        policy_->domain = dup(kBenchDomain);
        policy_->policy_id = dup(kBenchPolicy);
        policy_->description = dup("Benchmark policy");
        policy_->state = 2;
        // A generated policy of the same shape stands in for its bytes.
        const std::string sample = reg.dir + policy_file_name(policy_domain(0), policy_id(0));
        bytes_.resize(floor::read_record(sample), 'x');
    }
    std::string run(std::size_t) override {
        if (auto e = failed("rspi_create_policy", rspi_create_policy(h_, policy_.get())); !e.empty()) return e;
        return failed("rspi_delete_policy", rspi_delete_policy(h_, policy_.get()));
    }
    void floor(std::size_t) override {
        floor::write_record(scratch_, bytes_);
        floor::rewrite_index(policylist_);
        floor::next_call();
        floor::unlink_file(scratch_);
        floor::rewrite_index(policylist_);
    }

private:
    Policy policy_;
    const std::string policylist_;
    std::string bytes_;
};

class CreateDeleteRescreds : public Base {
public:
    CreateDeleteRescreds(char **h, const Registry &reg) : Base(h, reg) {
        for (std::size_t i : spread(reg, [&](std::size_t i) { return has_creds(reg.shape, i); })) {
            Target t{make_user(user_domain(i), user_id(i)), Creds(rspi_alloc_rescreds()), user_path(reg, i),
                     reg.dir + my_creds_file_name(user_domain(i), user_id(i))};
            t.creds->name = dup(kBenchCreds);
            t.creds->description = dup("Benchmark credential");
            t.creds->state = 2;
            t.creds->password = password("bench-secret");
            targets_.push_back(std::move(t));
        }
        const std::size_t i0 = 0;  // user 0 holds credentials
        const std::string sample =
            reg.dir + creds_file_name(user_domain(i0), user_id(i0), resource_name(cred_resource(reg.shape, i0, 0)));
        bytes_.resize(floor::read_record(sample), 'x');
    }
    std::string run(std::size_t k) override {
        Target &t = targets_[k % targets_.size()];
        if (auto e = failed("rspi_create_rescreds", rspi_create_rescreds(h_, t.user.get(), t.creds.get()));
            !e.empty())
            return e;
        return failed("rspi_delete_rescreds", rspi_delete_rescreds(h_, t.user.get(), t.creds.get()));
    }
    void floor(std::size_t k) override {
        const Target &t = targets_[k % targets_.size()];
        floor::probe(t.user_file);
        floor::write_record(scratch_, bytes_);
        floor::rewrite_index(t.my_creds);
        floor::next_call();
        floor::unlink_file(scratch_);
        floor::rewrite_index(t.my_creds);
    }

private:
    struct Target {
        User user;
        Creds creds;
        std::string user_file, my_creds;
    };
    std::vector<Target> targets_;
    std::string bytes_;
};

template <class T>
std::unique_ptr<Operation> make(char **h, const Registry &reg) {
    return std::make_unique<T>(h, reg);
}
template <By by, Temp temp>
std::unique_ptr<Operation> make_lookup(char **h, const Registry &reg) {
    return std::make_unique<LookupUser>(h, reg, by, temp);
}

}  // namespace

const std::vector<OpInfo> &operations() {
    static const std::vector<OpInfo> ops = {
        {"authenticate_user", false, make<AuthenticateUser>},
        {"get_user", false, make<GetUser>},
        {"get_user_by_uuid", false, make_lookup<By::Uuid, Temp::Warm>},
        {"get_user_by_certdn", false, make_lookup<By::CertDn, Temp::Warm>},
        {"get_user_by_rgyid", false, make_lookup<By::RegistryId, Temp::Warm>},
        {"get_user_by_uuid_cold", false, make_lookup<By::Uuid, Temp::Cold>},
        {"get_user_by_certdn_cold", false, make_lookup<By::CertDn, Temp::Cold>},
        {"get_user_by_rgyid_cold", false, make_lookup<By::RegistryId, Temp::Cold>},
        {"get_user_by_uuid_rebuild", false, make_lookup<By::Uuid, Temp::Rebuild>},
        {"get_user_by_certdn_rebuild", false, make_lookup<By::CertDn, Temp::Rebuild>},
        {"get_user_by_rgyid_rebuild", false, make_lookup<By::RegistryId, Temp::Rebuild>},
        {"userlist_walk", false, make<UserlistWalk>},
        {"grouplist_walk", false, make<GrouplistWalk>},
        {"create_delete_user", true, make<CreateDeleteUser>},
        {"modify_user", true, make<ModifyUser>},
        {"disable_enable_user", true, make<DisableEnableUser>},
        {"add_remove_group_member", true, make<AddRemoveGroupMember>},
        {"create_delete_policy", true, make<CreateDeletePolicy>},
        {"create_delete_rescreds", true, make<CreateDeleteRescreds>},
    };
    return ops;
}

}  // namespace tolvbench
