// A registry directory that someone else could write to. Whatever is planted
// at a name the plug-in reads or writes (a link to a file outside, a link to
// a device, a FIFO, a directory), the call fails with 6, changes nothing
// outside the directory and never blocks. As root, the files keep the
// directory's owner.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "corpus.h"
#include "registry.h"

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

// Every family, each entry with a blob, so that every name below exists.
const char *const kPopulate = R"(user.create domain=corp user_id=eve registry_id=RID-EVE cert_dn=CN=Eve password=secret blob=eve\sblob
group.create domain=sales group_id=dept registry_id=RID-DEPT state=2 blob=group\sblob
group.create domain=sales group_id=other registry_id=RID-OTHER state=2 blob=group\sblob
group.add domain=sales group_id=dept state=2 u.domain=corp u.user_id=eve
policy.create domain=corp policy_id=pol blob=policy\sblob
resource.create name=printer blob=resource\sblob
resource.create name=scanner blob=resource\sblob
resgroup.create name=rg blob=resgroup\sblob
resgroup.add name=rg member=printer
creds.create name=printer blob=creds\sblob u.domain=corp u.user_id=eve)";

#define EVE "domain=corp user_id=eve"
#define MODIFY_EVE "user.modify " EVE " flag_1=2 account_valid=2 number_2=-1 description=changed"
#define MODIFY_POL                                                                                                   \
    "policy.modify domain=corp policy_id=pol state=2 flag_2=2 flag_3=2 number_2=-1 number_3=-1 number_4=-1 "         \
    "number_5=-1 number_6=-1 number_7=-1 number_8=-1 number_9=-1 number_10=-1 number_11=-1 number_12=-1 number_13=-1 " \
    "number_14=-1 number_15=-1 number_16=-1 number_17=-1 description=changed"
#define DEPT "domain=sales group_id=dept state=2"
#define OF_EVE " u.domain=corp u.user_id=eve"

// One name of the registry, with a read and a write that reach it (the
// journal's names have no read, and a directory is what belongs there).
struct Target {
    const char *name, *read, *write;
    bool directory = false;
};

const Target kTargets[] = {
    {"corp_eve.QZuser", "user.get " EVE, MODIFY_EVE},
    {"corp_new.QZuser", "user.get domain=corp user_id=new", "user.create domain=corp user_id=new registry_id=RID-NEW"},
    {"corp_eve.QZuser_blob", "user.get " EVE, MODIFY_EVE " blob=new\\sblob"},
    {"tolv.staging", nullptr, MODIFY_EVE, true},
    {"tolv.journal", nullptr, MODIFY_EVE, true},
    {"tolv.journal.idle", nullptr, MODIFY_EVE, true},
    {"tolv.journal.lock", nullptr, MODIFY_EVE},
    {"userlist.file", "user.by_rgyid registry_id=RID-EVE", "user.create domain=corp user_id=new registry_id=RID-NEW"},
    {"certdnlist.file", "user.by_certdn cert_dn=CN=Eve",
     "user.create domain=corp user_id=new registry_id=RID-NEW cert_dn=CN=New"},
    {"corp_eve.myGroups", "user.get @u " EVE "\nnext @u fetch=0",
     "group.add domain=sales group_id=other state=2" OF_EVE},
    {"sales_dept.QZgroup", "group.get " DEPT, "group.modify " DEPT " description=changed"},
    {"sales_dept.QZgroup_blob", "group.get " DEPT, "group.modify " DEPT " blob=new\\sblob"},
    {"grouplist.file", "group.by_rgyid registry_id=RID-DEPT state=2",
     "group.create domain=sales group_id=new registry_id=RID-NEW state=2"},
    {"sales_dept.GPmembers", "group.get @g " DEPT "\nnext @g fetch=0", "group.add " DEPT OF_EVE},
    {"corp_pol.QZpolicy", "policy.get domain=corp policy_id=pol", MODIFY_POL},
    {"corp_pol.QZpolicy_blob", "policy.get domain=corp policy_id=pol", MODIFY_POL " blob=new\\sblob"},
    {"policylist.file", "list.policies L\nfirst L", "policy.create domain=corp policy_id=new"},
    {"printer.QZresource", "resource.get name=printer", "resource.modify name=printer state=2 description=changed"},
    {"printer.QZresource_blob", "resource.get name=printer", "resource.modify name=printer state=2 blob=new\\sblob"},
    {"resourcelist.file", "list.resources L\nfirst L", "resource.create name=new"},
    {"rg.QZresgroup", "resgroup.get name=rg", "resgroup.modify name=rg state=2 description=changed"},
    {"rg.QZresgroup_blob", "resgroup.get name=rg", "resgroup.modify name=rg state=2 blob=new\\sblob"},
    {"rg.RGmembers", "resgroup.get name=rg", "resgroup.add name=rg member=scanner"},
    {"resgrouplist.file", "list.resgroups L\nfirst L", "resgroup.create name=new"},
    {"corp_eve_printer.QZrescreds", "creds.get name=printer" OF_EVE,
     "creds.modify name=printer state=2 description=changed" OF_EVE},
    {"corp_eve_printer.QZrescreds_blob", "creds.get name=printer" OF_EVE,
     "creds.modify name=printer state=2 blob=new\\sblob" OF_EVE},
    {"corp_eve.myResCreds", "list.creds L" OF_EVE "\nnext L", "creds.create name=scanner state=2" OF_EVE},
};

}  // namespace

