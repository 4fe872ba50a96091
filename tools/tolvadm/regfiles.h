// regfiles.h - the registry's files as export, import and user enable still read and write them themselves,
// with the plug-in's lock (tolvlock.h): their helpers once shared with the checker, which now lives in the
// tool face (tolvadmin_check.h). They go once those commands read and write through the tool face too.
#pragma once

#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "tolvadmin_check_registry.h"

namespace tolvadm::check {

// A file that cannot be read or written.
struct IoError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// ---------------------------------------------------------------------------
// Names and texts.

// The plug-in's file-name rule: ':', '/' and '\' become '-'.
std::string sanitised(std::string_view name);

// The lines of a record file as the plug-in's 1000-byte line reader returns them.
std::vector<std::string_view> record_lines(std::string_view data);
using tolv::admin::checking::text_lines;

// ---------------------------------------------------------------------------
// The registry directory: the registry's "dir" string is a path prefix, so
// the files live in the directory up to its last '/' and carry the rest as
// a name prefix. Names below are always relative to the registry ("dir" + name).
struct Fd;

class Registry {
public:
    // durable: the registry's configuration says durable=true; every
    // rewrite and removal is then flushed before it counts as made.
    explicit Registry(std::string dir, bool durable = false);
    ~Registry();  // releases the lock
    Registry(const Registry &) = delete;
    Registry &operator=(const Registry &) = delete;

    const std::string &dir() const { return dir_; }
    // The directory that holds the files, and the name prefix of each.
    const std::string &folder() const { return folder_; }
    const std::string &prefix() const { return prefix_; }

    // The plug-in's write lock, held until the object goes. Shared, it keeps
    // writers out while readers (who take no lock) still go on.
    void lock(bool shared = false);
    std::string path(std::string_view name) const { return dir_ + std::string(name); }

    // The whole file; false when it is gone.
    bool read(const std::string &name, std::string &out) const;
    // Replaces a file the way the plug-in does: "<name>_T", mode 0600, rename.
    void replace(const std::string &name, std::string_view data);

private:
    void flush_folder() const;
    std::string dir_, folder_, prefix_;
    bool durable_;
    struct Held;
    std::unique_ptr<Held> lock_;
};

// Record files, with the lines of the fields the commands read (the check's table of them).
using tolv::admin::checking::Format;
using tolv::admin::checking::kGroupFile;
using tolv::admin::checking::kUserFile;

}  // namespace tolvadm::check
