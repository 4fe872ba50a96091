// The host libraries load on their own with every symbol resolved.

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <initializer_list>

namespace {

void expect_loads(const char *path, std::initializer_list<const char *> symbols) {
    void *lib = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    for (const char *symbol : symbols) {
        EXPECT_NE(dlsym(lib, symbol), nullptr) << symbol;
    }
    EXPECT_EQ(dlclose(lib), 0);
}

TEST(HostLibraries, LoadWithDlopen) {
    expect_loads(TOLV_RSPIUTIL_PATH, {"rspi_alloc", "rspi_strdup", "rspi_free", "rspi_alloc_user",
                                      "rspi_free_rescredslist", "rspi_alloc_resgroupmembers",
                                      "rspiutil_fail_nth_alloc", "rspiutil_alloc_count"});
    expect_loads(TOLV_QZSVCUTL_PATH,
                 {"qz_uuid_create", "qz_uuid_to_string", "qz_uuid_string_free", "qz_uuid_from_string"});
}

}  // namespace
