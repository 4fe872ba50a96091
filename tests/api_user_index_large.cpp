// Users in indexes larger than one read buffer: the user and certificate-DN
// lists are rewritten, walked and searched past their first pieces, and a
// fetch refreshes a record's UUID bytes from the stored text.
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include "records.h"

namespace tolvtest {
namespace {

constexpr int kUsers = 200;  // about 17 KiB of user list, 11 KiB of DN list

std::string id_of(int i) { return "member" + std::to_string(1000 + i); }
std::string dn_of(int i) { return "CN=" + id_of(i) + ", OU=Some Unit, O=Example"; }
std::string rgy_of(int i) { return "uid=" + id_of(i) + ",ou=unit,o=Example"; }

class LargeIndexes : public Registry {
protected:
    void SetUp() override {
        Registry::SetUp();
        // Created in an order that inserts all over the list.
        for (int k = 0; k < kUsers; ++k) {
            const int i = (k * 7) % kUsers;
            UserRec u;
            u.set(u->domain, "corp").set(u->user_id, id_of(i).c_str()).set(u->registry_id, rgy_of(i).c_str());
            u.set(u->cert_dn, dn_of(i).c_str());
            ASSERT_EQ(rspi_create_user(h, u.get()), 0u) << i;
        }
        ASSERT_GT(read("userlist.file").size(), 2 * 8192u);
    }

