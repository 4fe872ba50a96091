// Fault walks: fail the N-th file operation, and separately the N-th host
// allocation, for N = 1, 2, ... through the calls of each family (operation
// sequences, as in the corpus) until they get through, the steps after the
// commit point included. Every index must stay its old or its new self, no
// temporary file may stay behind, and a failed step gives its own code: 6 for
// a file operation, 3 for an allocation, or the one code the interface names
// for a step (a credential file that cannot be removed, say). A failed create
// leaves the caller's record as it was given, and the trace's last line shows
// the code the call returned, its commit included.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <string_view>

#include "corpus.h"
#include "records.h"
#include "tolvadmin.h"
#include "tolvinternal.h"

using namespace tolvtest;

namespace {

// The entry lists among them.
Files indexes_of(const Files &all) {
    Files out;
    for (const auto &[name, bytes] : all)
        for (const char *suffix : {".file", ".GPmembers", ".myGroups", ".myResCreds", ".RGmembers"})
            if (name.ends_with(suffix)) out[name] = bytes;
    return out;
}

#define ANN "domain=corp user_id=ann flag_1=2 account_valid=2 number_2=-1"
#define DEV "domain=corp group_id=dev state=2"
#define TO(id) " u.domain=corp u.user_id=" id

// A registry with two users in two groups, each user holding a credential.
const char *const kTwoUsers = R"(user.create domain=corp user_id=ann registry_id=ANN uuid_string=0a3c6a02-7c4e-4b7e-9d1e-1b2c3d4e5f60 flag_1=2 account_valid=2 number_2=-1 cert_dn=cn=ann password=pw
creds.create name=web:1 state=2 u.domain=corp u.user_id=ann
user.create domain=corp user_id=bob registry_id=BOB uuid_string=1b3c6a02-7c4e-4b7e-9d1e-1b2c3d4e5f61 flag_1=2 account_valid=2 number_2=-1 cert_dn=cn=bob password=pw
creds.create name=web:1 state=2 u.domain=corp u.user_id=bob
group.create domain=corp group_id=dev registry_id=dev uuid_string=2c3c6a02-7c4e-4b7e-9d1e-1b2c3d4e5f62 state=2
group.add domain=corp group_id=dev state=2 u.domain=corp u.user_id=ann
group.add domain=corp group_id=dev state=2 u.domain=corp u.user_id=bob
group.create domain=corp group_id=ops registry_id=ops uuid_string=3d3c6a02-7c4e-4b7e-9d1e-1b2c3d4e5f63 state=2
group.add domain=corp group_id=ops state=2 u.domain=corp u.user_id=ann
group.add domain=corp group_id=ops state=2 u.domain=corp u.user_id=bob
)";

struct Scenario {
    const char *name;
    std::string setup;  // lines after kTwoUsers
    const char *call;   // the lines whose calls fail
    // The code of the one step whose failed file operation the interface
    // reports otherwise than with 6 (0: none).
    uint32_t step_code = 0;
};

