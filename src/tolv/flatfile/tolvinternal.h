// tolvinternal.h - storage primitives shared by every family of the plug-in:
// return codes, the file layer, file names, line pieces, the list rewriter,
// entry lists with their cursor, blobs, UUIDs, login types and host strings.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "rspi.h"
#include "tolv.h"
#include "tolvformat.h"

struct iovec;

#define TOLV_EXPORT extern "C" __attribute__((visibility("default")))

namespace tolv {

// ---------------------------------------------------------------------------
// Return codes: exactly the interface's values.
enum class Rc : uint32_t {
    Success = RSPI_RC_SUCCESS,
    NoMemory = RSPI_RC_NO_MEMORY,
    ConfigError = RSPI_RC_CONFIG_ERROR,
    NoMoreEntries = RSPI_RC_NO_MORE_ENTRIES,
    FileError = RSPI_RC_FILE_ERROR,
    Malformed = RSPI_RC_MALFORMED_ENTRY,
    UserNotDisabled = RSPI_RC_USER_NOT_DISABLED,
    GroupNotDisabled = RSPI_RC_GROUP_NOT_DISABLED,
    AccountDisabled = RSPI_RC_ACCOUNT_DISABLED,
    AuthnTypeUnsupported = RSPI_RC_AUTHN_TYPE_UNSUPPORTED,
    AuthnFailed = RSPI_RC_AUTHN_FAILED,
    NotInList = RSPI_RC_ENTRY_NOT_IN_LIST,
    InvalidUser = RSPI_RC_INVALID_USER,
    InvalidGroup = RSPI_RC_INVALID_GROUP,
    InvalidPolicy = RSPI_RC_INVALID_POLICY,
    InvalidResource = RSPI_RC_INVALID_RESOURCE,
    InvalidResgroup = RSPI_RC_INVALID_RESGROUP,
    InvalidRescreds = RSPI_RC_INVALID_RESCREDS,
    UserExists = RSPI_RC_USER_EXISTS,
    GroupExists = RSPI_RC_GROUP_EXISTS,
    PolicyExists = RSPI_RC_POLICY_EXISTS,
    ResourceExists = RSPI_RC_RESOURCE_EXISTS,
    ResgroupExists = RSPI_RC_RESGROUP_EXISTS,
    RescredsExists = RSPI_RC_RESCREDS_EXISTS,
};

constexpr uint32_t code(Rc rc) { return static_cast<uint32_t>(rc); }
constexpr bool ok(Rc rc) { return rc == Rc::Success; }

// ---------------------------------------------------------------------------
// Diagnostics. ui_printf writes onto debugOutput (nothing while it is null) and
// flushes; callers test `verbose` first, which trace() does for them.
void ui_printf(const char *format, ...) __attribute__((format(printf, 1, 2)));
#define TOLV_TRACE(...)                            \
    do {                                           \
        if (::verbose) ::tolv::ui_printf(__VA_ARGS__); \
    } while (0)
// A printable stand-in for a null name in a diagnostic.
inline const char *nz(const char *s) { return s ? s : "(null)"; }

// Writes an operation's entry line, runs body, writes its exit line with the
// result. The entry line takes what the operation names: nothing, a lookup
// key, or a user's or group's domain and id. (t: a text::OpText.)
template <class T, class F, class... A>
Rc traced_with(const T &t, F &&body, A... entry_args) {
    if constexpr (sizeof...(A) == 0)
        TOLV_TRACE("%s", t.entry);
    else
        TOLV_TRACE(t.entry, entry_args...);
    const Rc rc = body();
    TOLV_TRACE(t.exit, code(rc));
    return rc;
}
template <class T, class F>
Rc traced(const T &t, F &&body) {
    return traced_with(t, body);
}
template <class T, class F>
Rc traced(const T &t, const char *key, F &&body) {
    return traced_with(t, body, nz(key));
}
template <class T, class F>
Rc traced(const T &t, const rspi_user *u, F &&body) {
    return traced_with(t, body, nz(u ? u->domain : nullptr), nz(u ? u->user_id : nullptr));
}
template <class T, class F>
Rc traced(const T &t, const rspi_group *g, F &&body) {
    return traced_with(t, body, nz(g ? g->domain : nullptr), nz(g ? g->group_id : nullptr));
}

// Runs an operation body at the C boundary: no exception ever crosses it.
template <class F>
uint32_t guarded(F &&body) noexcept {
    try {
        return code(body());
    } catch (const std::bad_alloc &) {
        return RSPI_RC_NO_MEMORY;
    } catch (...) {
        return RSPI_RC_FILE_ERROR;
    }
}
template <class F>
int32_t guarded_count(F &&body) noexcept {
    try {
        return body();
    } catch (...) {
        return 0;
    }
}

// The registry directory behind a handle, or null when the handle is unusable.
inline const char *registry_dir(char **handle) { return handle ? __atomic_load_n(handle, __ATOMIC_ACQUIRE) : nullptr; }

// The registry directory for the length of one exported operation: opened
// once, every file of the registry is reached relative to it, and nested
// operations of the same thread share it. A writing scope also holds the
// registry's write lock: a process-wide mutex (threads of one host) plus an
// exclusive flock on the directory (other hosts). ok() is false when a write
// lock cannot be had; the operation must then change nothing.
namespace io {
class DirScope {
public:
    // dir (the registry's directory string) must outlive the scope.
    DirScope(std::string_view dir, bool write);
    ~DirScope();
    DirScope(const DirScope &) = delete;
    DirScope &operator=(const DirScope &) = delete;
    bool ok() const { return ok_; }
    // Ends a writing operation: its journal is committed, or rolled back when
    // rc reports an I/O (6) or memory (3) failure. Returns rc, or 6 when the
    // commit itself failed and the operation was rolled back. Only the
    // outermost scope acts; a scope ended without finish() rolls back.
    Rc finish(Rc rc);

private:
    bool ok_ = true;
    bool finished_ = false;
    bool took_mutex_ = false;
    bool took_flock_ = false;
    bool fresh_ = false;
    void *saved_ = nullptr;  // the scope of another directory this one interrupts
};
}  // namespace io

// The body of an exported operation: body(std::string_view dir) -> Rc. A
// handle without a registry directory (never initialised, or terminated)
// gives 4 without touching anything.
template <class F>
uint32_t guarded_op(char **handle, F &&body) noexcept {
    const char *dir = registry_dir(handle);
    if (!dir) return RSPI_RC_CONFIG_ERROR;
    return guarded([&] {
        io::DirScope scope(dir, false);
        return body(std::string_view(dir));
    });
}

// guarded_op for operations that change files: serialised by the write lock,
// and 6 without touching anything when the lock cannot be taken.
template <class F>
uint32_t guarded_write_op(char **handle, F &&body) noexcept {
    const char *dir = registry_dir(handle);
    if (!dir) return RSPI_RC_CONFIG_ERROR;
    return guarded([&] {
        io::DirScope scope(dir, true);
        if (!scope.ok()) return Rc::FileError;
        return scope.finish(body(std::string_view(dir)));
    });
}

template <class F>
int32_t guarded_count_op(char **handle, F &&body) noexcept {
    const char *dir = registry_dir(handle);
    if (!dir) return 0;
    return guarded_count([&] {
        io::DirScope scope(dir, false);
        return body(std::string_view(dir));
    });
}

// ---------------------------------------------------------------------------
// The file layer: every open, read, write, rename and remove of the plug-in
// goes through here. Files are created with mode 0600.
namespace io {

enum class Read { Ok, Missing, Error };

// A whole file's bytes, read without clearing a buffer first. A record file
// fits the buffer inside the object; larger files go to the heap.
class Bytes {
public:
    Bytes() = default;
    ~Bytes() { release(); }
    Bytes(const Bytes &) = delete;
    Bytes &operator=(const Bytes &) = delete;
    const char *data() const { return data_; }
    std::size_t size() const { return size_; }
    std::string_view view() const { return {data_, size_}; }
    operator std::string_view() const { return view(); }
    // Drops the bytes (and a heap buffer) read so far.
    void clear() {
        release();
        data_ = local_;
        size_ = 0;
    }

private:
    friend Read read_whole(int fd, Bytes &out, std::size_t size, std::size_t limit);
    static constexpr std::size_t kLocal = 8192;
    char local_[kLocal];
    // Drops the heap buffer (kept for the thread's next large read).
    void release();
    char *heap_ = nullptr;
    std::size_t heap_cap_ = 0;
    const char *data_ = local_;
    std::size_t size_ = 0;
};

// Every registry file is reached relative to the operation's directory
// (DirScope), and only as a regular file: a symlink, FIFO, socket, device or
// directory at a registry name is an error, never followed, never blocked on.

// Reads the whole file. Missing: it does not exist (ENOENT, ENOTDIR); Error:
// it exists but is no regular file, or could not be opened or read. A record
// file is read only as far as the longest record can reach (kMaxRecordBytes);
// a list (list = true) is read whole, its buffer sized by fstat.
Read read_file(const std::string &path, Bytes &out, bool list = false);
// The configuration file: outside the registry and named by the host, so it
// may be a symlink; still only a regular file, and at most kMaxConfigBytes.
Read read_config(const char *path, Bytes &out);
// Reads up to len bytes from the start of the file into buf; got = bytes read.
Read read_prefix(const std::string &path, void *buf, std::size_t len, std::size_t &got);
// Whether a regular file is at path (Ok), nothing (Missing), or something
// else or an unanswerable question (Error).
Read probe(const std::string &path);
// Replaces path with data: written in full to path + "_T" and renamed over
// path, so a reader finds the whole old or the whole new file. False on any
// failure (also when something other than a regular file is at path), and
// then no temporary file is left.
bool write_file(const std::string &path, std::string_view data);
// True when a regular file is at path and holds at least n bytes: a stored
// length is checked before anything that size is allocated.
bool size_at_least(const std::string &path, std::size_t n);
// Renames a regular file; false when either name holds something else.
bool rename_file(const std::string &from, const std::string &to);
// Renames our own new file over path (a regular file or nothing).
bool install_file(const std::string &from, const std::string &to);
// Removes a regular file; false (errno ENOENT) when there is none.
bool remove_file(const std::string &path);
// Takes the registry's lock shared for the rest of this reading call, so
// that no writer is half-way while a record and its blob are read. True when
// newly taken; false when not needed (this thread writes, or holds it) or
// impossible (a directory that may only be searched).
bool lock_shared();
// Removes a temporary file of ours that will not be installed (never journalled).
void remove_temp(const std::string &path);
// Enters path into the running write operation's undo journal before its
// first change (the functions above do it themselves); false when it cannot.
bool journal(const std::string &path);
// durable=true: every file written is flushed (fdatasync) before it replaces
// the old one, and the directory (fsync) around the journal's commit point.
void set_durable(bool on);

// An entry file looked for by an operation: 0 when it is there, `missing`
// when not, 6 when something other than a regular file holds its name.
inline Rc present(Read r, Rc missing) {
    return r == Read::Ok ? Rc::Success : r == Read::Missing ? missing : Rc::FileError;
}
// The same before a create: 0 when nothing is there, `exists` when the file is.
inline Rc absent(Read r, Rc exists) {
    return r == Read::Missing ? Rc::Success : r == Read::Ok ? exists : Rc::FileError;
}

// Removes a file that may be missing (a blob, a members list): 0, or 6 when
// one is there and cannot go. A call never reports success over a file that
// stayed.
inline Rc remove_if_there(const std::string &path) {
    return remove_file(path) || errno == ENOENT ? Rc::Success : Rc::FileError;
}

inline constexpr std::size_t kMaxRecordBytes = 64 * 1024;
inline constexpr std::size_t kMaxConfigBytes = 1024 * 1024;

// A descriptor that closes quietly when dropped; close() reports the result.
class File {
public:
    File() = default;
    explicit File(int fd) : fd_(fd) {}
    File(File &&o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    File &operator=(File &&o) noexcept;
    File(const File &) = delete;
    File &operator=(const File &) = delete;
    ~File();
    bool is_open() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    bool write_all(std::string_view data);
    // Writes the slices in order, in as few system calls as the kernel
    // allows; the slices are used up (moved past what was written).
    bool write_all(struct ::iovec *slices, std::size_t count);
    // In durable mode, flushes the written data to the disk.
    bool sync();
    bool close();

private:
    int fd_ = -1;
};
// Creates path afresh for writing (0600): a stale regular file there is
// removed first, anything else refuses; the new file is opened exclusively.
// As root in a directory owned by another account, the file gets the
// directory's owner and group.
File create(const std::string &path);

// Test seam: when set, the n-th file operation from now on (1-based) fails
// with the given errno. 0 disables it.
void fail_nth_operation(long n, int error);
// Number of file operations since the seam was last armed.
long operations_seen();

}  // namespace io

// ---------------------------------------------------------------------------
// File names. A path is the registry directory followed directly by a name
// whose ':', '/' and '\' were turned into '-'.
void ui_tolower(char *text);
void ui_tolower(std::string &text);
void ui_validate_filename(char *text);
// True when a and b are equal once both are lower-cased as ui_tolower does.
bool same_ignoring_case(std::string_view a, std::string_view b);
// dir + sanitised name.
std::string make_path(std::string_view dir, std::string_view name);

// Longest name component the file system takes.
inline constexpr std::size_t kMaxComponent = 255;
// Longest index line, newline included, that a 250-byte piece reader keeps whole.
inline constexpr std::size_t kMaxListLine = 249;
// True when a file-name component of this many bytes plus its longest
// companion suffix (e.g. "_blob" or "_T") fits.
inline bool component_fits(std::size_t name_len, std::size_t longest_suffix) {
    return name_len + longest_suffix <= kMaxComponent;
}
// True when a list entry (without its newline) fits one list piece.
inline bool entry_fits(std::size_t entry_len) { return entry_len + 1 <= kMaxListLine; }

// Every file of the registry is named here. Record files take the lower-cased
// key names; the part after the directory is sanitised.
std::string user_file(std::string_view dir, std::string_view domain, std::string_view user_id);  // .QZuser
std::string disabled_user_file(std::string_view dir, std::string_view registry_id);              // .user
std::string group_file(std::string_view dir, std::string_view domain, std::string_view group_id);  // .QZgroup
std::string disabled_group_file(std::string_view dir, std::string_view registry_id);             // .group
std::string policy_file(std::string_view dir, std::string_view domain, std::string_view policy_id);  // .QZpolicy
std::string resource_file(std::string_view dir, std::string_view name);                          // .QZresource
std::string resgroup_file(std::string_view dir, std::string_view name);                          // .QZresgroup
// The credential's name has its first ':' turned into '-' before the rest is sanitised.
std::string rescreds_file(std::string_view dir, std::string_view domain, std::string_view user_id,
                          std::string_view name);                                                 // .QZrescreds
std::string blob_file(std::string_view record_path);                                              // + "_blob"
// Entry-list names, relative to the registry directory and not yet sanitised.
std::string my_groups_list(std::string_view domain, std::string_view user_id);      // .myGroups
std::string group_members_list(std::string_view domain, std::string_view group_id);  // .GPmembers
std::string resgroup_members_list(std::string_view name);                           // .RGmembers
std::string rescreds_list(std::string_view domain, std::string_view user_id);       // .myResCreds

// Companion suffixes and list names (named in tolvformat.h).
using format::kBlobSuffix;
using format::kCertDnList;
using format::kGroupList;
using format::kPolicyList;
using format::kResgroupList;
using format::kResourceList;
using format::kTempSuffix;
using format::kUserList;

namespace io {
// Removes a record file and then its blob (which goes even without the
// record): the result is removed() when the record was there, `missing` when
// it was not, and 6 when either file stays.
template <class F>
Rc remove_record_and_blob(const std::string &path, Rc missing, F &&removed) {
    Rc rc = missing;
    if (remove_file(path))
        rc = removed();
    else if (errno != ENOENT)
        return Rc::FileError;
    const Rc gone = remove_if_there(blob_file(path));
    return ok(gone) ? rc : gone;
}
}  // namespace io

// ---------------------------------------------------------------------------
// Line pieces: behaves like repeated fgets(buf, n, stream) over a buffer read
// in one go. A piece ends after a newline or after n-1 bytes; the text of a
// piece is cut at an embedded NUL, as a C string reader would see it.
class LineReader {
public:
    LineReader(std::string_view data, int n) : data_(data), cap_(n > 1 ? std::size_t(n - 1) : 0) {}
    // The next piece with its newline, if it has one. False at end of data.
    bool next_piece(std::string_view &piece);
    // ui_get_line: the next piece without its final newline. False (-1) at end.
    bool next_line(std::string_view &line);
    // Everything not yet read, when it holds no NUL: the pieces would give
    // those bytes back unchanged. The reader is then at the end. False (and
    // nothing consumed) otherwise.
    bool take_rest(std::string_view &rest);

private:
    // First NUL at or after from, searched for once per stretch of data.
    std::size_t nul_from(std::size_t from);

