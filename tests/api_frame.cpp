// The plug-in frame through its exported interface: the configuration file,
// (re-)initialisation and diagnostics.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

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
    std::string dir() const { return h && *h ? *h : "<none>"; }
    void TearDown() override {
        rspi_terminate(h);
        if (debugOutput && debugOutput != stderr) std::fflush(debugOutput);
        verbose = 0;
        debugOutput = nullptr;
    }
};

}  // namespace

TEST_F(Config, DirLineSyntax) {
    struct Case {
        const char *text;
        const char *dir;
    } cases[] = {
        {"dir=/a/b/\n", "/a/b/"},
        {"  DIR  =  /Keep/Case/  \n", "/Keep/Case/"},  // key case-insensitive, blanks trimmed
        {"dir=\tx\t\n", "\tx\t"},                      // only blanks are trimmed
        {"dir=/crlf/\r\n", "/crlf/\r"},                // a carriage return stays
        {"dir=\n", ""},                                // empty value is a directory too
        {"k=a=b\ndir=/v=w/\n", "/v=w/"},                // split at the first '='
        {"dir=/first/\ndir=/second/\n", "/second/"},    // the last one wins
        {"#dir=/comment/\ndir=/real/", "/real/"},       // last line without newline
        {" #dir=/not-a-comment/\ndir=/x/\n", "/x/"},    // key "#dir" is just unknown
        {"dir /no-equals/\ndir=/y/\n", "/y/"},
    };
    for (const auto &c : cases) {
        ASSERT_EQ(init(c.text), 0u) << c.text;
        EXPECT_EQ(dir(), c.dir) << c.text;
        rspi_terminate(h);
        h = nullptr;
    }
}

TEST_F(Config, LongLinesAreReadInPieces) {
    // The 249-byte piece ends just before "dir=", which then parses on its own.
    EXPECT_EQ(init(std::string(249, 'x') + "dir=/piece/\n"), 0u);
    EXPECT_EQ(dir(), "/piece/");
}

TEST_F(Config, HandleLifetimeAsHostsUseIt) {
    ASSERT_EQ(init("dir=" + tmp.path() + "\n"), 0u);
    char **again = nullptr;
    EXPECT_EQ(rspi_initialize(&again, "/does/not/exist"), 0u);
    EXPECT_EQ(again, h);
    EXPECT_EQ(rspi_terminate(h), 0u);
    // The old handle stays readable and answers 4; a second terminate is harmless.
    rspi_user *u = rspi_alloc_user();
    u->user_id = rspi_strdup("ann");
    u->domain = rspi_strdup("corp");
    EXPECT_EQ(rspi_get_user(h, u), 4u);
    EXPECT_EQ(rspi_create_user(h, u), 4u);
    EXPECT_EQ(rspi_terminate(h), 0u);
    EXPECT_EQ(rspi_terminate(nullptr), 0u);
    rspi_free_user(u);

    // A host that closes the diagnostics file the plug-in opened, then starts again.
    const std::string log = tmp.path() + "log";
    ASSERT_EQ(init("verbose=" + log + "\ndir=/two/\n"), 0u);
    EXPECT_EQ(dir(), "/two/");
    rspi_terminate(h);
    std::fclose(debugOutput);
    debugOutput = nullptr;
    ASSERT_EQ(init("verbose=" + log + "\ndir=/three/\n"), 0u);
    EXPECT_EQ(dir(), "/three/");
    rspi_terminate(h);

    // Threads starting at once share one handle.
    std::vector<char **> handles(16);
    std::vector<std::thread> threads;
    const std::string conf = tmp.path() + "tolv.conf";
    write_file(conf, "dir=/four/\n");
    for (auto &slot : handles) threads.emplace_back([&slot, &conf] { rspi_initialize(&slot, conf.c_str()); });
    for (auto &t : threads) t.join();
    for (char **one : handles) EXPECT_EQ(one, handles[0]);
    h = handles[0];
    EXPECT_EQ(dir(), "/four/");
}

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

TEST_F(Config, UnopenableVerboseFileStopsDiagnostics) {
    ASSERT_EQ(init("verbose=true\nverbose=/no/such/dir/log\ndir=/d/\n"), 0u);
    EXPECT_EQ(debugOutput, nullptr);
    EXPECT_EQ(verbose, 1);
}
