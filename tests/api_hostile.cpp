// Every record family through the same steps. Whatever names and texts a
// host passes, an operation either stores something that reads back and can
// be removed again, or refuses with the family's invalid-name code and changes
// nothing; no file may appear outside the registry directory. A failed
// allocation ends the same way in every family.
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <functional>
#include <map>
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

std::string lower(std::string s) {
    for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// Registry ids of one length, so that the user- and group-list bounds are fixed.
int next_rgy = 0;
std::string fresh_rgy() {
    const std::string n = std::to_string(++next_rgy);
    return "rid-" + std::string(6 - n.size(), '0') + n;
}

// One way of naming a record: its codes, the longest name it takes, and how
// to create (with a description and a blob), read, and remove it by name.
struct Kind {
    const char *label;
    uint32_t invalid, exists;
    std::size_t longest;
    std::function<std::string(const std::string &name)> file;  // the record file of a plain name
    std::function<uint32_t(char **, const char *name, const char *text, std::string_view blob)> create;
    // A get of the name, on a record built once: the name as read back goes to `stored`.
    std::function<std::function<uint32_t()>(char **, const std::string &name, std::string &stored)> getter;
    std::function<uint32_t(char **, const std::string &name)> remove;
    uint32_t get(char **h, const std::string &name, std::string &stored) const { return getter(h, name, stored)(); }
};

template <class R, class Rec>
Kind kind(const char *label, uint32_t invalid, uint32_t exists, std::size_t longest,
          std::function<std::string(const std::string &)> file, std::function<void(R &, const char *)> keys,
          std::function<const char *(const R &)> stored, std::function<uint32_t(char **, R *)> create,
          std::function<uint32_t(char **, R *)> get, std::function<uint32_t(char **, R *)> remove) {
    return {label, invalid, exists, longest, file,
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
            },
            [=](char **h, const std::string &name) {
                Rec r;
                keys(*r, name.c_str());
                return remove(h, r.get());
            }};
}

std::vector<Kind> kinds() {
    using U = rspi_user;
    using G = rspi_group;
    using P = rspi_policy;
    const auto user_keys = [](bool by_domain) {
        return [by_domain](U &u, const char *n) {
            set(u.domain, by_domain ? n : "corp");
            set(u.user_id, by_domain ? "ann" : n);
            set(u.registry_id, fresh_rgy().c_str());
            set(u.cert_dn, "cn=someone");
            u.flag_1 = u.account_valid = 2;
        };
    };
    const auto group_keys = [](bool by_domain) {
        return [by_domain](G &g, const char *n) {
            set(g.domain, by_domain ? n : "corp");
            set(g.group_id, by_domain ? "staff" : n);
            set(g.registry_id, fresh_rgy().c_str());
            g.state = 2;
        };
    };
    const auto policy_keys = [](bool by_domain) {
        return [by_domain](P &p, const char *n) {
            set(p.domain, by_domain ? n : "corp");
            set(p.policy_id, by_domain ? "p1" : n);
            p.state = 2;
        };
    };
    // Credentials belong to the user corp/owner, which the fixture creates.
    const auto owner = std::make_shared<User>(user("corp", "owner"));
    const auto with_owner = [owner](uint32_t (*op)(char **, rspi_user *, rspi_rescreds *)) {
        return [owner, op](char **h, rspi_rescreds *c) { return op(h, owner->get(), c); };
    };
    const auto named = [](auto &r, const char *n) {
        set(r.name, n);
        r.state = 2;
    };
    // Bounds: a user or group line "domain id  <36-byte uuid>  <10-byte rid>"
    // holds at most 248 bytes; a record file name with "_blob_T" at most 255.
    return {
        kind<U, User>("user id", 30, 40, 193, [](auto &n) { return "corp_" + n + ".QZuser"; }, user_keys(false),
                      [](const U &u) { return u.user_id; }, rspi_create_user, rspi_get_user, rspi_delete_user),
        kind<U, User>("user domain", 30, 40, 194, [](auto &n) { return n + "_ann.QZuser"; }, user_keys(true),
                      [](const U &u) { return u.domain; }, rspi_create_user, rspi_get_user, rspi_delete_user),
        kind<G, Group>("group id", 31, 41, 193, [](auto &n) { return "corp_" + n + ".QZgroup"; }, group_keys(false),
                       [](const G &g) { return g.group_id; }, rspi_create_group, rspi_get_group, rspi_delete_group),
        kind<G, Group>("group domain", 31, 41, 192, [](auto &n) { return n + "_staff.QZgroup"; }, group_keys(true),
                       [](const G &g) { return g.domain; }, rspi_create_group, rspi_get_group, rspi_delete_group),
        kind<P, Policy>("policy id", 32, 42, 234, [](auto &n) { return "corp_" + n + ".QZpolicy"; },
                        policy_keys(false), [](const P &p) { return p.policy_id; }, rspi_create_policy,
                        rspi_get_policy, rspi_delete_policy),
        kind<P, Policy>("policy domain", 32, 42, 236, [](auto &n) { return n + "_p1.QZpolicy"; }, policy_keys(true),
                        [](const P &p) { return p.domain; }, rspi_create_policy, rspi_get_policy,
                        rspi_delete_policy),
        kind<rspi_resource, Resource>("resource name", 33, 43, 237, [](auto &n) { return n + ".QZresource"; }, named,
                                      [](const rspi_resource &r) { return r.name; }, rspi_create_resource,
                                      rspi_get_resource, rspi_delete_resource),
        kind<rspi_resgroup, Resgroup>("resource group name", 34, 44, 237, [](auto &n) { return n + ".QZresgroup"; },
                                      named, [](const rspi_resgroup &r) { return r.name; }, rspi_create_resgroup,
                                      rspi_get_resgroup, rspi_delete_resgroup),
        kind<rspi_rescreds, Creds>(
            "credential name", 35, 45, 226, [](auto &n) { return "corp_owner_" + n + ".QZrescreds"; }, named,
            [](const rspi_rescreds &c) { return c.name; }, with_owner(rspi_create_rescreds),
            with_owner(rspi_get_rescreds), with_owner(rspi_delete_rescreds)),
    };
}

