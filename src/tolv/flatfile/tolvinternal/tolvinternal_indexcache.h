// tolvinternal_indexcache.h - the user, group and certificate-DN lists kept
// parsed in the process, so that a lookup costs one stat and one probe.
#pragma once

#include "tolvinternal/tolvinternal_io.h"
#include "tolvinternal/tolvinternal_lines.h"

namespace tolv {

// What a lookup matches in a list's pieces; it decides which pieces the
// cache hands out. The lookup still applies its own test to each of them.
enum class IndexKey {
    UuidPrefix,  // user or group list: the text after the first double blank begins with the key
    RegistryId,  // user or group list: the registry-id field equals the key ignoring case
    CertDn,      // certificate-DN list: the text after the second blank equals the key
    Identity,    // user or group list: UuidPrefix of the key, or RegistryId of key2
};

struct IndexSnapshot;

// The pieces of a list (250-byte pieces, as LineReader cuts them) that a
// lookup must look at, in file order. Cached: only the pieces that can match
// the key (a superset of the matches), from a copy of the list checked
// against the file (device, inode, size, modification and change time) on
// every open. Otherwise, or when the list is the running write operation's
// staged change, every piece of the file as read now.
class IndexPieces {
public:
    // Missing, Error or Ok exactly as io::read_file(path, out, true) reports.
    // list: kUserList, kGroupList or kCertDnList (any other list is read whole).
    // With rebuild false a copy that is not current is not made afresh: the
    // list is read whole instead (writers, whose own rewrite would make the
    // new copy stale at once).
    io::Read open(std::string_view dir, std::string_view list, IndexKey how, std::string_view key,
                  std::string_view key2 = {}, bool rebuild = true);
    bool next_piece(std::string_view &piece);

private:
    void pick(IndexKey how, std::string_view key, std::string_view key2);
    std::shared_ptr<const IndexSnapshot> snap_;
    // Uncached: the file's bytes and a reader over them.
    io::Bytes bytes_;
    LineReader reader_{std::string_view(), kListLineSize};
    // Cached: the numbers of the candidate pieces.
    std::vector<uint32_t> picks_;
    std::size_t at_ = 0;
};

namespace indexcache {
// The most memory the cache takes (bytes, for the copies of the lists and
// their tables together); a list that would not fit is read as before. 0
// (the state outside rspi_initialize and rspi_terminate) turns it off.
inline constexpr std::size_t kDefaultLimit = std::size_t{64} << 20;
void set_limit(std::size_t bytes);
// rspi_initialize: the limit from TOLV_INDEX_CACHE_MAX (bytes; unset or
// invalid: the default).
void configure_from_environment();
// rspi_terminate: drops everything cached and turns the cache off.
void clear();
// Memory the cache holds now (bytes, as charged against the limit).
std::size_t charged();
}  // namespace indexcache

}  // namespace tolv
