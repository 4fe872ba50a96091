// Hostile names and texts against every record family: whatever a host passes,
// an operation either stores something that reads back and can be removed
// again, or refuses with the family's invalid-name code and changes nothing.
// No file may appear outside the registry directory.
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "api_resource_support.h"
#include "registry.h"

namespace {

using tolvtest::set;
using User = tolvtest::Rec<rspi_user, rspi_alloc_user, rspi_free_user>;
using Group = tolvtest::Rec<rspi_group, rspi_alloc_group, rspi_free_group>;
using Policy = tolvtest::Rec<rspi_policy, rspi_alloc_policy, rspi_free_policy>;
using Resource = tolvtest::Rec<rspi_resource, rspi_alloc_resource, rspi_free_resource>;
using Resgroup = tolvtest::Rec<rspi_resgroup, rspi_alloc_resgroup, rspi_free_resgroup>;
using Creds = tolvtest::Rec<rspi_rescreds, rspi_alloc_rescreds, rspi_free_rescreds>;

std::string lower(std::string s) {
    for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// One way of naming a record: how to create, read back and remove it under a
// name, and the code that refuses a bad one. `stored` is the name as the
// record read back holds it.
struct Kind {
    const char *label;
    uint32_t invalid;
    std::function<uint32_t(char **, const std::string &name, const char *text)> create;
    std::function<uint32_t(char **, const std::string &name, std::string &stored)> get;
    std::function<uint32_t(char **, const std::string &name)> remove;
};

int next_rgy = 0;
std::string fresh_rgy() { return "rid-" + std::to_string(++next_rgy); }

User user(const std::string &domain, const std::string &id) {
    User u;
    set(u->domain, domain.c_str());
    set(u->user_id, id.c_str());
    return u;
}
Group group(const std::string &domain, const std::string &id) {
    Group g;
    set(g->domain, domain.c_str());
    set(g->group_id, id.c_str());
    return g;
}
Policy policy(const std::string &domain, const std::string &id) {
    Policy p;
    set(p->domain, domain.c_str());
    set(p->policy_id, id.c_str());
    return p;
}

Kind user_kind(const char *label, bool name_is_domain) {
    auto make = [name_is_domain](const std::string &n) { return name_is_domain ? user(n, "ann") : user("corp", n); };
    return {label, RSPI_RC_INVALID_USER,
            [make](char **h, const std::string &n, const char *text) {
                User u = make(n);
                set(u->registry_id, fresh_rgy().c_str());
                set(u->description, text);
                u->flag_1 = 2;
                u->account_valid = 2;
                return rspi_create_user(h, u.get());
            },
            [make, name_is_domain](char **h, const std::string &n, std::string &stored) {
                User u = make(n);
                const uint32_t rc = rspi_get_user(h, u.get());
                if (rc == 0) stored = name_is_domain ? u->domain : u->user_id;
                return rc;
            },
            [make](char **h, const std::string &n) { return rspi_delete_user(h, make(n).get()); }};
}

Kind group_kind(const char *label, bool name_is_domain) {
    auto make = [name_is_domain](const std::string &n) { return name_is_domain ? group(n, "staff") : group("corp", n); };
    return {label, RSPI_RC_INVALID_GROUP,
            [make](char **h, const std::string &n, const char *text) {
                Group g = make(n);
                set(g->registry_id, fresh_rgy().c_str());
                set(g->description, text);
                g->state = 2;
                return rspi_create_group(h, g.get());
            },
            [make, name_is_domain](char **h, const std::string &n, std::string &stored) {
                Group g = make(n);
                const uint32_t rc = rspi_get_group(h, g.get());
                if (rc == 0) stored = name_is_domain ? g->domain : g->group_id;
                return rc;
            },
            [make](char **h, const std::string &n) { return rspi_delete_group(h, make(n).get()); }};
}

Kind policy_kind(const char *label, bool name_is_domain) {
    auto make = [name_is_domain](const std::string &n) { return name_is_domain ? policy(n, "p1") : policy("corp", n); };
    return {label, RSPI_RC_INVALID_POLICY,
            [make](char **h, const std::string &n, const char *text) {
                Policy p = make(n);
                set(p->description, text);
                p->state = 2;
                return rspi_create_policy(h, p.get());
            },
            [make, name_is_domain](char **h, const std::string &n, std::string &stored) {
                Policy p = make(n);
                const uint32_t rc = rspi_get_policy(h, p.get());
                if (rc == 0) stored = name_is_domain ? p->domain : p->policy_id;
                return rc;
            },
            [make](char **h, const std::string &n) { return rspi_delete_policy(h, make(n).get()); }};
}

template <class R, uint32_t (*Create)(char **, R *), uint32_t (*Get)(char **, R *), uint32_t (*Delete)(char **, R *),
          class Rec>
Kind named_kind(const char *label, uint32_t invalid) {
    auto make = [](const std::string &n) {
        Rec r;
        set(r->name, n.c_str());
        r->state = 2;
        return r;
    };
    return {label, invalid,
            [make](char **h, const std::string &n, const char *text) {
                Rec r = make(n);
                set(r->description, text);
                return Create(h, r.get());
            },
            [make](char **h, const std::string &n, std::string &stored) {
                Rec r = make(n);
                const uint32_t rc = Get(h, r.get());
                if (rc == 0) stored = r->name;
                return rc;
            },
            [make](char **h, const std::string &n) { return Delete(h, make(n).get()); }};
}

// Credentials belong to the user corp/owner, which the fixture creates.
Kind rescreds_kind() {
    auto make = [](const std::string &n) {
        Creds c;
        set(c->name, n.c_str());
        c->state = 2;
        return c;
    };
    return {"credential name", RSPI_RC_INVALID_RESCREDS,
            [make](char **h, const std::string &n, const char *text) {
                Creds c = make(n);
                set(c->description, text);
                return rspi_create_rescreds(h, user("corp", "owner").get(), c.get());
            },
            [make](char **h, const std::string &n, std::string &stored) {
                Creds c = make(n);
                const uint32_t rc = rspi_get_rescreds(h, user("corp", "owner").get(), c.get());
                if (rc == 0) stored = c->name;
                return rc;
            },
            [make](char **h, const std::string &n) {
                return rspi_delete_rescreds(h, user("corp", "owner").get(), make(n).get());
            }};
}

std::vector<Kind> kinds() {
    return {user_kind("user id", false),
            user_kind("user domain", true),
            group_kind("group id", false),
            group_kind("group domain", true),
            policy_kind("policy id", false),
            policy_kind("policy domain", true),
            named_kind<rspi_resource, rspi_create_resource, rspi_get_resource, rspi_delete_resource, Resource>(
                "resource name", RSPI_RC_INVALID_RESOURCE),
            named_kind<rspi_resgroup, rspi_create_resgroup, rspi_get_resgroup, rspi_delete_resgroup, Resgroup>(
                "resource group name", RSPI_RC_INVALID_RESGROUP),
            rescreds_kind()};
}

// The registry lives in root/reg/, so a file that escapes it shows up in root/.
class Hostile : public ::testing::Test {
protected:
    void SetUp() override {
        reg_ = root_.path() + "reg/";
        ASSERT_EQ(::mkdir(reg_.c_str(), 0700), 0);
        const std::string conf = root_.path() + "tolv.conf";
        tolvtest::write_file(conf, "dir=" + reg_ + "\n");
        ASSERT_EQ(rspi_initialize(&h, conf.c_str()), 0u);
        User owner = user("corp", "owner");
        set(owner->registry_id, "owner-rid");
        owner->flag_1 = 2;
        owner->account_valid = 2;
        ASSERT_EQ(rspi_create_user(h, owner.get()), 0u);
        // A record of every kind, so that every index exists before the probes.
        for (const Kind &k : kinds()) ASSERT_EQ(k.create(h, "seed", nullptr), 0u) << k.label;
    }
    void TearDown() override { rspi_terminate(h); }

    std::map<std::string, std::string> snapshot() const {
        std::map<std::string, std::string> files;
        for (const std::string &f : tolvtest::list_dir(reg_)) files[f] = tolvtest::read_file(reg_ + f);
        return files;
    }
    void expect_nothing_outside() const {
        EXPECT_EQ(tolvtest::list_dir(root_.path()), (std::vector<std::string>{"reg", "tolv.conf"}));
    }

    // Creates under `name`; either it reads back and is removed again, leaving
    // the registry as it was, or it is refused with the kind's code and nothing
    // changed. True when the name was accepted.
    bool probe(const Kind &k, const std::string &name) {
        const auto before = snapshot();
        const uint32_t rc = k.create(h, name, nullptr);
        expect_nothing_outside();
        if (rc != 0) {
            EXPECT_EQ(rc, k.invalid) << k.label << " \"" << name << "\"";
            std::string stored;
            EXPECT_EQ(k.get(h, name, stored), k.invalid) << k.label << " \"" << name << "\"";
            EXPECT_EQ(k.remove(h, name), k.invalid) << k.label << " \"" << name << "\"";
            EXPECT_EQ(snapshot(), before) << k.label << " \"" << name << "\" refused but changed files";
            return false;
        }
        std::string stored;
        EXPECT_EQ(k.get(h, name, stored), 0u) << k.label << " \"" << name << "\" does not read back";
        EXPECT_EQ(stored, lower(name)) << k.label;
        EXPECT_EQ(k.remove(h, name), 0u) << k.label << " \"" << name << "\" cannot be removed";
        EXPECT_EQ(snapshot(), before) << k.label << " \"" << name << "\" left something behind";
        return true;
    }

    tolvtest::TempDir root_;
    std::string reg_;
    char **h = nullptr;
};

TEST_F(Hostile, EveryNameIsStoredWhole_OrRefusedWithNothingWritten) {
    const std::vector<std::string> names = {
        "..",  "../escape", "/etc/passwd", "a/b",  "a\\b",  "..\\x",   "a:b:c", "C:\\tmp", ".",     "-",
        "a b", "a  b",      " ",           "\t",   "a\tb",  "a\rb",    "\x01",  "\x7f",     "\xff\xfe", "%s%n%x",
        "- -", "UPPER",     "a_b",         "*",    "a\nb",  "\n",      "x\n",   std::string(1, '\x1b') + "[2J"};
    for (const Kind &k : kinds())
        for (const std::string &n : names) probe(k, n);
}

TEST_F(Hostile, ALineBreakInANameOrTextIsRefused) {
    for (const Kind &k : kinds()) {
        const auto before = snapshot();
        EXPECT_EQ(k.create(h, "a\nb", nullptr), k.invalid) << k.label;
        EXPECT_EQ(k.create(h, "fine", "two\nlines"), k.invalid) << k.label;
        EXPECT_EQ(snapshot(), before) << k.label;
    }
}

// Names grow a byte at a time: every length up to some bound is accepted and
// round-trips, every longer one is refused cleanly; the bound is not tiny.
TEST_F(Hostile, LongNamesAreAcceptedUpToABoundAndRefusedPastIt) {
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
        EXPECT_TRUE(refused) << k.label << ": 300 bytes cannot fit a file name";
        EXPECT_GE(longest, 100u) << k.label;
    }
}

// Names that differ only in case or in the bytes a file name cannot hold share
// a file; the second create must not overwrite the first record.
TEST_F(Hostile, NamesThatShareAFileDoNotOverwriteEachOther) {
    const std::vector<std::pair<std::string, std::string>> pairs = {
        {"Ann", "aNN"}, {"a:b", "a/b"}, {"a/b", "a\\b"}, {"x:y", "x-y"}};
    for (const Kind &k : kinds()) {
        for (const auto &[first, second] : pairs) {
            ASSERT_EQ(k.create(h, first, "first"), 0u) << k.label << " " << first;
            const auto before = snapshot();
            EXPECT_NE(k.create(h, second, "second"), 0u) << k.label << " " << first << " / " << second;
            EXPECT_EQ(snapshot(), before) << k.label << " " << first << " / " << second;
            std::string stored;
            EXPECT_EQ(k.get(h, first, stored), 0u) << k.label << " " << first;
            EXPECT_EQ(k.remove(h, first), 0u) << k.label << " " << first;
            expect_nothing_outside();
        }
    }
}

}  // namespace
