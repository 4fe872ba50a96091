// Every record family through the same steps: a failed allocation in a get
// ends with 3, and a hostile blob length stored in a record file means the
// same in every family.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

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
        ::_exit(static_cast<int>(call()));
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return 255;
    return static_cast<uint32_t>(WEXITSTATUS(status));
#endif
}

// One family: its record file of a plain name, and how to create a record
// (with a description and a blob) and read it back by name.
struct Kind {
    const char *label;
    std::function<std::string(const std::string &name)> file;
    std::function<uint32_t(char **, const char *name, const char *text, std::string_view blob)> create;
    // A get of the name, on a record built once: the name as read back goes to `stored`.
    std::function<std::function<uint32_t()>(char **, const std::string &name, std::string &stored)> getter;
    uint32_t get(char **h, const std::string &name, std::string &stored) const { return getter(h, name, stored)(); }
};

template <class R, class Rec>
Kind kind(const char *label, std::function<std::string(const std::string &)> file,
          std::function<void(R &, const char *)> keys, std::function<const char *(const R &)> stored,
          std::function<uint32_t(char **, R *)> create, std::function<uint32_t(char **, R *)> get) {
    return {label, file,
            [=](char **h, const char *name, const char *text, std::string_view data) {
                Rec r;
                keys(*r, name);
                set(r->description, text);
                if (!data.empty()) r->blob = blob(data);
                return create(h, r.get());
            },
            [=](char **h, const std::string &name, std::string &out) {
                auto r = std::make_shared<Rec>();
                keys(**r, name.c_str());
                return std::function<uint32_t()>([=, &out] {
                    const uint32_t rc = get(h, r->get());
                    if (rc == 0) out = stored(**r);
                    return rc;
                });
            }};
}

std::vector<Kind> kinds() {
    // Credentials belong to the user corp/owner, which the fixture creates.
    const auto owner = std::make_shared<User>(user("corp", "owner"));
    const auto with_owner = [owner](uint32_t (*op)(char **, rspi_user *, rspi_rescreds *)) {
        return [owner, op](char **h, rspi_rescreds *c) { return op(h, owner->get(), c); };
    };
    const auto named = [](auto &r, const char *n) {
        set(r.name, n);
        r.state = 2;
    };
    return {
        kind<rspi_user, User>(
            "user", [](auto &n) { return "corp_" + n + ".QZuser"; },
            [](rspi_user &u, const char *n) {
                set(u.domain, "corp");
                set(u.user_id, n);
                set(u.registry_id, n);
                u.flag_1 = u.account_valid = 2;
            },
            [](const rspi_user &u) { return u.user_id; }, rspi_create_user, rspi_get_user),
        kind<rspi_group, Group>(
            "group", [](auto &n) { return "corp_" + n + ".QZgroup"; },
            [](rspi_group &g, const char *n) {
                set(g.domain, "corp");
                set(g.group_id, n);
                set(g.registry_id, n);
                g.state = 2;
            },
            [](const rspi_group &g) { return g.group_id; }, rspi_create_group, rspi_get_group),
        kind<rspi_policy, Policy>(
            "policy", [](auto &n) { return "corp_" + n + ".QZpolicy"; },
            [](rspi_policy &p, const char *n) {
                set(p.domain, "corp");
                set(p.policy_id, n);
                p.state = 2;
            },
            [](const rspi_policy &p) { return p.policy_id; }, rspi_create_policy, rspi_get_policy),
        kind<rspi_resource, Resource>("resource", [](auto &n) { return n + ".QZresource"; }, named,
                                      [](const rspi_resource &r) { return r.name; }, rspi_create_resource,
                                      rspi_get_resource),
        kind<rspi_resgroup, Resgroup>("resource group", [](auto &n) { return n + ".QZresgroup"; }, named,
                                      [](const rspi_resgroup &r) { return r.name; }, rspi_create_resgroup,
                                      rspi_get_resgroup),
        kind<rspi_rescreds, Creds>("credential", [](auto &n) { return "corp_owner_" + n + ".QZrescreds"; }, named,
                                   [](const rspi_rescreds &c) { return c.name; }, with_owner(rspi_create_rescreds),
                                   with_owner(rspi_get_rescreds)),
    };
}

class Hostile : public Registry {
protected:
    void SetUp() override {
        Registry::SetUp();
        User owner = user("corp", "owner");
        owner.set(owner->registry_id, "owner-rid");
        owner->flag_1 = owner->account_valid = 2;
        ASSERT_EQ(rspi_create_user(h, owner.get()), 0u);
    }
};

TEST_F(Hostile, EveryFailedAllocationInAGetIsNoMemory) {
    for (const Kind &k : kinds()) {
        ASSERT_EQ(k.create(h, "full", "described", "bytes"), 0u) << k.label;
        std::string stored;
        for_each_failed_alloc(k.getter(h, "full", stored), [&](uint32_t rc, bool failed) {
            EXPECT_EQ(rc, failed ? RSPI_RC_NO_MEMORY : 0u) << k.label;
        });
        EXPECT_EQ(stored, "full") << k.label;
    }
}

// The blob length stored in a record means the same in every family: below 1
// no blob, beyond 32 bits a malformed entry, more than the blob file holds 6,
// and never a buffer of that size before the file is seen to hold it.
TEST_F(Hostile, AStoredBlobLengthMeansTheSameInEveryFamily) {
    const std::string bytes = "thirteen-byte";  // the only line "13" in any record file
    for (const Kind &k : kinds()) {
        ASSERT_EQ(k.create(h, "len", nullptr, bytes), 0u) << k.label;
        const std::string file = path(k.file("len"));
        const std::string text = read_file(file);
        const std::size_t at = text.find("\n13\n");
        ASSERT_NE(at, std::string::npos) << k.label;
        std::string stored;
        for (const auto &[length, rc] : std::vector<std::pair<std::string, uint32_t>>{
                 {"13", 0}, {"0", 0}, {"-1", 0}, {"-4294967295", 0}, {"14", 6}, {"4294967295", 6},
                 {"4294967296", 9}, {"4294967297", 9}, {"99999999999999999999", 9}}) {
            write_file(file, text.substr(0, at + 1) + length + text.substr(at + 3));
            EXPECT_EQ(with_little_memory([&] { return k.get(h, "len", stored); }), rc)
                << k.label << ", length " << length;
        }
    }
}

}  // namespace
