// crash_writer - the process that scripts/crash kills with SIGKILL.
//
//   crash_writer CONF run LOG SEED   seeded random mutations of every family, forever
//   crash_writer CONF recover ROUND  one mutating call (the marker resource), as the first
//                                    writer after a crash would make
//   crash_writer CONF verify LOG     the registry against what LOG says had returned
//
// The registry holds a fixed small universe of entries (users, groups, memberships,
// policies, resources, resource groups, credentials). Each entry's state is one text,
// built the same way from the writer's model and from what the plug-in's get and
// lookup operations return, so a prediction and an observation compare as strings.
//
// LOG lines, each batch written with one write(2) on an O_APPEND descriptor:
//   S KEY STATE         the state of an entry as observed (writer start, or after a surprise)
//   B SEQ OP RC         an operation is about to be called and should return RC ...
//   X KEY STATE         ... leaving these entries in these states
//   D SEQ RC            the call returned RC (written only after it returned)
//   M SEQ KEY TEXT      after a returned call an entry was not in its predicted state
// A B without its D is the call the kill interrupted: each of its entries must be
// wholly old or wholly new, and all of them the same one.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "records.h"

namespace {

using namespace tolvtest;

constexpr const char *kDomain = "crash";
constexpr const char *kMarker = "crash-marker";
constexpr int kUsers = 6;
constexpr int kGroups = 4;
constexpr int kPolicies = 3;
constexpr int kResources = 4;
constexpr int kResgroups = 3;

std::string user_name(int i) { return "u" + std::to_string(i); }
std::string group_name(int i) { return "g" + std::to_string(i); }
std::string resource_name(int i) { return "r" + std::to_string(i); }

// The stored bytes of a blob, as far as a comparison needs them.
struct BlobSum {
    bool has = false;
    uint32_t len = 0;
    uint64_t hash = 0;
};

uint64_t fnv(const unsigned char *p, std::size_t n) {
    uint64_t h = 1469598103934665603ull;
    for (std::size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
    return h;
}

BlobSum sum_of(const rspi_blob *b) {
    BlobSum s;
    if (!b) return s;
    s.has = true;
    s.len = b->length;
    s.hash = fnv(b->data, b->length);
    return s;
}

// One entry of the universe. st: '-' absent, 'E' enabled (or present), 'D' disabled,
// 'y' a membership both sides hold, '?' something else (text says what).
struct Entry {
    char st = '-';
    bool listed = true;       // users, groups: the registry-id lookup finds the entry
    bool known = true;        // a disabled entry's fields are known (false after a restart)
    std::string desc;         // users: the password is derived from it
    std::string extra;        // users: certificate DN; credentials: their password
    int auth = 0;             // users: what authentication with the derived password gives
    bool cert_found = true;   // users: the DN lookup finds this user
    BlobSum blob;
    std::set<std::string> members;  // resource groups
    std::string text;         // '?': what was seen
};

std::string password_of(const std::string &desc) { return desc.empty() ? "" : "p" + desc.substr(1); }

std::string blob_text(const BlobSum &b) {
    if (!b.has) return "b=-";
    char buf[48];
    std::snprintf(buf, sizeof buf, "b=%u:%016llx", b.len, static_cast<unsigned long long>(b.hash));
    return buf;
}

// The state text of an entry: the one thing predictions and observations share.
std::string render(const std::string &key, const Entry &e) {
    switch (e.st) {
    case '-': return "-";
    case 'D': return "D";
    case 'y': return "yes";
    case '?': return "?" + e.text;
    default: break;
    }
    const std::string kind = key.substr(0, key.find(':'));
    std::string s = "E|" + e.desc + "|" + blob_text(e.blob);
    if (kind == "user") {
        s += std::string("|") + (e.listed ? "listed" : "unlisted") + "|auth=" + std::to_string(e.auth) + "|dn=";
        s += e.extra.empty() ? "-" : e.extra + (e.cert_found ? ":found" : ":notfound");
    } else if (kind == "group") {
        s += e.listed ? "|listed" : "|unlisted";
    } else if (kind == "creds") {
        s += "|pw=" + e.extra;
    } else if (kind == "resgroup") {
        s += "|m=";
        for (const auto &m : e.members) s += m + ",";
    }
    return s;
}

Entry odd(const std::string &what, uint32_t rc) {
    Entry e;
    e.st = '?';
    e.text = what + " rc " + std::to_string(rc);
    return e;
}

// Every key of the universe.
std::vector<std::string> all_keys() {
    std::vector<std::string> k;
    for (int u = 0; u < kUsers; ++u) k.push_back("user:" + user_name(u));
    for (int g = 0; g < kGroups; ++g) k.push_back("group:" + group_name(g));
    for (int g = 0; g < kGroups; ++g)
        for (int u = 0; u < kUsers; ++u) k.push_back("member:" + group_name(g) + ":" + user_name(u));
    for (int p = 0; p < kPolicies; ++p) k.push_back("policy:p" + std::to_string(p));
    for (int r = 0; r < kResources; ++r) k.push_back("resource:" + resource_name(r));
    for (int r = 0; r < kResgroups; ++r) k.push_back("resgroup:rg" + std::to_string(r));
    for (int u = 0; u < kUsers; ++u)
        for (int r = 0; r < kResources; ++r) k.push_back("creds:" + user_name(u) + ":" + resource_name(r));
    return k;
}

std::vector<std::string> split(const std::string &s, char sep) {
    std::vector<std::string> out;
    std::size_t from = 0;
    for (std::size_t at; (at = s.find(sep, from)) != std::string::npos; from = at + 1) out.push_back(s.substr(from, at - from));
    out.push_back(s.substr(from));
    return out;
}

// ---- observation through the plug-in ----

template <class L>
bool holds(const L *list, const std::string &line) {
    for (const rspi_list_item *i = list->first; i; i = i->next)
        if (i->data && line == i->data) return true;
    return false;
}

Entry observe_user(char **h, const std::string &id) {
    Entry e;
    User u = user(kDomain, id.c_str());
    const uint32_t rc = rspi_get_user(h, u.get());
    User r;
    r.set(r->registry_id, ("R" + id).c_str());
    const uint32_t rrc = rspi_get_user_by_rgyid(h, r.get());
    if (rc == RSPI_RC_INVALID_USER) {
        if (rrc == RSPI_RC_INVALID_USER) return e;
        if (rrc == 0 && str(r->description) == "Not a Quorzel enabled user.") {
            e.st = 'D';
            e.known = false;
            return e;
        }
        return odd("rgyid", rrc);
    }
    if (rc != 0) return odd("get", rc);
    e.st = 'E';
    e.listed = rrc == 0 && str(r->user_id) == id;
    e.desc = str(u->description);
    e.extra = u->cert_dn ? u->cert_dn : "";
    e.blob = sum_of(u->blob);
    Authn pw(password_of(e.desc));
    User a = user(kDomain, id.c_str());
    e.auth = static_cast<int>(rspi_authenticate_user(h, a.get(), pw.get()));
    if (!e.extra.empty()) {
        User c;
        c.set(c->cert_dn, e.extra.c_str());
        e.cert_found = rspi_get_user_by_certdn(h, c.get()) == 0 && str(c->user_id) == id;
    }
    return e;
}

Entry observe_group(char **h, const std::string &id) {
    Entry e;
    Group g = group(kDomain, id.c_str());
    const uint32_t rc = rspi_get_group(h, g.get());
    Group r;
    r.set(r->registry_id, ("G" + id).c_str());
    const uint32_t rrc = rspi_get_group_by_rgyid(h, r.get());
    if (rc == RSPI_RC_INVALID_GROUP) {
        if (rrc == RSPI_RC_INVALID_GROUP) return e;
        if (rrc == 0 && str(r->description) == "Not a Quorzel enabled group.") {
            e.st = 'D';
            e.known = false;
            return e;
        }
        return odd("rgyid", rrc);
    }
    if (rc != 0) return odd("get", rc);
    e.st = 'E';
    e.listed = rrc == 0 && str(r->group_id) == id;
    e.desc = str(g->description);
    e.blob = sum_of(g->blob);
    return e;
}

// Both membership files: the group's members and the user's groups.
Entry observe_member(char **h, const std::string &gid, const std::string &uid) {
    Group g = group(kDomain, gid.c_str());
    UserList members;
    const uint32_t grc = rspi_group_userlist(h, g.get(), members.get());
    if (grc != 0) return odd("group_userlist", grc);
    User u = user(kDomain, uid.c_str());
    GroupList groups;
    const uint32_t urc = rspi_user_grouplist(h, u.get(), groups.get());
    if (urc != 0) return odd("user_grouplist", urc);
    if (rspi_grouplist_count(h, groups.get()) < 0) return odd("grouplist_count", 0);
    const bool in_group = holds(members.get(), std::string(kDomain) + " " + uid);
    const bool in_user = holds(groups.get(), std::string(kDomain) + " " + gid);
    Entry e;
    if (in_group && in_user) e.st = 'y';
    else if (in_group || in_user) {
        e.st = '?';
        e.text = in_group ? "only in the group's members" : "only in the user's groups";
    }
    return e;
}

Policy given_policy(const std::string &id) {
    Policy p;
    p.set(p->domain, kDomain).set(p->policy_id, id.c_str());
    p->state = p->flag_2 = p->flag_3 = 2;
    for (int32_t *n : {&p->number_2, &p->number_3, &p->number_4, &p->number_5, &p->number_6, &p->number_7,
                       &p->number_8, &p->number_9, &p->number_10, &p->number_11, &p->number_12, &p->number_13,
                       &p->number_14, &p->number_15, &p->number_16, &p->number_17})
        *n = -1;
    return p;
}

// A record read back by its get: absent on the family's invalid code.
template <class R>
Entry observed(uint32_t rc, uint32_t invalid, const R &r) {
    Entry e;
    if (rc == invalid) return e;
    if (rc != 0) return odd("get", rc);
    e.st = 'E';
    e.desc = str(r->description);
    e.blob = sum_of(r->blob);
    return e;
}

Entry observe_policy(char **h, const std::string &id) {
    Policy p = given_policy(id);
    const uint32_t rc = rspi_get_policy(h, p.get());
    return observed(rc, RSPI_RC_INVALID_POLICY, p);
}

Entry observe_resource(char **h, const std::string &name) {
    Resource r;
    r.set(r->name, name.c_str());
    const uint32_t rc = rspi_get_resource(h, r.get());
    return observed(rc, RSPI_RC_INVALID_RESOURCE, r);
}

Entry observe_resgroup(char **h, const std::string &name) {
    Resgroup g;
    g.set(g->name, name.c_str());
    const uint32_t rc = rspi_get_resgroup(h, g.get());
    Entry e = observed(rc, RSPI_RC_INVALID_RESGROUP, g);
    if (e.st == 'E' && g->members)
        for (int32_t i = 0; i < g->members->count; ++i) e.members.insert(str(g->members->names[i]));
    return e;
}

Entry observe_creds(char **h, const std::string &uid, const std::string &res) {
    User u = user(kDomain, uid.c_str());
    Creds c;
    c.set(c->name, res.c_str());
    const uint32_t rc = rspi_get_rescreds(h, u.get(), c.get());
    Entry e = observed(rc, RSPI_RC_INVALID_RESCREDS, c);
    if (e.st == 'E') e.extra = c->password ? std::string(c->password->data, c->password->length) : "(null)";
    return e;
}

Entry observe(char **h, const std::string &key) {
    const std::vector<std::string> p = split(key, ':');
    if (p[0] == "user") return observe_user(h, p[1]);
    if (p[0] == "group") return observe_group(h, p[1]);
    if (p[0] == "member") return observe_member(h, p[1], p[2]);
    if (p[0] == "policy") return observe_policy(h, p[1]);
    if (p[0] == "resource") return observe_resource(h, p[1]);
    if (p[0] == "resgroup") return observe_resgroup(h, p[1]);
    return observe_creds(h, p[1], p[2]);
}

// ---- the log ----

class Log {
public:
    explicit Log(const std::string &path) : fd_(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600)) {
        if (fd_ < 0) throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
    }
    ~Log() { ::close(fd_); }
    Log(const Log &) = delete;
    Log &operator=(const Log &) = delete;
    // One batch of lines, in one write where the kernel allows it.
    void put(const std::string &lines) {
        for (std::size_t done = 0; done < lines.size();) {
            const ssize_t n = ::write(fd_, lines.data() + done, lines.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) throw std::runtime_error(std::string("log write: ") + std::strerror(errno));
            done += static_cast<std::size_t>(n);
        }
    }

private:
    int fd_;
};

// ---- the writer ----

using Model = std::map<std::string, Entry>;

class Writer {
public:
    Writer(char **h, Log &log, uint64_t seed) : h_(h), log_(log), rng_(seed), tag_(std::to_string(seed % 100000)) {}

