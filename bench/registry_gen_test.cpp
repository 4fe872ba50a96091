// registry_gen_test.cpp - the generator writes what the plug-in writes: a
// registry built entry by entry through the interface holds the same files,
// byte for byte (except the UUIDs the plug-in makes itself); and the cache is
// reused only while it is intact.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>

#include "tolvformat.h"
#include "registry.h"
#include "registry_gen.h"
#include "rspi.h"
#include "tolv.h"

namespace tolvbench {
namespace {

namespace fs = std::filesystem;

using tolvtest::read_file;
using tolvtest::TempDir;
using tolvtest::write_file;

char *dup(const std::string &s) { return rspi_strdup(s.c_str()); }

// Line `line` (1-based) of a record file replaced by a marker.
std::string mask_line(std::string text, int line) {
    std::size_t start = 0;
    for (int i = 1; i < line; ++i) start = text.find('\n', start) + 1;
    const std::size_t end = text.find('\n', start);
    return text.replace(start, end - start, "<uuid>");
}

// The UUID line of record files whose UUID the plug-in always makes anew.
int uuid_line(const std::string &name) {
    if (name.ends_with(".QZpolicy")) return 6;
    if (name.ends_with(".QZresource") || name.ends_with(".QZrescreds")) return 5;
    return 0;
}

// Builds through the interface what the generator writes for n users, but
// the groups (build_groups).
void build_through_plugin(const std::string &root, std::size_t n) {
    const std::string dir = root + "/registry/";
    fs::create_directories(dir);
    write_file(root + "/tolv.conf", "dir=" + dir + "\n");
    char **h = nullptr;
    ASSERT_EQ(rspi_initialize(&h, (root + "/tolv.conf").c_str()), 0u);
    const Shape s = shape_for(n);

    // Users in reverse order: the indexes must come out sorted whatever the order.
    for (std::size_t k = n; k-- > 0;) {
        rspi_user *u = rspi_alloc_user();
        u->user_id = dup(user_id(k));
        u->domain = dup(user_domain(k));
        u->description = dup(user_description(k));
        u->uuid_string = dup(user_uuid(k));
        u->registry_id = dup(user_registry_id(k));
        u->cert_dn = dup(user_cert_dn(k));
        u->account_valid = 2;
        u->password = rspi_alloc_authndata();
        u->password->type = 1;
        u->password->data = dup(user_password(k));
        u->password->length = static_cast<uint32_t>(user_password(k).size());
        u->login_types = rspi_alloc_logintypes(2);
        u->login_types->types[0] = dup("web");
        u->login_types->types[1] = dup("ssh");
        EXPECT_EQ(rspi_create_user(h, u), 0u) << user_id(k);
        rspi_free_user(u);
    }
    for (std::size_t p = 0; p < s.policies; ++p) {
        rspi_policy *pol = rspi_alloc_policy();
        pol->policy_id = dup(policy_id(p));
        pol->domain = dup(policy_domain(p));
        pol->description = dup("Generated policy " + std::to_string(p));
        pol->state = 2;
        EXPECT_EQ(rspi_create_policy(h, pol), 0u);
        rspi_free_policy(pol);
    }
    for (std::size_t r = 0; r < s.resources; ++r) {
        rspi_resource *res = rspi_alloc_resource();
        res->name = dup(resource_name(r));
        res->description = dup("Generated resource " + std::to_string(r));
        res->state = 2;
        EXPECT_EQ(rspi_create_resource(h, res), 0u);
        rspi_free_resource(res);
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (!has_creds(s, i)) continue;
        for (std::size_t c = 0; c < kCredsPerUser; ++c) {
            rspi_user *u = rspi_alloc_user();
            u->user_id = dup(user_id(i));
            u->domain = dup(user_domain(i));
            rspi_rescreds *cr = rspi_alloc_rescreds();
            cr->name = dup(resource_name(cred_resource(s, i, c)));
            cr->description = dup("Generated credential");
            cr->state = 2;
            cr->password = rspi_alloc_authndata();
            cr->password->type = 1;
            char secret[32];
            std::snprintf(secret, sizeof secret, "s3cret-%07zu", i);
            cr->password->data = dup(secret);
            cr->password->length = static_cast<uint32_t>(std::string(secret).size());
            EXPECT_EQ(rspi_create_rescreds(h, u, cr), 0u);
            rspi_free_rescreds(cr);
            rspi_free_user(u);
        }
    }
    rspi_terminate(h);
}

// Groups need the generator's UUIDs, which only its group list tells.
void build_groups(const std::string &root, const std::string &generated_dir, std::size_t n) {
    char **h = nullptr;
    ASSERT_EQ(rspi_initialize(&h, (root + "/tolv.conf").c_str()), 0u);
    const Shape s = shape_for(n);
    std::istringstream list(read_file(generated_dir + "grouplist.file"));
    std::string line;
    while (std::getline(list, line)) {
        const std::size_t a = line.find("  "), b = line.find("  ", a + 2);
        const std::string name = line.substr(0, a), uuid = line.substr(a + 2, b - a - 2), rgy = line.substr(b + 2);
        const std::size_t blank = name.find(' ');
        rspi_group *g = rspi_alloc_group();
        g->domain = dup(name.substr(0, blank));
        g->group_id = dup(name.substr(blank + 1));
        g->description = dup("Generated group " + std::to_string(std::stoul(name.substr(blank + 6))));
        g->state = 2;
        g->uuid_string = dup(uuid);
        g->registry_id = dup(rgy);
        EXPECT_EQ(rspi_create_group(h, g), 0u) << line;
        rspi_free_group(g);
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (!is_member(s, i)) continue;
        std::size_t gs[2];
        groups_of_user(s, i, gs);
        for (std::size_t g : gs) {
            rspi_group *gr = rspi_alloc_group();
            gr->group_id = dup(group_id(g));
            gr->domain = dup(group_domain(g));
            rspi_user *u = rspi_alloc_user();
            u->user_id = dup(user_id(i));
            u->domain = dup(user_domain(i));
            EXPECT_EQ(rspi_add_group_member(h, gr, u), 0u);
            rspi_free_user(u);
            rspi_free_group(gr);
        }
    }
    rspi_terminate(h);
}

TEST(RegistryGen, MatchesARegistryBuiltThroughThePlugin) {
    constexpr std::size_t n = 60;
    TempDir data, built;
    const Registry reg = prepare_registry(data.path(), n);
    ASSERT_TRUE(reg.generated);
    build_through_plugin(built.path(), n);
    build_groups(built.path(), reg.dir, n);
    const std::string built_dir = built.path() + "/registry/";

    std::vector<std::string> generated_names, built_names;
    for (const auto &e : fs::directory_iterator(reg.dir)) generated_names.push_back(e.path().filename().string());
    for (const auto &e : fs::directory_iterator(built_dir))
        // The journal's own names, which a first write makes.
        if (const std::string name = e.path().filename(); name != tolv::format::kIdleJournalDir &&
                                                          name != tolv::format::kLockFile &&
                                                          name != tolv::format::kReserveFile)
            built_names.push_back(e.path().filename().string());
    std::sort(generated_names.begin(), generated_names.end());
    std::sort(built_names.begin(), built_names.end());
    ASSERT_EQ(generated_names, built_names);
    for (const auto &name : generated_names) {
        std::string want = read_file(built_dir + name), got = read_file(reg.dir + name);
        if (const int line = uuid_line(name)) {
            want = mask_line(want, line);
            got = mask_line(got, line);
        }
        EXPECT_EQ(got, want) << name;
    }
}

TEST(RegistryGen, ReusesAnIntactRegistryAndRewritesAChangedOne) {
    constexpr std::size_t n = 30;
    TempDir data;
    const Registry first = prepare_registry(data.path(), n);
    EXPECT_TRUE(first.generated);
    const std::string list = read_file(first.dir + "userlist.file");

    // Leftovers of an interrupted run go; an intact registry is kept.
    const std::string stray = first.dir + user_file_name(kBenchDomain, kBenchUser);
    write_file(stray, "x\n");
    write_file(first.dir + std::string(kFloorRecord), "x\n");
    const Registry again = prepare_registry(data.path(), n);
    EXPECT_FALSE(again.generated);
    EXPECT_FALSE(fs::exists(stray));
    EXPECT_FALSE(fs::exists(first.dir + std::string(kFloorRecord)));

    // An index that no longer matches the stamp means the registry is rewritten.
    write_file(first.dir + "userlist.file", list + "lab extra  u  r\n");
    const Registry rewritten = prepare_registry(data.path(), n);
    EXPECT_TRUE(rewritten.generated);
    EXPECT_EQ(read_file(rewritten.dir + "userlist.file"), list);
    EXPECT_FALSE(fs::exists(rewritten.root + ".new"));
    EXPECT_FALSE(fs::exists(rewritten.root + ".old"));
}

TEST(RegistryGen, SnapshotsTellChangedNewAndGoneFiles) {
    TempDir d;
    const std::string dir = d.path() + "/";
    write_file(dir + "a", "1");
    write_file(dir + "b", "2");
    const auto before = snapshot(dir);
    write_file(dir + "a", "changed");
    fs::remove(dir + "b");
    write_file(dir + "c", "3");
    const auto diff = differences(before, snapshot(dir));
    EXPECT_EQ(diff, (std::vector<std::string>{"a (changed)", "b (gone)", "c (new)"}));
    EXPECT_TRUE(differences(before, before).empty());
}

}  // namespace
}  // namespace tolvbench
