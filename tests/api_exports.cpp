// The plug-in exports the interface and nothing else: no internal symbol leaks,
// and no operation is missing (tolvadm and the corpus load it with dlopen and
// call every operation).
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <memory>
#include <set>
#include <string>

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

}  // namespace

TEST(Exports, NothingButTheInterfaceIsExported) {
    auto allowed = declared_operations();
    allowed.insert({"verbose", "debugOutput", "_init", "_fini", "_edata", "_end", "__bss_start"});
    const auto exported = exported_symbols();
    ASSERT_FALSE(exported.empty());
    for (const auto &s : exported) EXPECT_TRUE(allowed.count(s)) << "unexpected export " << s;
    for (const auto &s : allowed)
        EXPECT_TRUE(s.starts_with("_") || exported.count(s)) << s << " is not exported";
}