    void start() {
        std::string batch;
        for (const auto &k : all_keys()) {
            model_[k] = observe(h_, k);
            batch += "S " + k + " " + render(k, model_[k]) + "\n";
        }
        log_.put(batch);
    }

    void step() {
        switch (rng_() % 9) {
        case 0: user_op(); break;
        case 1: group_op(); break;
        case 2:
        case 3: member_op(); break;
        case 4: policy_op(); break;
        case 5: resource_op(); break;
        case 6: resgroup_op(); break;
        default: creds_op(); break;
        }
    }

private:
    bool chance(int percent) { return static_cast<int>(rng_() % 100) < percent; }
    int pick(int n) { return static_cast<int>(rng_() % static_cast<unsigned>(n)); }
    std::string fresh_desc() { return "d" + tag_ + "-" + std::to_string(++counter_); }

    // Random bytes, mostly small, now and then large enough to widen a write.
    rspi_blob *fresh_blob(BlobSum &sum) {
        const uint32_t len = chance(10) ? 8192 + static_cast<uint32_t>(rng_() % 57344) : 1 + static_cast<uint32_t>(rng_() % 3000);
        rspi_blob *b = rspi_alloc_blob(len);
        for (uint32_t i = 0; i < len; ++i) b->data[i] = static_cast<unsigned char>(rng_());
        sum = sum_of(b);
        return b;
    }