    std::string_view data_;
    std::size_t pos_ = 0;
    std::size_t cap_;
    // No NUL lies in [nul_scan_, clean_end_): clean_end_ is a NUL's
    // position, or the end of the data.
    std::size_t nul_scan_ = 0;
    std::size_t clean_end_ = 0;
};
inline constexpr int kRecordLineSize = 1000;  // record files
inline constexpr int kListLineSize = 250;     // index files and configuration

// Strips one trailing newline.
inline std::string_view chomp(std::string_view s) {
    return (!s.empty() && s.back() == '\n') ? s.substr(0, s.size() - 1) : s;
}
// strtol(s, NULL, 10) over a view: leading white space, optional sign, digits.
long parse_long(std::string_view s);

// Reads a record file line by line. A missing line marks the record malformed
// (9) and leaves its field alone; reading goes on.
class RecordReader {
public:
    explicit RecordReader(std::string_view data) : lines_(data, kRecordLineSize) {}
    // The next line; false (and 9 noted) when the file has ended.
    bool next(std::string_view &line);
    // The next line, without noting a missing one (optional trailing lines).
    bool optional(std::string_view &line) { return lines_.next_line(line); }
    // Skips a key line; a missing or empty one is malformed.
    void key();
    // Skips a key line that must equal expected.
    void key(std::string_view expected);
    // Replaces a host string field with the next line.
    void text(char *&field);
    template <class T>
    void number(T &field) {
        std::string_view l;
        if (next(l)) field = static_cast<T>(parse_long(l));
    }
    Rc rc() const { return rc_; }
    void set_rc(Rc rc) { rc_ = rc; }
    bool short_file() const { return rc_ == Rc::Malformed; }

private:
    LineReader lines_;
    Rc rc_ = Rc::Success;
};

// Builds a record file's bytes, one value per line.
class RecordWriter {
public:
    RecordWriter &text(const char *s);  // null writes an empty line
    RecordWriter &text(std::string_view s);
    RecordWriter &u32(uint32_t v);      // "%u"
    RecordWriter &i32(int32_t v);       // "%d"
    const std::string &bytes() const { return out_; }

private:
    std::string out_;
};

// ---------------------------------------------------------------------------
// Index files. Every index is rewritten by one helper: read the old list whole,
// let the caller build the new bytes, write "<list>_T" in one go and rename it
// over the list, so the old or the new list is always in place.
// Replace installs the new content, Remove leaves no list, Keep leaves the
// list as it was.
enum class ListEnd { Replace, Remove, Keep };
// The new content of a list, built from slices: bytes that lie in the old
// content are referred to where they are, anything else is copied aside.
// Neighbouring slices of the old content are joined, so a rewrite that keeps
// most of a list writes it back in a few large pieces without copying it.
class ListOut {
public:
    explicit ListOut(std::string_view old) : old_(old) {}
    void append(std::string_view text) {
        // Most often the old content's next bytes: the last slice grows.
        if (!slices_.empty()) {
            Slice &last = slices_.back();
            const std::size_t end = last.offset + last.length;
            if (!last.copied && text.data() == old_.data() + end && text.size() <= old_.size() - end) {
                last.length += text.size();
                size_ += text.size();
                return;
            }
        }
        add_slice(text);
    }
    // Appends text and a newline: one slice when the old content has the
    // newline right after the text.
    void append_line(std::string_view text);
    std::size_t size() const { return size_; }
    // The content as one string (for checks; the rewriter writes the slices).
    std::string str() const;
    // Writes the content to the file; false when a write fails.
    bool write_to(io::File &file) const;

private:
    struct Slice {
        bool copied;  // in added_, else in old_
        std::size_t offset, length;
    };
    const char *base(const Slice &s) const { return (s.copied ? added_.data() : old_.data()) + s.offset; }
    void add_slice(std::string_view text);
    std::string_view old_;
    std::string added_;
    std::vector<Slice> slices_;
    std::size_t size_ = 0;
};
struct ListEdit {
    std::string_view old;  // old content ("" when missing)
    bool existed;          // the list file could be read
    ListOut out;           // new content, built by the caller
};
namespace detail {
Rc rewrite_list(const std::string &list_path, ListEnd (*edit)(ListEdit &, void *), void *ctx);
}
// edit(ListEdit&) -> ListEnd. Replace installs `out` (even when empty); Remove
// leaves no list file. 6 when the temporary file cannot be created, written or
// renamed; the old list is then untouched and no temporary file stays behind.
template <class F>
Rc rewrite_list(const std::string &list_path, F &&edit) {
    return detail::rewrite_list(
        list_path,
        [](ListEdit &e, void *ctx) -> ListEnd { return (*static_cast<std::remove_reference_t<F> *>(ctx))(e); },
        const_cast<void *>(static_cast<const void *>(&edit)));
}

// Entry lists: sorted, one entry per line, no duplicates, no file when empty.
// list_name is sanitised; the directory is prefixed.
Rc ui_add_to_entrylist(std::string_view dir, std::string_view list_name, std::string_view entry);
Rc ui_remove_from_entrylist(std::string_view dir, std::string_view list_name, std::string_view entry);
Rc ui_purge_from_entrylist(std::string_view dir, std::string_view list_name, std::string_view prefix);
// Drops old_entry (if there) and adds new_entry in one rewrite; an empty one
// is left out. 0, or 6/3 when the list cannot be rewritten.
Rc ui_replace_in_entrylist(std::string_view dir, std::string_view list_name, std::string_view old_entry,
                           std::string_view new_entry);

// Case-insensitive wildcard match with '*'; a null filter matches everything.
int32_t ui_compare_filter(const char *filter, const char *name);

// ---------------------------------------------------------------------------
// Enumeration list records. The six host list types share one layout; ListRef
// gives the generic code a view of any of them.
struct ListRef {
    uint32_t &kind;
    int32_t &count;
    char *&file;
    rspi_list_item *&first;
    rspi_list_item *&previous;
    rspi_list_item *&current;
};
template <class L>
ListRef list_ref(L *l) {
    return ListRef{l->kind, l->count, l->file, l->first, l->previous, l->current};
}

// Loads list.file into the record (count, first, cursor reset; kind untouched;
// items already there are not released). Missing file: empty, 0. 3 when an
// item or text cannot be allocated; items so far stay.
Rc ui_get_entrylist(std::string_view dir, ListRef list);
// Appends items at the tail of a list (text copied), finding the tail once.
class ListAppender {
public:
    explicit ListAppender(ListRef list);
    // 3 when the item or its text cannot be allocated; nothing is appended then.
    Rc append(std::string_view text, uint32_t flag);

private:
    ListRef list_;
    rspi_list_item *tail_;
};
// Resets a record for a new listing without releasing old items.
void list_reset(ListRef list, uint32_t kind);
// Names a lazy list: file = copy of name, count = -1. 3 when the copy fails.
Rc list_name_lazy(ListRef list, std::string_view file_name);

enum class Move { First, Next, Previous };
struct CursorResult {
    Rc rc = Rc::Success;         // 0 with item set; else 5, or the load failure
    bool load_failed = false;     // true when rc comes from loading the list
    rspi_list_item *item = nullptr;
};
// The cursor shared by every enumeration: null record -> 5; count < 0 loads it
// (a failure is returned with load_failed); count 0 -> 5; then moves.
CursorResult cursor_move(std::string_view dir, ListRef list, Move move);
// count operation: count if >= 0, else load (failure -> count 0, returns 0).
int32_t list_count(std::string_view dir, ListRef list);

// A first/next/previous operation: a null list gives 5, a null record the
// family's invalid code; otherwise the cursor moves and deliver(item) fills
// the record from the entry reached.
template <class List, class Record, class Deliver>
Rc cursor_step(std::string_view dir, List *list, Record *record, Rc invalid, Move move, Deliver &&deliver) {
    if (!list) return Rc::NoMoreEntries;
    if (!record) return invalid;
    const CursorResult at = cursor_move(dir, list_ref(list), move);
    return at.item ? deliver(*at.item) : at.rc;
}

// The traced first/next/previous of the policy, resource and resource-group
// lists. fill(entry) copies the entry's names into the record (3 when a copy
// fails, 9 for a malformed entry); with `fetch`, get() then reads the whole
// record. A failed list load or copy ends without the exit line.
template <class Texts, class List, class Record, class Fill, class Get>
Rc traced_cursor_step(const Texts &t, std::string_view dir, List *list, Record *record, Rc invalid, Move move,
               int32_t fetch, Fill &&fill, Get &&get) {
    TOLV_TRACE("%s", t.entry);
    const auto done = [&](Rc rc) {
        TOLV_TRACE(t.exit, code(rc));
        return rc;
    };
    if (!list) return done(Rc::NoMoreEntries);
    if (!record) return done(invalid);
    const CursorResult at = cursor_move(dir, list_ref(list), move);
    if (at.load_failed) return at.rc;
    if (!at.item) return done(at.rc);
    const Rc filled = fill(std::string_view(at.item->data ? at.item->data : ""));
    if (filled == Rc::NoMemory) return filled;
    if (!ok(filled) || !fetch) return done(filled);
    return done(get());
}

// The traced listing of the policy, resource and resource-group lists: names
// the whole list file, loaded on first use. A null list gives the family's
// invalid code; a failed copy of the name ends without the exit line.
template <class Texts, class List>
Rc traced_name_list(const Texts &t, List *list, Rc invalid, std::string_view list_file) {
    TOLV_TRACE("%s", t.entry);
    if (!list) return invalid;
    const Rc rc = list_name_lazy(list_ref(list), list_file);
    if (!ok(rc)) return rc;
    TOLV_TRACE("%s", t.exit);
    return Rc::Success;
}

// The traced count of those lists (a null list counts 0).
template <class Texts, class List>
int32_t traced_list_count(const Texts &t, std::string_view dir, List *list) {
    TOLV_TRACE("%s", t.entry);
    return list ? list_count(dir, list_ref(list)) : 0;
}

// Item kinds of the user and group enumerations: a name entry holds
// "domain id", a registry-id entry the registry id of a disabled entry.
inline constexpr uint32_t kNameEntry = 1;
inline constexpr uint32_t kRegistryIdEntry = 2;
// Appends host-supplied names as name entries (rspi_userlist_add_user,
// rspi_grouplist_add_group). A list without entries is started afresh (kind 1).
// Count 0, a null array or a null name: 31; a negative count adds nothing (0);
// 3 when an item cannot be allocated (the entries before it stay).
Rc list_add_names(ListRef list, char *const *names, int32_t count);
// Lists an index whose lines are "domain id  uuid  registry_id", or
// "- -  uuid  registry_id" for a disabled entry (the user and group lists),
// by mode (0 all, 1 enabled, 2 disabled, 3+ by registry id only) and the three
// wildcard filters. The record is reset first (old items are not released).
// 9 stops at a line without its separators; 3 stops when memory runs out.
struct IndexFilters {
    uint32_t mode;
    const char *id;
    const char *domain;
    const char *registry_id;
};
struct IndexTexts {  // printf formats, one %s (names: two)
    const char *no_uuid;
    const char *no_registry_id;
    const char *no_id;
    const char *names;
    const char *registry_id;
};
Rc list_index(std::string_view dir, std::string_view index_name, ListRef list, const IndexFilters &filters,
              const IndexTexts &texts);
// One line of the user or group list, split at its first two double blanks.
struct IndexLine {
    std::string_view name;         // before the first double blank: "domain id" or "- -"
    std::string_view uuid;         // between the two
    std::string_view registry_id;  // after the second, without the newline
    std::string_view whole;        // the line without its newline
};
enum class IndexSplit { Ok, NoUuid, NoRegistryId };
// s.find(kIndexSep, from), for the long scans of the indexes.
std::size_t find_index_sep(std::string_view s, std::size_t from = 0);
// Splits a piece at its first double blank and the next one after it; out is
// filled only when both are there.
IndexSplit split_index_line(std::string_view piece, IndexLine &out);
inline constexpr std::string_view kIndexSep = "  ";
inline constexpr std::string_view kIndexDisabled = "- -";
// Identities are unique: 0 when no line of the user or group list but the
// entry's own holds registry_id (compared ignoring case, as the lookups do) or
// uuid (exactly; an empty one of either is not compared); else `taken`. The entry's own
// lines are those under its name key, and, when own_disabled is given, a
// disabled line with exactly that registry id (the one enable brings back).
// A missing list is empty; one that cannot be read gives 6.
Rc ui_check_identity(std::string_view dir, std::string_view index_name, std::string_view key, std::string_view uuid,
                     std::string_view registry_id, const char *own_disabled, Rc taken);
// The writers of the user and group lists, one line "name  uuid  registry_id"
// per entry ("- -" names a disabled one). 6 when the list cannot be rewritten.
std::string index_line(std::string_view name, std::string_view uuid, std::string_view registry_id);
// Puts key's enabled line before the first enabled line whose name part the
// key does not exceed over that part's length; drops this entry's older lines
// (same registry id or UUID; an empty one identifies nothing) and lines
// without both double blanks. With taken given, a line of another entry that
// holds either identity (as ui_check_identity) leaves the list as it is and
// sets *taken.
Rc index_add(std::string_view dir, std::string_view index_name, std::string_view key, std::string_view uuid,
             std::string_view registry_id, bool *taken = nullptr, const char *own_disabled = nullptr);
// Puts replacement (empty: nothing) in place of each line whose name part is
// key; drops a line without a double blank and writes every other line or
// piece back as it was.
Rc index_replace_named(std::string_view dir, std::string_view index_name, std::string_view key,
                       std::string_view replacement);
// A UUID text the index lines can hold: no double blank inside it and no
// blank at its end, which would merge with the separator after it.
inline bool storable_uuid(std::string_view uuid) {
    return uuid.find(kIndexSep) == std::string_view::npos && !uuid.ends_with(' ');
}
// Fills domain and id from a name entry "domain id" (split at its first
// blank), releasing the old strings: 9 (traced as invalid listdata) without a
// blank, 3 when a copy fails.
Rc ui_split_name_entry(const char *data, char *&domain, char *&id);

// ---------------------------------------------------------------------------
// Host strings and records.
// Replaces a host string field with a copy of v (the old one is released
// first). 3 when the copy cannot be allocated; the field is then null.
Rc set_str(char *&field, std::string_view v);
// A librspiutil copy of v, or null.
char *dup_str(std::string_view v);
// Runs fn at scope exit: hands borrowed pointers back on every path.
template <class F>
class ScopeExit {
public:
    explicit ScopeExit(F f) : f_(std::move(f)) {}
    ~ScopeExit() { f_(); }
    ScopeExit(const ScopeExit &) = delete;
    ScopeExit &operator=(const ScopeExit &) = delete;

private:
    F f_;
};

// ---------------------------------------------------------------------------
// Blobs, UUIDs and login types.

// Reads the record file at path and lets parse(bytes) fill the host record;
// parse returns the record's stored blob length. When that is positive and
// the blob is wanted, the registry's lock is taken shared for the rest of the
// call and the record read again (parsed again if it changed), so that the
// blob read next belongs to the same version: a reader never pairs one
// version's record with another's blob, nor fails on a writer half-way.
template <class Parse>
Rc read_record_file(const std::string &path, Rc missing, bool with_blob, Parse &&parse, long &blob_length) {
    io::Bytes data;
    if (const Rc got = io::present(io::read_file(path, data), missing); !ok(got)) return got;
    blob_length = parse(data.view());
    if (!with_blob || blob_length <= 0 || !io::lock_shared()) return Rc::Success;
    io::Bytes again;
    if (const Rc got = io::present(io::read_file(path, again), missing); !ok(got)) return got;
    if (again.view() != data.view()) blob_length = parse(again.view());
    return Rc::Success;
}
// Reads blob->length bytes of path into blob->data: 0, or 6 when short/missing.
Rc ui_read_blob(const std::string &path, rspi_blob *blob);
// Writes the blob's bytes; length 0 leaves no file. 0 or 6.
Rc ui_write_blob(const std::string &path, const rspi_blob *blob);
// Every family's blob after its record file was parsed with result `parsed`
// into a stored length: releases the record's blob, then a length below 1 is
// no blob (parsed stays); after a failed copy (3) nothing is loaded; a length
// beyond 32 bits is 9; a blob file shorter than length is 6 before anything is
// allocated; else the read decides (0, or 6 when short; 3 without memory).
Rc ui_load_blob(const std::string &record_path, long length, Rc parsed, rspi_blob *&blob);
// Replaces uuid_string with the reader's next line and parses it into uuid.
void ui_read_uuid(RecordReader &reader, unsigned char (&uuid)[16], char *&uuid_string);
// Fills uuid and replaces uuid_string with a new UUID; failures only trace.
void ui_uuid_create(unsigned char (&uuid)[16], char *&uuid_string);
// Parses text into uuid; a failure only traces.
void ui_uuid_value(const char *text, unsigned char (&uuid)[16]);
// Joins the types with sep into at most size-1 bytes (a skipped type is left out).
std::string ui_logintypes_string(const rspi_logintypes *types, std::string_view sep, std::size_t size);
// Splits text at sep into a new list; null for an empty text or no memory.
rspi_logintypes *ui_logintypes_data(std::string_view text, std::string_view sep);

// True when s is non-null, non-empty and holds no blank.
inline bool usable_name(const char *s) {
    if (!s || !*s) return false;
    for (const char *p = s; *p; ++p)
        if (*p == ' ') return false;
    return true;
}

// ---------------------------------------------------------------------------
// Storage functions of each family. A family adds its own declarations only
// inside its section.

// --- users (tolvinternal/tolvinternal_user.cpp) ---
// 0 when user_id and domain are usable names and the user file opens; else 30.
// Lower-cases both names once they pass.
Rc ui_validate_user(std::string_view dir, rspi_user *user);
// 0 when the record (names already lower-cased) can be stored as it is: a
// non-empty registry id and UUID string, names that fit every user file and
// index line, and texts and a password without a line break (or NUL). Else 30.
Rc ui_check_user(const rspi_user *user, const char *uuid);
// The names make a user file name, with every companion's suffix, that fits.
bool user_names_fit(std::string_view domain, std::string_view user_id);
// Writes the user list line (refusing another user's identity), then the user
// file (and blob) and the certificate-DN list. 30 before anything is written
// when ui_check_user refuses the record; with create, a missing UUID is made
// first (6, nothing written, when it cannot be).
// 40, nothing written, when another user's list line holds its registry id
// or UUID (own_disabled: see ui_check_identity). A modify names the stored
// certificate DN: the certificate-DN list is rewritten once, when the DN changes.
Rc ui_replace_user(std::string_view dir, rspi_user *user, bool create, const char *old_cert_dn = nullptr,
                   const char *own_disabled = nullptr);
// ui_check_identity over the user list for this record (names lower-cased).
Rc ui_check_user_identity(std::string_view dir, const rspi_user *user, const char *uuid, const char *own_disabled);
// Reads the user file into the record (not user_id, domain, groups): 30 when it
// does not open, 9 for a short file (fields present are filled), 6 for a blob.
// Without with_password the stored password is skipped and password untouched.
Rc ui_get_user(std::string_view dir, rspi_user *user, bool with_password = true);
// ui_get_user of the user file at path (a disabled user's file, for one);
// without with_blob the blob is left alone.
Rc ui_read_user(const std::string &path, rspi_user *user, bool with_password = true, bool with_blob = true);
// Whether enable may bring back the user stored at path with the caller's
// given fields: 0; 30 when modify would refuse the merged record; 40 when
// another user's list line holds its identity; or the read's failure. A
// missing uuid_string stands for the new UUID enable will make.
Rc ui_check_user_enable(std::string_view dir, const std::string &path, rspi_user *user);
// The user-list writers: add the user's line in order (dropping its older lines
// by UUID or registry id), turn it into a disabled entry, or drop it.
Rc ui_add_to_userlist(std::string_view dir, rspi_user *user);
Rc ui_disable_in_userlist(std::string_view dir, rspi_user *user);
Rc ui_remove_from_userlist(std::string_view dir, rspi_user *user);
// --- end users ---

// --- groups (tolvinternal/tolvinternal_group.cpp) ---
// Length of the UUID text the UUID service makes (a UUID still to be made).
inline constexpr std::size_t kUuidTextLen = 36;
// True when the lower-cased names fit the group file (with "_blob_T"), the
// members file (with "_T") and a membership line, and hold no line break.
bool group_names_fit(std::string_view domain, std::string_view group_id);
// 0 when the record can be stored as it is: names that fit (group_names_fit),
// a group-list line within its piece, a registry id that can name the disabled
// group file, texts without a line break and a UUID text without a double
// blank. uuid_len is the length of the UUID text the line will hold. Else 31.
Rc ui_check_group(const rspi_group *group, std::size_t uuid_len);
// Writes the group file (and blob), then its line in the group list. 31 before
// anything is written for null names or a record ui_check_group refuses; with
// create_uuid a missing UUID is made first (6, nothing written, when it cannot
// be). state 2 becomes 1 in the record.
// 41, nothing written, when another group's list line holds its registry id
// or UUID (own_disabled: see ui_check_identity).
Rc ui_replace_group(std::string_view dir, rspi_group *group, bool create_uuid, const char *own_disabled = nullptr);
// ui_check_identity over the group list for this record (names lower-cased).
Rc ui_check_group_identity(std::string_view dir, const rspi_group *g, const char *uuid, const char *own_disabled);
// The group-list writers: put the enabled line in order (dropping the group's
// older lines by registry id or UUID), turn it into a disabled line, or drop it.
Rc ui_add_to_grouplist(std::string_view dir, rspi_group *group);
Rc ui_disable_in_grouplist(std::string_view dir, rspi_group *group);
Rc ui_remove_from_grouplist(std::string_view dir, rspi_group *group);
// The membership line "domain id" of a user or a group.
std::string member_entry(std::string_view domain, std::string_view id);
// --- end groups ---

// --- policies (tolvinternal/tolvinternal_policy.cpp) ---
// Writes the policy file (and blob) and adds "domain policy_id" to the policy
// list. 32 before anything is written for null or unfitting names; state 2
// becomes 1 in the record.
Rc ui_replace_policy(std::string_view dir, rspi_policy *policy, bool create_uuid);
Rc ui_add_to_policylist(std::string_view dir, rspi_policy *policy);
Rc ui_remove_from_policylist(std::string_view dir, rspi_policy *policy);
// True when the policy file (with "_blob_T") and the list line "domain policy_id"
// of these names fit their limits and neither name holds a line break.
bool policy_names_fit(std::string_view domain, std::string_view policy_id);
// number_2 ... number_16 (file lines 8 to 22), then number_17 (line 27): the
// numbers whose "not set" is -1.
inline constexpr int32_t rspi_policy::*kPolicyNumbers[] = {
    &rspi_policy::number_2,  &rspi_policy::number_3,  &rspi_policy::number_4,  &rspi_policy::number_5,
    &rspi_policy::number_6,  &rspi_policy::number_7,  &rspi_policy::number_8,  &rspi_policy::number_9,
    &rspi_policy::number_10, &rspi_policy::number_11, &rspi_policy::number_12, &rspi_policy::number_13,
    &rspi_policy::number_14, &rspi_policy::number_15, &rspi_policy::number_16, &rspi_policy::number_17,
};
// A key is one line of its record file and its lists: no line break in it.
inline bool one_line(std::string_view key) { return key.find('\n') == std::string_view::npos; }
// A text field that reads back as it was written: one line that the record
// reader takes in one piece. Null (an empty line) is fine.
inline bool storable_text(const char *s) {
    if (!s) return true;
    const std::string_view v(s);
    return v.size() <= kRecordLineSize - 2 && one_line(v);
}
template <class... T>
bool storable_texts(const T *...s) {
    return (storable_text(s) && ...);
}
// --- end policies ---

// --- resources (tolvinternal/tolvinternal_resource.cpp) ---
// 0 when name is usable and its resource file opens; else 33. Lower-cases name.
Rc ui_validate_resource(std::string_view dir, char *name);
// Writes the resource file (and blob) and adds the name to the resource list.
// 33 before anything is written for a null or unfitting name.
Rc ui_replace_resource(std::string_view dir, rspi_resource *resource, bool create_uuid);
// True when the resource file (with "_blob_T") and the list line of this name fit.
bool resource_name_fits(std::string_view name);
Rc ui_add_to_resourcelist(std::string_view dir, rspi_resource *resource);
Rc ui_remove_from_resourcelist(std::string_view dir, rspi_resource *resource);
// --- end resources ---

// --- resource groups (tolvinternal/tolvinternal_resgroup.cpp) ---
// Writes the group file (and blob); given members are all validated before
// the members file is rebuilt in one rewrite; then adds the name to the list.
// 34 before anything is written for a null or unfitting name.
Rc ui_replace_resgroup(std::string_view dir, rspi_resgroup *resgroup, bool create_uuid);
// True when the group file (with "_blob_T"), the members file (with "_T") and
// the list line of this name fit.
bool resgroup_name_fits(std::string_view name);
Rc ui_add_to_resgrouplist(std::string_view dir, rspi_resgroup *resgroup);
Rc ui_remove_from_resgrouplist(std::string_view dir, rspi_resgroup *resgroup);
// --- end resource groups ---

// --- credentials (tolvinternal/tolvinternal_rescreds.cpp) ---
// Writes the credential file (and blob) and adds "domain user name" to the
// user's credential list. 35 before anything is written for a null name, names
// too long for their files or list line, or a credential text holding a line
// break or NUL; state 2 becomes 1 in the record.
Rc ui_replace_rescreds(std::string_view dir, rspi_user *user, rspi_rescreds *creds, bool create_uuid);
// True when the credential file (with "_blob"), the credential list (with
// "_T") and the list line of these lower-cased names fit their limits.
bool rescreds_names_fit(std::string_view domain, std::string_view user_id, std::string_view name);
// The credential-list line "domain user name".
std::string rescreds_list_entry(std::string_view domain, std::string_view user_id, std::string_view name);
// Splits a credential-list line into domain, user id and name (9 without two
// blanks, 3 without memory); creds->name takes the name, and with fetch the
// whole credential is read through get_rescreds.
Rc ui_get_rescredsentry(std::string_view dir, rspi_rescreds *creds, const char *line, int32_t fetch);
// The body of rspi_get_rescreds, its diagnostics included.
Rc get_rescreds(std::string_view dir, rspi_user *user, rspi_rescreds *creds);
// --- end credentials ---

}  // namespace tolv
