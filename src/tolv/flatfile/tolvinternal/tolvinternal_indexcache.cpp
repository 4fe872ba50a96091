// tolvinternal_indexcache.cpp - the user, group and certificate-DN lists kept
// parsed in the process.
//
// A copy of a list is only ever used while it is the file on disk: every
// lookup stats the list (through the call's directory, as a read would reach
// it) and compares device, inode, size, and modification and change time in
// nanoseconds. Every writer replaces a list by renaming a new file over it,
// which always gives another inode: the copy keeps the old file open, so its
// inode cannot be reused while the copy lives. What stat cannot see is a
// write into the list file in place that keeps its size within one tick of
// the file system's clock; no writer of the registry does that.
//
// A copy answers with candidates, never with results: the pieces that can
// match a key, in file order, which the lookup then tests exactly as it tests
// every piece of the file. So first or last match, malformed lines, cut
// pieces and case rules stay where they are.
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <cstdlib>
#include <mutex>
#include <new>

#include "tolvinternal.h"

namespace tolv {

namespace {

// Keys of the UUID table: the first 36 bytes after the first double blank
// (a UUID's text). Shorter keys go to the sorted table.
constexpr std::size_t kUuidKey = 36;

struct Piece {
    uint32_t off;
    uint32_t len;
};

// 'A'..'Z' lowered in eight ASCII bytes at once.
inline uint64_t lower_ascii8(uint64_t w) {
    constexpr uint64_t kOnes = 0x0101010101010101ull;
    const uint64_t ge_a = w + kOnes * (0x80 - 'A');
    const uint64_t gt_z = w + kOnes * (0x7f - 'Z');
    return w | (((ge_a & ~gt_z) & (kOnes * 0x80)) >> 2);
}

// A hash of eight bytes at a time (the last word padded with zeros, the
// length mixed in), optionally over the bytes lowered as ASCII; Fold is only
// used on text without bytes above 0x7f.
template <bool Fold>
uint64_t hash_of(std::string_view s) {
    constexpr uint64_t kMul = 0x9e3779b97f4a7c15ull;
    uint64_t h = s.size() * kMul;
    std::size_t i = 0;
    for (; i + 8 <= s.size(); i += 8) {
        uint64_t w;
        std::memcpy(&w, s.data() + i, 8);
        if (Fold) w = lower_ascii8(w);
        h = (h ^ w) * kMul;
        h ^= h >> 32;
    }
    if (i < s.size()) {
        uint64_t w = 0;
        std::memcpy(&w, s.data() + i, s.size() - i);
        if (Fold) w = lower_ascii8(w);
        h = (h ^ w) * kMul;
    }
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdull;
    h ^= h >> 33;
    return h;
}

bool ascii(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// ui_lower lowers 'A'..'Z' through the locale: the registry-id table assumes
// the plain ASCII mapping and is not used under a locale that differs.
bool plain_ascii_case() {
    for (char c = 'A'; c <= 'Z'; ++c)
        if (ui_lower(c) != static_cast<char>(c + ('a' - 'A'))) return false;
    return true;
}

// Open addressing over piece numbers: a slot holds the key's hash in its
// high half and the piece number + 1 in its low half (0: empty). Pieces with
// the same key hash probe in insertion (file) order.
class Table {
public:
    void reserve(std::size_t n) {
        slots_.assign(capacity(n), 0);
        mask_ = slots_.size() - 1;
    }
    static std::size_t capacity(std::size_t n) { return std::bit_ceil(std::max<std::size_t>(16, 2 * n)); }
    // Inserts (hash, piece) pairs in order; the slot of a pair a few ahead is
    // fetched early, since a large table misses the cache on nearly every insert.
    void insert_all(const std::vector<std::pair<uint64_t, uint32_t>> &keys) {
        constexpr std::size_t kAhead = 16;
        for (std::size_t j = 0; j < keys.size(); ++j) {
            if (j + kAhead < keys.size()) __builtin_prefetch(&slots_[keys[j + kAhead].first & mask_], 1);
            insert(keys[j].first, keys[j].second);
        }
    }
    void insert(uint64_t h, uint32_t piece) {
        std::size_t i = h & mask_;
        while (slots_[i] != 0) i = (i + 1) & mask_;
        slots_[i] = (h & ~uint64_t{0xffffffff}) | (uint64_t{piece} + 1);
    }
    template <class F>
    void probe(uint64_t h, F &&take) const {
        const uint64_t high = h & ~uint64_t{0xffffffff};
        for (std::size_t i = h & mask_; slots_[i] != 0; i = (i + 1) & mask_)
            if ((slots_[i] & ~uint64_t{0xffffffff}) == high) take(static_cast<uint32_t>(slots_[i] - high - 1));
    }

private:
    std::vector<uint64_t> slots_;
    std::size_t mask_ = 0;
};

std::size_t limit_from(const char *text) {
    if (!text || !*text) return indexcache::kDefaultLimit;
    char *end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || text[0] == '-') return indexcache::kDefaultLimit;
    return static_cast<std::size_t>(v);
}

}  // namespace

namespace {
bool same_file(const struct stat &a, const struct stat &b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}
}  // namespace

// One list as read, with the tables its lookups need, each built on first use.
struct IndexSnapshot {
    struct stat id {};
    io::File pin;  // keeps the inode from being reused while the copy lives
    std::unique_ptr<char[]> bytes;
    std::size_t size = 0;
    std::vector<Piece> pieces;
    std::size_t charge = 0;

