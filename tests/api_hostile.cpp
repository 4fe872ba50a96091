// Every record family through the same steps: a failed allocation in a get
// ends with 3, and a hostile blob length stored in a record file means the
// same in every family.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "corpus.h"
#include "records.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TOLV_TEST_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define TOLV_TEST_ASAN 1
#endif

#ifdef TOLV_TEST_ASAN
// Under ASan an allocation of a gigabyte or more fails (null, so 3) instead of
// being reserved quietly: a reader that sizes a buffer by a hostile length shows.
extern "C" const char *__asan_default_options() { return "allocator_may_return_null=1:max_allocation_size_mb=1024"; }
#endif

namespace {

using namespace tolvtest;

// Runs call with at most a gigabyte more address space than the process has
// now, so that a buffer sized by a hostile length cannot be had (ASan limits
// such an allocation by itself). Its code, or 255 when it did not return.
uint32_t with_little_memory(const std::function<uint32_t()> &call) {
#ifdef TOLV_TEST_ASAN
    return call();
#else
    const pid_t pid = ::fork();
    if (pid == 0) {
        unsigned long pages = 0;
        std::ifstream("/proc/self/statm") >> pages;
        const rlim_t limit = pages * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE)) + (rlim_t(1) << 30);
        const rlimit lim{limit, limit};
        if (::setrlimit(RLIMIT_AS, &lim) != 0) ::_exit(254);
        try {
            ::_exit(static_cast<int>(call()));
        } catch (...) {
            ::_exit(253);
        }
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return 255;
    return static_cast<uint32_t>(WEXITSTATUS(status));
#endif
}

// One family: its record file of a plain name (% the name), a create with a
// description and a blob, and a get by the name into a record kept across gets.
struct Kind {
    const char *label, *file, *create, *get;
};
#define OWNER " u.domain=corp u.user_id=owner"
const Kind kKinds[] = {
    {"user", "corp_%.QZuser", "user.create domain=corp user_id=% registry_id=% flag_1=2 account_valid=2",
     "user.get @u domain=corp user_id=%"},
    {"group", "corp_%.QZgroup", "group.create domain=corp group_id=% registry_id=% state=2",
     "group.get @g domain=corp group_id=% state=2"},
    {"policy", "corp_%.QZpolicy", "policy.create domain=corp policy_id=% state=2", "policy.get @p domain=corp policy_id=%"},
    {"resource", "%.QZresource", "resource.create name=% state=2", "resource.get @rs name=% state=2"},
    {"resource group", "%.QZresgroup", "resgroup.create name=% state=2", "resgroup.get @rg name=% state=2"},
    // Credentials belong to the user corp/owner, which every sequence creates.
    {"credential", "corp_owner_%.QZrescreds", "creds.create name=% state=2" OWNER, "creds.get @c name=% state=2" OWNER},
};

std::string named(const char *text, const std::string &name) {
    std::string s = text;
    for (std::size_t p; (p = s.find('%')) != std::string::npos;) s.replace(p, 1, name);
    return s;
}

struct Hostile : Sequence {
    Hostile() {
        EXPECT_EQ(failure((*this)("user.create domain=corp user_id=owner registry_id=owner-rid flag_1=2 account_valid=2")),
                  0u);
    }
};

}  // namespace

// The n-th allocation of the get fails, for n = 1, 2, ... until the get
// makes fewer.
TEST(Hostile, EveryFailedAllocationInAGetIsNoMemory) {
    Hostile s;
    for (const Kind &k : kKinds) {
        ASSERT_EQ(failure(s(named(k.create, "full") + " description=described blob=bytes")), 0u) << k.label;
        for (long n = 1;; ++n) {
            long seen = 0;
            call_hook = [&](bool on) {
                if (!on) seen += rspiutil_alloc_count();
                rspiutil_fail_nth_alloc(on && n > seen ? n - seen : 0);
            };
            const std::string got = s(named(k.get, "full"));
            call_hook = nullptr;
            EXPECT_EQ(failure(got), seen >= n ? RSPI_RC_NO_MEMORY : 0u) << k.label << ", allocation " << n;
            if (seen < n) {
                EXPECT_NE(got.find("=\"full\""), std::string::npos) << k.label;  // the name read back
                break;
            }
            ASSERT_LT(n, 100) << k.label;
        }
    }
}

// The blob length stored in a record means the same in every family: below 1
// no blob, beyond 32 bits a malformed entry, more than the blob file holds 6,
// and never a buffer of that size before the file is seen to hold it.
TEST(Hostile, AStoredBlobLengthMeansTheSameInEveryFamily) {
    Hostile s;
    for (const Kind &k : kKinds) {
        ASSERT_EQ(failure(s(named(k.create, "len") + " blob=thirteen-byte")), 0u) << k.label;
        const std::string file = s.dir() + named(k.file, "len");
        const std::string text = read_file(file);
        const std::size_t at = text.find("\n13\n");  // the only line "13" in any record file
        ASSERT_NE(at, std::string::npos) << k.label;
        for (const auto &[length, rc] : std::vector<std::pair<std::string, uint32_t>>{
                 {"13", 0}, {"0", 0}, {"-1", 0}, {"-4294967295", 0}, {"14", 6}, {"4294967295", 6},
                 {"4294967296", 9}, {"4294967297", 9}, {"99999999999999999999", 9}}) {
            write_file(file, text.substr(0, at + 1) + length + text.substr(at + 3));
            EXPECT_EQ(with_little_memory([&] { return failure(s(named(k.get, "len"))); }), rc)
                << k.label << ", length " << length;
        }
    }
}