    // Logs the intent, makes the call, logs its return, then compares the touched
    // entries with the prediction (a surprise is logged and adopted).
    template <class Call>
    void run(const std::string &name, uint32_t want, const Model &after, Call call) {
        const unsigned long seq = ++seq_;
        std::string intent = "B " + std::to_string(seq) + " " + name + " " + std::to_string(want) + "\n";
        for (const auto &[k, e] : after) intent += "X " + k + " " + render(k, e) + "\n";
        log_.put(intent);
        const uint32_t rc = call();
        log_.put("D " + std::to_string(seq) + " " + std::to_string(rc) + "\n");
        if (rc == want)
            for (const auto &[k, e] : after) model_[k] = e;
        std::string surprises;
        for (const auto &[k, e] : after) {
            Entry seen = observe(h_, k);
            const std::string now = render(k, seen);
            if (rc != want) {  // the log learns what the call did leave
                surprises += "S " + k + " " + now + "\n";
            } else if (now != render(k, e)) {
                surprises += "M " + std::to_string(seq) + " " + k + " " + name + " left " + now + " instead of " +
                             render(k, e) + "\nS " + k + " " + now + "\n";
            } else {
                continue;
            }
            if (seen.st == 'D' && model_[k].st == 'D') seen = model_[k];  // its fields are still what we stored
            model_[k] = seen;
        }
        if (!surprises.empty()) log_.put(surprises);
    }

