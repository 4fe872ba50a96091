// import_write.cpp - the second half of `tolvadm import` and the command
// itself: a checked document is written through the plug-in entry by entry,
// with a progress bar on a terminal; each entry is reported as created or
// failed with the operation and its return code.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <iostream>

#include "../regfiles.h"
#include "import_document.h"

namespace tolvadm::xport {

namespace {

// A progress bar on standard error, only when it is a terminal.
class Progress {
public:
    explicit Progress(std::size_t total) : total_(total), on_(total > 0 && ::isatty(STDERR_FILENO)) {}
    ~Progress() {
        if (on_ && shown_) std::fputc('\n', stderr);
    }
    void step() {
        ++done_;
        if (!on_) return;
        const auto now = std::chrono::steady_clock::now();
        if (done_ != total_ && now - last_ < std::chrono::milliseconds(100)) return;
        last_ = now;
        constexpr int kWidth = 40;
        const int filled = static_cast<int>(kWidth * done_ / total_);
        std::fprintf(stderr, "\rimport [%s%s] %3d%% %zu/%zu", std::string(filled, '#').c_str(),
                     std::string(kWidth - filled, '.').c_str(), static_cast<int>(100 * done_ / total_), done_, total_);
        std::fflush(stderr);
        shown_ = true;
    }

private:
    std::size_t total_, done_ = 0;
    bool on_, shown_ = false;
    std::chrono::steady_clock::time_point last_{};
};

// The outcome of one entry of the document.
struct Outcome {
    Outcome(const char *w, std::string n) : what(w), name(std::move(n)) {}
    const char *what;  // "user"
    std::string name;  // "corp ann"
    std::string op;    // the failed operation, empty when created
    uint32_t rc = 0;
    std::string error;  // a failure of the tool itself
    bool ok() const { return op.empty() && error.empty(); }
};

// A UUID to put back into a record the plug-in gave a fresh one.
struct UuidFix {
    Outcome *entry;
    std::string file;
    std::size_t line;  // 0-based
    std::string made, wanted;
};

template <class R>
void fill(const Family<R> &f, const Scalars &s, R *r) {
    for (std::size_t i = 0; i < f.keys.size(); ++i)
        if (s.keys[i]) set_str(r->*f.keys[i].member, *s.keys[i]);
    for (std::size_t i = 0; i < f.texts.size(); ++i)
        if (s.texts[i]) set_str(r->*f.texts[i].member, *s.texts[i]);
    for (std::size_t i = 0; i < f.u32s.size(); ++i) r->*f.u32s[i].member = s.u32s[i];
    for (std::size_t i = 0; i < f.i32s.size(); ++i) r->*f.i32s[i].member = s.i32s[i];
    if (s.blob && !s.blob->empty())
        r->blob = make_blob(std::vector<unsigned char>(s.blob->begin(), s.blob->end())).release();
}

std::string joined(const Scalars &s) {
    std::string out;
    for (std::size_t i = 0; i < s.keys.size(); ++i) {
        if (i) out += ' ';
        out += key(s, i);
    }
    return out;
}

class Importer {
public:
    Importer(Host &host, const Document &doc) : host_(host), doc_(doc) {}

