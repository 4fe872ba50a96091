// A registry directory that someone else could write to. Whatever is planted
// at a name the plug-in reads or writes (a link to a file outside, a link to
// a device, a FIFO, a directory), the call fails with 6, changes nothing
// outside the directory and never blocks. Whatever is planted in or at the
// journal's names is never applied, blocks no write and is named by
// tolvadm check. As root, the files keep the directory's owner.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <tuple>
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

// Planted in or at the journal's directories: what recovery must not apply.
// Each case is checked by tolvadm check (naming `shown`), then an unrelated
// write must succeed, leave the registry's files as on a clean registry and
// reach nothing outside; check then names what was moved aside.
TEST(HostileFs, PlantedJournalEntriesAreNeverApplied) {
    const TempDir outside_dir;
    const std::string outside = outside_dir.path() + "secret";
    const bool root = ::geteuid() == 0;
    const passwd *nobody = ::getpwnam("nobody");
    const auto file = [](const std::string &path, mode_t mode) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, mode);
        ASSERT_GE(fd, 0) << path;
        ASSERT_EQ(::write(fd, "planted\n", 8), 8);
        ASSERT_EQ(::fchmod(fd, mode), 0);
        ::close(fd);
    };
    struct Case {
        const char *label, *shown;
        std::function<void(const std::string &dir, const std::string &j, const std::string &outside)> plant;
        bool needs_root = false;
    };
    const std::string od = outside_dir.path();
    const std::vector<Case> cases = {
        {"the configuration file", "tolv.journal/tolv.conf", [&](auto &, auto &j, auto &) { file(j + "tolv.conf", 0600); }},
        {"a foreign-owned list", "tolv.journal/userlist.file",
         [&](auto &, auto &j, auto &) {
             file(j + "userlist.file", 0600);
             ASSERT_EQ(::chown((j + "userlist.file").c_str(), nobody->pw_uid, nobody->pw_gid), 0);
         },
         true},
        {"a world-readable list", "tolv.journal/userlist.file", [&](auto &, auto &j, auto &) { file(j + "userlist.file", 0644); }},
        {"a set-user-id record", "tolv.journal/corp_x.QZuser", [&](auto &, auto &j, auto &) { file(j + "corp_x.QZuser", 04600); }},
        {"a hard link to an outside file", "tolv.journal/corp_x.QZuser",
         [](auto &, auto &j, auto &out) {
             ASSERT_EQ(::chmod(out.c_str(), 0600), 0);
             ASSERT_EQ(::link(out.c_str(), (j + "corp_x.QZuser").c_str()), 0);
         }},
        {"a hard link to another registry file", "tolv.journal/grouplist.file",
         [](auto &d, auto &j, auto &) {
             ASSERT_EQ(::chmod((d + "userlist.file").c_str(), 0600), 0);
             ASSERT_EQ(::link((d + "userlist.file").c_str(), (j + "grouplist.file").c_str()), 0);
         }},
        {"a link to an outside file", "tolv.journal/corp_x.QZuser",
         [](auto &, auto &j, auto &out) { ASSERT_EQ(::symlink(out.c_str(), (j + "corp_x.QZuser").c_str()), 0); }},
        {"a removal marker for the configuration file", "tolv.journal/tolv.conf",
         [](auto &, auto &j, auto &) { ASSERT_EQ(::symlink("-", (j + "tolv.conf").c_str()), 0); }},
        {"a FIFO", "tolv.journal/corp_x.QZuser", [](auto &, auto &j, auto &) { ASSERT_EQ(::mkfifo((j + "corp_x.QZuser").c_str(), 0600), 0); }},
        {"a directory", "tolv.journal/corp_x.QZuser", [](auto &, auto &j, auto &) { ASSERT_EQ(::mkdir((j + "corp_x.QZuser").c_str(), 0700), 0); }},
        {"an entry named as the idle journal", "tolv.journal/tolv.journal.idle", [&](auto &, auto &j, auto &) { file(j + "tolv.journal.idle", 0600); }},
        {"an entry named as the lock", "tolv.journal/tolv.journal.lock", [&](auto &, auto &j, auto &) { file(j + "tolv.journal.lock", 0600); }},
        {"an entry named as the staging directory", "tolv.journal/tolv.staging",
         [](auto &, auto &j, auto &) { ASSERT_EQ(::mkdir((j + "tolv.staging").c_str(), 0700), 0); }},
        {"a temporary file", "tolv.journal/userlist.file_T", [&](auto &, auto &j, auto &) { file(j + "userlist.file_T", 0600); }},
        {"an unknown name", "tolv.journal/notes.txt", [&](auto &, auto &j, auto &) { file(j + "notes.txt", 0600); }},
        {"the journal as a link to an outside directory", "tolv.journal",
         [&](auto &d, auto &j, auto &) { fs::remove(j); ASSERT_EQ(::symlink(od.c_str(), (d + "tolv.journal").c_str()), 0); }},
        {"the journal as a file", "tolv.journal", [&](auto &d, auto &j, auto &) { fs::remove(j), file(d + "tolv.journal", 0600); }},
        {"a removal marker in the idle journal", "tolv.journal.idle/userlist.file",
         [](auto &d, auto &j, auto &) { fs::remove(j); ASSERT_EQ(::symlink("-", (d + "tolv.journal.idle/userlist.file").c_str()), 0); }},
        {"a list in the idle journal", "tolv.journal.idle/userlist.file",
         [&](auto &d, auto &j, auto &) { fs::remove(j), file(d + "tolv.journal.idle/userlist.file", 0600); }},
        {"the idle journal as a link to an outside directory", "tolv.journal.idle",
         [&](auto &d, auto &j, auto &) {
             fs::remove(j), fs::remove(d + "tolv.journal.idle");
             ASSERT_EQ(::symlink(od.c_str(), (d + "tolv.journal.idle").c_str()), 0);
         }},
        {"the idle journal as a file", "tolv.journal.idle",
         [&](auto &d, auto &j, auto &) { fs::remove(j), fs::remove(d + "tolv.journal.idle"), file(d + "tolv.journal.idle", 0600); }},
        {"the staging directory as a link to an outside directory", "tolv.staging",
         [&](auto &d, auto &j, auto &) { fs::remove(j); ASSERT_EQ(::symlink(od.c_str(), (d + "tolv.staging").c_str()), 0); }},
        {"a FIFO in a dead writer's staging directory", "tolv.staging",
         [&](auto &d, auto &j, auto &) {
             fs::remove(j), fs::rename(d + "tolv.journal.idle", d + "tolv.staging");
             ASSERT_EQ(::mkfifo((d + "tolv.staging/corp_x.QZuser").c_str(), 0600), 0);
         }},
    };
    const char *const kWrite =
        "user.create domain=corp user_id=new registry_id=RID-NEW uuid_string=5a5a5a5a-0000-0000-0000-0000000000ff";
    Sequence s;
    s(kPopulate);
    const Files populated = snapshot(s.dir());
    const auto registry_files = [&] {
        Files f = snapshot(s.dir());
        std::erase_if(f, [](const auto &e) { return e.first.rfind("tolv.", 0) == 0; });
        return f;
    };
    ASSERT_EQ(failure(s(kWrite)), 0u);
    const Files want = registry_files();
    for (const Case &c : cases) {
        if (c.needs_root && (!root || !nobody)) continue;
        for (const auto &e : fs::directory_iterator(s.dir())) fs::remove_all(e.path());
        restore(s.dir(), populated);
        for (const auto &e : fs::directory_iterator(od)) fs::remove_all(e.path());
        write_file(outside, "outside bytes\n");
        const std::string j = s.dir() + "tolv.journal/";
        ASSERT_EQ(::mkdir(j.c_str(), 0700), 0);
        ASSERT_EQ(::mkdir((s.dir() + "tolv.journal.idle").c_str(), 0700), 0);
        c.plant(s.dir(), j, outside);
        EXPECT_NE(s("adm check").find("\"" + std::string(c.shown)), std::string::npos) << c.label;
        EXPECT_EQ(failure(s(kWrite)), 0u) << c.label;
        EXPECT_TRUE(registry_files() == want) << c.label;
        EXPECT_EQ(read_file(outside), "outside bytes\n") << c.label;
        EXPECT_EQ(list_dir(od), std::vector<std::string>{"secret"}) << c.label;
        EXPECT_NE(s("adm check").find("\"tolv.refused."), std::string::npos) << c.label;
    }
}

