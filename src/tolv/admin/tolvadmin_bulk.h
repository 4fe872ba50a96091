// tolvadmin_bulk.h - many entries of every family added in one writing call, each in its final state, every
// list rewritten once: what `tolvadm import` loads a document with. The registry it leaves is the one that
// creating the same entries one by one through the rspi_ operations (users, each with its credentials, then
// groups with their members, then the disables) would leave, byte for byte; it is all or nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tolvadmin.h"

namespace tolv::admin {

// The records are the caller's, filled as for the rspi_ creates; their names are lower-cased, a missing UUID is
// made, and numbers left "not given" take their stored value. A given UUID is kept in every family.
struct BulkUser {
    rspi_user *record;
    bool enabled = true;
    std::vector<rspi_rescreds *> creds;  // an enabled user's only: a disable deletes them
};
struct BulkGroup {
    rspi_group *record;
    bool enabled = true;
    std::vector<std::pair<std::string, std::string>> members;  // (domain, user id): users of the bulk or the registry
};
// A resource group's members are its record's (resources of the bulk or the registry).
struct Bulk {
    std::vector<BulkUser> users;
    std::vector<BulkGroup> groups;
    std::vector<rspi_policy *> policies;
    std::vector<rspi_resource *> resources;
    std::vector<rspi_resgroup *> resgroups;
};

enum class BulkFamily { User, Rescreds, Group, Policy, Resource, Resgroup };
// An entry the bulk refuses, with the operation and code that refuses it when created alone.
struct BulkProblem {
    BulkFamily family;
    std::size_t index;     // in its vector of the bulk
    std::size_t cred = 0;  // with Rescreds: in the user's creds
    const char *operation;
    uint32_t rc;
    std::string why;
};

// Adds every entry of bulk under the registry's write lock, in one journal. Every entry is checked first (names
// and texts that can be stored, no file that exists, no registry id or UUID twice or held by another entry,
// members that exist); any problem leaves the registry as it was and is listed in problems, the code returned
// being the first one's. Otherwise 0, or 6 (3) when the writes fail, nothing changed.
TOLV_ADMIN uint32_t bulk_add(char **handle, Bulk &bulk, std::vector<BulkProblem> &problems);

}  // namespace tolv::admin
