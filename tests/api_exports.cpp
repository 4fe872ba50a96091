// The plug-in exports the interface and nothing else: no internal symbol leaks,
// no operation is missing (tolvadm and the corpus load it with dlopen and call
// every operation), and each is defined under its own name, so that a search for
// it finds its definition.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "registry.h"

namespace {

// Names "rspi_x(" declared in the header.
std::set<std::string> declared_operations() {
    const std::string header = tolvtest::read_file(TOLV_RSPI_HEADER);
    std::set<std::string> names;
    for (std::size_t at = header.find("rspi_"); at != std::string::npos; at = header.find("rspi_", at + 1)) {
        if (at > 0 && (std::isalnum(static_cast<unsigned char>(header[at - 1])) || header[at - 1] == '_')) continue;
        std::size_t end = at;
        while (end < header.size() && (std::islower(static_cast<unsigned char>(header[end])) || header[end] == '_')) ++end;
        std::size_t paren = end;
        while (paren < header.size() && header[paren] == ' ') ++paren;
        if (paren < header.size() && header[paren] == '(') names.insert(header.substr(at, end - at));
    }
    return names;
}

std::set<std::string> exported_symbols() {
    std::set<std::string> names;
    const std::string cmd = std::string("nm -D --defined-only ") + TOLV_PLUGIN_PATH;
    std::unique_ptr<FILE, int (*)(FILE *)> p(popen(cmd.c_str(), "r"), pclose);
    if (!p) return names;
    char buf[512];
    while (std::fgets(buf, sizeof buf, p.get())) {
        std::string line(buf);
        const auto sp = line.rfind(' ');
        std::string name = line.substr(sp + 1);
        while (!name.empty() && (name.back() == '\n' || name.back() == '\r')) name.pop_back();
        names.insert(name);
    }
    return names;
}

std::vector<std::string> split_lines(const std::string &text) {
    std::vector<std::string> out;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t nl = std::min(text.find('\n', at), text.size());
        out.push_back(text.substr(at, nl - at));
        at = nl + 1;
    }
    return out;
}

// The name a line defines as an export: "TOLV_EXPORT uint32_t rspi_x(..." or
// "__attribute__((visibility("default"))) int verbose = 0;", else "".
std::string defined_name(const std::string &line) {
    if (line.starts_with("#")) return "";
    std::size_t at = std::string::npos;
    for (const char *marker : {"TOLV_EXPORT ", "visibility(\"default\")))"})
        if (const std::size_t m = line.find(marker); m != std::string::npos) at = m + std::strlen(marker);
    if (at == std::string::npos) return "";
    std::size_t end = line.find_first_of("(=;", at);
    if (end == std::string::npos) return "";
    while (end > at && line[end - 1] == ' ') --end;
    std::size_t begin = end;
    while (begin > at && (std::isalnum(static_cast<unsigned char>(line[begin - 1])) || line[begin - 1] == '_')) --begin;
    return line.substr(begin, end - begin);
}

}  // namespace

TEST(Exports, NothingButTheInterfaceIsExported) {
    auto allowed = declared_operations();
    allowed.insert({"verbose", "debugOutput", "_init", "_fini", "_edata", "_end", "__bss_start"});
    const auto exported = exported_symbols();
    ASSERT_FALSE(exported.empty());
    for (const auto &s : exported) EXPECT_TRUE(allowed.count(s)) << "unexpected export " << s;
    for (const auto &s : allowed)
        EXPECT_TRUE(s.starts_with("_") || exported.count(s)) << s << " is not exported";

    // Each operation and global is spelled out where it is defined, never pasted together by a macro.
    std::set<std::string> defined;
    for (const auto &e : std::filesystem::recursive_directory_iterator(TOLV_SOURCE_DIR "/src/tolv/flatfile"))
        if (e.path().extension() == ".cpp")
            for (const std::string &line : split_lines(tolvtest::read_file(e.path().string())))
                if (const std::string name = defined_name(line); !name.empty()) defined.insert(name);
    for (const auto &s : allowed)
        EXPECT_TRUE(s.starts_with("_") || defined.count(s)) << s << " is not defined under its own name";
}
