// The diagnostics the configuration file turns on, through the exported
// interface (the rest of the file is in tests/corpus/frame.ops).
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "registry.h"
#include "rspi.h"
#include "tolv.h"

using tolvtest::read_file;
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
