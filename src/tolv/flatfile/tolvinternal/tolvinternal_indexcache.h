// tolvinternal_indexcache.h - the user, group and certificate-DN lists kept
// parsed in the process, so that a lookup costs one stat and one probe.
#pragma once

#include "tolvinternal/tolvinternal_io.h"
#include "tolvinternal/tolvinternal_lines.h"

namespace tolv {

// What a lookup matches, which decides the pieces the cache hands out; the
// lookup still applies its own test to each.
enum class IndexKey {
    UuidPrefix,  // user or group list: the text after the first double blank begins with the key
    RegistryId,  // user or group list: the registry-id field equals the key ignoring case
    CertDn,      // certificate-DN list: the text after the second blank equals the key
    Identity,    // user or group list: UuidPrefix of the key, or RegistryId of key2
};

struct IndexSnapshot;

// The 250-byte pieces of a list a lookup must look at, in file order: from
// a copy checked against the file (device, inode, size, modification and
// change time) on every open, only those that can match the key; otherwise
// (or for the write operation's own staged list) every piece as read now.
class IndexPieces {
public:
    // As io::read_file(path, out, true). Only kUserList, kGroupList and
    // kCertDnList are cached. rebuild false (writers, whose own rewrite would
    // make a new copy stale at once) reads the list instead of copying it.
    io::Read open(std::string_view dir, std::string_view list, IndexKey how, std::string_view key,
                  std::string_view key2 = {}, bool rebuild = true);
    bool next_piece(std::string_view &piece);

private:
    void pick(IndexKey how, std::string_view key, std::string_view key2);
    std::shared_ptr<const IndexSnapshot> snap_;
    io::Bytes bytes_;
    LineReader reader_{std::string_view(), kListLineSize};
    std::vector<uint32_t> picks_;
    std::size_t at_ = 0;
};

namespace indexcache {
// The most memory (bytes) the copies and their tables take; a list that would
// not fit is read as before. 0, the state outside rspi_initialize and
// rspi_terminate, turns the cache off.
inline constexpr std::size_t kDefaultLimit = std::size_t{64} << 20;
void set_limit(std::size_t bytes);
// The limit from TOLV_INDEX_CACHE_MAX (bytes; unset or invalid: the default).
void configure_from_environment();
// Drops everything cached and turns the cache off.
void clear();
std::size_t charged();
}  // namespace indexcache

}  // namespace tolv