const Scenario kScenarios[] = {
    {"create user", "",
     "user.create domain=corp user_id=cy registry_id=CY uuid_string=2c3c6a02-7c4e-4b7e-9d1e-1b2c3d4e5f62 flag_1=2 "
     "account_valid=2 number_2=-1 cert_dn=cn=cy blob=\\x00\\*3;"},
    {"modify user", "", "user.modify " ANN " cert_dn=cn=new"},
    // A credential file that cannot be removed ends delete and disable with 35.
    {"delete user", "", "user.delete " ANN, RSPI_RC_INVALID_RESCREDS},
    {"disable user", "", "user.disable " ANN, RSPI_RC_INVALID_RESCREDS},
    // A disabled user file that cannot be renamed back is "not disabled".
    {"enable user", "user.disable " ANN,
     "user.enable " ANN " registry_id=ANN uuid_string=0a3c6a02-7c4e-4b7e-9d1e-1b2c3d4e5f60", RSPI_RC_USER_NOT_DISABLED},
    {"create group", "",
     "group.create domain=corp group_id=qa registry_id=QA uuid_string=1b3c6a02-7c4e-4b7e-9d1e-1b2c3d4e5f61 state=2"},
    {"remove member", "", "group.remove " DEV TO("bob")},
    {"delete group", "", "group.delete " DEV},
    {"disable group", "", "group.disable " DEV},
    {"delete credential", "", "creds.delete name=web:1 state=2" TO("bob"), RSPI_RC_INVALID_RESCREDS},
    {"add member", "group.remove " DEV TO("bob"), "group.add " DEV TO("bob")},
    {"create credential", "", "creds.create name=mail state=2 blob=\\x00\\*4;" TO("ann")},
    {"add resource-group member", "resource.create name=printer state=2\nresgroup.create name=floor1 state=2",
     "resgroup.add name=floor1 member=printer"},
    // Reads: every string they hand over is an allocation that may fail.
    {"get user", "", "user.get " ANN},
    {"authenticate", "", "user.auth " ANN " pw=pw"},
    {"find by certificate DN", "", "user.by_certdn cert_dn=cn=bob"},
    {"walk users with fetch", "", "list.users L\nwalk L fetch=1"},
    {"walk groups with fetch", "", "list.groups L\nwalk L fetch=1"},
    {"walk credentials with fetch", "", "list.creds L" TO("bob") "\nwalk L fetch=1"},
    {"create policy", "", "policy.create domain=corp policy_id=gold state=2"},
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

// What a transcript shows after the call's code: the records.
std::string records_shown(const std::string &transcript) {
    const std::size_t code = transcript.find("\n  rc=");
    const std::size_t after = code == std::string::npos ? code : transcript.find('\n', code + 1);
    return after == std::string::npos ? "" : transcript.substr(after);
}

std::string last_line(const std::string &text) {
    const std::size_t end = text.find_last_not_of('\n');
    if (end == std::string::npos) return "";
    const std::size_t begin = text.rfind('\n', end);
    return text.substr(begin == std::string::npos ? 0 : begin + 1, end + 1 - (begin == std::string::npos ? 0 : begin + 1));
}

std::set<std::string> names(const Files &m) {
    std::set<std::string> out;
    for (const auto &[k, v] : m) out.insert(k);
    return out;
}

// The calls of a scenario count as one: the n-th of their file operations or
// allocations fails.
void walk(const Fault &fault) {
    TempDir trace_dir;
    const std::string trace = trace_dir.path() + "trace";
    ::setenv("TOLV_CORPUS_TRACE", trace.c_str(), 1);
    for (const Scenario &s : kScenarios) {
        Files pre, clean;
        const bool one_call = std::strchr(s.call, '\n') == nullptr;
        std::string given;  // a create's records as the caller gives them: shown after a call on a dead handle
        if (std::string_view(s.name).starts_with("create")) {
            Sequence g;
            g("terminate");
            given = records_shown(g(s.call));
        }
        {
            Sequence q;
            ASSERT_EQ(failure(q(kTwoUsers + s.setup)), 0u) << s.name;
            pre = snapshot(q.dir());
            ASSERT_EQ(failure(q(s.call)), 0u) << s.name;
            clean = snapshot(q.dir());
        }
        for (long n = 1;; ++n) {
            Sequence q;
            restore(q.dir(), pre);  // faster than the set-up calls again
            ASSERT_EQ(snapshot(q.dir()), pre) << s.name;
            long seen = 0;
            call_hook = [&](bool on) {
                if (on) fault.arm(n > seen ? n - seen : 0);
                else seen += fault.disarm();
            };
            std::filesystem::resize_file(trace, 0);
            const std::string transcript = q(s.call);
            const uint32_t rc = failure(transcript);
            call_hook = nullptr;
            const std::string where = std::string(s.name) + " failing " + fault.what + " " + std::to_string(n);
            if (one_call) {
                EXPECT_TRUE(last_line(read_file(trace)).ends_with(" rc = " + std::to_string(rc))) << where;
            }
            if (rc != 0 && !given.empty()) {
                EXPECT_EQ(records_shown(transcript), given) << where;
            }
            // 0 only where the failed step is one the call may do without.
            const bool step = fault.code == RSPI_RC_FILE_ERROR && s.step_code != 0 && rc == s.step_code;
            EXPECT_TRUE(rc == 0 || rc == fault.code || step) << where << ": rc " << rc;
            // All or nothing: a failed call leaves the directory exactly as it
            // was, no journal included; a call that gets through did all of it.
            // Failed after its commit point, it leaves its journal committed,
            // and the next call (a reader here) finishes it.
            const Files now = snapshot(q.dir());
            bool finished_later = false;
            if (rc == fault.code && now != pre && now.count("tolv.journal")) {
                (void)q("user.get " ANN);
                const Files later = snapshot(q.dir());
                finished_later = names(later) == names(clean) && indexes_of(later) == indexes_of(clean);
            }
            EXPECT_TRUE(rc != fault.code || now == pre || finished_later) << where;
            EXPECT_TRUE(rc != 0 || (names(now) == names(clean) && indexes_of(now) == indexes_of(clean))) << where;
            if (seen < n) {  // the calls made fewer: walk done
                EXPECT_EQ(rc, 0u) << where;
                std::printf("%-28s %3ld %ss failed in turn\n", s.name, n - 1, fault.what);
                break;
            }
            ASSERT_LT(n, 400) << s.name;
        }
    }
    ::unsetenv("TOLV_CORPUS_TRACE");
}

}  // namespace