// A target that cannot be replaced or removed (immutable, append-only) is
// found before the commit point: the call fails with 6, nothing changed, and
// later writes are not blocked.
TEST(HostileFs, AnImmutableTargetFailsTheCallBeforeItsCommit) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to set the immutable attribute";
    const auto set_flags = [](const std::string &path, int flags) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK);
        int now = 0;
        const bool ok = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &now) == 0 &&
                        (now = (now & ~(FS_IMMUTABLE_FL | FS_APPEND_FL)) | flags, ::ioctl(fd, FS_IOC_SETFLAGS, &now) == 0);
        if (fd >= 0) ::close(fd);
        return ok;
    };
    for (const auto &[file, flag, call] : {std::tuple{"corp_eve.QZuser", FS_IMMUTABLE_FL, "user.delete " EVE},
                                           std::tuple{"userlist.file", FS_APPEND_FL, "user.create domain=corp user_id=new registry_id=RID-NEW"}}) {
        Sequence s;
        s(kPopulate);
        if (!set_flags(s.dir() + file, flag)) GTEST_SKIP() << "the file system has no immutable attribute";
        const Files before = snapshot(s.dir());
        EXPECT_EQ(failure(s(call)), 6u) << file;
        EXPECT_TRUE(snapshot(s.dir()) == before) << file;
        EXPECT_EQ(failure(s("policy.create domain=corp policy_id=other")), 0u) << file;
        ASSERT_TRUE(set_flags(s.dir() + file, 0));
        EXPECT_EQ(failure(s(call)), 0u) << file;
    }
}

