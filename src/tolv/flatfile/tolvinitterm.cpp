// tolvinitterm.cpp - start-up from the configuration file, the process-wide registry handle, the diagnostic
// globals and ui_printf.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "tolvinternal.h"

extern "C" {
__attribute__((visibility("default"))) int32_t verbose = 0;
__attribute__((visibility("default"))) FILE *debugOutput = nullptr;
}

namespace tolv {

namespace {

// Skips leading blanks and cuts trailing blanks (0x20 only).
std::string_view trim_spaces(std::string_view text) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    return text;
}

}  // namespace

bool parse_config_line(std::string_view line, std::string &key, std::string_view &value) {
    if (!line.empty() && line.front() == '#') return false;
    const std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) return false;
    key.assign(trim_spaces(line.substr(0, eq)));
    ui_tolower(key);
    value = trim_spaces(line.substr(eq + 1));
    return true;
}

namespace {

// Handles: one slot (the registry's directory string) per initialisation, in address space reserved once and
// used in order, never freed while the library is loaded: a handle used after rspi_terminate reads a null
// directory (4), never freed memory nor the registry initialised next. Once the last slot of a page has ended
// the page goes back to the kernel and reads as zeros, so a host that initialises a registry per request (a
// PAM stack) does not grow. After the last slot (2^31 initialisations) the first is used again.
class Slots {
public:
    char **take() {
        for (std::size_t n = std::size_t{1} << 31; !base_ && n >= 4096; n /= 16) {
            void *p = ::mmap(nullptr, n * sizeof(char *), PROT_READ | PROT_WRITE,
                             MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
            if (p != MAP_FAILED) {
                base_ = static_cast<char **>(p);
                count_ = n;
            }
        }
        if (!base_) return nullptr;
        if (next_ == count_) next_ = 0;
        return &base_[next_++];
    }
    // The slot's registry was terminated: its page goes when it was the page's last.
    void end(char **slot) {
        const std::size_t per_page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)) / sizeof(char *);
        const std::size_t i = static_cast<std::size_t>(slot - base_) + 1;
        if (per_page > 0 && i % per_page == 0) ::madvise(base_ + (i - per_page), per_page * sizeof(char *), MADV_DONTNEED);
    }
    void release() {
        if (base_) ::munmap(base_, count_ * sizeof(char *));
        base_ = nullptr;
        count_ = next_ = 0;
    }

private:
    char **base_ = nullptr;
    std::size_t count_ = 0, next_ = 0;
};

Slots slots;
char **current = nullptr;  // the running registry's handle
// Serialises initialisation and termination: concurrent first calls make one handle.
std::mutex lifetime_mutex;
// Directory strings of terminated registries, kept because an operation that started before rspi_terminate
// may still read one; reused when the same directory is configured again. Defined before release_at_unload,
// so that it is destroyed after it.
std::vector<char *> retired;
char *reuse_retired(char *dir) {
    for (char *&old : retired) {
        if (std::strcmp(old, dir) == 0) {
            rspi_free(dir);
            dir = old;
            old = retired.back();
            retired.pop_back();
            break;
        }
    }
    return dir;
}
// A diagnostics file this library opened, closed again when replaced.
FILE *owned_output = nullptr;

// When the library is unloaded no operation can run any more: the directory strings kept for the life of the
// library go with it, and the lookups' copies of the lists.
struct ReleaseAtUnload {
    ~ReleaseAtUnload() {
        indexcache::clear();
        for (char *dir : retired) rspi_free(dir);
        retired.clear();
        if (current) rspi_free(*current);
        current = nullptr;
        slots.release();
    }
} release_at_unload;

// Opens a diagnostics file for appending, created private to its owner.
FILE *open_append(const std::string &path) {
    // A link planted at the name would have the trace written wherever it leads.
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0600);
    if (fd < 0) return nullptr;
    FILE *f = ::fdopen(fd, "a");
    if (!f) ::close(fd);
    return f;
}

