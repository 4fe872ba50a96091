// cmd_export_entries.cpp - the registry read for a document one entry at a
// time, through the plug-in's operations and the tool face (every user and
// group, disabled ones too), and the output it goes to as it is made.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>

#include "cmd_export.h"
#include "family_cmds.h"
#include "tolvadmin.h"

namespace tolvadm::xport {

namespace {

namespace admin = tolv::admin;

// Entries go out sorted by their key bytes, so that a document does not depend
// on where an entry happens to stand in its list.
std::string_view view_of(const char *s) { return s ? s : ""; }
std::string sort_key(std::initializer_list<std::string_view> parts) {
    std::string k;
    for (const auto p : parts) k.append(p).push_back('\0');
    return k;
}

// Calls a plug-in operation; a failure is reported and ends the export.
void must(Host &host, const char *op, uint32_t rc) {
    if (!host.report(op, rc)) throw Failed();
}

// A walk with next until 5: each entry goes to visit.
template <class R, class List, class Next, class Visit>
void walk(Host &host, const char *op, Next next, List *list, int32_t fetch, Visit visit) {
    for (;;) {
        Owned<R> r = own(Records<R>::alloc());
        const uint32_t rc = next(host.h, list, r.get(), fetch);
        if (rc == RSPI_RC_NO_MORE_ENTRIES) return;
        must(host, op, rc);
        visit(r.get());
    }
}

// The order of a family's entries: (sort key, position in the list), sorted.
using Order = std::vector<std::pair<std::string, std::size_t>>;
void sort(Order &order) {
    std::stable_sort(order.begin(), order.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
}

Json members_json(std::vector<std::pair<std::string, std::string>> members) {
    std::sort(members.begin(), members.end());
    Json out = Json::array();
    for (auto &[d, u] : members) out.push_back(Json{{"domain", text_json(d)}, {"user_id", text_json(u)}});
    return out;
}

Json user_json(const rspi_user *u, bool enabled) {
    Json j;
    put_fields(j, user_family(), u);
    j["enabled"] = enabled;
    j["login_types"] = u->login_types ? Json::array() : Json(nullptr);
    if (u->login_types)
        for (int32_t i = 0; i < u->login_types->count; ++i)
            j["login_types"].push_back(text_json(u->login_types->types[i]));
    j["blob"] = blob_json(u->blob);
    return j;
}

Json group_json(const rspi_group *g, bool enabled, Json members) {
    Json j;
    put_fields(j, group_family(), g);
    j["enabled"] = enabled;
    j["blob"] = blob_json(g->blob);
    j["members"] = std::move(members);
    return j;
}

Json password_json(const rspi_authndata *pw) {
    return text_json(pw && pw->data ? std::string_view(pw->data, pw->length) : std::string_view());
}

// The user or group list's entries in document order; a disabled entry's names come from its record.
template <class R>
Order index_order(Host &host, bool groups, std::vector<admin::IndexEntry> &entries) {
    must(host, groups ? "the group list" : "the user list", admin::index_entries(host.h, groups, entries));
    Order order;
    order.reserve(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const auto &e = entries[i];
        if (e.enabled) {
            order.emplace_back(sort_key({e.domain, e.id, e.registry_id}), i);
            continue;
        }
        auto r = own(Records<R>::alloc());
        std::vector<std::pair<std::string, std::string>> members;
        if constexpr (std::is_same_v<R, rspi_user>)
            must(host, "read the disabled user", admin::read_disabled_user(host.h, e.registry_id.c_str(), r.get()));
        else
            must(host, "read the disabled group",
                 admin::read_disabled_group(host.h, e.registry_id.c_str(), r.get(), members));
        const char *id = r.get()->*Records<R>::table[0].text;
        order.emplace_back(sort_key({view_of(r->domain), view_of(id), view_of(r->registry_id)}), i);
    }
    sort(order);
    return order;
}

// A family named by its keys alone (stem "policy": rspi_get_policylist, ...):
// its names listed and sorted, then each entry read; more adds what is not a field.
template <class R>
void keyed(Host &host, const std::string &stem, const Family<R> &f, const Entries::Each &each,
           void (*more)(Json &, const R *) = nullptr) {
    using L = typename Records<R>::List;
    const std::string get_op = "rspi_get_" + stem, get_list = get_op + "list", next_op = "rspi_next_" + stem;
    auto list = own(Records<R>::alloc_list());
    must(host, get_list.c_str(), host.sym<uint32_t(char **, L *)>(get_list.c_str())(host.h, list.get()));
    std::vector<Owned<R>> names;
    Order order;
    walk<R>(host, next_op.c_str(), host.sym<uint32_t(char **, L *, R *, int32_t)>(next_op.c_str()), list.get(), 0,
            [&](R *r) {
                std::string key;
                for (const auto &k : f.keys) key.append(view_of(r->*k.member)).push_back('\0');
                order.emplace_back(std::move(key), names.size());
                auto copy = own(Records<R>::alloc());
                std::swap(*copy, *r);
                names.push_back(std::move(copy));
            });
    sort(order);
    auto get = host.sym<uint32_t(char **, R *)>(get_op.c_str());
    for (const auto &[k, i] : order) {
        must(host, get_op.c_str(), get(host.h, names[i].get()));
        Json j;
        put_fields(j, f, names[i].get());
        j["blob"] = blob_json(names[i]->blob);
        if (more) more(j, names[i].get());
        each(std::move(j));
        names[i].reset();
    }
}

}  // namespace

Json Entries::credentials(const rspi_user *u) {
    auto keys = own(rspi_alloc_user());
    set_str(keys->domain, u->domain);
    set_str(keys->user_id, u->user_id);
    auto list = own(rspi_alloc_rescredslist());
    must(host_, "rspi_get_rescredslist",
         host_.sym<decltype(rspi_get_rescredslist)>("rspi_get_rescredslist")(host_.h, keys.get(), list.get()));
    std::vector<std::pair<std::string, Json>> out;
    walk<rspi_rescreds>(host_, "rspi_next_rescreds", host_.sym<decltype(rspi_next_rescreds)>("rspi_next_rescreds"),
                        list.get(), 1, [&](const rspi_rescreds *c) {
                            Json j;
                            put_fields(j, rescreds_family(), c);
                            j["blob"] = blob_json(c->blob);
                            if (secrets_) j["text"] = password_json(c->password);
                            out.emplace_back(sort_key({view_of(c->name)}), std::move(j));
                        });
    std::stable_sort(out.begin(), out.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
    Json all = Json::array();
    for (auto &[k, j] : out) all.push_back(std::move(j));
    return all;
}

void Entries::users(const Each &each) {
    std::vector<admin::IndexEntry> entries;
    const Order order = index_order<rspi_user>(host_, false, entries);
    auto get = host_.sym<decltype(rspi_get_user)>("rspi_get_user");
    for (const auto &[k, i] : order) {
        const auto &e = entries[i];
        auto u = own(rspi_alloc_user());
        Json j;
        if (e.enabled) {
            set_str(u->domain, e.domain);
            set_str(u->user_id, e.id);
            // The stored password comes with the record only on request; a get never returns it.
            if (secrets_)
                must(host_, "rspi_get_user", admin::read_user_with_password(host_.h, u.get()));
            else
                must(host_, "rspi_get_user", get(host_.h, u.get()));
            j = user_json(u.get(), true);
            if (secrets_) j["password"] = password_json(u->password);
            if (credentials_) j["credentials"] = credentials(u.get());
        } else {
            must(host_, "read the disabled user", admin::read_disabled_user(host_.h, e.registry_id.c_str(), u.get()));
            j = user_json(u.get(), false);
            if (secrets_) j["password"] = password_json(u->password);
            j["credentials"] = Json::array();  // disabling deleted them
        }
        each(std::move(j));
    }
}

void Entries::groups(const Each &each) {
    std::vector<admin::IndexEntry> entries;
    const Order order = index_order<rspi_group>(host_, true, entries);
    auto get = host_.sym<decltype(rspi_get_group)>("rspi_get_group");
    auto next_user = host_.sym<decltype(rspi_next_user)>("rspi_next_user");
    auto group_users = host_.sym<decltype(rspi_group_userlist)>("rspi_group_userlist");
    for (const auto &[k, i] : order) {
        const auto &e = entries[i];
        auto g = own(rspi_alloc_group());
        std::vector<std::pair<std::string, std::string>> members;
        if (e.enabled) {
            set_str(g->domain, e.domain);
            set_str(g->group_id, e.id);
            must(host_, "rspi_get_group", get(host_.h, g.get()));
            auto users = own(rspi_alloc_userlist());
            must(host_, "rspi_group_userlist", group_users(host_.h, g.get(), users.get()));
            walk<rspi_user>(host_, "rspi_next_user", next_user, users.get(), 0, [&](const rspi_user *u) {
                members.emplace_back(u->domain ? u->domain : "", u->user_id ? u->user_id : "");
            });
        } else {
            must(host_, "read the disabled group",
                 admin::read_disabled_group(host_.h, e.registry_id.c_str(), g.get(), members));
        }
        each(group_json(g.get(), e.enabled, members_json(std::move(members))));
    }
}

void Entries::policies(const Each &each) { keyed(host_, "policy", policy_family(), each); }
void Entries::resources(const Each &each) { keyed(host_, "resource", resource_family(), each); }
void Entries::resgroups(const Each &each) {
    keyed<rspi_resgroup>(host_, "resgroup", resgroup_family(), each, [](Json &j, const rspi_resgroup *g) {
        std::vector<std::string> members;
        if (g->members)
            for (int32_t i = 0; i < g->members->count; ++i)
                if (g->members->names[i]) members.emplace_back(g->members->names[i]);
        std::sort(members.begin(), members.end());
        j["members"] = Json::array();
        for (const auto &m : members) j["members"].push_back(text_json(m));
    });
}

// ---------------------------------------------------------------------------
// The output.

namespace {

// Writes all of data to fd; false with errno set.
bool write_all(int fd, std::string_view data) {
    for (std::size_t done = 0; done < data.size();) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

constexpr std::size_t kBuffer = std::size_t{1} << 20;

}  // namespace

// Standard output gets the bytes as they come. A new FILE, or one that is a
// regular file, gets them through a new file of mode 0600 (they may hold
// passwords), created exclusively beside it and renamed over it by commit():
// another account's file there is replaced, never written into, and a failed
// export leaves it as it was. A symbolic link at FILE is refused rather than
// followed or replaced; a device or pipe (/dev/null, a FIFO) is written as it
// is. Durable: the directory is flushed too before the command ends.
Output::Output(const std::string &file, bool durable) : file_(file == "-" ? "" : file), durable_(durable) {
    if (file_.empty()) return;
    struct stat st {};
    if (::lstat(file_.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        if (S_ISLNK(st.st_mode)) throw Error(escaped(file_) + " is a symbolic link; name the file itself");
        if (S_ISDIR(st.st_mode)) throw Error(escaped(file_) + " is a directory");
        fd_ = ::open(file_.c_str(), O_WRONLY | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
        if (fd_ < 0) throw Error("cannot open " + escaped(file_) + ": " + std::strerror(errno));
        struct stat now {};
        if (::fstat(fd_, &now) != 0 || now.st_dev != st.st_dev || now.st_ino != st.st_ino)
            throw Error("cannot write " + escaped(file_));
        return;
    }
    const std::size_t slash = file_.rfind('/');
    temp_ = file_.substr(0, slash == std::string::npos ? 0 : slash + 1) + ".tolvadm-export.XXXXXX";
    fd_ = ::mkostemp(temp_.data(), O_CLOEXEC);  // O_CREAT | O_EXCL, mode 0600
    if (fd_ < 0) {
        const int why = errno;
        temp_.clear();
        throw Error("cannot create a new file beside " + escaped(file_) + ": " + std::strerror(why));
    }
    if (::fchmod(fd_, 0600) != 0) throw Error("cannot write " + escaped(file_) + ": " + std::strerror(errno));
}

Output::~Output() {
    if (fd_ >= 0) ::close(fd_);
    if (!temp_.empty()) ::unlink(temp_.c_str());
}

void Output::write(std::string_view text) {
    buffer_.append(text);
    if (buffer_.size() >= kBuffer) flush();
}

void Output::flush() {
    if (file_.empty()) {
        std::cout << buffer_;
        std::cout.flush();
        if (!std::cout) throw Error("cannot write the standard output");
    } else if (!write_all(fd_, buffer_)) {
        throw Error("cannot write " + escaped(file_) + ": " + std::strerror(errno));
    }
    buffer_.clear();
}

void Output::commit() {
    flush();
    if (temp_.empty()) return;  // standard output, a device or a pipe
    bool ok = ::fsync(fd_) == 0;
    int why = errno;
    if (::close(fd_) != 0 && ok) ok = false, why = errno;
    fd_ = -1;
    if (ok && ::rename(temp_.c_str(), file_.c_str()) != 0) ok = false, why = errno;
    if (!ok) throw Error("cannot write " + escaped(file_) + ": " + std::strerror(why));
    temp_.clear();
    if (!durable_) return;
    const std::string folder = std::filesystem::path(file_).parent_path().string();
    const int dir = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ok = dir >= 0 && ::fsync(dir) == 0;
    why = errno;
    if (dir >= 0) ::close(dir);
    if (!ok) throw Error("cannot flush the directory of " + escaped(file_) + ": " + std::strerror(why));
}

}  // namespace tolvadm::xport
