// crash_writer - the process that scripts/crash kills with SIGKILL.
//
//   crash_writer CONF run LOG SEED   seeded random calls of every family, forever
//   crash_writer CONF recover ROUND  one mutating call (the marker resource), as the first
//                                    writer after a crash would make
//   crash_writer CONF verify LOG     the registry against what LOG says had returned
//   crash_writer CONF look LOG       read only: the interrupted call's entries, before any write
//
// The registry holds a fixed small universe of entries (users, groups, memberships,
// policies, resources, resource groups, credentials). Each entry's state is one text,
// built the same way from the writer's model and from what the plug-in's get and
// lookup operations return, so a prediction and an observation compare as strings.
// The calls are rows of one table (kOps): the family, the call, the states it is made
// in, what it passes and which entries it leaves in which state.
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

// A blob as far as a comparison needs it: its length and a hash of its bytes.
std::string blob_sum(const rspi_blob *b) {
    if (!b) return "b=-";
    uint64_t h = 1469598103934665603ull;
    for (uint32_t i = 0; i < b->length; ++i) h = (h ^ b->data[i]) * 1099511628211ull;
    char buf[48];
    std::snprintf(buf, sizeof buf, "b=%u:%016llx", b->length, static_cast<unsigned long long>(h));
    return buf;
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
    std::string blob = "b=-";
    std::set<std::string> members;  // resource groups
    std::string text;         // '?': what was seen
};

std::string password_of(const std::string &desc) { return desc.empty() ? "" : "p" + desc.substr(1); }

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
    std::string s = "E|" + e.desc + "|" + e.blob;
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
    for (std::size_t at; (at = s.find(sep, from)) != std::string::npos; from = at + 1)
        out.push_back(s.substr(from, at - from));
    out.push_back(s.substr(from));
    return out;
}

// ---- observation through the plug-in ----

// A record read back by its get: absent on the family's invalid code.
template <class R>
Entry observed(uint32_t rc, uint32_t invalid, const R &r) {
    Entry e;
    if (rc == invalid) return e;
    if (rc != 0) return odd("get", rc);
    e.st = 'E';
    e.desc = str(r->description);
    e.blob = blob_sum(r->blob);
    return e;
}

Entry observe_user(char **h, const std::string &id) {
    User u = user(kDomain, id.c_str());
    const uint32_t rc = rspi_get_user(h, u.get());
    User r;
    r.set(r->registry_id, ("R" + id).c_str());
    const uint32_t rrc = rspi_get_user_by_rgyid(h, r.get());
    Entry e = observed(rc, RSPI_RC_INVALID_USER, u);
    if (e.st == '-' && rrc == 0 && str(r->description) == "Not a Quorzel enabled user.") e.st = 'D', e.known = false;
    else if (e.st == '-' && rrc != RSPI_RC_INVALID_USER) return odd("rgyid", rrc);
    if (e.st != 'E') return e;
    e.listed = rrc == 0 && str(r->user_id) == id;
    e.extra = u->cert_dn ? u->cert_dn : "";
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
    Group g = group(kDomain, id.c_str());
    const uint32_t rc = rspi_get_group(h, g.get());
    Group r;
    r.set(r->registry_id, ("G" + id).c_str());
    const uint32_t rrc = rspi_get_group_by_rgyid(h, r.get());
    Entry e = observed(rc, RSPI_RC_INVALID_GROUP, g);
    if (e.st == '-' && rrc == 0 && str(r->description) == "Not a Quorzel enabled group.") e.st = 'D', e.known = false;
    else if (e.st == '-' && rrc != RSPI_RC_INVALID_GROUP) return odd("rgyid", rrc);
    if (e.st == 'E') e.listed = rrc == 0 && str(r->group_id) == id;
    return e;
}