    std::vector<Outcome> run() {
        std::size_t steps = doc_.resources.size() + doc_.resgroups.size() + doc_.policies.size();
        for (const auto &u : doc_.users) steps += 1 + u.creds.size() + (u.enabled ? 0 : 1);
        for (const auto &g : doc_.groups) steps += 1 + g.members.size() + (g.enabled ? 0 : 1);
        Progress progress(steps);
        progress_ = &progress;

        // Report order: users (each followed by its credentials), groups, policies, resources, resource groups.
        std::vector<Outcome> users, groups, policies, resources, resgroups;
        std::vector<std::vector<Outcome>> creds(doc_.users.size());
        resources.reserve(doc_.resources.size());
        for (const auto &r : doc_.resources) resources.push_back(resource(r));
        for (const auto &g : doc_.resgroups) resgroups.push_back(resgroup(g));
        for (const auto &p : doc_.policies) policies.push_back(policy(p));
        users.reserve(doc_.users.size());
        for (std::size_t i = 0; i < doc_.users.size(); ++i) {
            users.push_back(user(doc_.users[i]));
            creds[i].reserve(doc_.users[i].creds.size());
            for (const auto &c : doc_.users[i].creds) creds[i].push_back(credential(doc_.users[i], users.back(), c));
        }
        groups.reserve(doc_.groups.size());
        for (const auto &g : doc_.groups) groups.push_back(group(g));
        // Members are added while their users and groups are enabled.
        for (std::size_t i = 0; i < doc_.users.size(); ++i)
            if (!doc_.users[i].enabled)
                call(users[i], "rspi_disable_user", [&] {
                    auto u = keys<rspi_user>(user_family(), doc_.users[i].s);
                    return sym<decltype(rspi_disable_user)>("rspi_disable_user")(host_.h, u.get());
                });
        for (std::size_t i = 0; i < doc_.groups.size(); ++i)
            if (!doc_.groups[i].enabled)
                call(groups[i], "rspi_disable_group", [&] {
                    auto g = keys<rspi_group>(group_family(), doc_.groups[i].s);
                    return sym<decltype(rspi_disable_group)>("rspi_disable_group")(host_.h, g.get());
                });
        restore_uuids();

        std::vector<Outcome> all;
        for (std::size_t i = 0; i < users.size(); ++i) {
            all.push_back(std::move(users[i]));
            for (auto &c : creds[i]) all.push_back(std::move(c));
        }
        for (auto *part : {&groups, &policies, &resources, &resgroups})
            for (auto &o : *part) all.push_back(std::move(o));
        return all;
    }

private:
    template <class F>
    F *sym(const char *name) {
        return host_.sym<F>(name);
    }

    // Runs one step of an entry that has not failed yet.
    template <class Op>
    void call(Outcome &o, const char *op, Op body) {
        progress_->step();
        if (!o.ok()) return;
        const uint32_t rc = body();
        if (rc != RSPI_RC_SUCCESS) {
            o.op = op;
            o.rc = rc;
        }
    }

    template <class R>
    static Owned<R> fresh();
    template <class R>
    Owned<R> keys(const Family<R> &f, const Scalars &s) {
        auto r = fresh<R>();
        for (std::size_t i = 0; i < f.keys.size(); ++i) set_str(r.get()->*f.keys[i].member, *s.keys[i]);
        return r;
    }
    template <class R>
    Owned<R> record(const Family<R> &f, const Scalars &s) {
        auto r = fresh<R>();
        fill(f, s, r.get());
        return r;
    }

    // The plug-in gives these families a new UUID on create; a UUID of the
    // document is written into the record afterwards.
    template <class R>
    void keep_uuid(Outcome &o, const Family<R> &f, const Scalars &s, const R *made, std::string file, std::size_t line) {
        const auto &wanted = text_of(f, s, "uuid");
        if (!o.ok() || !wanted || !made->uuid_string || *wanted == made->uuid_string) return;
        fixes_.push_back({&o, std::move(file), line, made->uuid_string, *wanted});
    }

    Outcome resource(const Scalars &s) {
        Outcome o{resource_family().what, joined(s)};
        auto r = record(resource_family(), s);
        call(o, "rspi_create_resource",
             [&] { return sym<decltype(rspi_create_resource)>("rspi_create_resource")(host_.h, r.get()); });
        keep_uuid(o, resource_family(), s, r.get(), resource_file_name(key(s, 0)), 4);
        return o;
    }

    Outcome resgroup(const ResgroupEntry &g) {
        Outcome o{resgroup_family().what, joined(g.s)};
        auto r = record(resgroup_family(), g.s);
        if (!g.members.empty()) {
            r->members = own(rspi_alloc_resgroupmembers(static_cast<int32_t>(g.members.size()))).release();
            for (std::size_t i = 0; i < g.members.size(); ++i) set_str(r->members->names[i], g.members[i]);
        }
        call(o, "rspi_create_resgroup",
             [&] { return sym<decltype(rspi_create_resgroup)>("rspi_create_resgroup")(host_.h, r.get()); });
        keep_uuid(o, resgroup_family(), g.s, r.get(), resgroup_file_name(key(g.s, 0)), 4);
        return o;
    }

