// White-box tests of credential storage: what a store writes for unset texts,
// and how a credential-list line is split.
#include <gtest/gtest.h>

#include <string>

#include "registry.h"
#include "tolvinternal.h"

using namespace tolv;

namespace {

struct Records {
    rspi_user *user = rspi_alloc_user();
    rspi_rescreds *creds = rspi_alloc_rescreds();
    ~Records() {
        rspi_free_user(user);
        rspi_free_rescreds(creds);
    }
};

}  // namespace

TEST(RescredsStore, UnsetTextsAreEmptyLinesAndNoUuidIsMade) {
    tolvtest::TempDir dir;
    Records r;
    r.user->domain = rspi_strdup("Corp");
    r.user->user_id = rspi_strdup("Ann");
    r.creds->name = rspi_strdup("Web");
    r.creds->state = 2;
    ASSERT_EQ(ui_replace_rescreds(dir.path(), r.user, r.creds, false), Rc::Success);
    EXPECT_EQ(r.creds->uuid_string, nullptr);
    EXPECT_EQ(r.creds->state, 1u);
    EXPECT_EQ(tolvtest::read_file(dir.path() + "corp_ann_web.QZrescreds"), "web\n1\n\n0\n\n\n\n");
    EXPECT_EQ(tolvtest::read_file(dir.path() + "corp_ann.myResCreds"), "corp ann web\n");

    rspi_free(r.creds->name);
    r.creds->name = nullptr;
    EXPECT_EQ(ui_replace_rescreds(dir.path(), r.user, r.creds, true), Rc::InvalidRescreds);
    EXPECT_EQ(r.creds->uuid_string, nullptr);
}

TEST(RescredsStore, ListLinesSplitAtTheFirstTwoBlanks) {
    tolvtest::TempDir dir;
    Records r;
    r.creds->description = rspi_strdup("kept");
    ASSERT_EQ(ui_get_rescredsentry(dir.path(), r.creds, "corp ann web site", 0), Rc::Success);
    EXPECT_STREQ(r.creds->name, "web site");
    EXPECT_STREQ(r.creds->description, "kept");
    for (const char *bad : {"corp", "corp ann", ""})
        EXPECT_EQ(ui_get_rescredsentry(dir.path(), r.creds, bad, 0), Rc::Malformed) << bad;
    EXPECT_STREQ(r.creds->name, "web site");
    EXPECT_EQ(ui_get_rescredsentry(dir.path(), nullptr, "a b c", 0), Rc::InvalidRescreds);
}