    Entry &at(const std::string &key) { return model_[key]; }

    void user_op() {
        const std::string id = user_name(pick(kUsers));
        const std::string key = "user:" + id;
        const Entry cur = at(key);
        Model after;
        if (cur.st == '-') {
            Entry e;
            e.st = 'E';
            e.desc = fresh_desc();
            User u = user(kDomain, id.c_str());
            u.set(u->description, e.desc.c_str()).set(u->registry_id, ("R" + id).c_str());
            u->account_valid = 1;
            u->password = password(password_of(e.desc));
            if (chance(50)) {
                e.extra = "CN=" + id + "." + e.desc;
                u.set(u->cert_dn, e.extra.c_str());
            }
            if (chance(60)) u->blob = fresh_blob(e.blob);
            after[key] = e;
            run("create_user", 0, after, [&] { return rspi_create_user(h_, u.get()); });
        } else if (cur.st == 'E') {
            const int what = pick(10);
            if (what < 5) {
                User u = given_user(kDomain, id.c_str());
                Entry e = cur;
                give_user_fields(u, e, false);
                after[key] = e;
                run("modify_user", 0, after, [&] { return rspi_modify_user(h_, u.get()); });
            } else if (what < 7) {
                Entry e = cur;
                e.st = 'D';
                after[key] = e;
                for (int r = 0; r < kResources; ++r) after["creds:" + id + ":" + resource_name(r)] = Entry{};
                User u = user(kDomain, id.c_str());
                run("disable_user", 0, after, [&] { return rspi_disable_user(h_, u.get()); });
            } else {
                // A membership in a disabled group would stop the delete part-way (31).
                for (int g = 0; g < kGroups; ++g)
                    if (at("member:" + group_name(g) + ":" + id).st != '-' && at("group:" + group_name(g)).st != 'E') return;
                after[key] = Entry{};
                for (int r = 0; r < kResources; ++r) after["creds:" + id + ":" + resource_name(r)] = Entry{};
                for (int g = 0; g < kGroups; ++g) after["member:" + group_name(g) + ":" + id] = Entry{};
                User u = user(kDomain, id.c_str());
                run("delete_user", 0, after, [&] { return rspi_delete_user(h_, u.get()); });
            }
        } else if (cur.st == 'D') {
            User u = given_user(kDomain, id.c_str());
            u.set(u->registry_id, ("R" + id).c_str());
            Entry e = cur;
            e.st = 'E';
            give_user_fields(u, e, !cur.known || chance(30));
            e.known = true;
            e.listed = true;
            e.cert_found = true;
            after[key] = e;
            run("enable_user", 0, after, [&] { return rspi_enable_user(h_, u.get()); });
        }
    }

