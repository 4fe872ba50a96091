// Fault walks: fail the N-th file operation, and separately the N-th host
// allocation, for N = 1, 2, ... through one call of each family until the
// call gets through. Every index must stay its old or its new self, no
// temporary file may stay behind, and a failed step gives its own code: 6 for
// a file operation, 3 for an allocation, or the one code the interface names
// for a step (a credential file that cannot be removed, say).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <tuple>

#include "records.h"
#include "tolvinternal.h"

using namespace tolvtest;

namespace {

using Files = std::map<std::string, std::string>;

bool is_index(const std::string &name) {
    for (const char *suffix : {".file", ".GPmembers", ".myGroups", ".myResCreds", ".RGmembers"}) {
        const std::string s(suffix);
        if (name.size() >= s.size() && name.compare(name.size() - s.size(), s.size(), s) == 0) return true;
    }
    return false;
}

// Every name in the directory with its bytes ("<dir>" for a directory, such as a journal).
Files everything(const std::string &dir) {
    Files out;
    for (const auto &f : list_dir(dir)) {
        struct stat st;
        out[f] = ::lstat((dir + f).c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? "<dir>" : read_file(dir + f);
    }
    return out;
}

Files indexes_of(const Files &all) {
    Files out;
    for (const auto &[name, bytes] : all)
        if (is_index(name)) out[name] = bytes;
    return out;
}

const char *kUuidA = "0a3c6a02-7c4e-4b7e-9d1e-1b2c3d4e5f60";
const char *kUuidB = "1b3c6a02-7c4e-4b7e-9d1e-1b2c3d4e5f61";
const char *kUuidG = "2c3c6a02-7c4e-4b7e-9d1e-1b2c3d4e5f62";
const char *kUuidC = "3d3c6a02-7c4e-4b7e-9d1e-1b2c3d4e5f63";

User person(const char *id, const char *rgy = nullptr, const char *uuid = nullptr) {
    User u = user("corp", id);
    u.set(u->registry_id, rgy).set(u->uuid_string, uuid);
    u->flag_1 = u->account_valid = 2;
    u->number_2 = -1;
    return u;
}
Group team(const char *id, const char *rgy = nullptr, const char *uuid = nullptr) {
    Group g = group("corp", id, rgy);
    g.set(g->uuid_string, uuid);
    return g;
}
Creds credential(const char *name) {
    Creds c;
    c.set(c->name, name);
    c->state = 2;
    return c;
}

// A registry with two users in two groups, each user holding a credential.
void populate(char **h) {
    for (auto [id, rgy, uuid] : {std::tuple{"ann", "ANN", kUuidA}, std::tuple{"bob", "BOB", kUuidB}}) {
        User u = person(id, rgy, uuid);
        u.set(u->cert_dn, (std::string("cn=") + id).c_str());
        u->password = password("pw");
        ASSERT_EQ(rspi_create_user(h, u.get()), 0u);
        ASSERT_EQ(rspi_create_rescreds(h, u.get(), credential("web:1").get()), 0u);
    }
    for (const char *gid : {"dev", "ops"}) {
        ASSERT_EQ(rspi_create_group(h, team(gid, gid, gid[0] == 'd' ? kUuidG : kUuidC).get()), 0u);
        for (const char *id : {"ann", "bob"}) ASSERT_EQ(rspi_add_group_member(h, team(gid).get(), person(id).get()), 0u);
    }
}

struct Scenario {
    const char *name;
    std::function<void(char **)> setup;
    std::function<uint32_t(char **)> call;
    // The call rewrites one index in several steps (one per membership, say):
    // a failure may leave it after any whole step, so only old-or-new per
    // step can be asked, which the list tests check.
    bool stepwise = false;
    // The code of the one step whose failed file operation the interface
    // reports otherwise than with 6 (0: none).
    uint32_t step_code = 0;
};

// Faults are armed only around the call itself, never while the test builds
// or releases its own records.
std::function<void()> g_arm = [] {};
std::function<void()> g_disarm = [] {};
template <class F>
uint32_t armed(F &&call) {
    g_arm();
    const uint32_t rc = call();
    g_disarm();
    return rc;
}
template <class R>
uint32_t on(char **h, const R &rec, uint32_t (*op)(char **, typename R::element_type *)) {
    return armed([&] { return op(h, rec.get()); });
}
uint32_t on_member(char **h, uint32_t (*op)(char **, rspi_group *, rspi_user *)) {
    Group g = team("dev");
    User u = person("bob");
    return armed([&] { return op(h, g.get(), u.get()); });
}
// A listing walked to its end, every entry fetched.
template <class L, class R, class List>
uint32_t walk(List &&get_list, uint32_t (*next)(char **, L *, R *, int32_t), char **h, L *l, R *r) {
    return armed([&] {
        uint32_t rc = get_list(l);
        while (rc == 0) rc = next(h, l, r, 1);
        return rc == RSPI_RC_NO_MORE_ENTRIES ? 0u : rc;
    });
}

std::vector<Scenario> scenarios() {
    return {
        {"create user", populate,
         [](char **h) {
             User u = person("cy", "CY", kUuidG);
             u.set(u->cert_dn, "cn=cy");
             u->blob = rspi_alloc_blob(3);
             return on(h, u, rspi_create_user);
         }},
        {"modify user", populate,
         [](char **h) {
             User u = person("ann");
             u.set(u->cert_dn, "cn=new");
             return on(h, u, rspi_modify_user);
         },
         true},
        // A credential file that cannot be removed ends delete and disable with 35.
        {"delete user", populate, [](char **h) { return on(h, person("ann"), rspi_delete_user); }, true,
         RSPI_RC_INVALID_RESCREDS},
        {"disable user", populate, [](char **h) { return on(h, person("ann"), rspi_disable_user); }, false,
         RSPI_RC_INVALID_RESCREDS},
        {"enable user",
         [](char **h) {
             populate(h);
             ASSERT_EQ(rspi_disable_user(h, person("ann").get()), 0u);
         },
         // A disabled user file that cannot be renamed back is "not disabled".
         [](char **h) { return on(h, person("ann", "ANN", kUuidA), rspi_enable_user); }, false,
         RSPI_RC_USER_NOT_DISABLED},
        {"create group", populate, [](char **h) { return on(h, team("qa", "QA", kUuidB), rspi_create_group); }},
        {"remove member", populate, [](char **h) { return on_member(h, rspi_remove_group_member); }},
        {"delete group", populate, [](char **h) { return on(h, team("dev"), rspi_delete_group); }, true},
        {"disable group", populate, [](char **h) { return on(h, team("dev"), rspi_disable_group); }},
        {"delete credential", populate,
         [](char **h) {
             User u = person("bob");
             Creds c = credential("web:1");
             return armed([&] { return rspi_delete_rescreds(h, u.get(), c.get()); });
         },
         false, RSPI_RC_INVALID_RESCREDS},
        {"add member",
         [](char **h) {
             populate(h);
             ASSERT_EQ(rspi_remove_group_member(h, team("dev").get(), person("bob").get()), 0u);
         },
         [](char **h) { return on_member(h, rspi_add_group_member); }},
        {"create credential", populate,
         [](char **h) {
             User u = person("ann");
             Creds c = credential("mail");
             c->blob = rspi_alloc_blob(4);
             return armed([&] { return rspi_create_rescreds(h, u.get(), c.get()); });
         }},
        {"add resource-group member",
         [](char **h) {
             populate(h);
             Resource r;
             r.set(r->name, "printer");
             r->state = 2;
             ASSERT_EQ(rspi_create_resource(h, r.get()), 0u);
             Resgroup g;
             g.set(g->name, "floor1");
             g->state = 2;
             ASSERT_EQ(rspi_create_resgroup(h, g.get()), 0u);
         },
         [](char **h) {
             Resgroup g;
             g.set(g->name, "floor1");
             std::string member = "printer";
             return armed([&] { return rspi_add_resgroup_member(h, g.get(), member.data()); });
         }},
        // Reads: every string they hand over is an allocation that may fail.
        {"get user", populate, [](char **h) { return on(h, person("ann"), rspi_get_user); }},
        {"authenticate", populate,
         [](char **h) {
             User u = person("ann");
             Authn a("pw");
             return armed([&] { return rspi_authenticate_user(h, u.get(), a.get()); });
         }},
        {"find by certificate DN", populate,
         [](char **h) {
             User u;
             u.set(u->cert_dn, "cn=bob");
             return on(h, u, rspi_get_user_by_certdn);
         }},
        {"walk users with fetch", populate,
         [](char **h) {
             UserList l;
             User u;
             return walk([h](rspi_userlist *l) { return rspi_get_userlist(h, l, 0, nullptr, nullptr, nullptr); },
                         rspi_next_user, h, l.get(), u.get());
         }},
        {"walk groups with fetch", populate,
         [](char **h) {
             GroupList l;
             Group g;
             return walk([h](rspi_grouplist *l) { return rspi_get_grouplist(h, l, 0, nullptr, nullptr, nullptr); },
                         rspi_next_group, h, l.get(), g.get());
         }},
        {"walk credentials with fetch", populate,
         [](char **h) {
             User u = person("bob");
             CredsList l;
             Creds c;
             return walk([&](rspi_rescredslist *l) { return rspi_get_rescredslist(h, u.get(), l); },
                         rspi_next_rescreds, h, l.get(), c.get());
         }},
        {"create policy", populate,
         [](char **h) {
             Policy p;
             p.set(p->domain, "corp").set(p->policy_id, "gold");
             p->state = 2;
             return on(h, p, rspi_create_policy);
         }},
    };
}

// One fresh registry: initialised, set up, terminated on scope exit.
class Fresh {
public:
    explicit Fresh(const Scenario &s) {
        write_file(conf_.path() + "tolv.conf", "dir=" + dir_.path() + "\n");
        EXPECT_EQ(rspi_initialize(&h, (conf_.path() + "tolv.conf").c_str()), 0u);
        s.setup(h);
    }
    ~Fresh() { rspi_terminate(h); }
    const std::string &dir() const { return dir_.path(); }
    char **h = nullptr;

private:
    TempDir dir_, conf_;
};

// What a walk fails: the N-th file operation or the N-th allocation, and the
// code such a failure gives.
struct Fault {
    const char *what;
    uint32_t code;
    std::function<void(long n)> arm;
    std::function<long()> disarm;  // the number of operations or allocations seen
};

const Fault kFaults[] = {
    {"file operation", RSPI_RC_FILE_ERROR,
     [](long n) { tolv::io::fail_nth_operation(n, n % 3 == 0 ? EIO : (n % 3 == 1 ? ENOSPC : EACCES)); },
     [] {
         const long seen = tolv::io::operations_seen();
         tolv::io::fail_nth_operation(0, 0);
         return seen;
     }},
    {"allocation", RSPI_RC_NO_MEMORY, [](long n) { rspiutil_fail_nth_alloc(n); },
     [] {
         const long seen = rspiutil_alloc_count();
         rspiutil_fail_nth_alloc(0);
         return seen;
     }},
};

std::set<std::string> names(const Files &m) {
    std::set<std::string> out;
    for (const auto &[k, v] : m) out.insert(k);
    return out;
}

void walk(const Fault &fault) {
    for (const Scenario &s : scenarios()) {
        Files clean;
        {
            Fresh f(s);
            ASSERT_EQ(s.call(f.h), 0u) << s.name;
            clean = everything(f.dir());
        }
        for (long n = 1;; ++n) {
            Fresh f(s);
            const Files pre = everything(f.dir());
            long seen = 0;
            g_arm = [&] { fault.arm(n); };
            g_disarm = [&] { seen = fault.disarm(); };
            const uint32_t rc = s.call(f.h);
            g_arm = g_disarm = [] {};
            const std::string where = std::string(s.name) + " failing " + fault.what + " " + std::to_string(n);
            // 0 only where the failed step is one the call may do without.
            const bool step = fault.code == RSPI_RC_FILE_ERROR && s.step_code != 0 && rc == s.step_code;
            EXPECT_TRUE(rc == 0 || rc == fault.code || step) << where << ": rc " << rc;
            // All or nothing: a failed call leaves the directory exactly as it
            // was, no journal included; a call that gets through did all of it.
            const Files now = everything(f.dir());
            EXPECT_TRUE(rc != fault.code || now == pre) << where;
            EXPECT_TRUE(rc != 0 || (names(now) == names(clean) && indexes_of(now) == indexes_of(clean))) << where;
            if (seen < n) {  // the call made fewer: walk done
                EXPECT_EQ(rc, 0u) << where;
                std::printf("%-28s %3ld %ss failed in turn\n", s.name, n - 1, fault.what);
                break;
            }
            ASSERT_LT(n, 400) << s.name;
        }
    }
}

}  // namespace

TEST(FaultWalk, FailingEachFileOperation) { walk(kFaults[0]); }
TEST(FaultWalk, FailingEachAllocation) { walk(kFaults[1]); }
