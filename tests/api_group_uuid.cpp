// A group created while the UUID service fails: nothing may be written. The
// service is interposed here; the plug-in binds to this definition.
#include <dlfcn.h>

#include "records.h"

namespace {
bool g_uuid_fails = false;
}

extern "C" void qz_uuid_create(unsigned char uuid[16], uint32_t *status) {
    using Fn = void (*)(unsigned char *, uint32_t *);
    static const Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "qz_uuid_create"));
    if (g_uuid_fails || !real) {
        *status = 1;
        return;
    }
    real(uuid, status);
}

namespace tolvtest {
namespace {

class GroupUuid : public Registry {
protected:
    void TearDown() override {
        g_uuid_fails = false;
        Registry::TearDown();
    }
};

TEST_F(GroupUuid, CreateWithoutAUuidWritesNothing) {
    g_uuid_fails = true;
    Group g = group("sales", "dept", "R-1");
    EXPECT_EQ(rspi_create_group(h, g.get()), 6u);
    EXPECT_EQ(g->uuid_string, nullptr);
    EXPECT_TRUE(files().empty());

    // A UUID the caller gives needs no service.
    set(g->uuid_string, "given");
    EXPECT_EQ(rspi_create_group(h, g.get()), 0u);
    EXPECT_EQ(read("grouplist.file"), "sales dept  given  R-1\n");

    g_uuid_fails = false;
    Group other = group("sales", "other", "R-2");
    EXPECT_EQ(rspi_create_group(h, other.get()), 0u);
    EXPECT_NE(other->uuid_string, nullptr);
}

}  // namespace
}  // namespace tolvtest
