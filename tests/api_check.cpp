// tolvadm check: a registry built through the plug-in, then put into the
// half-done states that failed or interrupted operations leave; the checker
// must name each, --repair must mend the safe ones, and a second check must
// find only what was left to a person.
#include <sys/file.h>
#include <sys/stat.h>

#include <chrono>
#include <map>
#include <nlohmann/json.hpp>
#include <thread>

#include "records.h"
#include "tolvadm_run.h"

namespace {

using namespace tolvtest;
using Json = nlohmann::json;

class Check : public Registry {
protected:
    AdmResult adm(const std::vector<std::string> &args) { return tolvadm(conf_dir_.path() + "tolv.conf", args); }

    // Runs the check (JSON findings) and expects the given exit status.
    Json check(bool repair, int status) {
        std::vector<std::string> args{"--json", "check"};
        if (repair) args.push_back("--repair");
        const AdmResult r = adm(args);
        EXPECT_EQ(r.status, status) << r.out << r.err;
        return Json::parse(r.out.empty() ? "null" : r.out);
    }

    // The finding about file whose problem holds text, or null.
    static Json finding(const Json &all, const std::string &file, const std::string &text) {
        for (const auto &f : all)
            if (f["file"] == file && f["problem"].get<std::string>().find(text) != std::string::npos) return f;
        return nullptr;
    }
    static void expect(const Json &all, const std::string &file, const std::string &text, bool repaired) {
        const Json f = finding(all, file, text);
        ASSERT_FALSE(f.is_null()) << file << ": " << text << " not in " << all.dump(1);
        EXPECT_EQ(f["repaired"], repaired) << f.dump();
    }

    void user(const char *domain, const char *id, const char *cert_dn = nullptr, std::string_view blob_bytes = {}) {
        User u = given_user(domain, id);
        u.set(u->registry_id, (std::string(id) + "@" + domain).c_str()).set(u->cert_dn, cert_dn);
        if (!blob_bytes.empty()) u->blob = blob(blob_bytes);
        ASSERT_EQ(rspi_create_user(h, u.get()), 0u) << id;
    }
    void group(const char *domain, const char *id) {
        const std::string rid = std::string(id) + "@" + domain;
        ASSERT_EQ(rspi_create_group(h, tolvtest::group(domain, id, rid.c_str()).get()), 0u) << id;
    }
    void member(const char *group_id, const char *user_id) {
        ASSERT_EQ(rspi_add_group_member(h, tolvtest::group("corp", group_id).get(), tolvtest::user("corp", user_id).get()),
                  0u);
    }
    void policy(const char *id) {
        Policy p;
        p.set(p->domain, "corp").set(p->policy_id, id);
        p->state = p->flag_2 = p->flag_3 = 2;
        ASSERT_EQ(rspi_create_policy(h, p.get()), 0u);
    }
    uint32_t resource(const char *name) {
        Resource r;
        r.set(r->name, name);
        r->state = 2;
        return rspi_create_resource(h, r.get());
    }
    uint32_t resgroup(const char *name, std::initializer_list<const char *> members) {
        Resgroup g;
        g.set(g->name, name);
        g->state = 2;
        g->members = rspi_alloc_resgroupmembers(static_cast<int32_t>(members.size()));
        int i = 0;
        for (const char *m : members) g->members->names[i++] = rspi_strdup(m);
        return rspi_create_resgroup(h, g.get());
    }
    void creds(const char *user_id, const char *name) {
        Creds c;
        c.set(c->name, name);
        c->state = 2;
        ASSERT_EQ(rspi_create_rescreds(h, tolvtest::user("corp", user_id).get(), c.get()), 0u);
    }

    // Takes one line out of a file, removing the file when nothing is left.
    void drop_line(const std::string &name, const std::string &line) {
        std::string kept;
        bool found = false;
        for (const auto &l : lines(read(name))) {
            if (l == line)
                found = true;
            else
                kept += l + "\n";
        }
        ASSERT_TRUE(found) << line << " not in " << name;
        if (kept.empty())
            std::remove(path(name).c_str());
        else
            write(name, kept);
    }
    void rename(const std::string &from, const std::string &to) {
        ASSERT_EQ(std::rename(path(from).c_str(), path(to).c_str()), 0) << from;
    }
    // The line of a user or group in its list.
    std::string line_of(const std::string &list, const std::string &name_part) {
        for (const auto &l : lines(read(list)))
            if (l.starts_with(name_part + "  ")) return l;
        ADD_FAILURE() << name_part << " not in " << list;
        return {};
    }
    std::map<std::string, std::string> snapshot() {
        std::map<std::string, std::string> all;
        for (const auto &f : files()) all[f] = read(f);
        return all;
    }

