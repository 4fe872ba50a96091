#include "registry.h"

#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "rspi.h"
#include "tolvformat.h"

namespace tolvtest {

TempDir::TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "tolvtest.XXXXXX").string();
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl + "/";
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

bool file_exists(const std::string &path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_file(const std::string &path, const std::string &content) {
    // A regular file is replaced by a new one, as the plug-in replaces its
    // files: an in-place write of the same size within one clock tick is
    // invisible to the index cache's stat. Anything else is written through.
    struct stat st;
    const bool regular = ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    const std::string target = regular ? path + ".tolvtest-new" : path;
    {
        std::ofstream out(target, std::ios::binary | std::ios::trunc);
        out << content;
    }
    if (regular) std::rename(target.c_str(), path.c_str());
}

std::vector<std::string> list_dir(const std::string &dir) {
    std::vector<std::string> names;
    // The plug-in's empty journal, kept between writes, is no registry content.
    for (const auto &e : std::filesystem::directory_iterator(dir))
        if (e.path().filename() != tolv::format::kIdleJournalDir) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

Files snapshot(const std::string &dir) {
    Files out;
    for (const auto &f : list_dir(dir)) {
        struct stat st;
        out[f] = ::lstat((dir + f).c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? "<dir>" : read_file(dir + f);
    }
    return out;
}

void restore(const std::string &dir, const Files &files) {
    for (const auto &[name, bytes] : files)
        bytes == "<dir>" ? void(::mkdir((dir + name).c_str(), 0700)) : write_file(dir + name, bytes);
}

std::vector<std::string> lines(const std::string &text) {
    std::vector<std::string> out;
    std::string cur;
    for (char c : text) {
        if (c == '\n') {
            out.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty()) out.push_back(cur);
    return out;
}

void Registry::SetUp() {
    const std::string conf = conf_dir_.path() + "tolv.conf";
    write_file(conf, "dir=" + dir_.path() + "\n");
    ASSERT_EQ(rspi_initialize(&h, conf.c_str()), 0u);
    ASSERT_NE(h, nullptr);
}

void Registry::TearDown() {
    if (h) rspi_terminate(h);
    h = nullptr;
}

}  // namespace tolvtest

tolvtest::SharedRegistry::SharedRegistry() {
    const char *env = std::getenv("TOLV_HOSTS");
    std::istringstream in(env ? env : "");
    std::string a, b;
    if (!(in >> a >> b)) return;
    std::string tmpl = a + "/reg.XXXXXX";
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed in " + a);
    on_[0] = tmpl + "/";
    on_[1] = b + "/" + std::filesystem::path(tmpl).filename().string() + "/";
    for (int host : {0, 1}) write_file(conf(host), "dir=" + on_[host] + "\n");
}

tolvtest::SharedRegistry::~SharedRegistry() {
    std::error_code ec;
    if (ok()) std::filesystem::remove_all(on_[0], ec);
}
