// tolvadmin_check.cpp - the check as calls of the plug-in: a reading call for the plain check, and for a repair a
// writing call whose staged mends commit together; the registry's files as the check reads and mends them.
#include <sys/stat.h>
#include <sys/vfs.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include "tolvadmin_check_registry.h"
#include "tolvinternal.h"

namespace tolv::admin {

namespace checking {

namespace {

std::string sys_error(const std::string &what, const std::string &path) {
    return what + " " + path + ": " + std::strerror(errno);
}

}  // namespace

std::string sanitised(std::string_view name) {
    std::string s(name);
    for (char &c : s) c = format::name_char(c);
    return s;
}

std::string cat(std::initializer_list<std::string_view> parts) {
    std::size_t n = 0;
    for (auto p : parts) n += p.size();
    std::string s;
    s.reserve(n);
    for (auto p : parts) s.append(p);
    return s;
}

std::string in_quotes(std::string_view s) { return cat({"\"", s, "\""}); }

std::string_view stem(std::string_view s, std::string_view suffix) { return s.substr(0, s.size() - suffix.size()); }

std::vector<std::string_view> record_lines(std::string_view data) {
    std::vector<std::string_view> out;
    LineReader in(data, kRecordLineSize);
    for (std::string_view line; in.next_line(line);) out.push_back(line);
    return out;
}

std::string line_no(std::size_t i) { return "line " + std::to_string(i + 1) + " "; }

void Registry::scan() {
    if (!io::list_files(dir_, sorted_)) throw IoError(sys_error("cannot read the registry directory", std::string(dir_)));
    std::sort(sorted_.begin(), sorted_.end());
    names_.reserve(sorted_.size());
    names_.insert(sorted_.begin(), sorted_.end());
}

// Names the repair adds are lists or their lines' files, never of a suffix asked for here.
std::vector<std::string> Registry::names_with(std::string_view suffix) const {
    std::vector<std::string> out;
    for (const auto &n : sorted_)
        if (n.ends_with(suffix) && has(n)) out.push_back(n);
    return out;
}

bool Registry::read(const std::string &name, std::string &out) const {
    const std::string p = path(name);
    io::Bytes data;
    switch (io::read_file(p, data, true)) {
        case io::Read::Ok: out.assign(data.view()); return true;
        case io::Read::Missing: out.clear(); return false;
        case io::Read::Error: break;
    }
    throw IoError(sys_error("cannot read", p));
}

long long Registry::size(const std::string &name) const {
    struct stat st;
    bool own = false;
    return io::stat_list(path(name), st, own) == io::Read::Ok ? static_cast<long long>(st.st_size) : -1;
}

void Registry::replace(const std::string &name, std::string_view data) {
    if (!io::write_file(path(name), data)) throw IoError(sys_error("cannot write", path(name)));
    names_.insert(name);
}

void Registry::remove(const std::string &name) {
    if (!io::remove_file(path(name)) && errno != ENOENT) throw IoError(sys_error("cannot remove", path(name)));
    names_.erase(name);
}

}  // namespace checking

namespace {

// What a change of the registry moves: every writing call commits by renames in the registry's directory (a
// recovery too), so its change time moves. Taken only once the clock is past it: a change within the same
// clock tick would leave it as it was. None on a network file system, whose times come from elsewhere.
struct Stamp {
    struct statx_timestamp changed, modified;
    bool operator==(const Stamp &o) const {
        return changed.tv_sec == o.changed.tv_sec && changed.tv_nsec == o.changed.tv_nsec &&
               modified.tv_sec == o.modified.tv_sec && modified.tv_nsec == o.modified.tv_nsec;
    }
};

// The directory that holds the registry's files: its directory string up to the last '/'.
std::string folder_of(std::string_view dir) {
    const std::size_t slash = dir.rfind('/');
    return slash == std::string_view::npos ? "." : slash == 0 ? "/" : std::string(dir.substr(0, slash));
}

bool local_file_system(const std::string &folder) {
    struct statfs fs;
    if (::statfs(folder.c_str(), &fs) != 0) return false;
    for (const unsigned long remote : {0x6969ul /* NFS */, 0x65735546ul /* FUSE */, 0xFF534D42ul /* CIFS */,
                                       0xFE534D42ul /* SMB2 */, 0x517Bul /* SMB */, 0x00C36400ul /* Ceph */})
        if (static_cast<unsigned long>(fs.f_type) == remote) return false;
    return true;
}

bool take_stamp(const std::string &folder, Stamp &s) {
    for (int tries = 0; tries < 100; ++tries) {
        struct timespec now;
        struct statx st;
        if (::clock_gettime(CLOCK_REALTIME_COARSE, &now) != 0 ||
            ::statx(AT_FDCWD, folder.c_str(), AT_STATX_FORCE_SYNC, STATX_CTIME | STATX_MTIME, &st) != 0)
            return false;
        s = {st.stx_ctime, st.stx_mtime};
        if (st.stx_ctime.tv_sec < now.tv_sec || (st.stx_ctime.tv_sec == now.tv_sec && st.stx_ctime.tv_nsec < now.tv_nsec))
            return true;
        const struct timespec tick = {0, 5'000'000};
        ::nanosleep(&tick, nullptr);
    }
    return false;
}

}  // namespace

uint32_t check(char **handle, bool repair, std::vector<Finding> &out, std::string &error) {
    std::optional<checking::Findings> findings;
    const auto fresh = [&] {
        out.clear();
        error.clear();
        findings.emplace(repair, out);
    };
    const auto body = [&](std::string_view dir) {
        try {
            checking::Registry reg(dir);
            reg.scan();
            checking::check_registry(reg, *findings);
            return Rc::Success;
        } catch (const checking::IoError &e) {
            error = e.what();
            return Rc::FileError;
        }
    };
    // A plain check first reads without the lock, writers going on, and keeps what it read when no change
    // reached the directory meanwhile; twice. A journal or staging directory found there may be a live
    // writer's: the lock tells.
    for (int attempt = 0; attempt < 2 && !repair; ++attempt) {
        fresh();
        bool unsure = false;
        const uint32_t rc = guarded_op(handle, [&](std::string_view dir) {
            // The check reports a journal; its reads neither settle it nor read through it.
            io::read_as_they_stand();
            const std::string folder = folder_of(dir);
            Stamp before, after;
            if (!local_file_system(folder) || !take_stamp(folder, before) || checking::check_journal(dir, *findings) ||
                !out.empty())
                return unsure = true, Rc::Success;
            const Rc rc = body(dir);
            unsure = !take_stamp(folder, after) || !(after == before);
            return rc;
        });
        if (!unsure || rc == RSPI_RC_NO_MEMORY || rc == RSPI_RC_CONFIG_ERROR) return rc;
    }
    fresh();
    bool pending = false;
    // A committed journal is applied before anything is read (as every writing call does); what is left of it
    // is reported, and then nothing else: the files stand between two versions.
    if (repair) (void)recover(handle);
    const uint32_t rc = guarded_op(handle, [&](std::string_view dir) {
        io::read_as_they_stand();
        // No writer is half-way while the lock is held shared; without the lock file no writer ever ran.
        if (!io::lock_shared() && errno != ENOENT) {
            error = "cannot lock " + make_path(dir, format::kLockFile) + ": " + std::strerror(errno);
            return Rc::FileError;
        }
        pending = checking::check_journal(dir, *findings);
        return pending || repair ? Rc::Success : body(dir);
    });
    if (rc != RSPI_RC_SUCCESS || pending || !repair) return rc;
    const uint32_t mended = guarded_op(handle, body, true);
    if (mended != RSPI_RC_SUCCESS) {
        findings->undone();
        // Failed after its commit point, the journal stays committed, and the next call completes it.
        if (error.empty())
            error = "the repairs could not be made (return code " + std::to_string(mended) +
                    "): the registry is as it was, or as the next call completes a journal left committed";
    }
    return mended;
}

}  // namespace tolv::admin
