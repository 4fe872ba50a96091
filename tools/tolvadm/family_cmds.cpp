// family_cmds.cpp - the shared commands of the record families, from their field tables.
#include "family_cmds.h"

#include <algorithm>
#include <cctype>

namespace tolvadm {

namespace {

using fields::Kind;

template <class R>
const fields::Field<R> *field_named(std::string_view name) {
    for (const auto &f : Records<R>::table)
        if (name == f.name) return &f;
    return nullptr;
}

// A key value of a record or its owner (null when unset).
template <class R>
char *const &key_of(const Key &k, const R *r, const rspi_user *owner) {
    if (k.owner) return owner->*field_named<rspi_user>(k.field)->text;
    return r->*field_named<R>(k.field)->text;
}

// "text_1" -> "--text-1"; the blob's option takes a file.
template <class R>
std::string option_name(const fields::Field<R> &f) {
    if (f.kind == Kind::BlobLength) return "--blob-file";
    std::string name = std::string("--") + f.name;
    std::replace(name.begin(), name.end(), '_', '-');
    return name;
}

// "Number (-1: not given, -2: reset to -1)"; a reset as typed (-2 for a flag).
template <class R>
std::string number_help(const fields::Field<R> &f, Use use) {
    std::string s = std::string(f.kind == Kind::Signed ? "Number (" : "Unsigned number (") +
                    std::to_string(f.not_given) + ": not given";
    if (use == Use::create && f.dflt != f.not_given) s += ", stored as " + std::to_string(f.dflt);
    if (use == Use::modify && f.reset != fields::kNoReset)
        s += ", " + std::to_string(f.u32 ? int64_t{static_cast<int32_t>(f.reset)} : f.reset) + ": reset to " +
             std::to_string(f.not_given);
    return s + ")";
}

// "a;b" as a login-type list.
Owned<rspi_logintypes> login_types(const std::string &text) {
    std::vector<std::string> parts;
    for (std::size_t start = 0;;) {
        const std::size_t end = text.find(';', start);
        parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    auto types = own(rspi_alloc_logintypes(static_cast<int32_t>(parts.size())));
    char **slots = types->types;  // a trailing array of count slots
    for (std::size_t i = 0; i < parts.size(); ++i) set_str(slots[i], parts[i]);
    return types;
}

template <class R>
const char *stem_of(const Family<R> &f) {
    return f.stem ? f.stem : fields::family_of<R>().stem;
}

std::string lower(std::string s) {
    for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

}  // namespace

void add_secret_options(Command *cmd, const char *secret, bool *ask, bool &from_stdin) {
    if (ask)
        cmd->add_flag("--password", *ask,
                      std::string("Set a new ") + secret + ", asked for twice without echo (1 to " +
                          std::to_string(kMaxSecret) + " bytes)");
    cmd->add_flag("--password-stdin", from_stdin,
                  std::string("Read the ") + secret +
                      " from standard input (one line, newline stripped) instead of the terminal");
}

// ---------------------------------------------------------------------------
// FamilyOps

template <class R>
Owned<R> FamilyOps<R>::blank() {
    auto r = own(Records<R>::alloc());
    for (const auto &f : Records<R>::table)
        if (f.is_number()) f.set_number(r.get(), f.not_given);
    return r;
}

template <class R>
Owned<R> FamilyOps<R>::keyed(std::initializer_list<std::string_view> values) const {
    auto r = blank();
    auto v = values.begin();
    for (const Key &k : f_.keys)
        if (!k.owner && v != values.end()) set_str(r.get()->*field_named<R>(k.field)->text, *v++);
    return r;
}

template <class R>
Json FamilyOps<R>::json(const R *r, bool reveal) const {
    Json j;
    std::vector<const fields::Field<R> *> order;
    for (const char *name : f_.shown) order.push_back(field_named<R>(name));
    for (const auto &f : Records<R>::table)
        if (f.kind != Kind::Password && std::find(order.begin(), order.end(), &f) == order.end()) order.push_back(&f);
    for (const auto *f : order) {
        switch (f->kind) {
        case Kind::Key:
        case Kind::Text:
        case Kind::Uuid: j[f->name] = json_str(r->*f->text); break;
        case Kind::Unsigned:
        case Kind::Signed: j[f->name] = f->u32 ? Json(r->*f->u32) : Json(r->*f->i32); break;
        case Kind::LoginTypes: j[f->name] = json_logintypes(r->*f->login_types); break;
        case Kind::Password: {
            // Its length only, and the secret itself when asked for.
            const rspi_authndata *p = r->*f->password;
            const std::string key = f_.secret_json;
            j[key + "_length"] = p ? Json(p->length) : Json(nullptr);
            if (reveal) j[key] = p && p->data ? Json(std::string(p->data, p->length)) : Json(nullptr);
            break;
        }
        case Kind::BlobLength: break;
        }
    }
    if (f_.more_json) f_.more_json(j, r);
    for (const auto &f : Records<R>::table)
        if (f.kind == Kind::BlobLength) j["blob"] = json_blob(r->*f.blob);
    return j;
}

template <class R>
bool FamilyOps<R>::call(const char *verb, R *r, rspi_user *owner) const {
    const std::string op = std::string("rspi_") + verb + "_" + stem_of(f_);
    const uint32_t rc = owner ? host_.sym<uint32_t(char **, rspi_user *, R *)>(op.c_str())(host_.h, owner, r)
                              : host_.sym<uint32_t(char **, R *)>(op.c_str())(host_.h, r);
    return host_.report(op.c_str(), rc);
}

template <class R>
bool FamilyOps<R>::show(R *r, rspi_user *owner, bool reveal) const {
    if (!call("get", r, owner)) return false;
    Json j = json(r, reveal);
    if (f_.more_shown) f_.more_shown(host_, j, r);
    host_.print(j);
    return true;
}

template <class R>
void FamilyOps<R>::list(bool fetch, rspi_user *owner) const {
    using L = typename Records<R>::List;
    auto list = own(Records<R>::alloc_list());
    const std::string get_op = std::string("rspi_get_") + stem_of(f_) + "list";
    const uint32_t rc = owner ? host_.sym<uint32_t(char **, rspi_user *, L *)>(get_op.c_str())(host_.h, owner, list.get())
                              : host_.sym<uint32_t(char **, L *)>(get_op.c_str())(host_.h, list.get());
    if (!host_.report(get_op.c_str(), rc)) return;
    const std::string next_op = std::string("rspi_next_") + stem_of(f_);
    auto next = host_.sym<uint32_t(char **, L *, R *, int32_t)>(next_op.c_str());
    Json all = Json::array();
    for (;;) {
        auto r = own(Records<R>::alloc());
        const uint32_t n = next(host_.h, list.get(), r.get(), fetch ? 1 : 0);
        if (n == RSPI_RC_NO_MORE_ENTRIES) break;
        // The entry's names, "domain policy".
        std::string names;
        bool named = true;
        for (const Key &k : f_.keys) {
            if (k.owner) continue;
            const char *v = key_of(k, r.get(), owner);
            named = named && v;
            if (!names.empty()) names += ' ';
            names += v ? v : "";
        }
        if (!host_.report(next_op.c_str(), n)) {
            // The cursor has moved past a bad entry unless the list could not be loaded.
            if (n == RSPI_RC_NO_MEMORY) break;
            if (!named) continue;
        }
        Json j = fetch ? json(r.get()) : Json(names);
        if (!host_.json) fetch ? host_.print(j) : host_.value(names);
        if (!host_.json && fetch) host_.say("");
        all.push_back(std::move(j));
    }
    if (host_.json) host_.print(all);
}

// ---------------------------------------------------------------------------
// FamilyCommands

template <class R>
FamilyCommands<R>::FamilyCommands(Command &app, Host &host, const Family<R> &f)
    : FamilyOps<R>(host, f), cmd_(app.add_subcommand(f.command ? f.command : fields::family_of<R>().name, f.help)) {
    cmd_->require_subcommand(1);
}

template <class R>
std::shared_ptr<Given<R>> FamilyCommands<R>::add_keys(Command *sub, bool owner_only) const {
    auto g = std::make_shared<Given<R>>();
    g->keys.resize(f_.keys.size());
    g->slots.resize(Records<R>::table.size());
    for (std::size_t i = 0; i < f_.keys.size(); ++i)
        if (!owner_only || f_.keys[i].owner) sub->add_option(f_.keys[i].arg, g->keys[i], f_.keys[i].help)->required();
    return g;
}

template <class R>
void FamilyCommands<R>::add_fields(Command *sub, Given<R> &g, Use use, std::span<const Note> notes) const {
    const auto table = Records<R>::table;
    for (std::size_t i = 0; i < table.size(); ++i) {
        const auto &f = table[i];
        auto &s = g.slots[i];
        std::string help;
        switch (f.kind) {
        case Kind::Key:
        case Kind::Password: continue;
        case Kind::Uuid:
            if (f.kept) continue;
            help = use == Use::create ? "UUID text (default: a new UUID)" : "UUID text";
            break;
        case Kind::Text: help = "Free text"; break;
        case Kind::LoginTypes: help = "Login types joined with ';'"; break;
        case Kind::BlobLength: help = "File whose bytes become the blob"; break;
        case Kind::Unsigned:
        case Kind::Signed: help = number_help(f, use); break;
        }
        const auto note = std::find_if(notes.begin(), notes.end(), [&](const Note &n) { return f.name == std::string_view(n.field); });
        const bool noted = note != notes.end();
        if (noted && (use == Use::create ? note->create : note->modify))
            help = use == Use::create ? note->create : note->modify;
        const std::string name = option_name(f);
        if (!f.is_number()) {
            s.opt = sub->add_option(name, s.text, help);
        } else if (f.i32) {
            s.i32 = static_cast<int32_t>(f.not_given);
            s.opt = sub->add_option(name, s.i32, help);
            if (noted && note->hi > note->lo) s.opt->check_range(note->lo, note->hi);
        } else if (f.reset == fields::kNoReset) {
            s.u32 = static_cast<uint32_t>(f.not_given);
            s.opt = sub->add_option(name, s.u32, help);
        } else {
            // An unsigned field whose reset is typed as a negative number.
            s.wide = f.not_given;
            s.opt = sub->add_option(name, s.wide, help)
                        ->check_range(int64_t{static_cast<int32_t>(f.reset)}, int64_t{UINT32_MAX});
        }
    }
    if (f_.secret)
        add_secret_options(sub, f_.secret, use == Use::create && f_.secret_on_create ? nullptr : &g.ask, g.from_stdin);
    if (f_.more_options) g.more = f_.more_options(sub, use);
}

template <class R>
std::string FamilyCommands<R>::subject(const Given<R> &g) const {
    if (f_.subject) return f_.subject(g.keys);
    std::string s = std::string(f_.noun) + " ";
    for (std::size_t i = 0; i < g.keys.size(); ++i) s += (i ? "/" : "") + g.keys[i];
    return s;
}

template <class R>
Owned<R> FamilyCommands<R>::keyed(const Given<R> &g) const {
    auto r = FamilyOps<R>::blank();
    for (std::size_t i = 0; i < f_.keys.size(); ++i)
        if (!f_.keys[i].owner) set_str(r.get()->*field_named<R>(f_.keys[i].field)->text, g.keys[i]);
    return r;
}

template <class R>
Owned<rspi_user> FamilyCommands<R>::owner(const Given<R> &g) const {
    if (std::none_of(f_.keys.begin(), f_.keys.end(), [](const Key &k) { return k.owner; })) return nullptr;
    auto u = FamilyOps<rspi_user>::blank();
    for (std::size_t i = 0; i < f_.keys.size(); ++i)
        if (f_.keys[i].owner) set_str(u.get()->*field_named<rspi_user>(f_.keys[i].field)->text, g.keys[i]);
    return u;
}

template <class R>
Owned<R> FamilyCommands<R>::record(const Given<R> &g, Use use) const {
    auto r = keyed(g);
    const auto table = Records<R>::table;
    const fields::Field<R> *password = nullptr;
    for (std::size_t i = 0; i < table.size(); ++i) {
        const auto &f = table[i];
        const auto &s = g.slots[i];
        switch (f.kind) {
        case Kind::Key: break;
        case Kind::Password: password = &f; break;
        case Kind::Text:
        case Kind::Uuid:
            if (s.given()) set_str(r.get()->*f.text, s.text);
            break;
        case Kind::LoginTypes:
            if (s.given() && !s.text.empty()) r.get()->*f.login_types = login_types(s.text).release();
            break;
        case Kind::BlobLength:
            if (s.given()) r.get()->*f.blob = make_blob(read_file_bytes(s.text)).release();
            break;
        case Kind::Unsigned:
        case Kind::Signed: f.set_number(r.get(), f.i32 ? s.i32 : f.reset == fields::kNoReset ? s.u32 : s.wide); break;
        }
    }
    if (password && f_.secret && ((use == Use::create && f_.secret_on_create) || g.ask || g.from_stdin))
        r.get()->*password->password = make_password(read_new_secret(f_.secret, subject(g), g.from_stdin)).release();
    if (g.more) g.more(r.get());
    return r;
}

template <class R>
Json FamilyCommands<R>::keys_json(const R *r, const rspi_user *owner) const {
    Json j;
    for (const Key &k : f_.keys) j[k.field] = json_str(key_of(k, r, owner));
    return j;
}

template <class R>
void FamilyCommands<R>::create() {
    auto *c = cmd_->add_subcommand("create", f_.helps[0]);
    auto g = add_keys(c);
    add_fields(c, *g, Use::create, f_.notes);
    c->callback([self = *this, g] {
        self.host_.subject = self.subject(*g);
        self.host_.open();
        auto o = self.owner(*g);
        auto r = self.record(*g, Use::create);
        // Without a registry id, "id@domain" lower-cased: the list tells entries apart by it.
        const auto &table = Records<R>::table;
        if (const auto *s = g->slot("registry_id"); s && !s->given() && table[1].kind == Kind::Key)
            set_str(r.get()->*field_named<R>("registry_id")->text,
                    lower(std::string(r.get()->*table[0].text) + "@" + (r.get()->*table[1].text)));
        if (self.call("create", r.get(), o.get())) self.show(self.keyed(*g).get(), o.get());
    });
}

template <class R>
void FamilyCommands<R>::get() {
    auto *c = cmd_->add_subcommand("get", f_.helps[1]);
    auto g = add_keys(c);
    if (f_.secret_json) c->add_flag("--show-text", g->reveal, std::string("Also print the ") + f_.secret);
    c->callback([self = *this, g] {
        self.host_.subject = self.subject(*g);
        self.host_.open();
        auto o = self.owner(*g);
        self.show(self.keyed(*g).get(), o.get(), g->reveal);
    });
}

template <class R>
void FamilyCommands<R>::modify() {
    auto *c = cmd_->add_subcommand("modify", f_.helps[2]);
    auto g = add_keys(c);
    add_fields(c, *g, Use::modify, f_.notes);
    c->callback([self = *this, g] {
        self.host_.subject = self.subject(*g);
        self.host_.open();
        auto o = self.owner(*g);
        auto r = self.record(*g, Use::modify);
        if (self.call("modify", r.get(), o.get())) self.show(self.keyed(*g).get(), o.get());
    });
}

template <class R>
void FamilyCommands<R>::keys_only(const char *name, const char *verb, const char *result, const char *help) {
    auto *c = cmd_->add_subcommand(name, help);
    auto g = add_keys(c);
    c->callback([self = *this, g, verb, result] {
        self.host_.subject = self.subject(*g);
        self.host_.open();
        auto o = self.owner(*g);
        auto r = self.keyed(*g);
        if (self.call(verb, r.get(), o.get())) self.host_.done(self.keys_json(r.get(), o.get()), result);
    });
}

template <class R>
void FamilyCommands<R>::list() {
    auto *c = cmd_->add_subcommand("list", f_.helps[4]);
    auto g = add_keys(c, true);
    c->add_flag("--fetch", g->fetch,
                std::string("Read every ") + f_.noun + " in full" +
                    (f_.secret_json ? std::string(" (without its ") + f_.secret + ")" : ""));
    c->callback([self = *this, g] {
        auto o = self.owner(*g);
        self.host_.subject = o ? self.subject(*g) : self.f_.list_subject;
        self.host_.open();
        self.FamilyOps<R>::list(g->fetch, o.get());
    });
}

template class FamilyOps<rspi_user>;
template class FamilyOps<rspi_group>;
template class FamilyOps<rspi_policy>;
template class FamilyOps<rspi_resource>;
template class FamilyOps<rspi_resgroup>;
template class FamilyOps<rspi_rescreds>;
template class FamilyCommands<rspi_user>;
template class FamilyCommands<rspi_group>;
template class FamilyCommands<rspi_policy>;
template class FamilyCommands<rspi_resource>;
template class FamilyCommands<rspi_resgroup>;
template class FamilyCommands<rspi_rescreds>;

}  // namespace tolvadm