    // A registry of every kind of entry, all consistent.
    void build() {
        user("corp", "carl", "cn=carl, o=corp");
        user("corp", "ann", "cn=ann, o=corp", "abc");
        user("corp", "bob");
        group("corp", "staff");
        group("corp", "ops");
        member("staff", "ann");
        member("staff", "bob");
        member("ops", "ann");
        policy("gold");
        policy("silver");
        ASSERT_EQ(resource("printer:a"), 0u);
        ASSERT_EQ(resource("disk"), 0u);
        ASSERT_EQ(resgroup("office", {"disk", "printer:a"}), 0u);
        creds("ann", "web:1");
        creds("ann", "mail");
    }

};

TEST_F(Check, ConsistentRegistryIsCleanAndRepairLeavesItAlone) {
    build();
    const auto before = snapshot();
    const AdmResult text = adm({"check"});
    EXPECT_EQ(text.status, 0) << text.out << text.err;
    EXPECT_EQ(text.out, "check: no findings\n");
    EXPECT_EQ(check(false, 0), Json::array());
    EXPECT_EQ(check(true, 0), Json::array());
    EXPECT_EQ(snapshot(), before);
}

TEST_F(Check, RecordsWithoutTheirIndexLineGetItBackInOrder) {
    build();
    const auto before = snapshot();
    // A store that failed after the record file was written leaves it unindexed.
    drop_line("userlist.file", line_of("userlist.file", "corp bob"));
    drop_line("certdnlist.file", "corp carl cn=carl, o=corp");
    drop_line("grouplist.file", line_of("grouplist.file", "corp ops"));
    drop_line("policylist.file", "corp gold");
    drop_line("resourcelist.file", "disk");
    drop_line("corp_ann.myResCreds", "corp ann mail");
    EXPECT_EQ(resgroup("lab", {"disk", "ghost"}), 33u);  // the group file stays, unlisted
    ASSERT_TRUE(exists("lab.QZresgroup"));

    Json found = check(false, 1);
    for (const char *file : {"corp_bob.QZuser", "corp_carl.QZuser", "corp_ops.QZgroup", "corp_gold.QZpolicy",
                             "disk.QZresource", "lab.QZresgroup", "corp_ann_mail.QZrescreds"})
        expect(found, file, "has no line in", false);
    EXPECT_EQ(found.size(), 7u) << found.dump(1);

    found = check(true, 1);
    expect(found, "corp_ann_mail.QZrescreds", "has no line in corp_ann.myResCreds", true);
    auto after = snapshot();
    EXPECT_EQ(after["resgrouplist.file"], "lab\noffice\n");
    after.erase("lab.QZresgroup");
    after["resgrouplist.file"] = before.at("resgrouplist.file");
    EXPECT_EQ(after, before);  // every list byte for byte as the plug-in wrote it
    EXPECT_EQ(check(false, 0), Json::array());
}

TEST_F(Check, IndexLinesWithoutTheirRecordsAreDropped) {
    build();
    for (const char *f : {"corp_bob.QZuser", "corp_ops.QZgroup", "corp_gold.QZpolicy", "corp_silver.QZpolicy",
                          "printer-a.QZresource", "office.QZresgroup", "corp_ann_web-1.QZrescreds",
                          "corp_ann_mail.QZrescreds", "corp_carl.QZuser"})
        std::remove(path(f).c_str());
    Json found = check(false, 1);
    expect(found, "userlist.file", "\"corp bob\" names no corp_bob.QZuser", false);
    expect(found, "grouplist.file", "names no corp_ops.QZgroup", false);
    expect(found, "policylist.file", "\"corp gold\" names no corp_gold.QZpolicy", false);
    expect(found, "resourcelist.file", "names no printer-a.QZresource", false);
    expect(found, "resgrouplist.file", "names no office.QZresgroup", false);
    expect(found, "corp_ann.myResCreds", "names no credential file corp_ann_web-1.QZrescreds", false);
    expect(found, "certdnlist.file", "names no corp_carl.QZuser", false);

    found = check(true, 1);
    expect(found, "userlist.file", "names no corp_bob.QZuser", true);
    EXPECT_EQ(lines(read("userlist.file")).size(), 1u);
    EXPECT_EQ(read("resourcelist.file"), "disk\n");
    EXPECT_EQ(read("certdnlist.file"), "corp ann cn=ann, o=corp\n");
    // Entry lists left empty have no file.
    for (const char *f : {"policylist.file", "resgrouplist.file", "corp_ann.myResCreds"}) EXPECT_FALSE(exists(f)) << f;
    // The members file of the deleted group names a resource that is gone.
    found = check(false, 1);
    EXPECT_EQ(found.size(), 1u) << found.dump(1);
    expect(found, "office.RGmembers", "member \"printer:a\" names no resource file", false);
}

TEST_F(Check, InterruptedDisableAndEnableOfUsersAndGroups) {
    build();
    const std::string bob = line_of("userlist.file", "corp bob");
    const std::string bob_uuid = bob.substr(10, bob.rfind("  ") - 10);
    // Disable renamed the user file but did not reach the list.
    rename("corp_bob.QZuser", "bob@corp.user");
    // Enable renamed the group file back but left the disabled entry.
    const std::string ops = line_of("grouplist.file", "corp ops");
    drop_line("grouplist.file", ops);
    write("grouplist.file", read("grouplist.file") + "- -" + ops.substr(8) + "\n");
    // A disabled entry whose file is gone, and a disabled file without its entry.
    write("userlist.file", read("userlist.file") + "- -  0000  gone@corp\n");
    rename("corp_carl.QZuser", "carl@corp.user");
    drop_line("userlist.file", line_of("userlist.file", "corp carl"));
    drop_line("certdnlist.file", "corp carl cn=carl, o=corp");

    Json found = check(true, 1);
    expect(found, "userlist.file", "\"corp bob\" names no corp_bob.QZuser, but bob@corp.user exists", true);
    expect(found, "corp_ops.QZgroup", "has no line in grouplist.file", true);
    expect(found, "grouplist.file", "disabled entry without its disabled group file ops@corp.group", true);
    expect(found, "userlist.file", "disabled entry without its disabled user file gone@corp.user", false);
    expect(found, "carl@corp.user", "has no disabled entry in userlist.file", true);

    const auto users = lines(read("userlist.file"));
    ASSERT_EQ(users.size(), 4u);
    EXPECT_TRUE(users[0].starts_with("corp ann  "));
    EXPECT_EQ(users[1], "- -  " + bob_uuid + "  bob@corp");  // in place of the enabled line
    EXPECT_EQ(users[2], "- -  0000  gone@corp");
    EXPECT_TRUE(users[3].starts_with("- -  ") && users[3].ends_with("  carl@corp"));
    EXPECT_EQ(lines(read("grouplist.file")), (std::vector<std::string>{ops, line_of("grouplist.file", "corp staff")}));

    found = check(false, 1);
    EXPECT_EQ(found.size(), 1u) << found.dump(1);
    expect(found, "userlist.file", "gone@corp.user", false);
}

TEST_F(Check, OneSidedMembershipsAreRemoved) {
    build();
    // The members file was updated, the user's groups file was not, and the reverse.
    drop_line("corp_ann.myGroups", "corp ops");
    drop_line("corp_staff.GPmembers", "corp bob");
    Json found = check(false, 1);
    expect(found, "corp_ops.GPmembers", "\"corp ann\" has no matching line in corp_ann.myGroups", false);
    expect(found, "corp_bob.myGroups", "\"corp staff\" has no matching line in corp_staff.GPmembers", false);
    EXPECT_EQ(found.size(), 2u) << found.dump(1);

    check(true, 1);
    EXPECT_FALSE(exists("corp_ops.GPmembers"));
    EXPECT_FALSE(exists("corp_bob.myGroups"));
    EXPECT_EQ(read("corp_staff.GPmembers"), "corp ann\n");
    EXPECT_EQ(read("corp_ann.myGroups"), "corp staff\n");
    EXPECT_EQ(check(false, 0), Json::array());
}

TEST_F(Check, TemporaryFilesBlobsAndMalformedLines) {
    build();
    Resource disk;
    set(disk->name, "disk");
    ASSERT_EQ(rspi_delete_resource(h, disk.get()), 0u);  // still a member of office
    user("corp", "dave", nullptr, "xyz");
    write("userlist.file_T", "half");
    write("corp_bob.QZuser_T", "half");
    write("corp_ann.QZuser_blob", "abcdef");  // the user file says 3 bytes
    std::remove(path("corp_dave.QZuser_blob").c_str());
    const std::string ann = line_of("userlist.file", "corp ann");
    write("userlist.file", read("userlist.file").replace(0, ann.size(), "corp ann  stale  ann@corp") +
                               "corp eve uuid rgy\n");
    write("certdnlist.file", read("certdnlist.file") + "corp bob cn=old\nnodn\n");
    write("corp_ann.myResCreds", read("corp_ann.myResCreds") + "corp ann\n");
    write("policylist.file", "corp silver\ncorp gold\ncorp gold");  // unsorted, repeated, no newline
    write("corp_staff.GPmembers", "corp ann\n\ncorp bob\n");

    Json found = check(true, 1);
    expect(found, "userlist.file_T", "leftover temporary file", true);
    expect(found, "corp_bob.QZuser_T", "leftover temporary file", true);
    expect(found, "corp_ann.QZuser", "blob of 3 bytes, but corp_ann.QZuser_blob holds 6", false);
    expect(found, "corp_dave.QZuser", "corp_dave.QZuser_blob is missing", false);
    expect(found, "userlist.file", "\"corp eve uuid rgy\" is malformed", true);
    expect(found, "userlist.file", "line 1 does not carry the UUID and registry id of corp_ann.QZuser", true);
    expect(found, "certdnlist.file", "\"nodn\" is malformed", true);
    expect(found, "certdnlist.file", "\"corp bob cn=old\" is not the certificate DN of corp_bob.QZuser", true);
    expect(found, "corp_ann.myResCreds", "\"corp ann\" is malformed", true);
    expect(found, "policylist.file", "the last line has no newline", true);
    expect(found, "policylist.file", "out of ascending order", true);
    expect(found, "corp_staff.GPmembers", "line 2 is empty", true);
    expect(found, "office.RGmembers", "member \"disk\" names no resource file disk.QZresource", false);

    EXPECT_FALSE(exists("userlist.file_T"));
    EXPECT_FALSE(exists("corp_bob.QZuser_T"));
    EXPECT_EQ(read("policylist.file"), "corp gold\ncorp silver\n");
    EXPECT_EQ(read("corp_staff.GPmembers"), "corp ann\ncorp bob\n");
    EXPECT_EQ(read("corp_ann.myResCreds"), "corp ann mail\ncorp ann web:1\n");
    EXPECT_EQ(lines(read("userlist.file")).size(), 4u);
    EXPECT_EQ(line_of("userlist.file", "corp ann"), ann);
    EXPECT_EQ(read("certdnlist.file"), "corp ann cn=ann, o=corp\ncorp carl cn=carl, o=corp\n");
    for (const char *f : {"userlist.file", "certdnlist.file", "policylist.file", "corp_staff.GPmembers"}) {
        struct stat st;
        ASSERT_EQ(::stat(path(f).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u) << f;
    }

    // Only what was left to a person remains, in text one line per finding.
    const AdmResult text = adm({"check"});
    EXPECT_EQ(text.status, 1);
    EXPECT_EQ(lines(text.out), (std::vector<std::string>{
                                   "\"corp_ann.QZuser\": records a blob of 3 bytes, but corp_ann.QZuser_blob holds 6",
                                   "\"corp_dave.QZuser\": records a blob of 3 bytes, but corp_dave.QZuser_blob is missing",
                                   "\"office.RGmembers\": line 1 member \"disk\" names no resource file disk.QZresource",
                                   "check: 3 findings, 0 mended by --repair"}));
}

TEST_F(Check, WaitsForTheRegistryLock) {
    build();
    write("corp_bob.QZuser_T", "half");
    const int fd = ::open(dir().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);
    AdmResult r;
    std::thread t([&] { r = adm({"check", "--repair"}); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(exists("corp_bob.QZuser_T"));  // nothing touched while the lock is held
    ::flock(fd, LOCK_UN);
    ::close(fd);
    t.join();
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_FALSE(exists("corp_bob.QZuser_T"));
}

TEST_F(Check, MissingRegistryGivesStatusSeven) {
    const std::string conf = conf_dir_.path() + "missing.conf";
    write_file(conf, "dir=" + dir() + "no/such/dir/\n");
    const AdmResult r = tolvadm(conf, {"check"});
    EXPECT_EQ(r.status, 7) << r.out << r.err;
    EXPECT_NE(r.err.find("no/such/dir"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
}

}  // namespace
