// Authentication, change of password and the user lookups, through the
// exported interface.
#include <cstdio>
#include <string>

#include "api_user_support.h"
#include "registry.h"

using tolvtest::Authn;
using tolvtest::UserRec;

namespace {

class UserAuth : public tolvtest::Registry {
protected:
    // A user with a password, account_valid as given, and a certificate DN.
    void add(const char *id, const char *pw, int32_t valid, const char *rgy, const char *uuid,
             const char *cert_dn = nullptr) {
        UserRec u;
        u.set(u->domain, "dom").set(u->user_id, id).set(u->registry_id, rgy).set(u->uuid_string, uuid);
        u.set(u->cert_dn, cert_dn);
        u->password = tolvtest::password(pw);
        u->account_valid = valid;
        ASSERT_EQ(rspi_create_user(h, u.get()), 0u);
    }
    uint32_t auth(const char *id, const std::string &pw, uint32_t type = 1) {
        UserRec u;
        u.set(u->domain, "DOM").set(u->user_id, id);
        Authn a(pw, type);
        return rspi_authenticate_user(h, u.get(), a.get());
    }
    uint32_t change(const char *id, const std::string &old_pw, const std::string &new_pw, uint32_t old_type = 1,
                    uint32_t new_type = 1) {
        UserRec u;
        u.set(u->domain, "dom").set(u->user_id, id);
        Authn o(old_pw, old_type), n(new_pw, new_type);
        return rspi_change_authndata(h, u.get(), o.get(), n.get());
    }
};

TEST_F(UserAuth, AuthenticationPrecedence) {
    add("val", "pw", 1, "r-val", "u-val");
    add("inv", "pw", 0, "r-inv", "u-inv");
    EXPECT_EQ(auth("val", "pw"), 0u);
    EXPECT_EQ(auth("val", "pwx"), 23u);
    EXPECT_EQ(auth("val", "p"), 23u);
    EXPECT_EQ(auth("val", "PW"), 23u);
    EXPECT_EQ(auth("val", "pw", 2), 22u);
    EXPECT_EQ(auth("val", "no", 2), 23u);  // 23 over 22
    EXPECT_EQ(auth("inv", "pw"), 21u);
    EXPECT_EQ(auth("inv", "pw", 2), 21u);  // 21 over 22
    EXPECT_EQ(auth("inv", "no"), 23u);     // 23 over 21
    EXPECT_EQ(auth("nobody", "pw"), 30u);

    // The supplied bytes count by length, not up to a NUL.
    UserRec u;
    u.set(u->domain, "dom").set(u->user_id, "val");
    Authn longer("pwZZ");
    longer.get()->length = 2;
    EXPECT_EQ(rspi_authenticate_user(h, u.get(), longer.get()), 0u);
    Authn with_nul(std::string("pw\0", 3));
    EXPECT_EQ(rspi_authenticate_user(h, u.get(), with_nul.get()), 23u);
    EXPECT_EQ(rspi_authenticate_user(h, u.get(), nullptr), 30u);

    // A user stored without a password: an empty one matches, the account is not valid.
    UserRec none;
    none.set(none->domain, "dom").set(none->user_id, "nopw").set(none->registry_id, "r-nopw");
    none->account_valid = 2;
    ASSERT_EQ(rspi_create_user(h, none.get()), 0u);
    EXPECT_EQ(auth("nopw", ""), 21u);

    // No password line: 9.
    write("dom_short.QZuser", "short\ndom\n0\n1\n");
    EXPECT_EQ(auth("short", ""), 9u);
}

TEST_F(UserAuth, ChangeOfPassword) {
    add("ivy", "old", 1, "r-ivy", "u-ivy");
    const std::string before = read("dom_ivy.QZuser");
    EXPECT_EQ(change("ivy", "olx", "new"), 23u);  // right length, other bytes
    EXPECT_EQ(change("ivy", "ol", "new"), 23u);
    EXPECT_EQ(change("ivy", "old", "new", 2, 1), 22u);
    EXPECT_EQ(change("ivy", "old", "new", 1, 2), 22u);
    EXPECT_EQ(change("ivy", "old", "new\nline"), 30u);
    EXPECT_EQ(read("dom_ivy.QZuser"), before);

    ASSERT_EQ(change("ivy", "old", "new"), 0u);
    EXPECT_EQ(auth("ivy", "new"), 0u);
    EXPECT_EQ(auth("ivy", "old"), 23u);

    // Too long to store: it is stored empty and the account is no longer valid.
    ASSERT_EQ(change("ivy", "new", std::string(100, 'z')), 0u);
    EXPECT_EQ(auth("ivy", std::string(100, 'z')), 23u);
    EXPECT_EQ(auth("ivy", ""), 21u);
    EXPECT_EQ(change("nobody", "a", "b"), 30u);
}

TEST_F(UserAuth, LookupsByEachKey) {
    add("jack", "pw", 1, "RGY-Jack", "u-jack", "CN=Jack");
    add("kate", "pw", 1, "RGY-Kate", "u-kate", "CN=Kate, O=Same");

    UserRec by_uuid;
    by_uuid.set(by_uuid->uuid_string, "u-kate");
    ASSERT_EQ(rspi_get_user_by_uuid(h, by_uuid.get()), 0u);
    EXPECT_STREQ(by_uuid->domain, "dom");
    EXPECT_STREQ(by_uuid->user_id, "kate");
    EXPECT_STREQ(by_uuid->registry_id, "RGY-Kate");
    EXPECT_EQ(by_uuid->password, nullptr);
    ASSERT_NE(by_uuid->groups, nullptr);
    EXPECT_STREQ(by_uuid->groups->file, "dom_kate.myGroups");

    UserRec by_dn;
    by_dn.set(by_dn->cert_dn, "CN=Kate, O=Same");
    ASSERT_EQ(rspi_get_user_by_certdn(h, by_dn.get()), 0u);
    EXPECT_STREQ(by_dn->user_id, "kate");
    by_dn.set(by_dn->cert_dn, "cn=kate, o=same");  // case matters here
    EXPECT_EQ(rspi_get_user_by_certdn(h, by_dn.get()), 30u);

    UserRec by_rgy;
    by_rgy.set(by_rgy->registry_id, "rgy-jack");  // and not here
    ASSERT_EQ(rspi_get_user_by_rgyid(h, by_rgy.get()), 0u);
    EXPECT_STREQ(by_rgy->user_id, "jack");
    EXPECT_STREQ(by_rgy->registry_id, "RGY-Jack");
    EXPECT_STREQ(by_rgy->cert_dn, "CN=Jack");

    // After a change of DN only the new one finds the user.
    UserRec m;
    m.set(m->domain, "dom").set(m->user_id, "jack").set(m->cert_dn, "CN=Jack2");
    m->flag_1 = m->account_valid = 2;
    m->number_2 = -1;
    ASSERT_EQ(rspi_modify_user(h, m.get()), 0u);
    UserRec old_dn, new_dn;
    old_dn.set(old_dn->cert_dn, "CN=Jack");
    new_dn.set(new_dn->cert_dn, "CN=Jack2");
    EXPECT_EQ(rspi_get_user_by_certdn(h, old_dn.get()), 30u);
    ASSERT_EQ(rspi_get_user_by_certdn(h, new_dn.get()), 0u);
    EXPECT_STREQ(new_dn->user_id, "jack");

    UserRec missing;
    missing.set(missing->uuid_string, "u-none").set(missing->registry_id, "none").set(missing->cert_dn, "CN=None");
    EXPECT_EQ(rspi_get_user_by_uuid(h, missing.get()), 30u);
    EXPECT_EQ(rspi_get_user_by_rgyid(h, missing.get()), 30u);
    EXPECT_EQ(rspi_get_user_by_certdn(h, missing.get()), 30u);
    UserRec nulls;
    EXPECT_EQ(rspi_get_user_by_uuid(h, nulls.get()), 30u);
    EXPECT_EQ(rspi_get_user_by_rgyid(h, nulls.get()), 30u);
    EXPECT_EQ(rspi_get_user_by_certdn(h, nulls.get()), 30u);
    EXPECT_EQ(rspi_get_user_by_uuid(h, nullptr), 30u);
}

TEST_F(UserAuth, LookupsOfADisabledEntry) {
    write("userlist.file", "- -  u-gone  Gone-Rgy\n");
    UserRec by_uuid;
    by_uuid.set(by_uuid->uuid_string, "u-gone");
    EXPECT_EQ(rspi_get_user_by_uuid(h, by_uuid.get()), 30u);
    EXPECT_STREQ(by_uuid->user_id, "-");
    EXPECT_STREQ(by_uuid->domain, "-");

    UserRec by_rgy;
    by_rgy.set(by_rgy->registry_id, "GONE-RGY").set(by_rgy->user_id, "old").set(by_rgy->domain, "old");
    ASSERT_EQ(rspi_get_user_by_rgyid(h, by_rgy.get()), 0u);
    EXPECT_EQ(by_rgy->user_id, nullptr);
    EXPECT_EQ(by_rgy->domain, nullptr);
    EXPECT_STREQ(by_rgy->description, "Not a Quorzel enabled user.");
    EXPECT_STREQ(by_rgy->registry_id, "GONE-RGY");
}

// Diagnostics land on debugOutput while verbose is set.
class Trace {
public:
    Trace() : f_(std::tmpfile()), old_verbose_(verbose), old_out_(debugOutput) {
        verbose = 1;
        debugOutput = f_;
    }
    ~Trace() {
        verbose = old_verbose_;
        debugOutput = old_out_;
        std::fclose(f_);
    }
    std::string text() const {
        std::string s;
        std::rewind(f_);
        for (int c; (c = std::fgetc(f_)) != EOF;) s.push_back(static_cast<char>(c));
        return s;
    }

private:
    FILE *f_;
    int32_t old_verbose_;
    FILE *old_out_;
};

TEST_F(UserAuth, DiagnosticsIncludeTheNestedFetch) {
    add("lee", "pw", 1, "RGY-Lee", nullptr);  // a real UUID: its text parses quietly
    Trace trace;
    UserRec by_rgy;
    by_rgy.set(by_rgy->registry_id, "RGY-Lee");
    ASSERT_EQ(rspi_get_user_by_rgyid(h, by_rgy.get()), 0u);
    UserRec half;
    half.set(half->domain, "Dom");
    EXPECT_EQ(rspi_create_user(h, half.get()), 30u);
    EXPECT_EQ(auth("lee", "bad"), 23u);
    EXPECT_EQ(trace.text(),
              "rspi_get_user_by_rgyid invoked: RGY-Lee\n"
              "rspi_get_user invoked: dom lee\n"
              "rspi_get_user rc = 0\n"
              "rspi_get_user_by_rgyid rc = 0\n"
              "rspi_create_user invoked: Dom (null)\n"
              "rspi_create_user rc = 30\n"
              "rspi_authenticate_user invoked: DOM lee\n"
              "rspi_authenticate_user rc = 23\n");
}

}  // namespace