    // Fills some of the modify fields of u (all of them with every_field) into e too.
    void give_user_fields(User &u, Entry &e, bool every_field) {
        bool any = false;
        if (every_field || chance(50)) {
            e.desc = fresh_desc();
            u.set(u->description, e.desc.c_str());
            u->password = password(password_of(e.desc));
            any = true;
        }
        if (every_field || chance(40)) {
            u->blob = fresh_blob(e.blob);
            any = true;
        }
        if (every_field || chance(30) || !any) {
            e.extra = "CN=" + std::string(u->user_id) + "." + fresh_desc();
            u.set(u->cert_dn, e.extra.c_str());
        }
    }

    void group_op() {
        const std::string id = group_name(pick(kGroups));
        const std::string key = "group:" + id;
        const Entry cur = at(key);
        Model after;
        if (cur.st == '-') {
            Entry e;
            e.st = 'E';
            e.desc = fresh_desc();
            Group g = group(kDomain, id.c_str(), ("G" + id).c_str());
            g.set(g->description, e.desc.c_str());
            if (chance(60)) g->blob = fresh_blob(e.blob);
            after[key] = e;
            run("create_group", 0, after, [&] { return rspi_create_group(h_, g.get()); });
        } else if (cur.st == 'E') {
            const int what = pick(10);
            if (what < 5) {
                Group g = group(kDomain, id.c_str());
                Entry e = cur;
                give_fields(g->description, g->blob, e, false);
                after[key] = e;
                run("modify_group", 0, after, [&] { return rspi_modify_group(h_, g.get()); });
            } else if (what < 8) {
                Entry e = cur;
                e.st = 'D';
                after[key] = e;
                Group g = group(kDomain, id.c_str());
                run("disable_group", 0, after, [&] { return rspi_disable_group(h_, g.get()); });
            } else {
                after[key] = Entry{};
                for (int u = 0; u < kUsers; ++u) after["member:" + id + ":" + user_name(u)] = Entry{};
                Group g = group(kDomain, id.c_str());
                run("delete_group", 0, after, [&] { return rspi_delete_group(h_, g.get()); });
            }
        } else if (cur.st == 'D') {
            Group g = group(kDomain, id.c_str(), ("G" + id).c_str());
            Entry e = cur;
            e.st = 'E';
            e.known = true;
            e.listed = true;
            if (!cur.known || chance(40)) give_fields(g->description, g->blob, e, !cur.known);
            after[key] = e;
            run("enable_group", 0, after, [&] { return rspi_enable_group(h_, g.get()); });
        }
    }

