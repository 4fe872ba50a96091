// A registry directory that someone else could write to. Whatever is planted
// at a name the plug-in reads or writes (a link to a file outside, a link to
// a device, a FIFO, a directory), the call fails with 6, changes nothing
// outside the directory and never blocks. As root, the files keep the
// directory's owner.
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "records.h"

namespace {

using namespace tolvtest;
namespace fs = std::filesystem;

struct Plant {
    const char *label;
    std::function<void(const std::string &at, const std::string &outside)> make;
};

const std::vector<Plant> &plants() {
    static const std::vector<Plant> all = {
        {"link to an outside file", [](auto &at, auto &outside) { ASSERT_EQ(::symlink(outside.c_str(), at.c_str()), 0); }},
        {"link to /dev/zero", [](auto &at, auto &) { ASSERT_EQ(::symlink("/dev/zero", at.c_str()), 0); }},
        {"FIFO", [](auto &at, auto &) { ASSERT_EQ(::mkfifo(at.c_str(), 0600), 0); }},
        {"directory", [](auto &at, auto &) { ASSERT_EQ(::mkdir(at.c_str(), 0700), 0); }},
    };
    return all;
}

using Op = std::function<uint32_t(char **)>;

// One name of the registry, with a read and a write that reach it (the
// journal's names have no read, and a directory is what belongs there).
struct Target {
    const char *name;
    Op read, write;
    bool directory = false;
};

User eve() { return user("corp", "eve"); }
Group dept() { return group("sales", "dept"); }

uint32_t new_user(char **h, const char *cert_dn = nullptr) {
    User u = user("corp", "new");
    u.set(u->registry_id, "RID-NEW").set(u->cert_dn, cert_dn);
    return rspi_create_user(h, u.get());
}
uint32_t modify_eve(char **h, bool with_blob = false) {
    User u = given_user("corp", "eve");
    u.set(u->description, "changed");
    if (with_blob) u->blob = blob("new blob");
    return rspi_modify_user(h, u.get());
}
template <class Rec, uint32_t (*Modify)(char **, typename Rec::element_type *)>
Op modify_named(const char *name, bool with_blob) {
    return [=](char **h) {
        Rec r;
        set(r->name, name);
        set(r->description, "changed");
        r->state = 2;
        if (with_blob) r->blob = blob("new blob");
        return Modify(h, r.get());
    };
}
template <class Rec, uint32_t (*Get)(char **, typename Rec::element_type *)>
Op get_named(const char *name) {
    return [=](char **h) {
        Rec r;
        set(r->name, name);
        return Get(h, r.get());
    };
}
template <class Rec, uint32_t (*Create)(char **, typename Rec::element_type *)>
Op create_named(const char *name) {
    return [=](char **h) {
        Rec r;
        set(r->name, name);
        return Create(h, r.get());
    };
}
template <class List, class Rec, uint32_t (*Name)(char **, typename List::element_type *),
          uint32_t (*First)(char **, typename List::element_type *, typename Rec::element_type *, int32_t)>
Op first_of() {
    return [](char **h) {
        List l;
        Rec r;
        const uint32_t rc = Name(h, l.get());
        return rc ? rc : First(h, l.get(), r.get(), 1);
    };
}
Op modify_policy(bool with_blob) {
    return [=](char **h) {
        Policy p = given_policy("corp", "pol");
        p.set(p->description, "changed");
        if (with_blob) p->blob = blob("new blob");
        return rspi_modify_policy(h, p.get());
    };
}
uint32_t get_policy(char **h) {
    Policy p;
    p.set(p->domain, "corp").set(p->policy_id, "pol");
    return rspi_get_policy(h, p.get());
}
Op creds_op(const char *name, bool modify, bool with_blob = false) {
    return [=](char **h) {
        User u = eve();
        Creds c;
        c.set(c->name, name).set(c->description, "changed");
        c->state = 2;
        if (with_blob) c->blob = blob("new blob");
        return modify ? rspi_modify_rescreds(h, u.get(), c.get()) : rspi_create_rescreds(h, u.get(), c.get());
    };
}
uint32_t get_creds(char **h) {
    User u = eve();
    Creds c;
    c.set(c->name, "printer");
    return rspi_get_rescreds(h, u.get(), c.get());
}

const std::vector<Target> &targets() {
    static const std::vector<Target> all = {
        {"corp_eve.QZuser", [](char **h) { return rspi_get_user(h, eve().get()); }, [](char **h) { return modify_eve(h); }},
        {"corp_new.QZuser", [](char **h) { return rspi_get_user(h, user("corp", "new").get()); },
         [](char **h) { return new_user(h); }},
        {"corp_eve.QZuser_blob", [](char **h) { return rspi_get_user(h, eve().get()); },
         [](char **h) { return modify_eve(h, true); }},
        {"tolv.staging", nullptr, [](char **h) { return modify_eve(h); }, true},
        {"tolv.journal", nullptr, [](char **h) { return modify_eve(h); }, true},
        {"tolv.journal.idle", nullptr, [](char **h) { return modify_eve(h); }, true},
        {"userlist.file",
         [](char **h) {
             User u;
             u.set(u->registry_id, "RID-EVE");
             return rspi_get_user_by_rgyid(h, u.get());
         },
         [](char **h) { return new_user(h); }},
        {"certdnlist.file",
         [](char **h) {
             User u;
             u.set(u->cert_dn, "CN=Eve");
             return rspi_get_user_by_certdn(h, u.get());
         },
         [](char **h) { return new_user(h, "CN=New"); }},
        {"corp_eve.myGroups",
         [](char **h) {
             User u = eve();
             Group g;
             const uint32_t rc = rspi_get_user(h, u.get());
             return rc ? rc : rspi_next_group(h, u->groups, g.get(), 0);
         },
         [](char **h) { return rspi_add_group_member(h, group("sales", "other").get(), eve().get()); }},
        {"sales_dept.QZgroup", [](char **h) { return rspi_get_group(h, dept().get()); },
         [](char **h) {
             Group g = dept();
             set(g->description, "changed");
             return rspi_modify_group(h, g.get());
         }},
        {"sales_dept.QZgroup_blob", [](char **h) { return rspi_get_group(h, dept().get()); },
         [](char **h) {
             Group g = dept();
             g->blob = blob("new blob");
             return rspi_modify_group(h, g.get());
         }},
        {"grouplist.file",
         [](char **h) { return rspi_get_group_by_rgyid(h, group(nullptr, nullptr, "RID-DEPT").get()); },
         [](char **h) { return rspi_create_group(h, group("sales", "new", "RID-NEW").get()); }},
        {"sales_dept.GPmembers",
         [](char **h) {
             Group g = dept();
             User u;
             const uint32_t rc = rspi_get_group(h, g.get());
             return rc ? rc : rspi_next_user(h, g->members, u.get(), 0);
         },
         [](char **h) { return rspi_add_group_member(h, dept().get(), eve().get()); }},
        {"corp_pol.QZpolicy", get_policy, modify_policy(false)},
        {"corp_pol.QZpolicy_blob", get_policy, modify_policy(true)},
        {"policylist.file", first_of<PolicyList, Policy, rspi_get_policylist, rspi_first_policy>(),
         [](char **h) {
             Policy p;
             p.set(p->domain, "corp").set(p->policy_id, "new");
             return rspi_create_policy(h, p.get());
         }},
        {"printer.QZresource", get_named<Resource, rspi_get_resource>("printer"),
         modify_named<Resource, rspi_modify_resource>("printer", false)},
        {"printer.QZresource_blob", get_named<Resource, rspi_get_resource>("printer"),
         modify_named<Resource, rspi_modify_resource>("printer", true)},
        {"resourcelist.file", first_of<ResourceList, Resource, rspi_get_resourcelist, rspi_first_resource>(),
         create_named<Resource, rspi_create_resource>("new")},
        {"rg.QZresgroup", get_named<Resgroup, rspi_get_resgroup>("rg"),
         modify_named<Resgroup, rspi_modify_resgroup>("rg", false)},
        {"rg.QZresgroup_blob", get_named<Resgroup, rspi_get_resgroup>("rg"),
         modify_named<Resgroup, rspi_modify_resgroup>("rg", true)},
        {"rg.RGmembers", get_named<Resgroup, rspi_get_resgroup>("rg"),
         [](char **h) {
             Resgroup g;
             set(g->name, "rg");
             char member[] = "scanner";
             return rspi_add_resgroup_member(h, g.get(), member);
         }},
        {"resgrouplist.file", first_of<ResgroupList, Resgroup, rspi_get_resgrouplist, rspi_first_resgroup>(),
         create_named<Resgroup, rspi_create_resgroup>("new")},
        {"corp_eve_printer.QZrescreds", get_creds, creds_op("printer", true)},
        {"corp_eve_printer.QZrescreds_blob", get_creds, creds_op("printer", true, true)},
        {"corp_eve.myResCreds",
         [](char **h) {
             CredsList l;
             Creds c;
             const uint32_t rc = rspi_get_rescredslist(h, eve().get(), l.get());
             return rc ? rc : rspi_next_rescreds(h, l.get(), c.get(), 1);
         },
         creds_op("scanner", false)},
    };
    return all;
}

class HostileFs : public Registry {
protected:
    TempDir outside_;

