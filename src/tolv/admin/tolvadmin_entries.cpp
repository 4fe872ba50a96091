// tolvadmin_entries.cpp - the entries of the user and group lists, disabled ones included, read with the
// plug-in's own list, index and record readers.
#include "tolvadmin_entries.h"
#include "tolvadmin.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tolvinternal.h"

namespace tolv::admin {

namespace {

// The record of a disabled entry: its file is the record file renamed, so it is read by the same field table,
// but its blob stays under the enabled name and the key lines give the names back.
template <class R>
Rc read_disabled(std::string_view dir, const std::string &path, Rc missing, R *r, std::span<const Field<R>> fields,
                 char *R::*id, std::string (*enabled_file)(std::string_view, std::string_view, std::string_view)) {
    if (!r) return missing;
    io::Bytes data;
    if (const Rc got = io::present(io::read_file(path, data), missing); !ok(got)) return got;
    LineReader keys(data.view(), kRecordLineSize);
    std::string_view id_line, domain_line;
    keys.next_line(id_line);
    keys.next_line(domain_line);
    if (!ok(set_str(r->*id, id_line)) || !ok(set_str(r->domain, domain_line))) return Rc::NoMemory;
    const detail::Parsed p = detail::parse_fields(data.view(), r, fields, {.keys = KeyRead::NonEmpty});
    Rc rc = ui_load_blob(enabled_file(dir, domain_line, id_line), p.blob_length, p.rc, r->blob);
    if (p.short_tail && rc != Rc::NoMemory) rc = Rc::Malformed;
    return rc;
}

}  // namespace

uint32_t index_entries(char **handle, bool groups, std::vector<IndexEntry> &out) {
    out.clear();
    return guarded_op(handle, [&](std::string_view dir) {
        io::Bytes data;
        const io::Read r = io::read_file(make_path(dir, groups ? kGroupList : kUserList), data, true);
        if (r != io::Read::Ok) return r == io::Read::Missing ? Rc::Success : Rc::FileError;
        LineReader lines(data, kListLineSize);
        std::string_view piece;
        while (lines.next_piece(piece)) {
            IndexLine line;
            if (split_index_line(piece, line) != IndexSplit::Ok) return Rc::Malformed;
            const std::size_t blank = line.name.find(' ');
            if (blank == std::string_view::npos) return Rc::Malformed;
            IndexEntry e;
            const std::string_view domain = line.name.substr(0, blank), id = line.name.substr(blank + 1);
            // As the listings tell them apart.
            e.enabled = domain != "-" && id != "-";
            if (e.enabled) {
                e.domain = domain;
                e.id = id;
            }
            e.uuid = line.uuid;
            e.registry_id = line.registry_id;
            out.push_back(std::move(e));
        }
        return Rc::Success;
    });
}

uint32_t read_disabled_user(char **handle, const char *registry_id, rspi_user *user) {
    return guarded_op(handle, [&](std::string_view dir) {
        if (!registry_id) return Rc::UserNotDisabled;
        return read_disabled<rspi_user>(dir, disabled_user_file(dir, registry_id), Rc::UserNotDisabled, user,
                                        format::kUserFields, &rspi_user::user_id, user_file);
    });
}

uint32_t read_disabled_group(char **handle, const char *registry_id, rspi_group *group,
                             std::vector<std::pair<std::string, std::string>> &members) {
    members.clear();
    return guarded_op(handle, [&](std::string_view dir) {
        if (!registry_id) return Rc::GroupNotDisabled;
        const Rc rc = read_disabled<rspi_group>(dir, disabled_group_file(dir, registry_id), Rc::GroupNotDisabled,
                                                group, format::kGroupFields, &rspi_group::group_id, group_file);
        if (!group || !group->domain || !group->group_id) return rc;
        io::Bytes data;
        const io::Read r =
            io::read_file(make_path(dir, group_members_list(group->domain, group->group_id)), data, true);
        if (r == io::Read::Error) return ok(rc) ? Rc::FileError : rc;
        LineReader lines(data, kListLineSize);
        std::string_view line;
        while (r == io::Read::Ok && lines.next_line(line)) {
            const std::size_t blank = line.find(' ');
            if (blank != std::string_view::npos) members.emplace_back(line.substr(0, blank), line.substr(blank + 1));
        }
        return rc;
    });
}

uint32_t read_user_with_password(char **handle, rspi_user *user) {
    return guarded_op(handle, [&](std::string_view dir) { return ui_get_user(dir, user, true); });
}

uint32_t read_registry_file(char **handle, const std::string &name, std::string &out) {
    out.clear();
    return guarded_op(handle, [&](std::string_view dir) {
        io::Bytes data;
        const io::Read r = io::read_file(make_path(dir, name), data, true);
        if (r != io::Read::Ok) return r == io::Read::Missing ? Rc::NoMoreEntries : Rc::FileError;
        out.assign(data.view());
        return Rc::Success;
    });
}

WriterHold::WriterHold(char **handle) {
    const char *registry = registry_dir(handle);
    if (!registry) {
        status_ = RSPI_RC_CONFIG_ERROR;
        return;
    }
    const std::string_view whole(registry);
    const std::size_t slash = whole.rfind('/');
    const std::string folder(slash == std::string_view::npos ? "." : whole.substr(0, slash + 1));
    const std::string_view prefix = slash == std::string_view::npos ? whole : whole.substr(slash + 1);
    const std::string journal = std::string(prefix).append(format::kJournalDir);
    dir_ = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    // A committed journal found under the lock is a dead writer's: settled without the lock, then looked for again.
    for (int attempt = 0; dir_ >= 0 && attempt < 8; ++attempt) {
        if (const uint32_t rc = recover(handle); rc != RSPI_RC_SUCCESS) {
            status_ = rc;
            return;
        }
        auto lock = std::make_unique<format::RegistryLock>();
        if (!lock->lock(dir_, prefix, false)) break;
        struct stat st {};
        if (::fstatat(dir_, journal.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode)) continue;
        lock_ = std::move(lock);
        return;
    }
    status_ = RSPI_RC_FILE_ERROR;
}

WriterHold::~WriterHold() {
    lock_.reset();
    if (dir_ >= 0) ::close(dir_);
}

}  // namespace tolv::admin