TEST(HostileFs, PlantedNamesFailWithoutReachingOutside) {
    const TempDir outside_dir;
    const std::string outside = outside_dir.path() + "secret";
    Sequence s;
    s(kPopulate);
    const Files populated = snapshot(s.dir());
    for (const Target &t : kTargets) {
        for (const Plant &p : plants()) {
            for (const char *op : {t.read, t.write}) {
                if (!op || (t.directory && p.label == std::string_view("directory"))) continue;
                const std::string what = std::string(t.name) + " as " + p.label + ": " + op;
                for (const auto &e : fs::directory_iterator(s.dir())) fs::remove_all(e.path());
                restore(s.dir(), populated);
                write_file(outside, "outside bytes\n");
                fs::remove_all(s.dir() + t.name);
                p.make(s.dir() + t.name, outside);
                const auto start = std::chrono::steady_clock::now();
                EXPECT_EQ(failure(s(op)), 6u) << what;
                EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1)) << what;
                EXPECT_EQ(read_file(outside), "outside bytes\n") << what;
                EXPECT_EQ(list_dir(outside_dir.path()), std::vector<std::string>{"secret"}) << what;
            }
        }
    }
}

// As root in a directory owned by the service account, every file the
// plug-in makes belongs to that account, so the service can still use them.
TEST(HostileFs, FilesTakeTheDirectorysOwnerUnderRoot) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root";
    const passwd *nobody = ::getpwnam("nobody");
    if (!nobody) GTEST_SKIP() << "no account 'nobody'";
    Sequence s;
    ASSERT_EQ(::chown(s.dir().c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    ASSERT_EQ(failure(s(kPopulate)), 0u);
    ASSERT_EQ(failure(s(MODIFY_EVE " blob=new\\sblob")), 0u);
    for (const auto &e : fs::directory_iterator(s.dir())) {
        struct stat st;
        ASSERT_EQ(::lstat(e.path().c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, nobody->pw_uid) << e.path();
        EXPECT_EQ(st.st_gid, nobody->pw_gid) << e.path();
        EXPECT_EQ(st.st_mode & 0777, S_ISDIR(st.st_mode) ? 0700u : 0600u) << e.path();
    }
}

// A writer died after its commit point, having applied none, some or all but
// one of its changes. Every reader sees the call whole: one that may write
// applies the rest first; one that may not (the lock file is not a file it
// can lock) reads through the journal and changes nothing.
TEST(HostileFs, ReadersSeeACommittedCallWhole) {
    const char *const kChange = MODIFY_EVE " cert_dn=CN=Eve2 blob=new\\sblob";
    const char *const kReads = "user.get " EVE "\nuser.by_certdn cert_dn=CN=Eve2\nuser.by_certdn cert_dn=CN=Eve";
    Sequence s;
    s(kPopulate);
    const auto bookkeeping = [](const std::string &n) { return n.rfind("tolv.journal", 0) == 0; };
    Files before = snapshot(s.dir()), after;
    s(kChange);
    after = snapshot(s.dir());
    std::erase_if(before, [&](const auto &f) { return bookkeeping(f.first); });
    std::erase_if(after, [&](const auto &f) { return bookkeeping(f.first); });
    const std::string want = s(kReads);
    // The changes as the journal holds them: a new file, or a removal marker.
    std::vector<std::pair<std::string, const std::string *>> changes;
    for (const auto &[name, bytes] : after)
        if (!before.count(name) || before.at(name) != bytes) changes.push_back({name, &bytes});
    for (const auto &[name, bytes] : before)
        if (!after.count(name)) changes.push_back({name, nullptr});
    ASSERT_GE(changes.size(), 3u);
    for (const bool may_lock : {true, false}) {
        for (std::size_t applied : {std::size_t{0}, std::size_t{1}, changes.size() - 1}) {
            const std::string what = (may_lock ? "applied " : "read through, applied ") + std::to_string(applied);
            for (const auto &e : fs::directory_iterator(s.dir())) fs::remove_all(e.path());
            restore(s.dir(), before);
            const std::string journal = s.dir() + "tolv.journal/";
            ASSERT_EQ(::mkdir(journal.c_str(), 0700), 0);
            for (std::size_t i = 0; i < changes.size(); ++i) {
                const auto &[name, bytes] = changes[i];
                if (i < applied)
                    bytes ? write_file(s.dir() + name, *bytes) : void(fs::remove(s.dir() + name));
                else if (bytes)
                    write_file(journal + name, *bytes);
                else
                    ASSERT_EQ(::symlink("-", (journal + name).c_str()), 0);
            }
            if (!may_lock) {
                ASSERT_EQ(::mkdir((s.dir() + "tolv.journal.lock").c_str(), 0700), 0);
            }
            const Files pending = snapshot(s.dir());
            EXPECT_EQ(s(kReads), want) << what;
            Files now = snapshot(s.dir());
            if (may_lock) {
                std::erase_if(now, [&](const auto &f) { return bookkeeping(f.first); });
                EXPECT_EQ(now, after) << what;
            } else {
                EXPECT_EQ(now, pending) << what;
            }
        }
    }
}