    // Every family, each entry with a blob, so that every name above exists.
    void populate() {
        User u = eve();
        u.set(u->registry_id, "RID-EVE").set(u->cert_dn, "CN=Eve");
        u->password = password("secret");
        u->blob = blob("eve blob");
        ASSERT_EQ(rspi_create_user(h, u.get()), 0u);
        for (const char *id : {"dept", "other"}) {
            Group g = group("sales", id, id[0] == 'd' ? "RID-DEPT" : "RID-OTHER");
            g->blob = blob("group blob");
            ASSERT_EQ(rspi_create_group(h, g.get()), 0u);
        }
        ASSERT_EQ(rspi_add_group_member(h, dept().get(), eve().get()), 0u);
        Policy p;
        p.set(p->domain, "corp").set(p->policy_id, "pol");
        p->blob = blob("policy blob");
        ASSERT_EQ(rspi_create_policy(h, p.get()), 0u);
        for (const char *name : {"printer", "scanner"}) {
            Resource r;
            r.set(r->name, name);
            r->blob = blob("resource blob");
            ASSERT_EQ(rspi_create_resource(h, r.get()), 0u);
        }
        Resgroup g;
        g.set(g->name, "rg");
        g->blob = blob("resgroup blob");
        ASSERT_EQ(rspi_create_resgroup(h, g.get()), 0u);
        char member[] = "printer";
        ASSERT_EQ(rspi_add_resgroup_member(h, g.get(), member), 0u);
        Creds c;
        c.set(c->name, "printer");
        c->blob = blob("creds blob");
        ASSERT_EQ(rspi_create_rescreds(h, eve().get(), c.get()), 0u);
    }
    void clear() {
        for (const auto &e : fs::directory_iterator(dir())) fs::remove_all(e.path());
    }
};

}  // namespace

