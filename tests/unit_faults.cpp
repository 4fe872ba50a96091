// Fault walks: fail the N-th file operation, and separately the N-th host
// allocation, for N = 1, 2, ... through one call of each family until the
// call gets through. Every index must stay its old or its new self, no
// temporary file may stay behind, and the code must be one the call may give.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <map>
#include <set>
#include <string>

#include "registry.h"
#include "rspiutil_test.h"
#include "tolvinternal.h"

using tolvtest::list_dir;
using tolvtest::read_file;
using tolvtest::TempDir;
using tolvtest::write_file;

namespace {

using Files = std::map<std::string, std::string>;

bool is_index(const std::string &name) {
    for (const char *suffix : {".file", ".GPmembers", ".myGroups", ".myResCreds", ".RGmembers"}) {
        const std::string s(suffix);
        if (name.size() >= s.size() && name.compare(name.size() - s.size(), s.size(), s) == 0) return true;
    }
    return false;
}

Files indexes(const std::string &dir) {
    Files out;
    for (const auto &f : list_dir(dir))
        if (is_index(f)) out[f] = read_file(dir + f);
    return out;
}

// Builds records through librspiutil; released by the caller's free.
rspi_user *user(const char *domain, const char *id, const char *rgy = nullptr, const char *uuid = nullptr) {
    rspi_user *u = rspi_alloc_user();
    u->domain = rspi_strdup(domain);
    u->user_id = rspi_strdup(id);
    if (rgy) u->registry_id = rspi_strdup(rgy);
    if (uuid) u->uuid_string = rspi_strdup(uuid);
    u->flag_1 = 2;
    u->account_valid = 2;
    u->number_2 = -1;
    return u;
}

rspi_group *group(const char *domain, const char *id, const char *rgy = nullptr, const char *uuid = nullptr) {
    rspi_group *g = rspi_alloc_group();
    g->domain = rspi_strdup(domain);
    g->group_id = rspi_strdup(id);
    if (rgy) g->registry_id = rspi_strdup(rgy);
    if (uuid) g->uuid_string = rspi_strdup(uuid);
    g->state = 2;
    return g;
}

const char *kUuidA = "0a3c6a02-7c4e-4b7e-9d1e-1b2c3d4e5f60";
const char *kUuidB = "1b3c6a02-7c4e-4b7e-9d1e-1b2c3d4e5f61";
const char *kUuidG = "2c3c6a02-7c4e-4b7e-9d1e-1b2c3d4e5f62";
const char *kUuidC = "3d3c6a02-7c4e-4b7e-9d1e-1b2c3d4e5f63";

// A registry with two users in two groups, each user holding a credential.
void populate(char **h) {
    for (auto [id, rgy, uuid] : {std::tuple{"ann", "ANN", kUuidA}, std::tuple{"bob", "BOB", kUuidB}}) {
        rspi_user *u = user("corp", id, rgy, uuid);
        u->cert_dn = rspi_strdup((std::string("cn=") + id).c_str());
        u->password = rspi_alloc_authndata();
        u->password->type = 1;
        u->password->length = 2;
        u->password->data = rspi_strdup("pw");
        ASSERT_EQ(rspi_create_user(h, u), 0u);
        rspi_rescreds *c = rspi_alloc_rescreds();
        c->name = rspi_strdup("web:1");
        c->state = 2;
        ASSERT_EQ(rspi_create_rescreds(h, u, c), 0u);
        rspi_free_rescreds(c);
        rspi_free_user(u);
    }
    for (const char *gid : {"dev", "ops"}) {
        rspi_group *g = group("corp", gid, gid, gid[0] == 'd' ? kUuidG : kUuidC);
        ASSERT_EQ(rspi_create_group(h, g), 0u);
        for (const char *id : {"ann", "bob"}) {
            rspi_user *u = user("corp", id);
            ASSERT_EQ(rspi_add_group_member(h, g, u), 0u);
            rspi_free_user(u);
        }
        rspi_free_group(g);
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

template <class R, class Free>
uint32_t with(R *rec, Free free_rec, const std::function<uint32_t(R *)> &f) {
    const uint32_t rc = armed([&] { return f(rec); });
    free_rec(rec);
    return rc;
}

std::vector<Scenario> scenarios() {
    return {
        {"create user", populate,
         [](char **h) {
             rspi_user *u = user("corp", "cy", "CY", kUuidG);
             u->cert_dn = rspi_strdup("cn=cy");
             u->blob = rspi_alloc_blob(3);
             return with<rspi_user>(u, rspi_free_user, [&](rspi_user *r) { return rspi_create_user(h, r); });
         }},
        {"modify user", populate,
         [](char **h) {
             rspi_user *u = user("corp", "ann");
             u->cert_dn = rspi_strdup("cn=new");
             return with<rspi_user>(u, rspi_free_user, [&](rspi_user *r) { return rspi_modify_user(h, r); });
         },
         true},
        {"delete user", populate,
         [](char **h) {
             return with<rspi_user>(user("corp", "ann"), rspi_free_user,
                                    [&](rspi_user *r) { return rspi_delete_user(h, r); });
         },
         true},
        {"disable user", populate,
         [](char **h) {
             return with<rspi_user>(user("corp", "ann"), rspi_free_user,
                                    [&](rspi_user *r) { return rspi_disable_user(h, r); });
         }},
        {"enable user",
         [](char **h) {
             populate(h);
             rspi_user *u = user("corp", "ann");
             ASSERT_EQ(rspi_disable_user(h, u), 0u);
             rspi_free_user(u);
         },
         [](char **h) {
             return with<rspi_user>(user("corp", "ann", "ANN", kUuidA), rspi_free_user,
                                    [&](rspi_user *r) { return rspi_enable_user(h, r); });
         }},
        {"create group", populate,
         [](char **h) {
             return with<rspi_group>(group("corp", "qa", "QA", kUuidB), rspi_free_group,
                                     [&](rspi_group *g) { return rspi_create_group(h, g); });
         }},
        {"remove member", populate,
         [](char **h) {
             rspi_group *g = group("corp", "dev");
             rspi_user *u = user("corp", "bob");
             const uint32_t rc = armed([&] { return rspi_remove_group_member(h, g, u); });
             rspi_free_user(u);
             rspi_free_group(g);
             return rc;
         }},
        {"delete group", populate,
         [](char **h) {
             return with<rspi_group>(group("corp", "dev"), rspi_free_group,
                                     [&](rspi_group *g) { return rspi_delete_group(h, g); });
         },
         true},
        {"disable group", populate,
         [](char **h) {
             return with<rspi_group>(group("corp", "dev"), rspi_free_group,
                                     [&](rspi_group *g) { return rspi_disable_group(h, g); });
         }},
        {"delete credential", populate,
         [](char **h) {
             rspi_user *u = user("corp", "bob");
             rspi_rescreds *c = rspi_alloc_rescreds();
             c->name = rspi_strdup("web:1");
             const uint32_t rc = armed([&] { return rspi_delete_rescreds(h, u, c); });
             rspi_free_rescreds(c);
             rspi_free_user(u);
             return rc;
         }},
        {"add member",
         [](char **h) {
             populate(h);
             rspi_group *g = group("corp", "dev");
             rspi_user *u = user("corp", "bob");
             ASSERT_EQ(rspi_remove_group_member(h, g, u), 0u);
             rspi_free_user(u);
             rspi_free_group(g);
         },
         [](char **h) {
             rspi_group *g = group("corp", "dev");
             rspi_user *u = user("corp", "bob");
             const uint32_t rc = armed([&] { return rspi_add_group_member(h, g, u); });
             rspi_free_user(u);
             rspi_free_group(g);
             return rc;
         }},
        {"create credential", populate,
         [](char **h) {
             rspi_user *u = user("corp", "ann");
             rspi_rescreds *c = rspi_alloc_rescreds();
             c->name = rspi_strdup("mail");
             c->state = 2;
             c->blob = rspi_alloc_blob(4);
             const uint32_t rc = armed([&] { return rspi_create_rescreds(h, u, c); });
             rspi_free_rescreds(c);
             rspi_free_user(u);
             return rc;
         }},
        {"add resource-group member",
         [](char **h) {
             populate(h);
             rspi_resource *r = rspi_alloc_resource();
             r->name = rspi_strdup("printer");
             r->state = 2;
             ASSERT_EQ(rspi_create_resource(h, r), 0u);
             rspi_free_resource(r);
             rspi_resgroup *g = rspi_alloc_resgroup();
             g->name = rspi_strdup("floor1");
             g->state = 2;
             ASSERT_EQ(rspi_create_resgroup(h, g), 0u);
             rspi_free_resgroup(g);
         },
         [](char **h) {
             rspi_resgroup *g = rspi_alloc_resgroup();
             g->name = rspi_strdup("floor1");
             char *member = rspi_strdup("printer");
             const uint32_t rc = armed([&] { return rspi_add_resgroup_member(h, g, member); });
             rspi_free(member);
             rspi_free_resgroup(g);
             return rc;
         }},
        // Reads: every string they hand over is an allocation that may fail.
        {"get user", populate,
         [](char **h) {
             return with<rspi_user>(user("corp", "ann"), rspi_free_user,
                                    [&](rspi_user *r) { return rspi_get_user(h, r); });
         }},
        {"authenticate", populate,
         [](char **h) {
             rspi_user *u = user("corp", "ann");
             rspi_authndata *a = rspi_alloc_authndata();
             a->type = 1;
             a->length = 2;
             a->data = rspi_strdup("pw");
             const uint32_t rc = armed([&] { return rspi_authenticate_user(h, u, a); });
             rspi_free_authndata(a);
             rspi_free_user(u);
             return rc;
         }},
        {"find by certificate DN", populate,
         [](char **h) {
             rspi_user *u = rspi_alloc_user();
             u->cert_dn = rspi_strdup("cn=bob");
             return with<rspi_user>(u, rspi_free_user, [&](rspi_user *r) { return rspi_get_user_by_certdn(h, r); });
         }},
        {"walk users with fetch", populate,
         [](char **h) {
             rspi_userlist *l = rspi_alloc_userlist();
             rspi_user *u = rspi_alloc_user();
             const uint32_t rc = armed([&] {
                 uint32_t r = rspi_get_userlist(h, l, 0, nullptr, nullptr, nullptr);
                 while (r == 0) r = rspi_next_user(h, l, u, 1);
                 return r == RSPI_RC_NO_MORE_ENTRIES ? 0u : r;
             });
             rspi_free_user(u);
             rspi_free_userlist(l);
             return rc;
         }},
        {"walk groups with fetch", populate,
         [](char **h) {
             rspi_grouplist *l = rspi_alloc_grouplist();
             rspi_group *g = rspi_alloc_group();
             const uint32_t rc = armed([&] {
                 uint32_t r = rspi_get_grouplist(h, l, 0, nullptr, nullptr, nullptr);
                 while (r == 0) r = rspi_next_group(h, l, g, 1);
                 return r == RSPI_RC_NO_MORE_ENTRIES ? 0u : r;
             });
             rspi_free_group(g);
             rspi_free_grouplist(l);
             return rc;
         }},
        {"walk credentials with fetch", populate,
         [](char **h) {
             rspi_user *u = user("corp", "bob");
             rspi_rescredslist *l = rspi_alloc_rescredslist();
             rspi_rescreds *c = rspi_alloc_rescreds();
             const uint32_t rc = armed([&] {
                 uint32_t r = rspi_get_rescredslist(h, u, l);
                 while (r == 0) r = rspi_next_rescreds(h, l, c, 1);
                 return r == RSPI_RC_NO_MORE_ENTRIES ? 0u : r;
             });
             rspi_free_rescreds(c);
             rspi_free_rescredslist(l);
             rspi_free_user(u);
             return rc;
         }},
        {"create policy", populate,
         [](char **h) {
             rspi_policy *p = rspi_alloc_policy();
             p->domain = rspi_strdup("corp");
             p->policy_id = rspi_strdup("gold");
             p->state = 2;
             return with<rspi_policy>(p, rspi_free_policy, [&](rspi_policy *r) { return rspi_create_policy(h, r); });
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

void expect_no_temporary_files(const std::string &dir, const std::string &where) {
    for (const auto &f : list_dir(dir))
        EXPECT_TRUE(f.size() < 2 || f.compare(f.size() - 2, 2, "_T") != 0) << where << ": left " << f;
}

// Every index either as it was before the call or as a clean call leaves it.
void expect_old_or_new(const Files &before, const Files &after_clean, const Files &now, const std::string &where) {
    std::set<std::string> names;
    for (const auto *m : {&before, &after_clean, &now})
        for (const auto &[k, v] : *m) names.insert(k);
    for (const auto &n : names) {
        auto get = [&](const Files &m) { return m.count(n) ? m.at(n) : std::string("<absent>"); };
        const std::string got = get(now);
        EXPECT_TRUE(got == get(before) || got == get(after_clean)) << where << ": index " << n << " is neither old nor new";
    }
}

}  // namespace

TEST(FaultWalk, FailingEachFileOperation) {
    for (const Scenario &s : scenarios()) {
        Files before, clean;
        uint32_t clean_rc;
        {
            Fresh f(s);
            before = indexes(f.dir());
            clean_rc = s.call(f.h);
            clean = indexes(f.dir());
        }
        ASSERT_EQ(clean_rc, 0u) << s.name;
        for (long n = 1;; ++n) {
            Fresh f(s);
            long seen = 0;
            g_arm = [n] { tolv::io::fail_nth_operation(n, n % 3 == 0 ? EIO : (n % 3 == 1 ? ENOSPC : EACCES)); };
            g_disarm = [&] {
                seen = tolv::io::operations_seen();
                tolv::io::fail_nth_operation(0, 0);
            };
            const uint32_t rc = s.call(f.h);
            g_arm = g_disarm = [] {};
            const std::string where = std::string(s.name) + " failing operation " + std::to_string(n);
            EXPECT_TRUE(rc == 0 || rc == RSPI_RC_FILE_ERROR || rc == RSPI_RC_ENTRY_NOT_IN_LIST ||
                        rc == RSPI_RC_INVALID_USER || rc == RSPI_RC_INVALID_GROUP || rc == RSPI_RC_INVALID_RESCREDS ||
                        rc == RSPI_RC_USER_NOT_DISABLED || rc == RSPI_RC_MALFORMED_ENTRY ||
                        rc == RSPI_RC_USER_EXISTS || rc == RSPI_RC_GROUP_EXISTS || rc == RSPI_RC_POLICY_EXISTS ||
                        rc == RSPI_RC_INVALID_RESOURCE || rc == RSPI_RC_INVALID_RESGROUP)
                << where << ": rc " << rc;
            expect_no_temporary_files(f.dir(), where);
            if (!s.stepwise) expect_old_or_new(before, clean, indexes(f.dir()), where);
            if (seen < n) {  // the call made fewer operations: walk done
                std::printf("%-28s %3ld file operations failed in turn\n", s.name, n - 1);
                break;
            }
            ASSERT_LT(n, 400) << s.name;
        }
    }
}

TEST(FaultWalk, FailingEachAllocation) {
    for (const Scenario &s : scenarios()) {
        Files before, clean;
        {
            Fresh f(s);
            before = indexes(f.dir());
            ASSERT_EQ(s.call(f.h), 0u) << s.name;
            clean = indexes(f.dir());
        }
        for (long n = 1;; ++n) {
            Fresh f(s);
            long seen = 0;
            g_arm = [n] { rspiutil_fail_nth_alloc(n); };
            g_disarm = [&] {
                seen = rspiutil_alloc_count();
                rspiutil_fail_nth_alloc(0);
            };
            const uint32_t rc = s.call(f.h);
            g_arm = g_disarm = [] {};
            const std::string where = std::string(s.name) + " failing allocation " + std::to_string(n);
            EXPECT_TRUE(rc == 0 || rc == RSPI_RC_NO_MEMORY || rc == RSPI_RC_FILE_ERROR || rc == RSPI_RC_INVALID_USER ||
                        rc == RSPI_RC_INVALID_GROUP || rc == RSPI_RC_MALFORMED_ENTRY)
                << where << ": rc " << rc;
            expect_no_temporary_files(f.dir(), where);
            if (seen < n) {
                EXPECT_EQ(rc, 0u) << where;
                std::printf("%-28s %3ld allocations failed in turn\n", s.name, n - 1);
                break;
            }
            ASSERT_LT(n, 400) << s.name;
        }
    }
}