void set_output(FILE *f, bool owned) {
    // Only while the host still writes through it: a stream it closed or replaced is no longer ours to close.
    if (owned_output && owned_output != f && debugOutput == owned_output) std::fclose(owned_output);
    owned_output = owned ? f : nullptr;
    debugOutput = f;
}

// Applies one setting; rc becomes 0 with a usable "dir", 3 when its copy fails.
void apply_setting(char *&dir, const std::string &key, std::string_view value, Rc &rc) {
    if (key == "dir") {
        rspi_free(dir);
        dir = dup_str(value);
        rc = dir ? Rc::Success : Rc::NoMemory;
        if (dir) TOLV_TRACE("dir=%s\n", dir);
    } else if (key == "durable") {
        io::set_durable(value == "true");
        TOLV_TRACE("durable=%s\n", value == "true" ? "true" : "false");
    } else if (key == "verbose") {
        if (value == "true") {
            verbose = 1;
            set_output(stderr, false);
            TOLV_TRACE("verbose=stderr\n");
        } else if (value != "false") {
            const std::string path(value);
            FILE *f = open_append(path);
            set_output(f, f != nullptr);
            if (f) {
                verbose = 1;
                TOLV_TRACE("verbose=%s\n", path.c_str());
            }
        }
    }
}

uint32_t initialize(char ***handle, const char *config_file) {
    const std::lock_guard<std::mutex> hold(lifetime_mutex);
    if (current) {
        TOLV_TRACE("TOLV Flatfile initialization previously done for this process.\n");
        if (handle) *handle = current;
        return RSPI_RC_SUCCESS;
    }
    if (handle) *handle = nullptr;
    Rc rc = Rc::ConfigError;
    char *dir = nullptr;
    io::Bytes data;
    if (!config_file || io::read_config(config_file, data) != io::Read::Ok) {
        std::fprintf(stderr, "Could not open TOLV configuration file %s\n", nz(config_file));
    } else {
        LineReader lines(data, kListLineSize);
        std::string_view line;
        std::string key;
        std::string_view value;
        while (lines.next_line(line))
            if (parse_config_line(line, key, value)) apply_setting(dir, key, value, rc);
        TOLV_TRACE("TOLV configuration file %s processed.\n", config_file);
    }
    char **slot = ok(rc) && handle ? slots.take() : nullptr;
    if (slot) {
        current = slot;
        indexcache::configure_from_environment();
        __atomic_store_n(slot, reuse_retired(dir), __ATOMIC_RELEASE);
        *handle = slot;
    } else {
        if (ok(rc)) rc = handle ? Rc::NoMemory : Rc::ConfigError;  // no slot, or nowhere to hand it back
        rspi_free(dir);
    }
    TOLV_TRACE("TOLV Flatfile Initialization: rc = %u\n", code(rc));
    return code(rc);
}

// Ends the registry behind the process's handle; any other handle, or a second call, changes nothing.
uint32_t terminate(char **handle) {
    const std::lock_guard<std::mutex> hold(lifetime_mutex);
    if (!current || handle != current) return RSPI_RC_SUCCESS;
    indexcache::clear();
    if (char *dir = __atomic_exchange_n(current, nullptr, __ATOMIC_ACQ_REL)) retired.push_back(dir);
    slots.end(std::exchange(current, nullptr));
    return RSPI_RC_SUCCESS;
}

}  // namespace

void ui_printf(const char *format, ...) {
    FILE *out = debugOutput;
    if (!out) return;
    va_list ap;
    va_start(ap, format);
    std::vfprintf(out, format, ap);
    va_end(ap);
    std::fflush(out);
}

}  // namespace tolv

TOLV_EXPORT uint32_t rspi_initialize(char ***handle, const char *config_file) {
    return tolv::guarded([&] { return static_cast<tolv::Rc>(tolv::initialize(handle, config_file)); });
}

TOLV_EXPORT uint32_t rspi_terminate(char **handle) { return tolv::terminate(handle); }