TEST(FaultWalk, FailingEachFileOperation) { walk(kFaults[0]); }
TEST(FaultWalk, FailingEachAllocation) { walk(kFaults[1]); }

// check --repair is one writing call: failing any of its file operations leaves the registry as it was, or
// (failed after the commit point) as the next call finishes it, fully repaired.
TEST(FaultWalk, RepairIsAllOrNothing) {
    Sequence q;
    ASSERT_EQ(failure(q(std::string(kTwoUsers) + "file userlist.file_T half\nfile corp_ghost.QZuser_blob abc\n"
                                                  "rm corp_ann.myGroups\nrm grouplist.file\n")), 0u);
    const Files pre = snapshot(q.dir());
    TempDir conf;
    write_file(conf.path() + "tolv.conf", "dir=" + q.dir() + "\n");
    char **h = nullptr;
    ASSERT_EQ(rspi_initialize(&h, (conf.path() + "tolv.conf").c_str()), 0u);
    std::vector<tolv::admin::Finding> found;
    std::string error;
    const auto reset = [&] {
        for (const auto &e : std::filesystem::directory_iterator(q.dir())) std::filesystem::remove_all(e.path());
        restore(q.dir(), pre);
    };
    ASSERT_EQ(tolv::admin::check(h, true, found, error), 0u) << error;
    const Files clean = snapshot(q.dir());
    ASSERT_NE(indexes_of(clean), indexes_of(pre));
    for (long n = 1;; ++n) {
        reset();
        tolv::io::fail_nth_operation(n, n % 2 ? EIO : ENOSPC);
        const uint32_t rc = tolv::admin::check(h, true, found, error);
        const long seen = tolv::io::operations_seen();
        tolv::io::fail_nth_operation(0, 0);
        Files now = snapshot(q.dir());
        const std::string where = "repair failing file operation " + std::to_string(n);
        if (rc != 0 && now.count("tolv.journal")) {
            EXPECT_EQ(tolv::admin::recover(h), 0u) << where;
            now = snapshot(q.dir());
            EXPECT_EQ(now, clean) << where;
        } else {
            EXPECT_EQ(now, rc == 0 ? clean : pre) << where << ": rc " << rc;
        }
        for (const auto &f : found) EXPECT_TRUE(rc == 0 || !f.repaired) << where;
        if (seen < n) {
            std::printf("%-28s %3ld file operations failed in turn\n", "check --repair", n - 1);
            break;
        }
        ASSERT_LT(n, 400);
    }
    rspi_terminate(h);
}
