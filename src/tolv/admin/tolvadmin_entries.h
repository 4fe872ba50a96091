// tolvadmin_entries.h - every entry of a family, disabled ones too, and what the rspi_ operations never hand
// out: a disabled user's or group's record and members, a stored password, a registry file for a look.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "rspi.h"

#ifndef TOLV_ADMIN
#define TOLV_ADMIN __attribute__((visibility("default")))
#endif

namespace tolv::format {
class RegistryLock;
}

namespace tolv::admin {

// One line of the user or group list. Enabled: the names; disabled: only the UUID and registry id the line
// keeps (the names are in its record, read_disabled_*).
struct IndexEntry {
    bool enabled = true;
    std::string domain, id;
    std::string uuid, registry_id;
};
// Every line of the user list (groups: the group list), in list order; a missing list is empty. 0, 6 when it
// cannot be read, 9 at a line without its separators (the entries before it stay), 4 for an unusable handle.
TOLV_ADMIN uint32_t index_entries(char **handle, bool groups, std::vector<IndexEntry> &out);

// The record a disabled user left as "<registry id>.user", read by the user file's field table as a get reads
// it, its stored password and blob (still under the user's own name) included; user_id and domain come from
// the file. 10 when there is no such file, else as rspi_get_user. The names are set whenever the file was read.
TOLV_ADMIN uint32_t read_disabled_user(char **handle, const char *registry_id, rspi_user *user);
// The same for a disabled group ("<registry id>.group", 12 when missing), with its members file, which keeps
// the group's name: (domain, user id) pairs in file order.
TOLV_ADMIN uint32_t read_disabled_group(char **handle, const char *registry_id, rspi_group *group,
                                        std::vector<std::pair<std::string, std::string>> &members);

// rspi_get_user with the stored password in user->password (a user without one gets none); no groups list.
TOLV_ADMIN uint32_t read_user_with_password(char **handle, rspi_user *user);

// A registry file's bytes (name relative to the registry directory, made a file name as every entry's is):
// 0, 5 when nothing is at the name, 6 for anything but a readable regular file.
TOLV_ADMIN uint32_t read_registry_file(char **handle, const std::string &name, std::string &out);

// Keeps writers out while it lives, on every host, and lets readers go on: what is read meanwhile is one
// committed state of the whole registry (an export is then a document of one moment). A journal a killed
// writer left is settled first, as no writer may settle one while this is held. status(): 0, 6 when the
// lock could not be had, 4 for an unusable handle. The same thread must not write while it holds it.
class TOLV_ADMIN WriterHold {
public:
    explicit WriterHold(char **handle);
    ~WriterHold();
    WriterHold(const WriterHold &) = delete;
    WriterHold &operator=(const WriterHold &) = delete;
    uint32_t status() const { return status_; }

private:
    uint32_t status_ = 0;
    int dir_ = -1;
    std::unique_ptr<format::RegistryLock> lock_;  // held shared
};

}  // namespace tolv::admin