template <class L>
bool holds(const L *list, const std::string &line) {
    for (const rspi_list_item *i = list->first; i; i = i->next)
        if (i->data && line == i->data) return true;
    return false;
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

Entry observe(char **h, const std::string &key) {
    const std::vector<std::string> p = split(key, ':');
    if (p[0] == "user") return observe_user(h, p[1]);
    if (p[0] == "group") return observe_group(h, p[1]);
    if (p[0] == "member") return observe_member(h, p[1], p[2]);
    if (p[0] == "policy") {
        Policy r = given_policy(kDomain, p[1].c_str());
        return observed(rspi_get_policy(h, r.get()), RSPI_RC_INVALID_POLICY, r);
    }
    if (p[0] == "resource") {
        Resource r;
        r.set(r->name, p[1].c_str());
        return observed(rspi_get_resource(h, r.get()), RSPI_RC_INVALID_RESOURCE, r);
    }
    if (p[0] == "resgroup") {
        Resgroup r;
        r.set(r->name, p[1].c_str());
        Entry e = observed(rspi_get_resgroup(h, r.get()), RSPI_RC_INVALID_RESGROUP, r);
        for (int32_t i = 0; e.st == 'E' && r->members && i < r->members->count; ++i)
            e.members.insert(str(r->members->names[i]));
        return e;
    }
    User u = user(kDomain, p[1].c_str());
    Creds c;
    c.set(c->name, p[2].c_str());
    Entry e = observed(rspi_get_rescreds(h, u.get(), c.get()), RSPI_RC_INVALID_RESCREDS, c);
    if (e.st == 'E') e.extra = c->password ? std::string(c->password->data, c->password->length) : "(null)";
    return e;
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

// ---- the operations ----

// The records a call is made with, named after the entry it touches.
struct Recs {
    User u;
    Group g;
    Policy p = given_policy(kDomain, "");
    Resource r;
    Resgroup rg;
    Creds c;
    std::string arg;  // a resource, for the resource-group member calls
};

using Call = uint32_t (*)(char **, Recs &);
#define CALL(expr) +[](char **h, Recs &x) -> uint32_t { return expr; }

// One call of the writer. It draws a family, an entry of it, then one of the
// rows whose `from` holds the entry's state and whose needs are met, by weight.
// After a kill, every entry the row touches must be wholly before or wholly after.
struct Op {
    const char *family, *call;
    int weight;
    const char *from;    // the entry's states the call is made in
    char to;             // its state after ('-' gone; a removal of what is not there gives 24)
    const char *needs;   // U the user enabled, G the group, A the argument resource, M the groups of the
                         // user's memberships (else delete stops part-way), F the resource in no resource group
    const char *clears;  // entries that go with it: U the user, G the group, * any
    char give;           // fields passed: n names only, s some, c a create's, e an enable's
    char arg;            // '+' adds the argument resource to the members, '-' drops it
    Call fn;
};

const Op kOps[] = {
    {"user", "create_user", 1, "-", 'E', "", "", 'c', 0, CALL(rspi_create_user(h, x.u.get()))},
    {"user", "modify_user", 5, "E", 'E', "", "", 's', 0, CALL(rspi_modify_user(h, x.u.get()))},
    {"user", "disable_user", 2, "E", 'D', "", "creds:U:*", 'n', 0, CALL(rspi_disable_user(h, x.u.get()))},
    {"user", "delete_user", 3, "E", '-', "M", "creds:U:* member:*:U", 'n', 0, CALL(rspi_delete_user(h, x.u.get()))},
    {"user", "enable_user", 1, "D", 'E', "", "", 'e', 0, CALL(rspi_enable_user(h, x.u.get()))},
    {"group", "create_group", 1, "-", 'E', "", "", 'c', 0, CALL(rspi_create_group(h, x.g.get()))},
    {"group", "modify_group", 5, "E", 'E', "", "", 's', 0, CALL(rspi_modify_group(h, x.g.get()))},
    {"group", "disable_group", 3, "E", 'D', "", "", 'n', 0, CALL(rspi_disable_group(h, x.g.get()))},
    {"group", "delete_group", 2, "E", '-', "", "member:G:*", 'n', 0, CALL(rspi_delete_group(h, x.g.get()))},
    {"group", "enable_group", 1, "D", 'E', "", "", 'e', 0, CALL(rspi_enable_group(h, x.g.get()))},
    {"member", "add_group_member", 9, "-", 'y', "GU", "", 'n', 0, CALL(rspi_add_group_member(h, x.g.get(), x.u.get()))},
    {"member", "remove_group_member", 1, "-y", '-', "G", "", 'n', 0,
     CALL(rspi_remove_group_member(h, x.g.get(), x.u.get()))},
    {"policy", "create_policy", 1, "-", 'E', "", "", 'c', 0, CALL(rspi_create_policy(h, x.p.get()))},
    {"policy", "modify_policy", 7, "E", 'E', "", "", 's', 0, CALL(rspi_modify_policy(h, x.p.get()))},
    {"policy", "delete_policy", 3, "E", '-', "", "", 'n', 0, CALL(rspi_delete_policy(h, x.p.get()))},
    {"resource", "create_resource", 1, "-", 'E', "", "", 'c', 0, CALL(rspi_create_resource(h, x.r.get()))},
    {"resource", "modify_resource", 6, "E", 'E', "", "", 's', 0, CALL(rspi_modify_resource(h, x.r.get()))},
    {"resource", "delete_resource", 4, "E", '-', "F", "", 'n', 0, CALL(rspi_delete_resource(h, x.r.get()))},
    {"resgroup", "create_resgroup", 1, "-", 'E', "", "", 'c', 0, CALL(rspi_create_resgroup(h, x.rg.get()))},
    {"resgroup", "modify_resgroup", 3, "E", 'E', "", "", 's', 0, CALL(rspi_modify_resgroup(h, x.rg.get()))},
    {"resgroup", "delete_resgroup", 2, "E", '-', "", "", 'n', 0, CALL(rspi_delete_resgroup(h, x.rg.get()))},
    {"resgroup", "add_resgroup_member", 3, "E", 'E', "A", "", 'n', '+',
     CALL(rspi_add_resgroup_member(h, x.rg.get(), x.arg.data()))},
    {"resgroup", "remove_resgroup_member", 2, "E", 'E', "", "", 'n', '-',
     CALL(rspi_remove_resgroup_member(h, x.rg.get(), x.arg.data()))},
    {"creds", "create_rescreds", 1, "-", 'E', "U", "", 'c', 0, CALL(rspi_create_rescreds(h, x.u.get(), x.c.get()))},
    {"creds", "modify_rescreds", 7, "E", 'E', "U", "", 's', 0, CALL(rspi_modify_rescreds(h, x.u.get(), x.c.get()))},
    {"creds", "delete_rescreds", 3, "E", '-', "U", "", 'n', 0, CALL(rspi_delete_rescreds(h, x.u.get(), x.c.get()))},
};
#undef CALL

// Users, members and credentials are drawn twice as often as the rest.
const char *const kDraw[] = {"user",   "user",     "group",    "member", "member",
                             "policy", "resource", "resgroup", "creds",  "creds"};

// The names in a key: user:U, group:G, member:G:U, creds:U:R, policy:N, resource:N, resgroup:N.
struct Names {
    std::string family, user, group, name;
};
Names names_of(const std::string &key) {
    const std::vector<std::string> p = split(key, ':');
    Names n{p[0], "", "", ""};
    if (n.family == "user") n.user = p[1];
    else if (n.family == "group") n.group = p[1];
    else if (n.family == "member") n.group = p[1], n.user = p[2];
    else if (n.family == "creds") n.user = p[1], n.name = p[2];
    else n.name = p[1];
    return n;
}

// A pattern of `clears` against a key: U and G stand for the names, * for any.
bool matches(const std::string &pattern, const std::string &key, const Names &n) {
    const std::vector<std::string> p = split(pattern, ':'), k = split(key, ':');
    if (p.size() != k.size()) return false;
    for (std::size_t i = 0; i < p.size(); ++i)
        if (p[i] != "*" && p[i] != k[i] && !(p[i] == "U" && k[i] == n.user) && !(p[i] == "G" && k[i] == n.group))
            return false;
    return true;
}

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
        const std::string family = kDraw[pick(10)];
        std::vector<std::string> keys;
        for (const auto &[k, e] : model_)
            if (k.compare(0, family.size() + 1, family + ":") == 0) keys.push_back(k);
        const std::string key = keys[pick(static_cast<int>(keys.size()))];
        const Names n = names_of(key);
        const Entry cur = model_[key];
        const std::string arg = resource_name(pick(kResources));
        std::vector<const Op *> rows;
        std::vector<int> weights;
        for (const Op &op : kOps)
            if (family == op.family && cur.st != '?' && std::strchr(op.from, cur.st) && meets(op.needs, n, arg))
                rows.push_back(&op), weights.push_back(op.weight);
        if (rows.empty()) return;
        const Op *op = rows[std::discrete_distribution<std::size_t>(weights.begin(), weights.end())(rng_)];

        Recs x{given_user(kDomain, n.user.c_str()), group(kDomain, n.group.c_str()),
               given_policy(kDomain, n.name.c_str()), {}, {}, {}, arg};
        x.r.set(x.r->name, n.name.c_str());
        x.rg.set(x.rg->name, n.name.c_str());
        x.c.set(x.c->name, n.name.c_str());
        x.r->state = x.rg->state = x.c->state = 2;
        Entry e = op->to == '-' || cur.st == '-' ? Entry{} : cur;
        if (op->to != '-' && e.st != 'E') e.known = e.listed = e.cert_found = true;
        if (op->to != '-') e.st = op->to;
        if (op->to == 'E' && cur.st != 'E') {  // create and enable name the registry id
            x.u.set(x.u->registry_id, ("R" + n.user).c_str());
            x.g.set(x.g->registry_id, ("G" + n.group).c_str());
        }
        fill(op->give == 'e' ? (!cur.known ? 'a' : chance(50) ? 's' : 'n') : op->give, n, x, e);
        uint32_t want = op->to == '-' && cur.st == '-' ? RSPI_RC_ENTRY_NOT_IN_LIST : 0;
        if (op->arg == '+') e.members.insert(arg);
        if (op->arg == '-' && !e.members.erase(arg)) want = RSPI_RC_ENTRY_NOT_IN_LIST;
        Model after{{key, e}};
        for (const std::string &pattern : split(op->clears, ' '))
            for (const auto &[k, old] : model_)
                if (!pattern.empty() && matches(pattern, k, n)) after[k] = Entry{};
        run(op->call, want, after, [&] { return op->fn(h_, x); });
    }

private:
    bool chance(int percent) { return static_cast<int>(rng_() % 100) < percent; }
    int pick(int n) { return static_cast<int>(rng_() % static_cast<unsigned>(n)); }
    std::string fresh_desc() { return "d" + tag_ + "-" + std::to_string(++counter_); }
    const Entry &at(const std::string &key) { return model_[key]; }

    bool meets(const std::string &needs, const Names &n, const std::string &arg) {
        for (const char c : needs) {
            if ((c == 'U' && at("user:" + n.user).st != 'E') || (c == 'G' && at("group:" + n.group).st != 'E') ||
                (c == 'A' && at("resource:" + arg).st != 'E'))
                return false;
            for (int i = 0; c == 'M' && i < kGroups; ++i)
                if (at("member:" + group_name(i) + ":" + n.user).st != '-' && at("group:" + group_name(i)).st != 'E')
                    return false;
            for (int i = 0; c == 'F' && i < kResgroups; ++i) {
                const Entry &g = at("resgroup:rg" + std::to_string(i));
                if (g.st == '?' || (g.st == 'E' && g.members.count(n.name))) return false;  // '?': members unknown
            }
        }
        return true;
    }

    // Random bytes, mostly small, now and then large enough to widen a write.
    rspi_blob *fresh_blob(std::string &sum) {
        const uint32_t len =
            chance(10) ? 8192 + static_cast<uint32_t>(rng_() % 57344) : 1 + static_cast<uint32_t>(rng_() % 3000);
        rspi_blob *b = rspi_alloc_blob(len);
        for (uint32_t i = 0; i < len; ++i) b->data[i] = static_cast<unsigned char>(rng_());
        sum = blob_sum(b);
        return b;
    }

    // Gives the records new field values, and the prediction the same ones:
    // how = c a create's, a all of a modify's, s some of them, n none.
    void fill(char how, const Names &n, Recs &x, Entry &e) {
        if (how == 'n') return;
        const std::string &f = n.family;
        const auto fields = [](auto &r) { return std::pair{&r->description, &r->blob}; };
        const auto [desc, blob] = f == "user"       ? fields(x.u)
                                  : f == "group"    ? fields(x.g)
                                  : f == "policy"   ? fields(x.p)
                                  : f == "resource" ? fields(x.r)
                                  : f == "resgroup" ? fields(x.rg)
                                                    : fields(x.c);
        const bool create = how == 'c', all = how == 'a';
        const bool new_desc = create || all || chance(50);
        if (new_desc) {
            e.desc = fresh_desc();
            set(*desc, e.desc.c_str());
        }
        if (create ? chance(60) : all || !new_desc || chance(40)) *blob = fresh_blob(e.blob);
        if (f == "user") {
            if (new_desc) x.u->password = password(password_of(e.desc));
            if (create) x.u->flag_1 = x.u->number_2 = 0, x.u->account_valid = 1;
            if (create ? chance(50) : all || chance(30)) {
                e.extra = "CN=" + n.user + "." + fresh_desc();
                x.u.set(x.u->cert_dn, e.extra.c_str());
            }
        } else if (f == "creds" && (create || all || chance(50))) {
            e.extra = "c" + fresh_desc().substr(1);
            x.c->password = password(e.extra);
            if (create) x.c.set(x.c->text_1, "t");
        } else if (f == "resgroup" && chance(create ? 70 : 30)) {
            std::set<std::string> names;  // some of the resources that exist now
            for (int r = 0; r < kResources; ++r)
                if (at("resource:" + resource_name(r)).st == 'E' && chance(50)) names.insert(resource_name(r));
            e.members = names;
            x.rg->members = rspi_alloc_resgroupmembers(static_cast<int32_t>(names.size()));
            int32_t i = 0;
            for (const auto &m : names) x.rg->members->names[i++] = rspi_strdup(m.c_str());
        }
    }

    // Logs the intent, makes the call, logs its return, then compares the touched
    // entries with the prediction (a surprise is logged and adopted).
    template <class Fn>
    void run(const std::string &name, uint32_t want, const Model &after, Fn call) {
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

// What LOG says: each entry's state after the last call that returned, and the
// call the kill interrupted (open), if any.
struct Replay {
    std::map<std::string, std::string> expected;
    std::set<std::string> unknown;  // a call's surprise left them so
    Pending pending;
    bool open = false;
    unsigned long returned = 0;
    std::vector<std::string> findings;  // "KIND: text"
};

Replay replay(const std::string &path) {
    std::ifstream in(path);
    Replay r;
    unsigned long seq_open = 0, want = 0;
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
                r.expected[key] = state;
                r.unknown.erase(key);
            } else {
                r.pending.after[key] = state;
            }
        } else if (tag == 'B') {
            r.pending = Pending{};
            ls >> seq_open >> r.pending.op >> want;
            r.open = true;
        } else if (tag == 'D') {
            unsigned long seq = 0, rc = 0;
            ls >> seq >> rc;
            if (!r.open || seq != seq_open) continue;
            ++r.returned;
            if (rc == want) {
                for (const auto &[k, s] : r.pending.after) r.expected[k] = s;
            } else {
                r.findings.push_back("rc: " + r.pending.op + " (call " + std::to_string(seq) + ") returned " +
                                     std::to_string(rc) + ", expected " + std::to_string(want));
                for (const auto &[k, s] : r.pending.after) r.unknown.insert(k);
            }
            r.open = false;
        } else if (tag == 'M') {
            r.findings.push_back("result: " + line.substr(2));
        }
    }
    return r;
}