    Outcome policy(const Scalars &s) {
        Outcome o{policy_family().what, joined(s)};
        auto p = record(policy_family(), s);
        call(o, "rspi_create_policy",
             [&] { return sym<decltype(rspi_create_policy)>("rspi_create_policy")(host_.h, p.get()); });
        keep_uuid(o, policy_family(), s, p.get(), policy_file_name(key(s, 0), key(s, 1)), 5);
        return o;
    }

    Outcome user(const UserEntry &e) {
        Outcome o{user_family().what, joined(e.s)};
        auto u = record(user_family(), e.s);
        if (!e.login_types.empty()) {
            u->login_types = own(rspi_alloc_logintypes(static_cast<int32_t>(e.login_types.size()))).release();
            for (std::size_t i = 0; i < e.login_types.size(); ++i) set_str(u->login_types->types[i], e.login_types[i]);
        }
        if (e.password) u->password = make_password(*e.password).release();
        call(o, "rspi_create_user", [&] { return sym<decltype(rspi_create_user)>("rspi_create_user")(host_.h, u.get()); });
        return o;
    }

    Outcome credential(const UserEntry &u, const Outcome &user, const CredEntry &c) {
        Outcome o{rescreds_family().what, joined(u.s) + " " + joined(c.s)};
        if (!user.ok()) o.error = "its user was not created";
        auto owner = keys(user_family(), u.s);
        auto r = record(rescreds_family(), c.s);
        if (c.text) r->password = make_password(*c.text).release();
        call(o, "rspi_create_rescreds", [&] {
            return sym<decltype(rspi_create_rescreds)>("rspi_create_rescreds")(host_.h, owner.get(), r.get());
        });
        keep_uuid(o, rescreds_family(), c.s, r.get(), rescreds_file_name(key(u.s, 0), key(u.s, 1), key(c.s, 0)), 4);
        return o;
    }

    Outcome group(const GroupEntry &e) {
        Outcome o{group_family().what, joined(e.s)};
        auto g = record(group_family(), e.s);
        call(o, "rspi_create_group",
             [&] { return sym<decltype(rspi_create_group)>("rspi_create_group")(host_.h, g.get()); });
        auto add = sym<decltype(rspi_add_group_member)>("rspi_add_group_member");
        for (const auto &member : e.members)
            call(o, "rspi_add_group_member", [&] {
                auto u = own(rspi_alloc_user());
                set_str(u->domain, member.first);
                set_str(u->user_id, member.second);
                return add(host_.h, g.get(), u.get());
            });
        return o;
    }

    // Writes the document's UUIDs into the records made above, under the
    // registry's write lock and the way the plug-in writes a record
    // ("<file>_T", then a rename). A record whose UUID line is no longer the
    // one the plug-in made (changed meanwhile) is left alone and reported.
    void restore_uuids() {
        if (fixes_.empty()) return;
        check::Registry reg(*host_.h, host_.durable());
        reg.lock();
        for (auto &fix : fixes_) {
            const std::string name = sanitised(fix.file);
            std::string data;
            try {
                if (!reg.read(name, data)) throw check::IoError(reg.path(name) + " is gone");
                std::size_t start = 0;
                for (std::size_t i = 0; i < fix.line && start != std::string::npos; ++i) {
                    start = data.find('\n', start);
                    if (start != std::string::npos) ++start;
                }
                const std::size_t end = start == std::string::npos ? start : data.find('\n', start);
                if (end == std::string::npos || data.compare(start, end - start, fix.made) != 0)
                    throw check::IoError(reg.path(name) + " changed before its UUID could be set");
                data.replace(start, end - start, fix.wanted);
                reg.replace(name, data);
            } catch (const check::IoError &e) {
                fix.entry->error = std::string("UUID not kept: ") + e.what();
            }
        }
    }

