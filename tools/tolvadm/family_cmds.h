// family_cmds.h - the commands every record family shares (create, get,
// modify, delete, list), built from the family's field table in tolvfields.h
// and a short description of the family. A family's own commands (user auth,
// group members, ...) are registered next to these by its cmd_<family>.cpp,
// with the building blocks below.
//
// From the field table come: an option per field ("text_1" -> "--text-1",
// its help from the kind, the "not given" and the reset value), the record a
// command sends (every number at its "not given" value unless given), and the
// JSON of a record (key = field name, every field; passwords never, except a
// family's secret on request).
#pragma once

#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tolvadm.h"
#include "tolvcatalogue.h"

namespace tolvadm {

namespace fields = tolv::format;

// What librspiutil offers for each family's records.
template <class R>
struct Records;
#define TOLVADM_RECORDS(R, alloc_fn, L, alloc_list_fn)                                    \
    template <>                                                                           \
    struct Records<R> {                                                                   \
        using List = L;                                                                   \
        static constexpr std::span<const fields::Field<R>> table{fields::family_of<R>().fields}; \
        static R *alloc() { return alloc_fn(); }                                          \
        static L *alloc_list() { return alloc_list_fn(); }                                \
    }
TOLVADM_RECORDS(rspi_user, rspi_alloc_user, rspi_userlist, rspi_alloc_userlist);
TOLVADM_RECORDS(rspi_group, rspi_alloc_group, rspi_grouplist, rspi_alloc_grouplist);
TOLVADM_RECORDS(rspi_policy, rspi_alloc_policy, rspi_policylist, rspi_alloc_policylist);
TOLVADM_RECORDS(rspi_resource, rspi_alloc_resource, rspi_resourcelist, rspi_alloc_resourcelist);
TOLVADM_RECORDS(rspi_resgroup, rspi_alloc_resgroup, rspi_resgrouplist, rspi_alloc_resgrouplist);
TOLVADM_RECORDS(rspi_rescreds, rspi_alloc_rescreds, rspi_rescredslist, rspi_alloc_rescredslist);
#undef TOLVADM_RECORDS

// A name on the command line: a key field of the record, or of the user that
// owns it (a credential's domain and user).
struct Key {
    const char *field;  // "domain"
    const char *arg;    // the positional's name: "policy"
    const char *help;
    bool owner = false;
};

// A field option's help (and range) where the one made from the field would not tell enough.
struct Note {
    const char *field;
    const char *create = nullptr, *modify = nullptr;  // null: the generic help
    int lo = 0, hi = 0;                               // a narrower range when hi > lo
};

enum class Use { create, modify };

template <class R>
struct Family {
    const char *command = nullptr;  // "policy" (default: the catalogue's name)
    const char *help = nullptr;     // its description in --help
    // The operations: rspi_create_<stem>, ..., rspi_get_<stem>list, rspi_next_<stem> (default: the catalogue's).
    const char *stem = nullptr;
    const char *noun;     // in subjects ("policy Corp/Gold") and help
    std::vector<Key> keys;             // in command-line order
    // The JSON's first members in order; every other field but a password
    // follows in table order, and the blob, if any, comes last.
    std::vector<const char *> shown;
    std::vector<const char *> helps;   // create, get, modify, delete, list
    std::vector<Note> notes = {};
    const char *list_subject = nullptr;  // "policy list" (an owned family: the owner's subject)
    // The password field: what it holds ("credential text"), its JSON name
    // when shown, and whether create always asks for it.
    const char *secret = nullptr;
    const char *secret_json = nullptr;
    bool secret_on_create = false;
    // The subject of a command from its key values (default: noun and the values joined by '/').
    std::string (*subject)(const std::vector<std::string> &values) = nullptr;
    // Members of the JSON that are no field: before the blob, and (needing the
    // host) after it when the entry is shown after a command.
    void (*more_json)(Json &, const R *) = nullptr;
    void (*more_shown)(Host &, Json &, R *) = nullptr;
    // Options of create and modify beyond the fields; returns what applies them to the record.
    std::function<void(R *)> (*more_options)(Command *, Use) = nullptr;
};

// What one command was given.
template <class R>
struct Given {
    struct Slot {
        std::string text;
        int64_t wide = 0;
        int32_t i32 = 0;
        uint32_t u32 = 0;
        Option *opt = nullptr;
        bool given() const { return opt && *opt; }
    };
    std::vector<std::string> keys;  // as Family::keys
    std::vector<Slot> slots;        // as the field table
    bool ask = false, from_stdin = false, reveal = false, fetch = false;
    std::function<void(R *)> more;
    const Slot *slot(std::string_view field) const {
        for (std::size_t i = 0; i < slots.size(); ++i)
            if (field == Records<R>::table[i].name) return &slots[i];
        return nullptr;
    }
};

// A family's records through the plug-in: what the commands and the demo share.
template <class R>
class FamilyOps {
public:
    FamilyOps(Host &host, const Family<R> &f) : host_(host), f_(f) {}

    // A fresh record: every number at its "not given" value, everything else empty.
    static Owned<R> blank();
    // A blank record with the family's own keys (not the owner's), in Family::keys order.
    Owned<R> keyed(std::initializer_list<std::string_view> values) const;
    Json json(const R *r, bool reveal = false) const;
    // rspi_<verb>_<stem> on a record (and its owner); reports a failure.
    bool call(const char *verb, R *r, rspi_user *owner = nullptr) const;
    // Gets the entry and prints it; false (reported) when the plug-in refuses.
    bool show(R *r, rspi_user *owner = nullptr, bool reveal = false) const;
    // Walks the list with next alone; with fetch, every entry is read too.
    void list(bool fetch, rspi_user *owner = nullptr) const;

protected:
    Host &host_;
    const Family<R> &f_;
};

template <class R>
class FamilyCommands : public FamilyOps<R> {
public:
    // Adds the family's command under app.
    FamilyCommands(Command &app, Host &host, const Family<R> &f);
    Command *command() const { return cmd_; }

    // The shared subcommands, added in the order called.
    void create();
    void get();
    void modify();
    // An operation on the keys alone that prints "SUBJECT: result": delete, disable.
    void keys_only(const char *name, const char *verb, const char *result, const char *help);
    void list();

    // Building blocks of a family's own subcommands: a subcommand with the
    // keys (the owner's alone, for a listing) and, with fields, an option per field.
    std::shared_ptr<Given<R>> add_keys(Command *sub, bool owner_only = false) const;
    void add_fields(Command *sub, Given<R> &g, Use use, std::span<const Note> notes) const;
    std::string subject(const Given<R> &g) const;
    Owned<R> keyed(const Given<R> &g) const;
    Owned<rspi_user> owner(const Given<R> &g) const;
    // The record a command sends: its keys, the fields given, every other number not given.
    Owned<R> record(const Given<R> &g, Use use) const;
    // The keys as JSON, as the records hold them after the operation.
    Json keys_json(const R *r, const rspi_user *owner) const;

private:
    using FamilyOps<R>::host_;
    using FamilyOps<R>::f_;
    Command *cmd_;
};

// The password options: --password-stdin, and --password unless it is always asked for.
void add_secret_options(Command *cmd, const char *secret, bool *ask, bool &from_stdin);

}  // namespace tolvadm