// The interrupted call's entries: wholly before or wholly after, all of them alike.
// Findings of `kind`, with what each entry was seen as in `seen`.
void judge_interrupted(char **h, const Replay &r, std::map<std::string, std::string> &seen, const std::string &kind,
                       std::vector<std::string> &findings) {
    int old_ones = 0, new_ones = 0;
    for (const auto &[k, s] : r.pending.after) {
        const std::string &now = seen.count(k) ? seen[k] : (seen[k] = render(k, observe(h, k)));
        const auto it = r.expected.find(k);
        const std::string before = it == r.expected.end() ? "" : it->second;
        if (now == s && now == before) continue;
        if (now == s) ++new_ones;
        else if (now == before) ++old_ones;
        else
            findings.push_back(kind + ": " + r.pending.op + " (interrupted) left " + k + " = " + now + "; before " +
                               before + ", after " + s);
    }
    if (old_ones && new_ones)
        findings.push_back(kind + ": " + r.pending.op + " (interrupted) applied to some of its entries only");
}

int report(const std::vector<std::string> &findings) {
    for (const auto &f : findings) std::cout << f << "\n";
    return static_cast<int>(findings.size());
}

// Reads LOG and compares every entry with what had returned; prints one line
// per finding ("KIND: ...") and returns their number.
int verify(char **h, const std::string &path) {
    Replay r = replay(path);
    std::vector<std::string> findings = r.findings;
    std::cout << "returned: " << r.returned << "\n";
    std::map<std::string, std::string> seen;
    for (const auto &[k, s] : r.expected) seen[k] = render(k, observe(h, k));
    if (r.open) {
        judge_interrupted(h, r, seen, "partial", findings);
        std::cout << "interrupted: " << r.pending.op << "\n";
    }
    for (const auto &[k, s] : r.expected) {
        if (r.unknown.count(k) || (r.open && r.pending.after.count(k))) continue;
        if (seen[k] != s) findings.push_back("lost: " + k + " = " + seen[k] + ", expected " + s);
    }
    return report(findings);
}

// A reader right after the kill, before any writer has run: the interrupted
// call's entries must already be wholly before or wholly after it ("mixed").
int look(char **h, const std::string &path) {
    const Replay r = replay(path);
    std::vector<std::string> findings;
    std::map<std::string, std::string> seen;
    if (r.open) judge_interrupted(h, r, seen, "mixed", findings);
    return report(findings);
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
    std::cerr << "usage: crash_writer CONF run LOG SEED | CONF recover ROUND | CONF verify LOG | CONF look LOG\n";
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
        } else if (cmd == "look") {
            status = look(h, argv[3]) ? 1 : 0;
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
