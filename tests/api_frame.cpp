// The diagnostics the configuration file turns on, and calls made while a
// thread or the process ends, through the exported interface (the rest of
// the frame is in tests/corpus/frame.ops).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "registry.h"
#include "rspi.h"
#include "tolv.h"

using tolvtest::read_file;
using tolvtest::Registry;
using tolvtest::TempDir;
using tolvtest::write_file;

namespace {

// Initialises from a configuration text; terminates and resets diagnostics after.
class Config : public ::testing::Test {
protected:
    TempDir tmp;
    char **h = nullptr;

    uint32_t init(const std::string &text) {
        const std::string conf = tmp.path() + "tolv.conf";
        write_file(conf, text);
        return rspi_initialize(&h, conf.c_str());
    }
    void TearDown() override {
        rspi_terminate(h);
        if (debugOutput && debugOutput != stderr) std::fflush(debugOutput);
        verbose = 0;
        debugOutput = nullptr;
    }
};

}  // namespace

TEST_F(Config, VerboseSettings) {
    ASSERT_EQ(init("verbose=true\ndir=/d/\n"), 0u);
    EXPECT_EQ(verbose, 1);
    EXPECT_EQ(debugOutput, stderr);
    rspi_terminate(h);
    h = nullptr;
    verbose = 0;
    debugOutput = nullptr;

    // Anything but "true" or "false" names a file, "True" and "true\r" included.
    const std::string log = tmp.path() + "True";
    ASSERT_EQ(init("verbose=" + log + "\ndir=/d/\n"), 0u);
    EXPECT_EQ(verbose, 1);
    std::fflush(debugOutput);
    EXPECT_EQ(read_file(log), "verbose=" + log + "\ndir=/d/\nTOLV configuration file " + tmp.path() +
                                  "tolv.conf processed.\nTOLV Flatfile Initialization: rc = 0\n");
    char **again = nullptr;
    rspi_initialize(&again, "x");
    std::fflush(debugOutput);
    EXPECT_NE(read_file(log).find("initialization previously done for this process.\n"), std::string::npos);
}

namespace {

char **late_handle = nullptr;

// A listing (of a list too long for a record's buffer) and a create, as a
// host's destructor might make them; false when either fails.
bool late_calls(const char *user_id) {
    rspi_userlist list{};
    const bool listed = rspi_get_userlist(late_handle, &list, 0, nullptr, nullptr, nullptr) == 0 && list.count >= 400;
    for (rspi_list_item *item = list.first; item;) {
        rspi_list_item *next = item->next;
        rspi_free(item->data);
        rspi_free(item);
        item = next;
    }
    std::string domain = "late", id = user_id, registry_id = user_id;  // lower-cased in place
    rspi_user u{};
    u.domain = domain.data();
    u.user_id = id.data();
    u.registry_id = registry_id.data();
    const bool created = rspi_create_user(late_handle, &u) == 0;
    rspi_free(u.uuid_string);
    rspi_free_grouplist(u.groups);
    return listed && created;
}

}  // namespace

// A host may call in from its own destructors after this thread's have run:
// a thread_local object's at thread end, a static object's or an atexit
// handler's at process end.
TEST_F(Registry, CallsFromAHostsDestructorsWhileAThreadOrTheProcessEnds) {
    std::string list;
    for (int i = 0; i < 400; ++i) {
        const std::string n = std::to_string(i);
        list += "dom user" + n + "  uuid" + n + "  r" + n + "\n";
    }
    write("userlist.file", list);
    late_handle = h;

    bool thread_ok = false;
    std::thread([&] {
        struct Late {
            bool *ok;
            ~Late() { *ok = late_calls("inthread"); }
        };
        thread_local Late late{&thread_ok};
        (void)late;
        EXPECT_TRUE(late_calls("early"));  // the plug-in's own per-thread state comes after `late`
    }).join();
    EXPECT_TRUE(thread_ok);

    EXPECT_TRUE(late_calls("beforeexit"));
    EXPECT_EXIT(
        {
            std::atexit([] { std::_Exit(late_calls("atexit") ? 0 : 3); });
            std::exit(1);
        },
        ::testing::ExitedWithCode(0), "");
}
