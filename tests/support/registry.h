// A fresh registry directory per test, and helpers to look at its files.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace tolvtest {

// Creates an empty temporary directory (with a trailing '/') and removes it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

bool file_exists(const std::string &path);
std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &content);
// Names of the entries of a directory, sorted.
std::vector<std::string> list_dir(const std::string &dir);
// Lines of a text, without their newlines.
std::vector<std::string> lines(const std::string &text);
// Every name in a directory with its bytes ("<dir>" for a directory), and
// the same put back into a directory.
using Files = std::map<std::string, std::string>;
Files snapshot(const std::string &dir);
void restore(const std::string &dir, const Files &files);

// Fixture for black-box tests: a fresh registry, initialised through
// rspi_initialize (the plug-in's own configuration parser) and terminated
// after the test. `h` is the handle every operation takes.
class Registry : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Path of a file in the registry.
    std::string path(const std::string &name) const { return dir_.path() + name; }
    std::string read(const std::string &name) const { return read_file(path(name)); }
    bool exists(const std::string &name) const { return file_exists(path(name)); }
    void write(const std::string &name, const std::string &content) const { write_file(path(name), content); }
    std::vector<std::string> files() const { return list_dir(dir_.path()); }
    const std::string &dir() const { return dir_.path(); }

    TempDir dir_;
    TempDir conf_dir_;
    char **h = nullptr;
};

// One registry as two hosts see it: TOLV_HOSTS="DIR-A DIR-B" names two mounts
// of one volume (tests/hosts/run.sh sets it). A fresh directory is made through
// A and removed at the end; on(0) and on(1) are its paths on A and B, each
// ending in '/', and conf(host) a local configuration file naming it. Without
// TOLV_HOSTS, ok() is false and nothing is made.
class SharedRegistry {
public:
    SharedRegistry();
    ~SharedRegistry();
    SharedRegistry(const SharedRegistry &) = delete;
    SharedRegistry &operator=(const SharedRegistry &) = delete;
    bool ok() const { return !on_[0].empty(); }
    const std::string &on(int host) const { return on_[host]; }
    std::string conf(int host) const { return conf_dir_.path() + (host ? "b.conf" : "a.conf"); }

private:
    std::string on_[2];
    TempDir conf_dir_;
};

}  // namespace tolvtest
