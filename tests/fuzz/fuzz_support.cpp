#include "fuzz_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "rspi.h"

namespace tolvfuzz {

const std::string &registry_dir() {
    static const std::string dir = [] {
        char tmpl[] = "/tmp/tolvfuzz.XXXXXX";
        if (!mkdtemp(tmpl)) std::abort();
        if (chdir(tmpl) != 0) std::abort();
        return std::string(tmpl) + "/";
    }();
    return dir;
}

void clear_registry() {
    DIR *d = opendir(registry_dir().c_str());
    if (!d) return;
    while (dirent *e = readdir(d)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
        unlink((registry_dir() + e->d_name).c_str());
    }
    closedir(d);
}

void put(const std::string &name, const uint8_t *data, std::size_t size) {
    const int fd = open((registry_dir() + name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) std::abort();
    if (size && write(fd, data, size) != static_cast<ssize_t>(size)) std::abort();
    close(fd);
}

char **handle() {
    static char **h = [] {
        const std::string conf = registry_dir() + "tolv.conf";
        const std::string text = "dir=" + registry_dir() + "\n";
        put("tolv.conf", reinterpret_cast<const uint8_t *>(text.data()), text.size());
        char **out = nullptr;
        if (rspi_initialize(&out, conf.c_str()) != 0) std::abort();
        unlink(conf.c_str());
        return out;
    }();
    return h;
}

}  // namespace tolvfuzz

#include <fstream>
#include <sstream>

namespace tolvfuzz {
std::string slurp(const std::string &name) {
    std::ifstream in(registry_dir() + name, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}
}  // namespace tolvfuzz
