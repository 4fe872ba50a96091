// tolvadmin_check.cpp - the check as calls of the plug-in: a reading call for the plain check, and for a repair a
// writing call whose staged mends commit together; the registry's files as the check reads and mends them.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

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

std::vector<std::string_view> text_lines(std::string_view data) {
    std::vector<std::string_view> out;
    while (!data.empty()) {
        const std::size_t nl = data.find('\n');
        out.push_back(data.substr(0, nl));
        data.remove_prefix(nl == std::string_view::npos ? data.size() : nl + 1);
    }
    return out;
}

std::string line_no(std::size_t i) { return "line " + std::to_string(i + 1) + " "; }

void Registry::scan() {
    std::vector<std::string> names;
    if (!io::list_files(dir_, names)) throw IoError(sys_error("cannot read the registry directory", std::string(dir_)));
    names_.reserve(names.size());
    for (std::string &n : names) names_.insert(std::move(n));
}

std::vector<std::string> Registry::names_with(std::string_view suffix) const {
    std::vector<std::string> out;
    for (const auto &n : names_)
        if (n.ends_with(suffix)) out.push_back(n);
    std::sort(out.begin(), out.end());
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

uint32_t check(char **handle, bool repair, std::vector<Finding> &out, std::string &error) {
    out.clear();
    error.clear();
    checking::Findings findings(repair, out);
    bool pending = false;
    // A committed journal is applied before anything is read (as every writing call does); what is left of it
    // is reported, and then nothing else: the files stand between two versions.
    if (repair) (void)recover(handle);
    const auto body = [&](std::string_view dir) {
        try {
            checking::Registry reg(dir);
            reg.scan();
            checking::check_registry(reg, findings);
            return Rc::Success;
        } catch (const checking::IoError &e) {
            error = e.what();
            return Rc::FileError;
        }
    };
    const uint32_t rc = guarded_op(handle, [&](std::string_view dir) {
        // No writer is half-way while the lock is held shared; without the lock file no writer ever ran.
        if (!io::lock_shared() && errno != ENOENT) {
            error = "cannot lock " + make_path(dir, format::kLockFile) + ": " + std::strerror(errno);
            return Rc::FileError;
        }
        pending = checking::check_journal(dir, findings);
        return pending || repair ? Rc::Success : body(dir);
    });
    if (rc != RSPI_RC_SUCCESS || pending || !repair) return rc;
    const uint32_t mended = guarded_op(handle, body, true);
    if (mended != RSPI_RC_SUCCESS) {
        findings.undone();
        if (error.empty()) error = "the repairs could not be made (return code " + std::to_string(mended) + "); nothing was changed";
    }
    return mended;
}

}  // namespace tolv::admin