    // The user list's lines in file order.
    std::vector<std::string> userlist() const { return lines(read("userlist.file")); }
    static std::string expected_dnlist(const std::vector<int> &users, std::vector<std::string> l = {}) {
        for (int i : users) l.push_back("corp " + id_of(i) + " " + dn_of(i));
        std::sort(l.begin(), l.end());
        std::string s;
        for (const auto &x : l) s += x + "\n";
        return s;
    }
    static std::vector<int> all() {
        std::vector<int> v(kUsers);
        for (int i = 0; i < kUsers; ++i) v[i] = i;
        return v;
    }
};

TEST_F(LargeIndexes, RewritesKeepEveryOtherLineAsItWas) {
    const std::vector<std::string> before = userlist();
    ASSERT_EQ(before.size(), static_cast<std::size_t>(kUsers));
    EXPECT_TRUE(std::is_sorted(before.begin(), before.end()));
    EXPECT_EQ(read("certdnlist.file"), expected_dnlist(all()));

    // Deleting every third user drops exactly their lines.
    std::vector<int> kept;
    std::vector<std::string> want;
    for (int i = 0; i < kUsers; ++i) {
        if (i % 3 == 0) {
            UserRec u;
            u.set(u->domain, "corp").set(u->user_id, id_of(i).c_str());
            ASSERT_EQ(rspi_delete_user(h, u.get()), 0u) << i;
        } else {
            kept.push_back(i);
        }
    }
    for (const std::string &line : before)
        if ((std::stoi(line.substr(line.find("member") + 6, 4)) - 1000) % 3 != 0) want.push_back(line);
    EXPECT_EQ(userlist(), want);
    EXPECT_EQ(read("certdnlist.file"), expected_dnlist(kept));

    // A changed DN replaces the user's line and leaves the others alone.
    UserRec m;
    m.set(m->domain, "corp").set(m->user_id, id_of(100).c_str()).set(m->cert_dn, "CN=aaa first");
    m->flag_1 = m->account_valid = 2;
    m->number_2 = -1;
    ASSERT_EQ(rspi_modify_user(h, m.get()), 0u);
    kept.erase(std::find(kept.begin(), kept.end(), 100));
    EXPECT_EQ(read("certdnlist.file"), expected_dnlist(kept, {"corp " + id_of(100) + " CN=aaa first"}));
    EXPECT_EQ(userlist(), want);
}

TEST_F(LargeIndexes, LookupsFindEntriesFarIntoTheLists) {
    for (int i : {0, 100, kUsers - 1}) {
        UserRec by_dn;
        by_dn.set(by_dn->cert_dn, dn_of(i).c_str());
        ASSERT_EQ(rspi_get_user_by_certdn(h, by_dn.get()), 0u) << i;
        EXPECT_STREQ(by_dn->user_id, id_of(i).c_str());

        std::string upper = rgy_of(i);
        std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
        UserRec by_rgy;
        by_rgy.set(by_rgy->registry_id, upper.c_str());
        ASSERT_EQ(rspi_get_user_by_rgyid(h, by_rgy.get()), 0u) << i;
        EXPECT_STREQ(by_rgy->user_id, id_of(i).c_str());
        EXPECT_STREQ(by_rgy->registry_id, rgy_of(i).c_str());

        UserRec by_uuid;
        by_uuid.set(by_uuid->uuid_string, by_dn->uuid_string);
        ASSERT_EQ(rspi_get_user_by_uuid(h, by_uuid.get()), 0u) << i;
        EXPECT_STREQ(by_uuid->user_id, id_of(i).c_str());
    }
    UserRec none;
    none.set(none->cert_dn, "CN=member1199, OU=Some Unit");  // a prefix of a stored DN
    EXPECT_EQ(rspi_get_user_by_certdn(h, none.get()), RSPI_RC_INVALID_USER);
    none.set(none->registry_id, "uid=member1199,ou=unit,o=Exampl");
    EXPECT_EQ(rspi_get_user_by_rgyid(h, none.get()), RSPI_RC_INVALID_USER);
}

TEST_F(LargeIndexes, AWalkGivesEveryLineInFileOrder) {
    std::vector<std::string> names;
    for (const std::string &line : userlist()) names.push_back(line.substr(0, line.find("  ")));
    rspi_userlist *l = rspi_alloc_userlist();
    ASSERT_EQ(rspi_get_userlist(h, l, 0, nullptr, nullptr, nullptr), 0u);
    EXPECT_EQ(l->count, kUsers);
    UserRec u;
    std::vector<std::string> walked;
    while (rspi_next_user(h, l, u.get(), 0) == 0) walked.push_back(std::string(u->domain) + " " + u->user_id);
    EXPECT_EQ(walked, names);
    rspi_free_userlist(l);

    // Filters over the same list: ids ending in 7 (and no registry id), then
    // registry ids by pattern.
    l = rspi_alloc_userlist();
    ASSERT_EQ(rspi_get_userlist(h, l, 1, "*7", "CORP", "none"), 0u);
    EXPECT_EQ(l->count, kUsers / 10);
    rspi_free_userlist(l);
    l = rspi_alloc_userlist();
    ASSERT_EQ(rspi_get_userlist(h, l, 3, nullptr, nullptr, "*MEMBER11*"), 0u);
    EXPECT_EQ(l->count, 100);
    rspi_free_userlist(l);
}

TEST_F(LargeIndexes, UnreadableDnListIsAFileErrorAndAMissingOneNoUser) {
    ASSERT_EQ(::rename(path("certdnlist.file").c_str(), path("dns").c_str()), 0);
    UserRec u;
    u.set(u->cert_dn, dn_of(5).c_str());
    EXPECT_EQ(rspi_get_user_by_certdn(h, u.get()), RSPI_RC_INVALID_USER);
    ASSERT_EQ(::mkdir(path("certdnlist.file").c_str(), 0700), 0);
    EXPECT_EQ(rspi_get_user_by_certdn(h, u.get()), RSPI_RC_FILE_ERROR);
    EXPECT_EQ(u->user_id, nullptr);
}

TEST_F(Registry, AFetchSetsTheUuidBytesFromTheStoredText) {
    UserRec u;
    u.set(u->domain, "corp").set(u->user_id, "ann").set(u->registry_id, "uid=ann");
    u.set(u->uuid_string, "0badc0de-0123-4567-89ab-cdef01234567");
    ASSERT_EQ(rspi_create_user(h, u.get()), 0u);
    const unsigned char want[16] = {0x0b, 0xad, 0xc0, 0xde, 0x01, 0x23, 0x45, 0x67,
                                    0x89, 0xab, 0xcd, 0xef, 0x01, 0x23, 0x45, 0x67};
    // Stale bytes, and then bytes that already match, both end as the text says.
    for (int round = 0; round < 2; ++round) {
        if (round == 0) std::fill(std::begin(u->uuid), std::end(u->uuid), 0xee);
        ASSERT_EQ(rspi_get_user(h, u.get()), 0u);
        EXPECT_TRUE(std::equal(std::begin(want), std::end(want), std::begin(u->uuid))) << round;
    }
    // Upper-case text in the file parses to the same bytes; the text stays as stored.
    std::string file = read("corp_ann.QZuser");
    file.replace(file.find("0badc0de-0123-4567-89ab-cdef01234567"), 36, "0BADC0DE-0123-4567-89AB-CDEF01234567");
    write("corp_ann.QZuser", file);
    std::fill(std::begin(u->uuid), std::end(u->uuid), 0);
    ASSERT_EQ(rspi_get_user(h, u.get()), 0u);
    EXPECT_STREQ(u->uuid_string, "0BADC0DE-0123-4567-89AB-CDEF01234567");
    EXPECT_TRUE(std::equal(std::begin(want), std::end(want), std::begin(u->uuid)));
    // A single wrong digit is not taken for the record's UUID.
    file.replace(file.find("0BADC0DE"), 8, "0badc0df");
    write("corp_ann.QZuser", file);
    ASSERT_EQ(rspi_get_user(h, u.get()), 0u);
    EXPECT_EQ(u->uuid[3], 0xdf);
}

}  // namespace
}  // namespace tolvtest
