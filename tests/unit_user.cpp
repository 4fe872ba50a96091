// The user-list writers, driven directly on a temporary registry directory.
#include <string>

#include "api_user_support.h"
#include "registry.h"
#include "tolvinternal.h"

using tolvtest::UserRec;

namespace {

class UserListWriters : public ::testing::Test {
protected:
    UserRec rec(const char *domain, const char *id, const char *uuid, const char *rgy) {
        UserRec u;
        u.set(u->domain, domain).set(u->user_id, id).set(u->uuid_string, uuid).set(u->registry_id, rgy);
        return u;
    }
    std::string list() const { return tolvtest::read_file(dir_.path() + "userlist.file"); }
    void set_list(const std::string &s) const { tolvtest::write_file(dir_.path() + "userlist.file", s); }
    std::string_view dir() const { return dir_.path(); }

    tolvtest::TempDir dir_;
};

TEST_F(UserListWriters, DisableTouchesOnlyTheExactNamePart) {
    set_list("dom bob  u-bob  r-bob\ndom bobby  u-bobby  r-bobby\nbroken line\ndom zoe  u-zoe  r-zoe");
    UserRec u = rec("DOM", "Bobby", "u-bobby", "r-bobby");
    ASSERT_EQ(tolv::ui_disable_in_userlist(dir(), u.get()), tolv::Rc::Success);
    EXPECT_STREQ(u->user_id, "bobby");
    EXPECT_EQ(list(), "dom bob  u-bob  r-bob\n- -  u-bobby  r-bobby\ndom zoe  u-zoe  r-zoe\n");
}

TEST_F(UserListWriters, RemoveDropsTheLineAndAbsentUsersChangeNothing) {
    set_list("dom bob  u-bob  r-bob\ndom carol  u-c  r-c\n");
    UserRec carol = rec("dom", "carol", "u-c", "r-c");
    ASSERT_EQ(tolv::ui_remove_from_userlist(dir(), carol.get()), tolv::Rc::Success);
    EXPECT_EQ(list(), "dom bob  u-bob  r-bob\n");
    EXPECT_EQ(tolv::ui_remove_from_userlist(dir(), carol.get()), tolv::Rc::Success);
    EXPECT_EQ(tolv::ui_disable_in_userlist(dir(), carol.get()), tolv::Rc::Success);
    EXPECT_EQ(list(), "dom bob  u-bob  r-bob\n");
    UserRec nameless;
    EXPECT_EQ(tolv::ui_remove_from_userlist(dir(), nameless.get()), tolv::Rc::InvalidUser);
}

TEST_F(UserListWriters, AddIntoAMissingListAndReplaceByUuid) {
    UserRec a = rec("dom", "amy", "u-amy", "r-amy");
    ASSERT_EQ(tolv::ui_add_to_userlist(dir(), a.get()), tolv::Rc::Success);
    EXPECT_EQ(list(), "dom amy  u-amy  r-amy\n");
    // The same UUID under another name: the old line goes, the new one is placed.
    UserRec b = rec("dom", "zed", "u-amy", "r-other");
    ASSERT_EQ(tolv::ui_add_to_userlist(dir(), b.get()), tolv::Rc::Success);
    EXPECT_EQ(list(), "dom zed  u-amy  r-other\n");
    UserRec no_uuid = rec("dom", "x", nullptr, "r");
    EXPECT_EQ(tolv::ui_add_to_userlist(dir(), no_uuid.get()), tolv::Rc::InvalidUser);
}

}  // namespace
