// registry_gen.h - benchmark registries of N users, written directly in the
// registry's file formats and cached between runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace tolvbench {

// How many entries of each kind a registry of n users holds.
struct Shape {
    std::size_t users;
    std::size_t groups;
    std::size_t policies;
    std::size_t resources;
    std::size_t member_every;  // every member_every-th user belongs to two groups
    std::size_t cred_every;    // every cred_every-th user holds kCredsPerUser credentials
};
inline constexpr std::size_t kCredsPerUser = 2;
Shape shape_for(std::size_t users);

// Names and values of the generated entries; i counts from 0. Keys are
// lower-case; every user has a password and a certificate DN.
std::string user_domain(std::size_t i);
std::string user_id(std::size_t i);
std::string user_uuid(std::size_t i);
std::string user_registry_id(std::size_t i);
std::string user_cert_dn(std::size_t i);
std::string user_password(std::size_t i);
std::string user_description(std::size_t i);
inline constexpr std::string_view kLoginTypes = "web;ssh";
// The bytes of user i's user file, as the plug-in writes it.
std::string user_file_bytes(std::size_t i);

std::string group_domain(std::size_t g);
std::string group_id(std::size_t g);
// Whether user i belongs to groups; its two groups (distinct); a group that
// is not one of them.
bool is_member(const Shape &s, std::size_t i);
void groups_of_user(const Shape &s, std::size_t i, std::size_t out[2]);
std::size_t group_without_user(const Shape &s, std::size_t i);

std::string policy_domain(std::size_t p);
std::string policy_id(std::size_t p);
std::string resource_name(std::size_t r);
bool has_creds(const Shape &s, std::size_t i);
// Resource index of user i's c-th credential (c < kCredsPerUser).
std::size_t cred_resource(const Shape &s, std::size_t i, std::size_t c);

// File names (relative to the registry directory) of generated entries.
std::string user_file_name(std::string_view domain, std::string_view id);     // .QZuser
std::string group_file_name(std::string_view domain, std::string_view id);    // .QZgroup
std::string members_file_name(std::string_view domain, std::string_view id);  // .GPmembers
std::string my_groups_file_name(std::string_view domain, std::string_view id);  // .myGroups
std::string my_creds_file_name(std::string_view domain, std::string_view id);   // .myResCreds
std::string policy_file_name(std::string_view domain, std::string_view id);   // .QZpolicy
std::string creds_file_name(std::string_view domain, std::string_view id, std::string_view name);  // .QZrescreds

// A registry under <data dir>/tolvbench-<n>: the registry directory "registry/"
// (with its trailing '/'), the configuration file naming it, and a stamp that
// records the generator version and the sizes of the indexes.
struct Registry {
    std::size_t n = 0;
    Shape shape{};
    std::string root;    // <data dir>/tolvbench-<n>
    std::string dir;     // root + "/registry/"
    std::string config;  // root + "/tolv.conf"
    bool generated = false;  // written by this call (not reused)
    double seconds = 0;      // time spent generating
};

// Reuses <data dir>/tolvbench-<n> when its stamp matches the indexes on disk,
// otherwise writes it afresh (into a sibling directory renamed into place).
// Throws std::runtime_error on failure.
Registry prepare_registry(const std::string &data_dir, std::size_t n);
// Writes a registry of n users into dir (which must exist and be empty) and
// returns the stamp text describing it.
std::string generate_registry(const std::string &dir, std::size_t n);

// Removes whatever a benchmark run may leave behind when it is killed between
// the two halves of a pair (files of the benchmark's own entries, and the
// floor's scratch files); the indexes are covered by the stamp.
void scrub_registry(const Registry &reg);

// Name -> hash of every file of a directory, for checking that a run left the
// registry as it found it.
std::map<std::string, uint64_t> snapshot(const std::string &dir);
// Names whose content differs between two snapshots (or exist in only one).
std::vector<std::string> differences(const std::map<std::string, uint64_t> &before,
                                     const std::map<std::string, uint64_t> &after);

// An exclusive lock on <data dir>/tolvbench-<n>.lock for the life of the
// object: two benchmark processes never work on one registry at once.
class RegistryLock {
public:
    RegistryLock(const std::string &data_dir, std::size_t n);
    ~RegistryLock();
    RegistryLock(const RegistryLock &) = delete;
    RegistryLock &operator=(const RegistryLock &) = delete;

private:
    int fd_ = -1;
};

// Names of the entries the benchmarks create and remove again.
inline constexpr std::string_view kBenchDomain = "lab";
inline constexpr std::string_view kBenchUser = "benchuser";
inline constexpr std::string_view kBenchPolicy = "benchpolicy";
inline constexpr std::string_view kBenchCreds = "benchres";
// Scratch files of the floor measurements, inside the registry directory.
inline constexpr std::string_view kFloorRecord = "floor-record";
inline constexpr std::string_view kFloorRenamed = "floor-record.user";

}  // namespace tolvbench
