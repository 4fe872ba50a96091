// tolvinternal_indexcache.cpp - the user, group and certificate-DN lists kept
// parsed in the process.
//
// A stat tells a copy is current: every writer renames a new file over a
// list, which gives another inode, and the copy keeps the old file open, so
// its inode cannot be reused. Only an in-place write that keeps the size
// within one clock tick goes unseen; no writer of the registry does that.
#include <pthread.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstdlib>
#include <mutex>
#include <new>
#include <numeric>
#include <optional>
#include <utility>

#include "tolvinternal.h"

namespace tolv {

// One list as read, with a table of the keys its lookups probe, never
// changed after, so threads share it without a lock. User and group lists:
// each line's UUID and ASCII registry id (a registry id with other bytes is a
// candidate of every registry-id lookup: a locale may lower them into
// anything). Certificate-DN list: each DN.
struct IndexSnapshot {
    struct stat id {};
    io::File pin;  // keeps the inode from being reused while the copy lives
    io::Bytes bytes;
    std::vector<std::string_view> pieces;
    std::vector<uint32_t> rgy_others;
    // Open addressing over piece numbers: a slot holds the key's hash in its
    // high half and the piece number + 1 in its low half (0: empty).
    std::vector<uint64_t> slots;
    std::size_t charge = 0;
    static constexpr uint64_t kHigh = ~uint64_t{0xffffffff};