TEST_F(HostileFs, PlantedNamesFailWithoutReachingOutside) {
    const std::string outside = outside_.path() + "secret";
    for (const Target &t : targets()) {
        for (const Plant &p : plants()) {
            for (const Op *op : {&t.read, &t.write}) {
                if (!*op || (t.directory && p.label == std::string_view("directory"))) continue;
                const std::string what = std::string(t.name) + " as " + p.label + (op == &t.read ? ", read" : ", write");
                clear();
                populate();
                write_file(outside, "outside bytes\n");
                fs::remove_all(path(t.name));
                p.make(path(t.name), outside);
                const auto start = std::chrono::steady_clock::now();
                EXPECT_EQ((*op)(h), 6u) << what;
                EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1)) << what;
                EXPECT_EQ(read_file(outside), "outside bytes\n") << what;
                EXPECT_EQ(list_dir(outside_.path()), std::vector<std::string>{"secret"}) << what;
            }
        }
    }
}

// As root in a directory owned by the service account, every file the
// plug-in makes belongs to that account, so the service can still use them.
TEST_F(HostileFs, FilesTakeTheDirectorysOwnerUnderRoot) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root";
    const passwd *nobody = ::getpwnam("nobody");
    if (!nobody) GTEST_SKIP() << "no account 'nobody'";
    ASSERT_EQ(::chown(dir().c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    populate();
    ASSERT_EQ(modify_eve(h, true), 0u);
    for (const auto &e : fs::directory_iterator(dir())) {
        struct stat st;
        ASSERT_EQ(::lstat(e.path().c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, nobody->pw_uid) << e.path();
        EXPECT_EQ(st.st_gid, nobody->pw_gid) << e.path();
        EXPECT_EQ(st.st_mode & 0777, S_ISDIR(st.st_mode) ? 0700u : 0600u) << e.path();
    }
}