    // Description and/or blob of a modify, at least one of them.
    void give_fields(char *&desc, rspi_blob *&blob, Entry &e, bool both) {
        const int which = both ? 2 : pick(3);
        if (which != 1) {
            e.desc = fresh_desc();
            tolvtest::set(desc, e.desc.c_str());
        }
        if (which != 0) blob = fresh_blob(e.blob);
    }

    // A create's description, and a blob now and then.
    void create_fields(char *&desc, rspi_blob *&blob, Entry &e) {
        e.desc = fresh_desc();
        tolvtest::set(desc, e.desc.c_str());
        if (chance(60)) blob = fresh_blob(e.blob);
    }

    void member_op() {
        const std::string gid = group_name(pick(kGroups)), uid = user_name(pick(kUsers));
        const std::string key = "member:" + gid + ":" + uid;
        if (at("group:" + gid).st != 'E' || at(key).st == '?') return;
        Group g = group(kDomain, gid.c_str());
        User u = user(kDomain, uid.c_str());
        Model after;
        if (at(key).st == 'y' || at("user:" + uid).st != 'E' || chance(10)) {
            after[key] = Entry{};
            const uint32_t want = at(key).st == 'y' ? 0 : RSPI_RC_ENTRY_NOT_IN_LIST;
            run("remove_group_member", want, after, [&] { return rspi_remove_group_member(h_, g.get(), u.get()); });
        } else {
            Entry e;
            e.st = 'y';
            after[key] = e;
            run("add_group_member", 0, after, [&] { return rspi_add_group_member(h_, g.get(), u.get()); });
        }
    }

    void policy_op() {
        const std::string id = "p" + std::to_string(pick(kPolicies));
        const std::string key = "policy:" + id;
        const Entry cur = at(key);
        Model after;
        Policy p = given_policy(id);
        if (cur.st == '-') {
            Entry e;
            e.st = 'E';
            create_fields(p->description, p->blob, e);
            after[key] = e;
            run("create_policy", 0, after, [&] { return rspi_create_policy(h_, p.get()); });
        } else if (cur.st == 'E' && chance(70)) {
            Entry e = cur;
            give_fields(p->description, p->blob, e, false);
            after[key] = e;
            run("modify_policy", 0, after, [&] { return rspi_modify_policy(h_, p.get()); });
        } else if (cur.st == 'E') {
            after[key] = Entry{};
            run("delete_policy", 0, after, [&] { return rspi_delete_policy(h_, p.get()); });
        }
    }

    bool in_some_resgroup(const std::string &res) {
        for (int r = 0; r < kResgroups; ++r) {
            const Entry &g = at("resgroup:rg" + std::to_string(r));
            if (g.st == '?' || (g.st == 'E' && g.members.count(res))) return true;  // '?': members unknown
        }
        return false;
    }

    void resource_op() {
        const std::string name = resource_name(pick(kResources));
        const std::string key = "resource:" + name;
        const Entry cur = at(key);
        Model after;
        Resource r;
        r.set(r->name, name.c_str());
        r->state = 2;
        if (cur.st == '-') {
            Entry e;
            e.st = 'E';
            create_fields(r->description, r->blob, e);
            after[key] = e;
            run("create_resource", 0, after, [&] { return rspi_create_resource(h_, r.get()); });
        } else if (cur.st == 'E' && (chance(60) || in_some_resgroup(name))) {
            Entry e = cur;
            give_fields(r->description, r->blob, e, false);
            after[key] = e;
            run("modify_resource", 0, after, [&] { return rspi_modify_resource(h_, r.get()); });
        } else if (cur.st == 'E') {
            after[key] = Entry{};
            run("delete_resource", 0, after, [&] { return rspi_delete_resource(h_, r.get()); });
        }
    }

    // A random set of the resources that exist now.
    std::set<std::string> some_resources() {
        std::set<std::string> out;
        for (int r = 0; r < kResources; ++r)
            if (at("resource:" + resource_name(r)).st == 'E' && chance(50)) out.insert(resource_name(r));
        return out;
    }

