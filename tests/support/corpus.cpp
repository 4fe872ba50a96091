// The runner of operation sequences (corpus.h).
#include "corpus.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>

#include "records.h"
#include "tolvcatalogue.h"
#include "tolvadm_run.h"

std::function<void(bool)> tolvtest::call_hook;

namespace {

using namespace tolvtest;
namespace fs = std::filesystem;

enum Type { TUser, TGroup, TPolicy, TResource, TResgroup, TCreds, LUser, LGroup, LPolicy, LResource, LResgroup, LCreds };
enum Kind { Str, U32, I32, Uuid, Blob, Pw, Logins, Members, UList, GList };
struct Field {
    const char *name;
    std::size_t off;
    Kind kind;
};
struct TypeInfo {
    const char *name;
    void *(*alloc)();
    void (*release)(void *);
    std::vector<Field> fields;
};

// The offset of a member within its record.
template <class R, class M>
std::size_t offset_of(M R::*m) {
    static const R r{};
    return static_cast<std::size_t>(reinterpret_cast<const char *>(&(r.*m)) - reinterpret_cast<const char *>(&r));
}

// A record's fields: every field of its family's table, and the members no
// table line holds (the UUID bytes, lists of members), in the record's
// member order.
template <class R>
std::vector<Field> fields_of(std::vector<Field> extra) {
    using tolv::format::Kind;
    std::vector<Field> out = std::move(extra);
    out.push_back({"uuid", offset_of(&R::uuid), Uuid});
    for (const auto &f : tolv::format::family_of<R>().fields) {
        switch (f.kind) {
            case Kind::Key:
            case Kind::Text: out.push_back({f.name, offset_of(f.text), Str}); break;
            case Kind::Uuid: out.push_back({"uuid_string", offset_of(f.text), Str}); break;
            case Kind::Unsigned:
            case Kind::Signed: out.push_back(f.u32 ? Field{f.name, offset_of(f.u32), U32} : Field{f.name, offset_of(f.i32), I32}); break;
            case Kind::Password: out.push_back({f.name, offset_of(f.password), Pw}); break;
            case Kind::LoginTypes: out.push_back({f.name, offset_of(f.login_types), Logins}); break;
            case Kind::BlobLength: out.push_back({f.name, offset_of(f.blob), Blob}); break;
        }
    }
    std::sort(out.begin(), out.end(), [](const Field &a, const Field &b) { return a.off < b.off; });
    return out;
}

#define T(name, S, ...)                                                                                \
    TypeInfo {                                                                                         \
        name, [] { return static_cast<void *>(rspi_alloc_##S()); },                                    \
            [](void *p) { rspi_free_##S(static_cast<rspi_##S *>(p)); }, __VA_ARGS__                    \
    }
const TypeInfo &info(Type t) {
    static const TypeInfo all[] = {
        T("user", user, fields_of<rspi_user>({{"groups", offsetof(rspi_user, groups), GList}})),
        T("group", group, fields_of<rspi_group>({{"members", offsetof(rspi_group, members), UList}})),
        T("policy", policy, fields_of<rspi_policy>({})),
        T("resource", resource, fields_of<rspi_resource>({})),
        T("resgroup", resgroup, fields_of<rspi_resgroup>({{"members", offsetof(rspi_resgroup, members), Members}})),
        T("creds", rescreds, fields_of<rspi_rescreds>({})),
        T("userlist", userlist, {}), T("grouplist", grouplist, {}), T("policylist", policylist, {}),
        T("resourcelist", resourcelist, {}), T("resgrouplist", resgrouplist, {}), T("credslist", rescredslist, {})};
    return all[t];
}
#undef T

// While a call is under way, the runner's own allocations (records a step
// fills, authentication data) are not the call's: call_hook sees them outside.
bool g_in_call = false;
struct Outside {
    const bool was = g_in_call;
    Outside() {
        if (was && call_hook) call_hook(false);
        g_in_call = false;
    }
    ~Outside() {
        g_in_call = was;
        if (was && call_hook) call_hook(true);
    }
};

// A record or list of the host's, released with everything on it.
struct Obj {
    Type type;
    std::shared_ptr<void> p;
};
Obj make(Type t) {
    const Outside outside;
    return {t, std::shared_ptr<void>(info(t).alloc(), info(t).release)};
}

template <class X>
X &at(void *rec, std::size_t off) {
    return *reinterpret_cast<X *>(static_cast<char *>(rec) + off);
}

std::string unescape(const std::string &v) {
    std::string out;
    for (std::size_t i = 0; i < v.size(); ++i) {
        if (v[i] != '\\' || i + 1 == v.size()) {
            out += v[i];
            continue;
        }
        const char c = v[++i];
        if (c == 's') out += ' ';
        else if (c == 'n') out += '\n';
        else if (c == 'r') out += '\r';
        else if (c == 't') out += '\t';
        else if (c == 'x') out += static_cast<char>(std::stoi(v.substr(i + 1, 2), nullptr, 16)), i += 2;
        else if (c == '*') {
            const std::size_t end = v.find(';', i);
            const std::size_t n = std::stoul(v.substr(i + 1, end - i - 1));
            if (!out.empty()) out.resize(std::max(out.size(), n), out.back());
            i = end;
        } else out += c;
    }
    return out;
}

std::string escape(std::string_view s, bool quote = true) {
    std::string out = quote ? "\"" : "";
    for (const unsigned char c : s) {
        if (c == '\\' || (quote && c == '"')) out += '\\', out += static_cast<char>(c);
        else if (c == '\t') out += "\\t";
        else if (c == '\r') out += "\\r";
        else if (c == '\n') out += "\\n";
        else if (c < 0x20 || c >= 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else out += static_cast<char>(c);
    }
    return quote ? out + "\"" : out;
}

std::vector<std::string> split(const std::string &s, char sep) {
    std::vector<std::string> out;
    std::stringstream in(s);
    for (std::string w; std::getline(in, w, sep);)
        if (sep != ' ' || !w.empty()) out.push_back(w);
    return out;
}

std::string list_text(const void *l) {
    if (!l) return "(null)";
    const auto *list = static_cast<const rspi_userlist *>(l);  // every list record shares this layout
    std::string out = "{kind=" + std::to_string(list->kind) + " count=" + std::to_string(list->count);
    if (list->file) out += " file=" + escape(list->file);
    int i = 0, prev = -1, cur = -1;
    out += " [";
    for (const rspi_list_item *it = list->first; it; it = it->next, ++i) {
        if (it == list->previous) prev = i;
        if (it == list->current) cur = i;
        out += (i ? " " : "") + std::to_string(it->flag) + ":" + (it->data ? escape(it->data) : "(null)");
    }
    const auto pos = [](const void *p, int n) { return p ? (n < 0 ? std::string("?") : std::to_string(n)) : "-"; };
    return out + "] previous=" + pos(list->previous, prev) + " current=" + pos(list->current, cur) + "}";
}

std::string record_text(const Obj &o) {
    void *r = o.p.get();
    if (o.type >= LUser) return info(o.type).name + (" " + list_text(r));
    std::string out = info(o.type).name;
    for (const Field &f : info(o.type).fields) {
        std::string v;
        switch (f.kind) {
            case Str: if (const char *s = at<char *>(r, f.off)) v = escape(s); break;
            case U32: if (const uint32_t n = at<uint32_t>(r, f.off)) v = std::to_string(n); break;
            case I32: if (const int32_t n = at<int32_t>(r, f.off)) v = std::to_string(n); break;
            case Uuid: {
                const auto *b = &at<unsigned char>(r, f.off);
                if (std::all_of(b, b + 16, [](unsigned char c) { return c == 0; })) break;
                char text[40];
                std::snprintf(text, sizeof text, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                              b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13],
                              b[14], b[15]);
                v = text;
                break;
            }
            case Blob: if (const auto *b = at<rspi_blob *>(r, f.off)) v = std::to_string(b->length) + ":" + escape(bytes(b)); break;
            case Pw:
                if (const auto *a = at<rspi_authndata *>(r, f.off))
                    v = "type" + std::to_string(a->type) + ":" + (a->data ? escape(text_of(a)) : "(null)");
                break;
            case Logins:
            case Members: {
                const auto *t = at<rspi_logintypes *>(r, f.off);  // the same shape: a count and names
                if (!t) break;
                v = "[";
                for (int32_t i = 0; i < t->count; ++i) v += (i ? "," : "") + (t->types[i] ? escape(t->types[i]) : "(null)");
                v += "]";
                break;
            }
            case UList:
            case GList: if (const void *l = at<void *>(r, f.off)) v = list_text(l); break;
        }
        if (!v.empty()) out += " " + std::string(f.name) + "=" + v;
    }
    return out;
}

rspi_authndata *authn(const std::string &v, uint32_t type = 1) {
    const Outside outside;
    return v == "(null)" ? nullptr : password(unescape(v), type);
}

static_assert(offsetof(rspi_logintypes, types) == offsetof(rspi_resgroupmembers, names));

// "a,b,c" as login types or resource-group members (the same shape: a count and names).
template <class X>
X *names_of(const std::string &raw, X *(*alloc)(int32_t)) {
    if (raw == "(null)") return nullptr;
    const auto words = split(unescape(raw), ',');
    X *t = alloc(static_cast<int32_t>(words.size()));
    char **slot = reinterpret_cast<char **>(reinterpret_cast<char *>(t) + offsetof(rspi_logintypes, types));
    for (std::size_t i = 0; i < words.size(); ++i) slot[i] = rspi_strdup(words[i].c_str());
    return t;
}

template <class X>
void replace(X *&field, void (*release)(X *), X *value) {
    release(field);
    field = value;
}

// Sets a field of a record; false when the record has no such field.
bool set_field(const Obj &o, const std::string &key, const std::string &raw) {
    void *r = o.p.get();
    const bool null = raw == "(null)";
    const std::string v = unescape(raw);
    for (const Field &f : info(o.type).fields) {
        if (key != f.name) continue;
        switch (f.kind) {
            case Str: set(at<char *>(r, f.off), null ? nullptr : v.c_str()); break;
            case U32: at<uint32_t>(r, f.off) = static_cast<uint32_t>(std::stoll(v)); break;
            case I32: at<int32_t>(r, f.off) = static_cast<int32_t>(std::stoll(v)); break;
            case Blob: replace(at<rspi_blob *>(r, f.off), rspi_free_blob, null ? nullptr : blob(v)); break;
            case Pw: replace(at<rspi_authndata *>(r, f.off), rspi_free_authndata, authn(raw)); break;
            case Logins: replace(at<rspi_logintypes *>(r, f.off), rspi_free_logintypes, names_of(raw, rspi_alloc_logintypes)); break;
            case Members:
                replace(at<rspi_resgroupmembers *>(r, f.off), rspi_free_resgroupmembers,
                        names_of(raw, rspi_alloc_resgroupmembers));
                break;
            default: return false;
        }
        return true;
    }
    if (key == "password_type")  // the type of the record's password
        for (const Field &f : info(o.type).fields)
            if (f.kind == Pw && at<rspi_authndata *>(r, f.off)) return at<rspi_authndata *>(r, f.off)->type = std::stoul(v), true;
    return false;
}

}  // namespace

// One sequence: a fresh registry, the records and lists kept by slot name,
// and the transcript.
struct tolvtest::Run {
    std::unique_ptr<TempDir> dir, conf_dir = std::make_unique<TempDir>();
    std::string reg;  // the registry directory: dir's, or one given
    char **h = nullptr;
    char **next = nullptr;  // a registry initialised after h was terminated (init.next)
    std::map<std::string, Obj> slots;
    std::map<std::string, std::vector<std::string>> picks;
    std::vector<std::string> tmpls;

    std::string conf() const { return conf_dir->path() + "tolv.conf"; }
    void init() {
        // TOLV_CORPUS_TRACE=FILE appends the plug-in's trace there, to compare builds.
        const char *trace = std::getenv("TOLV_CORPUS_TRACE");
        write_file(conf(), (trace ? "verbose=" + std::string(trace) + "\n" : "") + "dir=" + reg + "\n");
        if (rspi_initialize(&h, conf().c_str()) != 0) throw std::runtime_error("rspi_initialize failed");
    }
    Run() : dir(std::make_unique<TempDir>()), reg(dir->path()) { init(); }
    explicit Run(const std::string &registry) : reg(registry) { init(); }
    ~Run() {
        slots.clear();
        if (h) rspi_terminate(h);
        if (next) rspi_terminate(next);
    }
    std::string path(const std::string &name) const { return reg + unescape(name); }
    // The text with this run's directories, and the build tree's, by name.
    std::string paths_named(std::string s) const {
        for (const auto &[from, to] : {std::pair{reg, "$DIR/"}, std::pair{conf_dir->path(), "$CONFDIR/"},
                                       std::pair{fs::path(TOLV_PLUGIN_PATH).parent_path().string() + "/", "$BUILD/"}})
            for (std::size_t p; (p = s.find(from)) != std::string::npos;) s.replace(p, from.size(), to);
        return s;
    }
};

namespace {

// An operation's records and arguments, as the line gave them.
struct Call {
    Obj a, u, l;
    std::map<std::string, std::string> args;
    std::vector<std::string> words;
    std::string arg(const std::string &k, const std::string &dflt = "(null)") const {
        const auto it = args.find(k);
        return it == args.end() ? dflt : it->second;
    }
    std::string text(const std::string &k) const { return unescape(arg(k)); }
    const char *cstr(const std::string &k, std::string &keep) const {
        keep = text(k);
        return arg(k) == "(null)" ? nullptr : keep.c_str();
    }
    template <class R>
    R *rec() const { return static_cast<R *>(a.p.get()); }
    rspi_user *user() const { return static_cast<rspi_user *>(u.p.get()); }
    template <class L>
    L *list() const { return static_cast<L *>(l.p.get()); }
};

using Fn = std::function<std::string(Run &, Call &)>;
struct Op {
    const char *name;
    int rec;       // the record type, or -1
    bool user;     // takes a user record too (u.FIELD, u@SLOT)
    int list;      // a list slot named by the first word: its type, -2 any list, or -1
    Fn fn;
};
std::string rc(uint32_t n) { return "rc=" + std::to_string(n); }

template <class R, uint32_t (*Fn1)(char **, R *)>
std::string one(Run &r, Call &c) { return rc(Fn1(r.h, c.rec<R>())); }
template <class R, uint32_t (*Fn2)(char **, rspi_user *, R *)>
std::string with_user(Run &r, Call &c) { return rc(Fn2(r.h, c.user(), c.rec<R>())); }
template <class L>
std::string named(Run &r, Call &c, uint32_t (*fn)(char **, L *, uint32_t, const char *, const char *, const char *)) {
    std::string a, b, d;
    return rc(fn(r.h, c.list<L>(), std::stoul(c.arg("mode", "0")), c.cstr("id", a), c.cstr("domain", b), c.cstr("rid", d)));
}
template <class L>
std::string append(Run &r, Call &c, uint32_t (*fn)(char **, L *, char **, int32_t)) {
    std::vector<std::string> names = c.arg("names") == "(null)" ? std::vector<std::string>{} : split(c.text("names"), ',');
    std::vector<char *> ptrs;
    for (auto &n : names) ptrs.push_back(n.data());
    const int32_t count = static_cast<int32_t>(std::stol(c.arg("count", std::to_string(names.size()))));
    return rc(fn(r.h, c.list<L>(), c.arg("names") == "(null)" ? nullptr : ptrs.data(), count));
}

// Counting and the cursor of each kind of list, and the record a step fills.
struct Walker {
    Type rec;
    std::function<int32_t(char **, void *)> count;
    std::function<uint32_t(char **, void *, void *, int32_t, int)> step;  // 0 first, 1 next, 2 previous
};
template <class L, class R>
Walker walker(Type t, int32_t (*count)(char **, L *), uint32_t (*first)(char **, L *, R *, int32_t),
              uint32_t (*next)(char **, L *, R *, int32_t), uint32_t (*previous)(char **, L *, R *, int32_t)) {
    return {t, [count](char **h, void *l) { return count(h, static_cast<L *>(l)); },
            [=](char **h, void *l, void *r, int32_t fetch, int d) {
                return (d == 0 ? first : d == 1 ? next : previous)(h, static_cast<L *>(l), static_cast<R *>(r), fetch);
            }};
}
const Walker &walker_of(Type list) {
    static const Walker all[] = {
        walker(TUser, rspi_userlist_count, rspi_first_user, rspi_next_user, rspi_previous_user),
        walker(TGroup, rspi_grouplist_count, rspi_first_group, rspi_next_group, rspi_previous_group),
        walker(TPolicy, rspi_policylist_count, rspi_first_policy, rspi_next_policy, rspi_previous_policy),
        walker(TResource, rspi_resourcelist_count, rspi_first_resource, rspi_next_resource, rspi_previous_resource),
        walker(TResgroup, rspi_resgrouplist_count, rspi_first_resgroup, rspi_next_resgroup, rspi_previous_resgroup),
        walker(TCreds, rspi_rescredslist_count, rspi_first_rescreds, rspi_next_rescreds, rspi_previous_rescreds)};
    return all[list - LUser];
}

// One cursor step; "@SLOT" keeps the record it fills across steps.
std::string step(Run &r, Call &c, int d) {
    const Walker &w = walker_of(c.l.type);
    const auto it = std::find_if(c.words.begin(), c.words.end(), [](const std::string &x) { return x[0] == '@'; });
    Obj rec = make(w.rec);
    if (it != c.words.end()) {
        if (!r.slots.count(it->substr(1))) r.slots[it->substr(1)] = rec;
        rec = r.slots[it->substr(1)];
        if (rec.type != w.rec) throw std::runtime_error("slot " + *it + " holds another kind");
    }
    const uint32_t n = w.step(r.h, c.l.p.get(), rec.p.get(), std::stoi(c.arg("fetch", "1")), d);
    return rc(n) + "\n  " + record_text(rec);
}

// Sizes count the directories by name, as the text shows them: the same wherever TMPDIR puts them.
std::string dump(const Run &r, const std::string &dir, const std::string &prefix = "") {
    std::vector<std::string> names;
    for (const auto &e : fs::directory_iterator(dir)) {
        const std::string n = e.path().filename().string();
        // An idle journal and an empty lock file are bookkeeping, not content; anything left in them is shown.
        const fs::file_status st = fs::symlink_status(dir + "/" + n);
        if (n.rfind("tolv.journal", 0) == 0 && fs::is_empty(dir + "/" + n) &&
            ((prefix.empty() && fs::is_directory(st)) ||
             ((n == "tolv.journal.lock" || n == "tolv.journal.reserve") && fs::is_regular_file(st))))
            continue;
        names.push_back(n);
    }
    std::sort(names.begin(), names.end());
    std::string out;
    for (const std::string &n : names) {
        const std::string p = dir + "/" + n;
        const fs::file_status st = fs::symlink_status(p);
        out += "-- " + escape(prefix + n, false);
        if (fs::is_symlink(st)) out += " -> " + escape(fs::read_symlink(p).string(), false) + "\n";
        else if (fs::is_directory(st)) out += "/\n" + dump(r, p, prefix + n + "/");
        else {
            const std::string data = read_file(p);
            out += " (" + std::to_string(r.paths_named(data).size()) + " bytes)\n";
            for (const std::string &line : split(data, '\n')) out += "  |" + escape(line, false) + "\n";
            if (!data.empty() && data.back() != '\n') out += "  (no newline at the end)\n";
        }
    }
    return out;
}

// tolvadm's note that the registry is on a shared file system tells where the corpus runs, as
// the directory's name does: left out, so that the goldens hold on a network volume too.
std::string without_shared_fs_note(const std::string &text) {
    std::string out;
    for (const std::string &l : split(text, '\n')) {
        if (l.find(" is on a shared file system (") == std::string::npos) {
            out += l + "\n";
        } else if (l.back() != ',' && out.size() > 1 && out[out.size() - 2] == ',') {
            out.erase(out.size() - 2, 1);  // it was the last member of a JSON object
        }
    }
    return out.substr(0, out.size() - 1);
}

const std::vector<Op> &ops() {
    static const std::vector<Op> all = {
        {"user.create", TUser, false, -1, one<rspi_user, rspi_create_user>},
        {"user.get", TUser, false, -1, one<rspi_user, rspi_get_user>},
        {"user.modify", TUser, false, -1, one<rspi_user, rspi_modify_user>},
        {"user.delete", TUser, false, -1, one<rspi_user, rspi_delete_user>},
        {"user.disable", TUser, false, -1, one<rspi_user, rspi_disable_user>},
        {"user.enable", TUser, false, -1, one<rspi_user, rspi_enable_user>},
        {"user.by_uuid", TUser, false, -1, one<rspi_user, rspi_get_user_by_uuid>},
        {"user.by_certdn", TUser, false, -1, one<rspi_user, rspi_get_user_by_certdn>},
        {"user.by_rgyid", TUser, false, -1, one<rspi_user, rspi_get_user_by_rgyid>},
        {"user.auth", TUser, false, -1,
         [](Run &r, Call &c) {
             const std::unique_ptr<rspi_authndata, void (*)(rspi_authndata *)> a(
                 authn(c.arg("pw"), std::stoul(c.arg("type", "1"))), rspi_free_authndata);
             return rc(rspi_authenticate_user(r.h, c.rec<rspi_user>(), a.get()));
         }},
        {"user.passwd", TUser, false, -1,
         [](Run &r, Call &c) {
             const std::unique_ptr<rspi_authndata, void (*)(rspi_authndata *)> o(
                 authn(c.arg("old"), std::stoul(c.arg("oldtype", "1"))), rspi_free_authndata),
                 n(authn(c.arg("new"), std::stoul(c.arg("newtype", "1"))), rspi_free_authndata);
             return rc(rspi_change_authndata(r.h, c.rec<rspi_user>(), o.get(), n.get()));
         }},
        {"user.groups", TUser, false, LGroup,
         [](Run &r, Call &c) { return rc(rspi_user_grouplist(r.h, c.rec<rspi_user>(), c.list<rspi_grouplist>())); }},
        {"group.create", TGroup, false, -1, one<rspi_group, rspi_create_group>},
        {"group.get", TGroup, false, -1, one<rspi_group, rspi_get_group>},
        {"group.modify", TGroup, false, -1, one<rspi_group, rspi_modify_group>},
        {"group.delete", TGroup, false, -1, one<rspi_group, rspi_delete_group>},
        {"group.disable", TGroup, false, -1, one<rspi_group, rspi_disable_group>},
        {"group.enable", TGroup, false, -1, one<rspi_group, rspi_enable_group>},
        {"group.by_uuid", TGroup, false, -1, one<rspi_group, rspi_get_group_by_uuid>},
        {"group.by_rgyid", TGroup, false, -1, one<rspi_group, rspi_get_group_by_rgyid>},
        {"group.add", TGroup, true, -1,
         [](Run &r, Call &c) { return rc(rspi_add_group_member(r.h, c.rec<rspi_group>(), c.user())); }},
        {"group.remove", TGroup, true, -1,
         [](Run &r, Call &c) { return rc(rspi_remove_group_member(r.h, c.rec<rspi_group>(), c.user())); }},
        {"group.members", TGroup, false, LUser,
         [](Run &r, Call &c) { return rc(rspi_group_userlist(r.h, c.rec<rspi_group>(), c.list<rspi_userlist>())); }},
        {"policy.create", TPolicy, false, -1, one<rspi_policy, rspi_create_policy>},
        {"policy.get", TPolicy, false, -1, one<rspi_policy, rspi_get_policy>},
        {"policy.modify", TPolicy, false, -1, one<rspi_policy, rspi_modify_policy>},
        {"policy.delete", TPolicy, false, -1, one<rspi_policy, rspi_delete_policy>},
        {"resource.create", TResource, false, -1, one<rspi_resource, rspi_create_resource>},
        {"resource.get", TResource, false, -1, one<rspi_resource, rspi_get_resource>},
        {"resource.modify", TResource, false, -1, one<rspi_resource, rspi_modify_resource>},
        {"resource.delete", TResource, false, -1, one<rspi_resource, rspi_delete_resource>},
        {"resgroup.create", TResgroup, false, -1, one<rspi_resgroup, rspi_create_resgroup>},
        {"resgroup.get", TResgroup, false, -1, one<rspi_resgroup, rspi_get_resgroup>},
        {"resgroup.modify", TResgroup, false, -1, one<rspi_resgroup, rspi_modify_resgroup>},
        {"resgroup.delete", TResgroup, false, -1, one<rspi_resgroup, rspi_delete_resgroup>},
        {"resgroup.add", TResgroup, false, -1,
         [](Run &r, Call &c) {
             std::string m;
             return rc(rspi_add_resgroup_member(r.h, c.rec<rspi_resgroup>(), const_cast<char *>(c.cstr("member", m))));
         }},
        {"resgroup.remove", TResgroup, false, -1,
         [](Run &r, Call &c) {
             std::string m;
             return rc(rspi_remove_resgroup_member(r.h, c.rec<rspi_resgroup>(), const_cast<char *>(c.cstr("member", m))));
         }},
        {"creds.create", TCreds, true, -1, with_user<rspi_rescreds, rspi_create_rescreds>},
        {"creds.get", TCreds, true, -1, with_user<rspi_rescreds, rspi_get_rescreds>},
        {"creds.modify", TCreds, true, -1, with_user<rspi_rescreds, rspi_modify_rescreds>},
        {"creds.delete", TCreds, true, -1, with_user<rspi_rescreds, rspi_delete_rescreds>},
        {"list.users", -1, false, LUser, [](Run &r, Call &c) { return named(r, c, rspi_get_userlist); }},
        {"list.groups", -1, false, LGroup, [](Run &r, Call &c) { return named(r, c, rspi_get_grouplist); }},
        {"list.adduser", -1, false, LUser, [](Run &r, Call &c) { return append(r, c, rspi_userlist_add_user); }},
        {"list.addgroup", -1, false, LGroup, [](Run &r, Call &c) { return append(r, c, rspi_grouplist_add_group); }},
        {"list.policies", -1, false, LPolicy,
         [](Run &r, Call &c) { return rc(rspi_get_policylist(r.h, c.list<rspi_policylist>())); }},
        {"list.resources", -1, false, LResource,
         [](Run &r, Call &c) { return rc(rspi_get_resourcelist(r.h, c.list<rspi_resourcelist>())); }},
        {"list.resgroups", -1, false, LResgroup,
         [](Run &r, Call &c) { return rc(rspi_get_resgrouplist(r.h, c.list<rspi_resgrouplist>())); }},
        {"list.creds", -1, true, LCreds,
         [](Run &r, Call &c) { return rc(rspi_get_rescredslist(r.h, c.user(), c.list<rspi_rescredslist>())); }},
        {"count", -1, false, -2,
         [](Run &r, Call &c) { return "count=" + std::to_string(walker_of(c.l.type).count(r.h, c.l.p.get())); }},
        {"first", -1, false, -2, [](Run &r, Call &c) { return step(r, c, 0); }},
        {"next", -1, false, -2, [](Run &r, Call &c) { return step(r, c, 1); }},
        {"previous", -1, false, -2, [](Run &r, Call &c) { return step(r, c, 2); }},
        {"walk", -1, false, -2,  // next until it fails
         [](Run &r, Call &c) {
             std::string out;
             for (int i = 0; i < 1000; ++i) {
                 const std::string one = step(r, c, 1);
                 out += (i ? "\n  " : "") + one;
                 if (one.rfind("rc=0\n", 0) != 0) break;
             }
             return out;
         }},
        {"frame", -1, false, -1,
         [](Run &r, Call &) {
             void *dh = nullptr;
             char *dn = nullptr;
             return "version=" + std::to_string(rspi_version(r.h)) + " type=" + rspi_registry_type(r.h) +
                    " authn=" + std::to_string(rspi_authn_type(r.h)) + " ext=" + std::to_string(rspi_extensions(r.h)) +
                    " lib_init=" + std::to_string(rspi_lib_init(r.h)) + " router=" + std::to_string(rspi_router(r.h)) +
                    " props=" + std::to_string(rspi_get_registry_properties(r.h, nullptr)) +
                    " up=" + std::to_string(rspi_is_registry_server_up(r.h)) +
                    " domain=" + std::to_string(rspi_create_domain_handle(r.h, "corp", &dh)) + "," +
                    std::to_string(rspi_delete_domain_handle(r.h, dh)) + "," +
                    std::to_string(rspi_create_domain(r.h, "corp")) + "," + std::to_string(rspi_delete_domain(r.h, "corp")) +
                    "," + std::to_string(rspi_get_domain_name(r.h, dh, &dn));
         }},
        {"terminate", -1, false, -1, [](Run &r, Call &) { return rc(rspi_terminate(r.h)); }},  // the handle stays
        {"init.next", -1, false, -1,  // initialises the same configuration again; later calls keep the old handle
         [](Run &r, Call &) { return rc(rspi_initialize(&r.next, r.conf().c_str())); }},
        {"config", -1, false, -1,  // the words, with $DIR the registry, as a configuration file
         [](Run &r, Call &c) {
             rspi_terminate(r.h);
             r.h = nullptr;
             std::string text;
             for (const auto &w : c.words) text += unescape(w) + "\n";
             for (std::size_t p; (p = text.find("$DIR")) != std::string::npos;) text.replace(p, 4, r.reg);
             write_file(r.conf(), text);
             const uint32_t n = rspi_initialize(&r.h, r.conf().c_str());
             if (n != 0) r.init();
             return rc(n);
         }},
        {"file", -1, false, -1,  // NAME [CONTENT]: writes a file of the registry ($DIR/ its directory)
         [](Run &r, Call &c) {
             std::string text = c.words.size() > 1 ? unescape(c.words[1]) : "";
             for (std::size_t p; (p = text.find("$DIR/")) != std::string::npos;) text.replace(p, 5, r.reg);
             return write_file(r.path(c.words.at(0)), text), std::string("ok");
         }},
        {"rm", -1, false, -1, [](Run &r, Call &c) { return std::string(::unlink(r.path(c.words.at(0)).c_str()) ? "failed" : "ok"); }},
        {"truncate", -1, false, -1,
         [](Run &r, Call &c) { return std::string(::truncate(r.path(c.words.at(0)).c_str(), std::stol(c.words.at(1))) ? "failed" : "ok"); }},
        {"mv", -1, false, -1,
         [](Run &r, Call &c) {
             return std::string(std::rename(r.path(c.words.at(0)).c_str(), r.path(c.words.at(1)).c_str()) ? "failed" : "ok");
         }},
        {"mkdir", -1, false, -1, [](Run &r, Call &c) { return std::string(::mkdir(r.path(c.words.at(0)).c_str(), 0700) ? "failed" : "ok"); }},
        {"symlink", -1, false, -1,
         [](Run &r, Call &c) { return std::string(::symlink(unescape(c.words.at(1)).c_str(), r.path(c.words.at(0)).c_str()) ? "failed" : "ok"); }},
        {"show", -1, false, -1, [](Run &r, Call &) { return "\n" + r.paths_named(dump(r, r.reg)); }},
        {"adm", -1, false, -1,  // tolvadm WORDS... on the registry; <TEXT is its standard input
         [](Run &r, Call &c) {
             std::vector<std::string> args;
             std::string input;
             for (const auto &w : c.words) {
                 std::string v = unescape(w[0] == '<' ? w.substr(1) : w);
                 for (std::size_t p; (p = v.find("$DIR/")) != std::string::npos;) v.replace(p, 5, r.reg);
                 (w[0] == '<' ? input : args.emplace_back()) = v;
             }
             const AdmResult a =
                 args.size() > 1 && args[0] == "--config" ? run_tolvadm(args, input) : tolvadm(r.conf(), args, input);
             std::string out = "status=" + std::to_string(a.status);
             for (const auto &[tag, text] : {std::pair{"out|", without_shared_fs_note(a.out)},
                                             std::pair{"err|", without_shared_fs_note(a.err)}})
                 for (const std::string &l : split(text, '\n')) out += "\n  " + std::string(tag) + escape(l, false);
             return r.paths_named(out);
         }},
    };
    return all;
}

std::string execute(Run &r, const std::string &line);

// Draws COUNT lines from the templates, each $X replaced by a word of "pick X".
std::string mix(Run &r, uint64_t seed, int count) {
    uint64_t x = seed * 2654435761u + 1;
    const auto next = [&x](std::size_t n) {  // xorshift: the same numbers on every machine
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        return static_cast<std::size_t>(x % n);
    };
    std::string out;
    for (int i = 0; i < count; ++i) {
        std::string line = r.tmpls.at(next(r.tmpls.size()));
        for (std::size_t p; (p = line.find('$')) != std::string::npos;) {
            const auto &words = r.picks.at(line.substr(p + 1, 1));
            line.replace(p, 2, words.at(next(words.size())));
        }
        out += execute(r, line);
    }
    return out;
}

std::string execute(Run &r, const std::string &line) {
    const auto words = split(line, ' ');
    if (words.empty() || words[0][0] == '#') return "";
    if (words[0] == "mix") return "> " + line + "\n" + mix(r, std::stoull(words.at(1)), std::stoi(words.at(2)));
    const auto op = std::find_if(ops().begin(), ops().end(), [&](const Op &o) { return words[0] == o.name; });
    if (op == ops().end()) throw std::runtime_error("unknown operation: " + line);
    Call c;
    const auto slot = [&](const std::string &name, Type t) {
        if (!name.empty() && r.slots.count(name)) {
            if (r.slots[name].type != t && (t != LUser || r.slots[name].type < LUser)) throw std::runtime_error("slot " + name + " holds another kind: " + line);
            return r.slots[name];
        }
        Obj o = make(t);
        if (!name.empty()) r.slots[name] = o;
        return o;
    };
    std::string a_slot, u_slot;
    for (std::size_t i = 1; i < words.size(); ++i) {
        const std::string &w = words[i];
        const std::size_t eq = w.find('=');
        if (w.rfind("u@", 0) == 0) u_slot = w.substr(2);
        else if (w[0] == '@' && op->rec >= 0) a_slot = w.substr(1);
        else if (eq == std::string::npos || (op->rec < 0 && !op->user && op->list == -1)) c.words.push_back(w);
        else c.args[w.substr(0, eq)] = w.substr(eq + 1);
    }
    if (op->rec >= 0) c.a = slot(a_slot, static_cast<Type>(op->rec));
    if (op->user) c.u = slot(u_slot, TUser);
    if (op->list != -1) {
        const std::string name = c.words.at(0);
        if (name[0] == '@') {  // the list hanging on a record: a group's members, a user's groups
            const Obj &owner = r.slots.at(name.substr(1));
            if (owner.type != TGroup && owner.type != TUser) throw std::runtime_error("no list on " + name);
            void *rec = owner.p.get();
            c.l = owner.type == TGroup ? Obj{LUser, std::shared_ptr<void>(owner.p, static_cast<rspi_group *>(rec)->members)}
                                       : Obj{LGroup, std::shared_ptr<void>(owner.p, static_cast<rspi_user *>(rec)->groups)};
        } else {
            // Every listing gets a fresh list record; appending names adds to the one it has.
            if (op->list >= 0 && std::string(op->name).find(".add") == std::string::npos) r.slots.erase(name);
            c.l = slot(name, op->list >= 0 ? static_cast<Type>(op->list) : LUser);
        }
        c.words.erase(c.words.begin());
    }
    for (auto it = c.args.begin(); it != c.args.end();) {
        const bool for_user = it->first.rfind("u.", 0) == 0 && c.u.p;
        if (for_user ? set_field(c.u, it->first.substr(2), it->second) : c.a.p && set_field(c.a, it->first, it->second))
            it = c.args.erase(it);
        else ++it;
    }
    if (call_hook) call_hook(true);
    g_in_call = true;
    const std::string result = op->fn(r, c);
    g_in_call = false;
    if (call_hook) call_hook(false);
    std::string out = "> " + line + "\n  " + result + "\n";
    for (const Obj *o : {&c.a, &c.u, &c.l})
        if (o->p) out += "  " + record_text(*o) + "\n";
    return out;
}

}  // namespace

std::string tolvtest::run_corpus(const std::string &text) {
    std::string out;
    std::unique_ptr<Run> r;
    const auto finish = [&] {
        if (r) out += "== directory\n" + r->paths_named(dump(*r, r->reg)) + "\n";
    };
    std::map<std::string, std::vector<std::string>> picks;
    std::vector<std::string> tmpls;
    for (const std::string &line : split(text, '\n')) {
        const auto words = split(line, ' ');
        if (!words.empty() && words[0] == "pick") {
            picks[words.at(1)].assign(words.begin() + 2, words.end());
        } else if (!words.empty() && words[0] == "tmpl") {
            tmpls.push_back(line.substr(5));
        } else if (line.rfind("== ", 0) == 0) {
            finish();
            r.reset();
            r = std::make_unique<Run>();
            r->picks = picks;
            r->tmpls = tmpls;
            out += line + "\n";
        } else if (r) {
            out += execute(*r, line);
        }
    }
    finish();
    return out;
}

tolvtest::Sequence::Sequence() : run_(std::make_unique<Run>()) {}
tolvtest::Sequence::Sequence(const std::string &registry) : run_(std::make_unique<Run>(registry)) {}
tolvtest::Sequence::~Sequence() = default;
const std::string &tolvtest::Sequence::dir() const { return run_->reg; }

std::string tolvtest::Sequence::operator()(const std::string &lines) {
    std::string out;
    for (const std::string &line : split(lines, '\n')) out += execute(*run_, line);
    return out;
}

uint32_t tolvtest::failure(const std::string &transcript) {
    for (std::size_t p = 0; (p = transcript.find("\n  rc=", p)) != std::string::npos;)
        if (const auto rc = static_cast<uint32_t>(std::stoul(transcript.substr(p += 6, 12)));
            rc != 0 && rc != RSPI_RC_NO_MORE_ENTRIES)
            return rc;
    return 0;
}
