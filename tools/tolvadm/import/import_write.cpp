// import_write.cpp - the second half of `tolvadm import` and the command
// itself: a checked document becomes records, which the tool face adds in one
// writing call (tolv::admin::bulk_add), every entry in its final state. The
// registry is then the document's, or, when any entry is refused, as it was;
// each refused entry is reported with the operation and return code that
// refuse it.
#include <iostream>

#include "import_document.h"
#include "tolvadmin.h"

namespace tolvadm::xport {

namespace {

using tolv::admin::BulkFamily;

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

// The outcome of one entry of the document.
struct Outcome {
    Outcome(const char *w, std::string n) : what(w), name(std::move(n)) {}
    const char *what;  // "user"
    std::string name;  // "corp ann"
    const char *op = nullptr;  // the operation that refuses it
    uint32_t rc = 0;
    std::string why;
};

// The document's entries as records, owned here while the bulk call uses them.
class Records {
public:
    explicit Records(const Document &doc) {
        for (const auto &r : doc.resources) bulk.resources.push_back(keep(record(resource_family(), r)));
        for (const auto &g : doc.resgroups) {
            auto r = record(resgroup_family(), g.s);
            if (!g.members.empty()) {
                r->members = own(rspi_alloc_resgroupmembers(static_cast<int32_t>(g.members.size()))).release();
                for (std::size_t i = 0; i < g.members.size(); ++i) set_str(r->members->names[i], g.members[i]);
            }
            bulk.resgroups.push_back(keep(std::move(r)));
        }
        for (const auto &p : doc.policies) bulk.policies.push_back(keep(record(policy_family(), p)));
        for (const auto &e : doc.users) {
            auto u = record(user_family(), e.s);
            if (!e.login_types.empty()) {
                u->login_types = own(rspi_alloc_logintypes(static_cast<int32_t>(e.login_types.size()))).release();
                for (std::size_t i = 0; i < e.login_types.size(); ++i) set_str(u->login_types->types[i], e.login_types[i]);
            }
            if (e.password) u->password = make_password(*e.password).release();
            tolv::admin::BulkUser b{keep(std::move(u)), e.enabled, {}};
            for (const auto &c : e.creds) {
                auto r = record(rescreds_family(), c.s);
                if (c.text) r->password = make_password(*c.text).release();
                b.creds.push_back(keep(std::move(r)));
            }
            bulk.users.push_back(std::move(b));
        }
        for (const auto &e : doc.groups) bulk.groups.push_back({keep(record(group_family(), e.s)), e.enabled, e.members});
    }
    tolv::admin::Bulk bulk;

private:
    template <class R>
    static Owned<R> fresh();
    template <class R>
    static Owned<R> record(const Family<R> &f, const Scalars &s) {
        auto r = fresh<R>();
        fill(f, s, r.get());
        return r;
    }
    template <class R>
    R *keep(Owned<R> r) {
        R *p = r.get();
        std::get<std::vector<Owned<R>>>(owned_).push_back(std::move(r));
        return p;
    }
    std::tuple<std::vector<Owned<rspi_user>>, std::vector<Owned<rspi_group>>, std::vector<Owned<rspi_policy>>,
               std::vector<Owned<rspi_resource>>, std::vector<Owned<rspi_resgroup>>, std::vector<Owned<rspi_rescreds>>>
        owned_;
};

template <>
Owned<rspi_user> Records::fresh<rspi_user>() {
    auto u = own(rspi_alloc_user());
    u->flag_1 = 2;
    u->account_valid = 2;
    u->number_2 = -1;
    return u;
}
template <>
Owned<rspi_group> Records::fresh<rspi_group>() {
    auto g = own(rspi_alloc_group());
    g->state = 2;
    return g;
}
template <>
Owned<rspi_policy> Records::fresh<rspi_policy>() {
    return own(rspi_alloc_policy());
}
template <>
Owned<rspi_resource> Records::fresh<rspi_resource>() {
    return own(rspi_alloc_resource());
}
template <>
Owned<rspi_resgroup> Records::fresh<rspi_resgroup>() {
    return own(rspi_alloc_resgroup());
}
template <>
Owned<rspi_rescreds> Records::fresh<rspi_rescreds>() {
    return own(rspi_alloc_rescreds());
}

// Every entry in report order: users (each followed by its credentials), groups, policies, resources,
// resource groups; each problem is put on its entry.
std::vector<Outcome> outcomes(const Document &doc, const std::vector<tolv::admin::BulkProblem> &problems) {
    std::vector<Outcome> all;
    std::vector<std::size_t> user_at, group_at, policy_at, resource_at, resgroup_at;
    for (const auto &u : doc.users) {
        user_at.push_back(all.size());
        all.push_back({user_family().what, joined(u.s)});
        for (const auto &c : u.creds) all.push_back({rescreds_family().what, joined(u.s) + " " + joined(c.s)});
    }
    for (const auto &g : doc.groups) {
        group_at.push_back(all.size());
        all.push_back({group_family().what, joined(g.s)});
    }
    for (const auto &p : doc.policies) {
        policy_at.push_back(all.size());
        all.push_back({policy_family().what, joined(p)});
    }
    for (const auto &r : doc.resources) {
        resource_at.push_back(all.size());
        all.push_back({resource_family().what, joined(r)});
    }
    for (const auto &g : doc.resgroups) {
        resgroup_at.push_back(all.size());
        all.push_back({resgroup_family().what, joined(g.s)});
    }
    for (const auto &p : problems) {
        std::size_t at = 0;
        switch (p.family) {
            case BulkFamily::User: at = user_at[p.index]; break;
            case BulkFamily::Rescreds: at = user_at[p.index] + 1 + p.cred; break;
            case BulkFamily::Group: at = group_at[p.index]; break;
            case BulkFamily::Policy: at = policy_at[p.index]; break;
            case BulkFamily::Resource: at = resource_at[p.index]; break;
            case BulkFamily::Resgroup: at = resgroup_at[p.index]; break;
        }
        Outcome &o = all[at];
        if (o.op) continue;  // the first problem of an entry
        o.op = p.operation;
        o.rc = p.rc;
        o.why = p.why;
    }
    return all;
}

// Created: every entry listed. Refused: the refused entries alone, and nothing was written.
void report(Host &host, const std::vector<Outcome> &all, bool written) {
    std::size_t failed = 0;
    Json out = Json::array();
    for (const auto &o : all) {
        if (!written && !o.op) continue;
        if (host.json) {
            Json j{{"entry", o.what}, {"name", text_json(o.name)}, {"result", o.op ? "failed" : "created"}};
            if (o.op) {
                const RcInfo *info = rc_info(o.rc);
                j["operation"] = o.op;
                j["rc"] = o.rc;
                j["rc_name"] = info ? info->name : "unknown";
                j["error"] = o.why;
            }
            out.push_back(std::move(j));
        } else if (!o.op) {
            std::cout << "created " << o.what << " " << o.name << "\n";
        } else {
            std::cout << "failed  " << o.what << " " << o.name << ": " << o.op << ": rc = " << rc_text(o.rc) << ": "
                      << o.why << "\n";
        }
        if (o.op) {
            ++failed;
            host.fail(static_cast<int>(o.rc));
        }
    }
    if (host.json)
        host.print(out);
    else if (written)
        std::cout << "import: " << all.size() << " entries, " << all.size() << " created, 0 failed\n";
    else
        std::cout << "import: " << all.size() << " entries, 0 created, " << failed << " failed; nothing was written\n";
}

}  // namespace

void add_import_command(Command &app, Host &host) {
    struct Args {
        std::string file;
        bool without_secrets = false;
    };
    auto a = std::make_shared<Args>();
    auto *c = app.add_subcommand(
        "import", "Load a JSON export document in one transaction: every entry is checked before the first "
                  "write, and either all are created, each reported, or none, each refused entry reported with "
                  "the return code that refuses it (as a JSON array with --json before `import`)");
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
        Records records(doc);
        std::vector<tolv::admin::BulkProblem> refused;
        const uint32_t rc = tolv::admin::bulk_add(host.h, records.bulk, refused);
        if (rc != RSPI_RC_SUCCESS && refused.empty())
            throw Error(a->file + ": the registry could not be written (rc = " + rc_text(rc) +
                        "); the import is not in place (one that failed past its commit point is completed by the "
                        "next call)");
        report(host, outcomes(doc, refused), rc == RSPI_RC_SUCCESS);
    });
}

}  // namespace tolvadm::xport