    static rspi_resgroupmembers *members_of(const std::set<std::string> &names) {
        rspi_resgroupmembers *m = rspi_alloc_resgroupmembers(static_cast<int32_t>(names.size()));
        int32_t i = 0;
        for (const auto &n : names) m->names[i++] = rspi_strdup(n.c_str());
        return m;
    }

    void resgroup_op() {
        const std::string name = "rg" + std::to_string(pick(kResgroups));
        const std::string key = "resgroup:" + name;
        const Entry cur = at(key);
        Model after;
        Resgroup g;
        g.set(g->name, name.c_str());
        g->state = 2;
        if (cur.st == '-') {
            Entry e;
            e.st = 'E';
            create_fields(g->description, g->blob, e);
            if (chance(70)) {
                e.members = some_resources();
                g->members = members_of(e.members);
            }
            after[key] = e;
            run("create_resgroup", 0, after, [&] { return rspi_create_resgroup(h_, g.get()); });
            return;
        }
        if (cur.st != 'E') return;
        const int what = pick(10);
        Entry e = cur;
        if (what < 3) {
            give_fields(g->description, g->blob, e, false);
            if (chance(30)) {
                e.members = some_resources();
                g->members = members_of(e.members);
            }
            after[key] = e;
            run("modify_resgroup", 0, after, [&] { return rspi_modify_resgroup(h_, g.get()); });
        } else if (what < 5) {
            after[key] = Entry{};
            run("delete_resgroup", 0, after, [&] { return rspi_delete_resgroup(h_, g.get()); });
        } else if (what < 8) {
            const std::string res = resource_name(pick(kResources));
            if (at("resource:" + res).st != 'E') return;
            e.members.insert(res);
            after[key] = e;
            std::string member = res;
            run("add_resgroup_member", 0, after, [&] { return rspi_add_resgroup_member(h_, g.get(), member.data()); });
        } else {
            const std::string res = resource_name(pick(kResources));
            const uint32_t want = e.members.erase(res) ? 0 : RSPI_RC_ENTRY_NOT_IN_LIST;
            after[key] = e;
            std::string member = res;
            run("remove_resgroup_member", want, after,
                [&] { return rspi_remove_resgroup_member(h_, g.get(), member.data()); });
        }
    }

    void creds_op() {
        const std::string uid = user_name(pick(kUsers)), res = resource_name(pick(kResources));
        const std::string key = "creds:" + uid + ":" + res;
        const Entry cur = at(key);
        if (at("user:" + uid).st != 'E') return;
        User u = user(kDomain, uid.c_str());
        Creds c;
        c.set(c->name, res.c_str());
        c->state = 2;
        Model after;
        if (cur.st == '-') {
            Entry e;
            e.st = 'E';
            e.desc = fresh_desc();
            e.extra = "c" + e.desc.substr(1);
            c.set(c->description, e.desc.c_str()).set(c->text_1, "t");
            c->password = password(e.extra);
            if (chance(50)) c->blob = fresh_blob(e.blob);
            after[key] = e;
            run("create_rescreds", 0, after, [&] { return rspi_create_rescreds(h_, u.get(), c.get()); });
        } else if (cur.st == 'E' && chance(70)) {
            Entry e = cur;
            give_fields(c->description, c->blob, e, false);
            if (chance(50)) {
                e.extra = "c" + fresh_desc().substr(1);
                c->password = password(e.extra);
            }
            after[key] = e;
            run("modify_rescreds", 0, after, [&] { return rspi_modify_rescreds(h_, u.get(), c.get()); });
        } else if (cur.st == 'E') {
            after[key] = Entry{};
            run("delete_rescreds", 0, after, [&] { return rspi_delete_rescreds(h_, u.get(), c.get()); });
        }
    }