// A full disk never blocks revocation: disable and delete give up the
// registry's reserve and succeed on a file system with no space left.
TEST(HostileFs, RevocationSucceedsOnAFullDisk) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to mount a small file system";
    const TempDir mnt;
    if (::mount("tolvtest", mnt.path().c_str(), "tmpfs", 0, "size=400k") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
    struct Unmount {
        const std::string &at;
        ~Unmount() { ::umount2(at.c_str(), MNT_DETACH); }
    } unmount{mnt.path()};
    const std::string reg = mnt.path() + "reg/";
    ASSERT_EQ(::mkdir(reg.c_str(), 0700), 0);
    {
        Sequence s(reg);
        ASSERT_EQ(failure(s(kPopulate)), 0u);
        ASSERT_EQ(failure(s("user.create domain=corp user_id=bob registry_id=RID-BOB\n"
                            "group.add domain=sales group_id=dept state=2 u.domain=corp u.user_id=bob")),
                  0u);
        // Fill what is left.
        const int fd = ::open((mnt.path() + "fill").c_str(), O_WRONLY | O_CREAT, 0600);
        ASSERT_GE(fd, 0);
        const std::string block(4096, 'x');
        while (::write(fd, block.data(), block.size()) > 0) {
        }
        ::close(fd);
        ASSERT_NE(failure(s("policy.create domain=corp policy_id=full")), 0u);
        EXPECT_EQ(failure(s("user.disable " EVE)), 0u);
        EXPECT_EQ(failure(s("user.delete domain=corp user_id=bob")), 0u);
        EXPECT_EQ(failure(s("group.disable " DEPT)), 0u);
        EXPECT_EQ(failure(s("group.delete domain=sales group_id=other state=2")), 0u);
        EXPECT_EQ(s("user.get domain=corp user_id=bob").find("rc=0"), std::string::npos);
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
                    write_file(journal + name, *bytes), fs::permissions(journal + name, fs::perms::owner_read | fs::perms::owner_write);
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