    void insert(uint64_t h, uint32_t piece) {
        std::size_t i = h & (slots.size() - 1);
        while (slots[i] != 0) i = (i + 1) & (slots.size() - 1);
        slots[i] = (h & kHigh) | (uint64_t{piece} + 1);
    }
    void probe(uint64_t h, std::vector<uint32_t> &out) const {
        for (std::size_t i = h & (slots.size() - 1); slots[i] != 0; i = (i + 1) & (slots.size() - 1))
            if ((slots[i] & kHigh) == (h & kHigh)) out.push_back(static_cast<uint32_t>(slots[i] - (h & kHigh) - 1));
    }
};

namespace {

// A UUID key is the 36 bytes after a line's first double blank; a shorter
// key, which the host never sends, walks the whole copy.
constexpr std::size_t kUuidKey = 36;

uint64_t hash_of(std::string_view s) { return std::hash<std::string_view>{}(s); }
// The hash of ASCII text with 'A'..'Z' lowered (low: scratch), none for
// other bytes. No branch in the loop, so that it runs on whole vectors.
std::optional<uint64_t> folded_hash(std::string_view s, std::string &low) {
    low.assign(s);
    unsigned char bits = 0;
    for (char &c : low) {
        bits |= static_cast<unsigned char>(c);
        c = static_cast<char>(c + (static_cast<unsigned char>(c - 'A') < 26 ? 'a' - 'A' : 0));
    }
    return bits < 0x80 ? std::optional<uint64_t>(hash_of(low)) : std::nullopt;
}

// The registry-id keys assume ASCII lowering, which ui_lower takes from the locale.
bool plain_ascii_case() {
    for (char c = 'A'; c <= 'Z'; ++c)
        if (ui_lower(c) != static_cast<char>(c + ('a' - 'A'))) return false;
    return true;
}

bool same_file(const struct stat &a, const struct stat &b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

using Copy = std::shared_ptr<const IndexSnapshot>;

// The copies, shared by every thread; the mutex guards only a pointer copy or
// swap (building and releasing happen outside it). A version of a list is
// copied when a lookup meets it the second time, the first reading the file
// and noting its identity (seen): a list rewritten between every two lookups
// costs what it did without a cache.
struct Cache {
    struct Slot {
        Copy copy;
        struct stat seen {};
    };
    std::mutex m;
    std::array<Slot, 3> slots;
    std::size_t charged = 0;
};
// Never destroyed: a host may end its registry from a static destructor that
// runs after this library's. clear(), also called at unload, empties it.
Cache &cache() {
    alignas(Cache) static unsigned char storage[sizeof(Cache)];
    static Cache *const c = new (storage) Cache;
    return *c;
}
// A child forked while another thread swaps a copy would inherit the mutex locked.
[[maybe_unused]] const int g_forks = ::pthread_atfork([] { cache().m.lock(); }, [] { cache().m.unlock(); },
                                                      [] { new (&cache().m) std::mutex; });
// 0 (off) outside rspi_initialize and rspi_terminate: a late call keeps nothing.
std::atomic<std::size_t> g_limit{0};

Copy build(const std::string &path, bool cert, std::size_t limit) {
    auto s = std::make_shared<IndexSnapshot>();
    if (io::read_list(path, s->bytes, s->id, s->pin) != io::Read::Ok || s->bytes.view().size() >= UINT32_MAX)
        return nullptr;
    LineReader lines(s->bytes, kListLineSize);
    for (std::string_view p; lines.next_piece(p);) s->pieces.push_back(p);
    const std::size_t n = s->pieces.size();
    // Two keys a line at most (one in the certificate-DN list), in a table at most half full.
    const std::size_t table = std::bit_ceil(std::max<std::size_t>(16, (cert ? 2 : 4) * n));
    s->charge = sizeof(IndexSnapshot) + s->bytes.heap_capacity() + n * (sizeof(std::string_view) + sizeof(uint32_t)) +
                table * 8;
    if (s->charge > limit) return nullptr;
    s->slots.resize(table);
    std::string low;
    IndexLine l;
    for (uint32_t i = 0; i < n; ++i) {
        const std::string_view piece = s->pieces[i];
        if (cert) {  // the DN: the entry's text after its second blank
            const std::string_view entry = chomp(piece);
            const std::size_t b2 = entry.find(' ', entry.find(' ') + 1);  // npos without a first blank too
            if (b2 != std::string_view::npos) s->insert(hash_of(entry.substr(b2 + 1)), i);
            continue;
        }
        const std::size_t cut = find_index_sep(piece);
        if (cut != std::string_view::npos && piece.size() >= cut + kIndexSep.size() + kUuidKey)
            s->insert(hash_of(piece.substr(cut + kIndexSep.size(), kUuidKey)), i);
        if (split_index_line(piece, l) != IndexSplit::Ok) continue;
        if (const std::optional<uint64_t> h = folded_hash(l.registry_id, low))
            s->insert(*h, i);
        else
            s->rgy_others.push_back(i);
    }
    return s;
}

// The copy of the list at path now; null: the lookup reads the file.
Copy current_copy(const std::string &path, std::string_view list, bool rebuild) {
    constexpr std::string_view kLists[] = {kUserList, kGroupList, kCertDnList};
    const std::size_t slot = std::find(std::begin(kLists), std::end(kLists), list) - std::begin(kLists);
    const std::size_t limit = g_limit.load(std::memory_order_relaxed);
    struct stat st;
    bool own = false;
    if (slot == std::size(kLists) || limit == 0 || io::stat_list(path, st, own) != io::Read::Ok || own ||
        static_cast<std::size_t>(st.st_size) > limit)
        return nullptr;
    Cache &c = cache();
    Copy replaced;
    {
        const std::lock_guard<std::mutex> hold(c.m);
        if (g_limit.load(std::memory_order_relaxed) == 0) return nullptr;
        Cache::Slot &s = c.slots[slot];
        if (s.copy && same_file(s.copy->id, st)) return s.copy;
        // The first meeting (not a writer's) notes the version; the second copies it.
        if (!rebuild || !same_file(std::exchange(s.seen, st), st)) return nullptr;
    }
    Copy copy = build(path, list == kCertDnList, limit);
    if (!copy) return nullptr;
    const std::lock_guard<std::mutex> hold(c.m);
    Cache::Slot &s = c.slots[slot];
    const std::size_t others = c.charged - (s.copy ? s.copy->charge : 0);
    // One that does not fit (the limit may have moved meanwhile) serves this lookup only.
    const bool fits = others + copy->charge <= g_limit.load(std::memory_order_relaxed);
    replaced = std::exchange(s.copy, fits ? copy : nullptr);
    c.charged = others + (fits ? copy->charge : 0);
    return copy;
}

}  // namespace

io::Read IndexPieces::open(std::string_view dir, std::string_view list, IndexKey how, std::string_view key,
                           std::string_view key2, bool rebuild) {
    const std::string path = make_path(dir, list);
    try {
        snap_ = current_copy(path, list, rebuild);
        if (snap_) {
            pick(how, key, key2);
            return io::Read::Ok;
        }
    } catch (const std::bad_alloc &) {
        // Short of memory for a copy: read the list as without one.
        snap_.reset();
    }
    const io::Read r = io::read_file(path, bytes_, true);
    reader_ = LineReader(bytes_, kListLineSize);
    return r;
}

void IndexPieces::pick(IndexKey how, std::string_view key, std::string_view key2) {
    const bool uuid = how == IndexKey::UuidPrefix || (how == IndexKey::Identity && !key.empty());
    const std::string_view rgy = how == IndexKey::Identity ? key2 : key;
    const bool by_rgy = how == IndexKey::RegistryId || (how == IndexKey::Identity && !key2.empty());
    std::string low;
    const std::optional<uint64_t> rgy_hash = by_rgy ? folded_hash(rgy, low) : std::nullopt;
    picks_.clear();
    at_ = 0;
    if ((uuid && key.size() < kUuidKey) || (by_rgy && (!rgy_hash || !plain_ascii_case()))) {
        picks_.resize(snap_->pieces.size());
        std::iota(picks_.begin(), picks_.end(), 0u);
        return;
    }
    if (how == IndexKey::CertDn) snap_->probe(hash_of(key), picks_);
    if (uuid) snap_->probe(hash_of(key.substr(0, kUuidKey)), picks_);
    if (by_rgy) {
        snap_->probe(*rgy_hash, picks_);
        picks_.insert(picks_.end(), snap_->rgy_others.begin(), snap_->rgy_others.end());
    }
    std::sort(picks_.begin(), picks_.end());
    picks_.erase(std::unique(picks_.begin(), picks_.end()), picks_.end());
}

bool IndexPieces::next_piece(std::string_view &piece) {
    if (!snap_) return reader_.next_piece(piece);
    if (at_ >= picks_.size()) return false;
    piece = snap_->pieces[picks_[at_++]];
    return true;
}

namespace indexcache {

void set_limit(std::size_t bytes) {
    g_limit.store(bytes, std::memory_order_relaxed);
    Cache &c = cache();
    decltype(c.slots) gone;
    const std::lock_guard<std::mutex> hold(c.m);
    if (bytes > 0 && c.charged <= bytes) return;
    gone = std::exchange(c.slots, {});  // copies over a lower limit go now
    c.charged = 0;
}

void configure_from_environment() {
    const char *text = std::getenv("TOLV_INDEX_CACHE_MAX");
    char *end = nullptr;
    errno = 0;
    const unsigned long long v = text ? std::strtoull(text, &end, 10) : 0;
    set_limit(text && *text && text[0] != '-' && errno == 0 && *end == '\0' ? v : kDefaultLimit);
}

void clear() { set_limit(0); }

std::size_t charged() {
    Cache &c = cache();
    const std::lock_guard<std::mutex> hold(c.m);
    return c.charged;
}

}  // namespace indexcache

}  // namespace tolv