    char **h_;
    Log &log_;
    std::mt19937_64 rng_;
    std::string tag_;
    unsigned long counter_ = 0;
    unsigned long seq_ = 0;
    Model model_;
};

// ---- verification ----

struct Pending {
    std::string op;
    std::map<std::string, std::string> after;
};

// Reads LOG and compares every entry with what had returned; prints one line
// per finding ("KIND: ...") and returns their number.
int verify(char **h, const std::string &path) {
    std::ifstream in(path);
    std::map<std::string, std::string> expected;
    std::set<std::string> unknown;
    Pending pending;
    bool open = false;
    unsigned long seq_open = 0, want = 0, returned = 0;
    int findings = 0;
    auto finding = [&](const std::string &kind, const std::string &text) {
        std::cout << kind << ": " << text << "\n";
        ++findings;
    };
    std::string line;
    while (std::getline(in, line)) {
        if (line.size() < 2) continue;
        const char tag = line[0];
        std::istringstream ls(line.substr(2));
        if (tag == 'S' || tag == 'X') {
            std::string key, state;
            ls >> key;
            std::getline(ls >> std::ws, state);
            if (tag == 'S') {
                expected[key] = state;
                unknown.erase(key);
            } else {
                pending.after[key] = state;
            }
        } else if (tag == 'B') {
            pending = Pending{};
            ls >> seq_open >> pending.op >> want;
            open = true;
        } else if (tag == 'D') {
            unsigned long seq = 0, rc = 0;
            ls >> seq >> rc;
            if (!open || seq != seq_open) continue;
            ++returned;
            if (rc == want) {
                for (const auto &[k, s] : pending.after) expected[k] = s;
            } else {
                finding("rc", pending.op + " (call " + std::to_string(seq) + ") returned " + std::to_string(rc) +
                                  ", expected " + std::to_string(want));
                for (const auto &[k, s] : pending.after) unknown.insert(k);
            }
            open = false;
        } else if (tag == 'M') {
            finding("result", line.substr(2));
        }
    }
    std::cout << "returned: " << returned << "\n";
    std::map<std::string, std::string> seen;
    for (const auto &[k, s] : expected) seen[k] = render(k, observe(h, k));
    if (open) {
        // The interrupted call: wholly before or wholly after, on every entry alike.
        int old_ones = 0, new_ones = 0;
        for (const auto &[k, s] : pending.after) {
            const std::string &now = seen.count(k) ? seen[k] : (seen[k] = render(k, observe(h, k)));
            const std::string before = expected.count(k) ? expected[k] : "";
            if (now == s && now == before) continue;
            if (now == s) ++new_ones;
            else if (now == before) ++old_ones;
            else
                finding("partial", pending.op + " (interrupted) left " + k + " = " + now + "; before " + before +
                                       ", after " + s);
        }
        if (old_ones && new_ones) finding("partial", pending.op + " (interrupted) applied to some of its entries only");
        std::cout << "interrupted: " << pending.op << "\n";
    }
    for (const auto &[k, s] : expected) {
        if (unknown.count(k) || (open && pending.after.count(k))) continue;
        if (seen[k] != s) finding("lost", k + " = " + seen[k] + ", expected " + s);
    }
    return findings;
}

// The first mutating call after a crash: the marker resource's description.
int recover(char **h, const std::string &round) {
    Resource r;
    r.set(r->name, kMarker).set(r->description, ("round " + round).c_str());
    r->state = 2;
    uint32_t rc = rspi_modify_resource(h, r.get());
    if (rc == RSPI_RC_INVALID_RESOURCE) rc = rspi_create_resource(h, r.get());
    if (rc != 0) {
        std::cout << "recover: the first call after the crash returned " << rc << "\n";
        return 1;
    }
    return 0;
}

int usage() {
    std::cerr << "usage: crash_writer CONF run LOG SEED | CONF recover ROUND | CONF verify LOG\n";
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 4) return usage();
    const std::string conf = argv[1], cmd = argv[2];
    char **h = nullptr;
    const uint32_t rc = rspi_initialize(&h, conf.c_str());
    if (rc != 0) {
        std::cerr << "crash_writer: rspi_initialize rc = " << rc << "\n";
        return 2;
    }
    int status = 0;
    try {
        if (cmd == "run" && argc == 5) {
            Log log(argv[3]);
            Writer w(h, log, std::strtoull(argv[4], nullptr, 10));
            w.start();
            for (;;) w.step();
        } else if (cmd == "recover") {
            status = recover(h, argv[3]);
        } else if (cmd == "verify") {
            status = verify(h, argv[3]) ? 1 : 0;
        } else {
            status = usage();
        }
    } catch (const std::exception &e) {
        std::cerr << "crash_writer: " << e.what() << "\n";
        status = 2;
    }
    rspi_terminate(h);
    return status;
}