    std::string_view piece(uint32_t i) const { return {bytes.get() + pieces[i].off, pieces[i].len}; }

    // Text after the first double blank, of the pieces that have one.
    static bool uuid_rest(std::string_view piece, std::string_view &rest) {
        const std::size_t cut = piece.find(kIndexSep);
        if (cut == std::string_view::npos) return false;
        rest = piece.substr(cut + kIndexSep.size());
        return true;
    }
    const Table &uuid_table() const {
        once(uuid_done_, [&] {
            uuid_.reserve(pieces.size());
            std::vector<std::pair<uint64_t, uint32_t>> keys;
            keys.reserve(pieces.size());
            std::string_view rest;
            for (uint32_t i = 0; i < pieces.size(); ++i)
                if (uuid_rest(piece(i), rest) && rest.size() >= kUuidKey)
                    keys.emplace_back(hash_of<false>(rest.substr(0, kUuidKey)), i);
            uuid_.insert_all(keys);
        });
        return uuid_;
    }
    // Pieces with a double blank, ordered by the text after it.
    const std::vector<uint32_t> &uuid_sorted() const {
        once(sorted_done_, [&] {
            sorted_.clear();
            std::vector<std::pair<std::string_view, uint32_t>> v;
            std::string_view rest;
            for (uint32_t i = 0; i < pieces.size(); ++i)
                if (uuid_rest(piece(i), rest)) v.emplace_back(rest, i);
            std::sort(v.begin(), v.end());
            sorted_.reserve(v.size());
            for (const auto &e : v) sorted_.push_back(e.second);
        });
        return sorted_;
    }
    // Registry ids: ASCII ones by their ASCII-lowered hash, the others in a
    // list every lookup looks at (a locale may lower them into anything).
    const Table &rgy_table(const std::vector<uint32_t> *&others) const {
        once(rgy_done_, [&] {
            rgy_others_.clear();
            rgy_.reserve(pieces.size());
            std::vector<std::pair<uint64_t, uint32_t>> keys;
            keys.reserve(pieces.size());
            IndexLine l;
            for (uint32_t i = 0; i < pieces.size(); ++i) {
                if (split_index_line(piece(i), l) != IndexSplit::Ok) continue;
                if (ascii(l.registry_id))
                    keys.emplace_back(hash_of<true>(l.registry_id), i);
                else
                    rgy_others_.push_back(i);
            }
            rgy_.insert_all(keys);
        });
        others = &rgy_others_;
        return rgy_;
    }
    // Certificate DNs: the entry's text after its second blank.
    const Table &dn_table() const {
        once(dn_done_, [&] {
            dn_.reserve(pieces.size());
            std::vector<std::pair<uint64_t, uint32_t>> keys;
            keys.reserve(pieces.size());
            for (uint32_t i = 0; i < pieces.size(); ++i) {
                const std::string_view entry = chomp(piece(i));
                const std::size_t b1 = entry.find(' ');
                if (b1 == std::string_view::npos) continue;
                const std::size_t b2 = entry.find(' ', b1 + 1);
                if (b2 != std::string_view::npos) keys.emplace_back(hash_of<false>(entry.substr(b2 + 1)), i);
            }
            dn_.insert_all(keys);
        });
        return dn_;
    }

private:
    // Builds a table once; a build that throws (memory) is tried again by
    // the next lookup, and readers of a built table take no lock.
    template <class F>
    void once(std::atomic<bool> &done, F &&build) const {
        if (done.load(std::memory_order_acquire)) return;
        const std::lock_guard<std::mutex> hold(build_mutex_);
        if (done.load(std::memory_order_relaxed)) return;
        build();
        done.store(true, std::memory_order_release);
    }
    mutable std::mutex build_mutex_;
    mutable std::atomic<bool> uuid_done_{false}, sorted_done_{false}, rgy_done_{false}, dn_done_{false};
    mutable Table uuid_, rgy_, dn_;
    mutable std::vector<uint32_t> sorted_, rgy_others_;
};

namespace {

// The lists of one registry directory, shared by every thread. The mutex is
// held only to copy or swap a pointer; copies are built outside it.
//
// A version of a list is copied when a lookup meets it the second time: the
// first lookup after a rewrite reads the file as a lookup without a cache
// does and notes its identity (seen). So a list rewritten between every two
// lookups costs what it did without a cache, and one read more often is
// copied once.
struct Cache {
    std::mutex m;
    std::string dir;
    std::shared_ptr<const IndexSnapshot> slots[3];
    struct stat seen[3]{};
    std::size_t charged = 0;
    uint64_t generation = 0;
    // Between rspi_initialize and rspi_terminate: a call still running after
    // the end of its registry keeps nothing.
    bool live = false;
};
// Never destroyed: a host may end its registry from a static destructor of
// its own that runs after this library's. Emptied by clear(), which the
// library's unload also calls, it holds no memory of its own.
Cache &cache() {
    alignas(Cache) static unsigned char storage[sizeof(Cache)];
    static Cache *const c = new (storage) Cache;
    return *c;
}
std::atomic<std::size_t> g_limit{indexcache::kDefaultLimit};

int slot_of(std::string_view list) {
    if (list == kUserList) return 0;
    if (list == kGroupList) return 1;
    if (list == kCertDnList) return 2;
    return -1;
}

// What a copy of a list with n pieces may come to, all tables built.
std::size_t charge_for(std::size_t bytes, std::size_t n, bool cert) {
    const std::size_t table = Table::capacity(n) * sizeof(uint64_t);
    return bytes + n * sizeof(Piece) + (cert ? table : 2 * table + 2 * n * sizeof(uint32_t)) + sizeof(IndexSnapshot);
}

std::shared_ptr<const IndexSnapshot> build(const std::string &path, bool cert, std::size_t limit) {
    auto s = std::make_shared<IndexSnapshot>();
    if (io::read_list(path, s->bytes, s->size, s->id, s->pin) != io::Read::Ok) return nullptr;
    if (s->size >= UINT32_MAX) return nullptr;
    LineReader lines(std::string_view(s->bytes.get(), s->size), kListLineSize);
    std::string_view p;
    while (lines.next_piece(p))
        s->pieces.push_back({static_cast<uint32_t>(p.data() - s->bytes.get()), static_cast<uint32_t>(p.size())});
    s->charge = charge_for(s->size, s->pieces.capacity(), cert);
    if (s->charge > limit) return nullptr;
    return s;
}

}  // namespace

IndexPieces::~IndexPieces() = default;

io::Read IndexPieces::open_uncached(const std::string &path) {
    snap_.reset();
    const io::Read r = io::read_file(path, bytes_, true);
    reader_ = LineReader(bytes_, kListLineSize);
    return r;
}

io::Read IndexPieces::open(std::string_view dir, std::string_view list, IndexKey how, std::string_view key,
                           std::string_view key2, bool rebuild) {
    const std::string path = make_path(dir, list);
    const int slot = slot_of(list);
    const std::size_t limit = g_limit.load(std::memory_order_relaxed);
    if (slot < 0 || limit == 0) return open_uncached(path);
    try {
        struct stat st;
        bool own = false;
        if (io::stat_list(path, st, own) != io::Read::Ok || own || static_cast<std::size_t>(st.st_size) > limit)
            return open_uncached(path);
        Cache &c = cache();
        uint64_t generation;
        bool second = false;
        // Copies dropped here are released after the mutex (closing a file
        // that was replaced frees its blocks).
        std::shared_ptr<const IndexSnapshot> gone[3];
        {
            const std::lock_guard<std::mutex> hold(c.m);
            if (!c.live) return open_uncached(path);
            generation = c.generation;
            if (c.dir != dir) {
                for (int i = 0; i < 3; ++i) {
                    gone[i] = std::move(c.slots[i]);
                    c.seen[i] = {};
                }
                c.charged = 0;
                c.dir.assign(dir);
            }
            snap_ = c.slots[slot];
            if (!snap_ || !same_file(snap_->id, st)) {
                second = same_file(c.seen[slot], st);
                if (rebuild && !second) c.seen[slot] = st;
            }
        }
        if (!snap_ || !same_file(snap_->id, st)) {
            if (!rebuild || !second) return open_uncached(path);
            snap_ = build(path, slot == 2, limit);
            if (!snap_) return open_uncached(path);
            const std::lock_guard<std::mutex> hold(c.m);
            if (c.generation == generation && c.dir == dir) {
                const std::size_t others = c.charged - (c.slots[slot] ? c.slots[slot]->charge : 0);
                // A copy that does not fit is used for this lookup only.
                const bool fits = others + snap_->charge <= limit;
                gone[slot] = std::move(c.slots[slot]);
                if (fits) c.slots[slot] = snap_;
                c.charged = others + (fits ? snap_->charge : 0);
            }
        }

        const IndexSnapshot &s = *snap_;
        picks_.clear();
        at_ = 0;
        all_ = false;
        const auto take = [&](uint32_t i) { picks_.push_back(i); };
        const auto by_uuid = [&](std::string_view uuid) {
            if (uuid.size() >= kUuidKey) {
                s.uuid_table().probe(hash_of<false>(uuid.substr(0, kUuidKey)), take);
                return;
            }
            const std::vector<uint32_t> &sorted = s.uuid_sorted();
            std::string_view rest;
            auto it = std::lower_bound(sorted.begin(), sorted.end(), uuid, [&](uint32_t i, std::string_view k) {
                IndexSnapshot::uuid_rest(s.piece(i), rest);
                return rest < k;
            });
            for (; it != sorted.end() && IndexSnapshot::uuid_rest(s.piece(*it), rest) && rest.starts_with(uuid); ++it)
                take(*it);
        };
        const auto by_registry_id = [&](std::string_view rgy) {
            if (!ascii(rgy) || !plain_ascii_case()) {
                all_ = true;
                return;
            }
            const std::vector<uint32_t> *others = nullptr;
            s.rgy_table(others).probe(hash_of<true>(rgy), take);
            picks_.insert(picks_.end(), others->begin(), others->end());
        };
        switch (how) {
        case IndexKey::UuidPrefix: by_uuid(key); break;
        case IndexKey::RegistryId: by_registry_id(key); break;
        case IndexKey::CertDn: s.dn_table().probe(hash_of<false>(key), take); break;
        case IndexKey::Identity:
            if (!key.empty()) by_uuid(key);
            if (!key2.empty()) by_registry_id(key2);
            break;
        }
        if (picks_.size() > 1) {
            std::sort(picks_.begin(), picks_.end());
            picks_.erase(std::unique(picks_.begin(), picks_.end()), picks_.end());
        }
        return io::Read::Ok;
    } catch (const std::bad_alloc &) {
        // Short of memory for a copy: read the list as without one.
        return open_uncached(path);
    }
}

bool IndexPieces::next_piece(std::string_view &piece) {
    if (!snap_) return reader_.next_piece(piece);
    if (all_) {
        if (at_ >= snap_->pieces.size()) return false;
        piece = snap_->piece(static_cast<uint32_t>(at_++));
        return true;
    }
    if (at_ >= picks_.size()) return false;
    piece = snap_->piece(picks_[at_++]);
    return true;
}

namespace indexcache {

void set_limit(std::size_t bytes) {
    g_limit.store(bytes, std::memory_order_relaxed);
    // Copies over a lower limit go now.
    std::shared_ptr<const IndexSnapshot> gone[3];
    Cache &c = cache();
    const std::lock_guard<std::mutex> hold(c.m);
    if (c.charged <= bytes) return;
    for (int i = 0; i < 3; ++i) {
        gone[i] = std::move(c.slots[i]);
        c.seen[i] = {};
    }
    c.charged = 0;
}

void configure_from_environment() {
    set_limit(limit_from(std::getenv("TOLV_INDEX_CACHE_MAX")));
    Cache &c = cache();
    const std::lock_guard<std::mutex> hold(c.m);
    c.live = true;
}

void clear() {
    std::shared_ptr<const IndexSnapshot> gone[3];
    Cache &c = cache();
    {
        const std::lock_guard<std::mutex> hold(c.m);
        for (int i = 0; i < 3; ++i) {
            gone[i] = std::move(c.slots[i]);
            c.seen[i] = {};
        }
        std::string().swap(c.dir);
        c.charged = 0;
        ++c.generation;
        c.live = false;
    }
}

std::size_t charged() {
    Cache &c = cache();
    const std::lock_guard<std::mutex> hold(c.m);
    return c.charged;
}

}  // namespace indexcache

}  // namespace tolv