    Host &host_;
    const Document &doc_;
    Progress *progress_ = nullptr;
    std::vector<UuidFix> fixes_;
};

template <>
Owned<rspi_user> Importer::fresh<rspi_user>() {
    auto u = own(rspi_alloc_user());
    u->flag_1 = 2;
    u->account_valid = 2;
    u->number_2 = -1;
    return u;
}
template <>
Owned<rspi_group> Importer::fresh<rspi_group>() {
    auto g = own(rspi_alloc_group());
    g->state = 2;
    return g;
}
template <>
Owned<rspi_policy> Importer::fresh<rspi_policy>() {
    return own(rspi_alloc_policy());
}
template <>
Owned<rspi_resource> Importer::fresh<rspi_resource>() {
    return own(rspi_alloc_resource());
}
template <>
Owned<rspi_resgroup> Importer::fresh<rspi_resgroup>() {
    return own(rspi_alloc_resgroup());
}
template <>
Owned<rspi_rescreds> Importer::fresh<rspi_rescreds>() {
    return own(rspi_alloc_rescreds());
}


void report(Host &host, const std::vector<Outcome> &all) {
    std::size_t failed = 0;
    Json out = Json::array();
    for (const auto &o : all) {
        const RcInfo *info = o.op.empty() ? nullptr : rc_info(o.rc);
        if (host.json) {
            Json j{{"entry", o.what}, {"name", text_json(o.name)}, {"result", o.ok() ? "created" : "failed"}};
            if (!o.op.empty()) {
                j["operation"] = o.op;
                j["rc"] = o.rc;
                j["rc_name"] = info ? info->name : "unknown";
            }
            if (!o.error.empty()) j["error"] = o.error;
            out.push_back(std::move(j));
        } else if (o.ok()) {
            std::cout << "created " << o.what << " " << o.name << "\n";
        } else {
            std::cout << "failed  " << o.what << " " << o.name << ": "
                      << (o.op.empty() ? o.error : o.op + ": rc = " + rc_text(o.rc)) << "\n";
        }
        if (!o.ok()) {
            ++failed;
            host.fail(o.op.empty() ? kExitError : static_cast<int>(o.rc));
        }
    }
    if (host.json)
        host.print(out);
    else
        std::cout << "import: " << all.size() << " entries, " << all.size() - failed << " created, " << failed
                  << " failed\n";
}

}  // namespace

void add_import_command(Command &app, Host &host) {
    struct Args {
        std::string file;
        bool without_secrets = false;
    };
    auto a = std::make_shared<Args>();
    auto *c = app.add_subcommand(
        "import", "Load a JSON export document through the plug-in: the whole document is checked before the "
                  "first write; each entry is then reported as created or failed with its return code "
                  "(as a JSON array with --json before `import`)");
    c->add_option("file", a->file, "The document, as `tolvadm export` writes it")->required();
    c->add_flag("--without-secrets", a->without_secrets,
                "Load a document exported without --with-secrets, whose users then have no password and whose "
                "credentials no text (refused otherwise)");
    c->callback([&host, a] {
        std::vector<std::string> problems;
        const Document doc = read_document(a->file, problems);
        if (problems.empty() && doc.without_secrets && !doc.users.empty() && !a->without_secrets)
            throw Error(a->file + " was exported without --with-secrets: its users would have no password and its "
                                "credentials no text; nothing was written (--without-secrets loads it so)");
        if (!problems.empty()) {
            constexpr std::size_t kShown = 50;
            for (std::size_t i = 0; i < problems.size() && i < kShown; ++i)
                std::cerr << "import: " << a->file << ": " << problems[i] << "\n";
            if (problems.size() > kShown) std::cerr << "import: ... and " << problems.size() - kShown << " more\n";
            throw Error(a->file + " has " + std::to_string(problems.size()) + " problem(s); nothing was written");
        }
        host.open();
        report(host, Importer(host, doc).run());
    });
}

}  // namespace tolvadm::xport