// The registry lives in root/reg/, so a file that escapes it shows up in root/.
class Hostile : public ::testing::Test {
protected:
    void SetUp() override {
        reg_ = root_.path() + "reg/";
        ASSERT_EQ(::mkdir(reg_.c_str(), 0700), 0);
        const std::string conf = root_.path() + "tolv.conf";
        write_file(conf, "dir=" + reg_ + "\n");
        ASSERT_EQ(rspi_initialize(&h, conf.c_str()), 0u);
        User owner = user("corp", "owner");
        owner.set(owner->registry_id, "owner-rid");
        owner->flag_1 = owner->account_valid = 2;
        ASSERT_EQ(rspi_create_user(h, owner.get()), 0u);
        // A record of every kind, so that every index exists before the probes.
        for (const Kind &k : kinds()) ASSERT_EQ(k.create(h, "seed", nullptr, {}), 0u) << k.label;
    }
    void TearDown() override { rspi_terminate(h); }

    std::map<std::string, std::string> snapshot() const {
        std::map<std::string, std::string> files;
        for (const std::string &f : list_dir(reg_)) files[f] = read_file(reg_ + f);
        return files;
    }
    void expect_nothing_outside() const {
        EXPECT_EQ(list_dir(root_.path()), (std::vector<std::string>{"reg", "tolv.conf"}));
    }

    // Creates under `name`; either it reads back and is removed again, leaving
    // the registry as it was, or it is refused with the kind's code and nothing
    // changed. True when the name was accepted.
    bool probe(const Kind &k, const std::string &name) {
        const auto before = snapshot();
        const uint32_t rc = k.create(h, name.c_str(), nullptr, "blob");
        expect_nothing_outside();
        std::string stored;
        if (rc != 0) {
            EXPECT_EQ(rc, k.invalid) << k.label << " \"" << name << "\"";
            EXPECT_EQ(k.get(h, name, stored), k.invalid) << k.label << " \"" << name << "\"";
            EXPECT_EQ(k.remove(h, name), k.invalid) << k.label << " \"" << name << "\"";
            EXPECT_EQ(snapshot(), before) << k.label << " \"" << name << "\" refused but changed files";
            return false;
        }
        EXPECT_EQ(k.get(h, name, stored), 0u) << k.label << " \"" << name << "\" does not read back";
        EXPECT_EQ(stored, lower(name)) << k.label;
        EXPECT_EQ(k.remove(h, name), 0u) << k.label << " \"" << name << "\" cannot be removed";
        EXPECT_EQ(snapshot(), before) << k.label << " \"" << name << "\" left something behind";
        return true;
    }

    TempDir root_;
    std::string reg_;
    char **h = nullptr;
};

TEST_F(Hostile, EveryNameIsStoredWhole_OrRefusedWithNothingWritten) {
    const std::vector<std::string> names = {
        "..",   "../escape", "/etc/passwd", "a/b",    "a\\b", "..\\x", "a:b:c", "C:\\tmp", ".",
        "-",    "a  b",      "\t",          "a\tb",   "a\rb",  "\x01",   "\x7f",  "\xff\xfe", "%s%n%x",
        "- -",  "UPPER",     "a_b",         "*",      "a\nb",  "\n",     "x\n",   std::string(1, '\x1b') + "[2J"};
    for (const Kind &k : kinds())
        for (const std::string &n : names) probe(k, n);
}

// Names grow a byte at a time: every length up to the family's bound is
// accepted and round-trips, every longer one is refused cleanly.
TEST_F(Hostile, LongNamesAreAcceptedUpToTheBoundAndRefusedPastIt) {
    for (const Kind &k : kinds()) {
        std::size_t longest = 0;
        bool refused = false;
        for (std::size_t len = 1; len <= 300; ++len) {
            const bool accepted = probe(k, std::string(len, 'n'));
            if (accepted) {
                EXPECT_FALSE(refused) << k.label << ": length " << len << " accepted after a shorter one was refused";
                longest = len;
            } else {
                refused = true;
            }
        }
        EXPECT_EQ(longest, k.longest) << k.label;
    }
}

// Names that differ only in case or in the bytes a file name cannot hold share
// a file; the second create must not overwrite the first record.
TEST_F(Hostile, NamesThatShareAFileDoNotOverwriteEachOther) {
    const std::vector<std::pair<std::string, std::string>> pairs = {
        {"Ann", "aNN"}, {"a:b", "a/b"}, {"a/b", "a\\b"}, {"x:y", "x-y"}};
    for (const Kind &k : kinds()) {
        for (const auto &[first, second] : pairs) {
            ASSERT_EQ(k.create(h, first.c_str(), "first", {}), 0u) << k.label << " " << first;
            const auto before = snapshot();
            EXPECT_EQ(k.create(h, second.c_str(), "second", {}), k.exists) << k.label << " " << first << " / " << second;
            EXPECT_EQ(snapshot(), before) << k.label << " " << first << " / " << second;
            std::string stored;
            EXPECT_EQ(k.get(h, first, stored), 0u) << k.label << " " << first;
            EXPECT_EQ(k.remove(h, first), 0u) << k.label << " " << first;
            expect_nothing_outside();
        }
    }
}

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
        const std::string file = reg_ + k.file("len");
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
