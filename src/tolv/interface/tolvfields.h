// tolvfields.h - every record file's fields, in line order: the record member
// each line holds, how it is written, and what a modify does with it. The
// plug-in reads, writes, merges and checks records from these tables, and
// tolvadm builds its options, its JSON and its checks from them. Header-only
// and not installed.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <type_traits>

#include "rspi.h"
#include "tolvformat.h"

namespace tolv::format {

enum class Kind : std::uint8_t {
    Key,         // a name of the record: its file is named after it
    Text,        // a string member on one line; null is an empty line
    Unsigned,    // a number written "%u"
    Signed,      // a number written "%d"
    Uuid,        // uuid_string; reading it also sets the 16 uuid bytes
    Password,    // the bytes of a type-1 datum of at most 99 bytes, else empty
    LoginTypes,  // the login types joined by ';'
    BlobLength,  // the blob's length
};

// A number member's "not given": a modify keeps the stored value, and a write
// stores `dflt` instead (in the caller's record too). A modify given `reset`
// stores `not_given` again.
inline constexpr std::int64_t kNoReset = INT64_MIN;

template <class R>
struct Field {
    const char *name;  // the member's name; tolvadm's option ("--text-1") and JSON key
    Kind kind;
    char *R::*text = nullptr;               // Key, Text, Uuid
    std::uint32_t R::*u32 = nullptr;        // Unsigned or Signed
    std::int32_t R::*i32 = nullptr;         // Unsigned or Signed
    rspi_authndata *R::*password = nullptr; // Password
    rspi_logintypes *R::*login_types = nullptr;
    rspi_blob *R::*blob = nullptr;          // BlobLength
    std::int64_t not_given = 0;
    std::int64_t dflt = 0;
    std::int64_t reset = kNoReset;
    bool kept = false;    // a modify keeps the stored value whatever is given
    bool always = false;  // BlobLength: written (0) without a blob too
    bool needs_password = false;  // a number stored as 0 unless a password is stored

    constexpr bool is_number() const { return kind == Kind::Unsigned || kind == Kind::Signed; }
    constexpr std::int64_t number(const R *r) const { return u32 ? std::int64_t(r->*u32) : std::int64_t(r->*i32); }
    constexpr void set_number(R *r, std::int64_t v) const {
        if (u32) r->*u32 = static_cast<std::uint32_t>(v);
        else r->*i32 = static_cast<std::int32_t>(v);
    }
};

// Builders for the tables below.
template <class R>
constexpr Field<R> key(const char *name, char *R::*m) { return {.name = name, .kind = Kind::Key, .text = m}; }
template <class R>
constexpr Field<R> text(const char *name, char *R::*m) { return {.name = name, .kind = Kind::Text, .text = m}; }
template <class R>
constexpr Field<R> uuid(bool kept) {
    return {.name = "uuid", .kind = Kind::Uuid, .text = &R::uuid_string, .kept = kept};
}
template <class R, class T>
constexpr Field<R> number(const char *name, Kind kind, T R::*m, std::int64_t not_given, std::int64_t dflt,
                          std::int64_t reset = kNoReset) {
    Field<R> f{.name = name, .kind = kind};
    if constexpr (std::is_same_v<T, std::uint32_t>) f.u32 = m;
    else f.i32 = m;
    f.not_given = not_given;
    f.dflt = dflt;
    f.reset = reset;
    return f;
}
// The usual state (2: not given, stored as 1) and attribute (0: not given).
template <class R>
constexpr Field<R> state() { return number<R>("state", Kind::Unsigned, &R::state, 2, 1); }
template <class R>
constexpr Field<R> attribute() { return number<R>("attribute", Kind::Unsigned, &R::attribute, 0, 0); }
template <class R>
constexpr Field<R> blob_length(bool always = false) {
    return {.name = "blob", .kind = Kind::BlobLength, .blob = &R::blob, .always = always};
}
template <class R>
constexpr Field<R> password() { return {.name = "password", .kind = Kind::Password, .password = &R::password}; }

using U = rspi_user;
// Stored as 1 only with a stored password; else 0.
constexpr Field<U> account_valid() {
    Field<U> f = number<U>("account_valid", Kind::Unsigned, &U::account_valid, 2, 1);
    f.needs_password = true;
    return f;
}
inline constexpr Field<U> kUserFields[] = {
    key("user_id", &U::user_id),
    key("domain", &U::domain),
    number("flag_1", Kind::Unsigned, &U::flag_1, 2, 0),
    account_valid(),
    password<U>(),
    text("description", &U::description),
    number("number_1", Kind::Unsigned, &U::number_1, 0, 0),
    uuid<U>(false),
    {.name = "login_types", .kind = Kind::LoginTypes, .login_types = &U::login_types},
    text("text_1", &U::text_1),
    text("text_2", &U::text_2),
    text("text_3", &U::text_3),
    text("registry_id", &U::registry_id),
    number("number_2", Kind::Signed, &U::number_2, -1, 0),
    number("ulong_1", Kind::Unsigned, &U::ulong_1, 0, 0),
    number("ulong_2", Kind::Unsigned, &U::ulong_2, 0, 0),
    number("ulong_3", Kind::Unsigned, &U::ulong_3, 0, 0),
    text("text_4", &U::text_4),
    text("cert_dn", &U::cert_dn),
    text("text_5", &U::text_5),
    blob_length<U>(),
};

using G = rspi_group;
inline constexpr Field<G> kGroupFields[] = {
    key("group_id", &G::group_id), key("domain", &G::domain), state<G>(),       text("description", &G::description),
    attribute<G>(),                uuid<G>(false),            text("registry_id", &G::registry_id), blob_length<G>(),
};

using P = rspi_policy;
// number_N: -1 is "not set"; -2 in a modify sets it back to -1 (flags: to 2).
constexpr Field<P> policy_number(const char *name, std::int32_t P::*m) {
    return number<P>(name, Kind::Signed, m, -1, -1, -2);
}
constexpr Field<P> policy_flag(const char *name, std::uint32_t P::*m) {
    return number<P>(name, Kind::Unsigned, m, 2, 2, std::int64_t{UINT32_MAX} - 1);
}
inline constexpr Field<P> kPolicyFields[] = {
    key("policy_id", &P::policy_id),
    key("domain", &P::domain),
    state<P>(),
    text("description", &P::description),
    attribute<P>(),
    uuid<P>(true),
    number<P>("long_1", Kind::Signed, &P::long_1, 0, 0, -2),
    policy_number("number_2", &P::number_2),
    policy_number("number_3", &P::number_3),
    policy_number("number_4", &P::number_4),
    policy_number("number_5", &P::number_5),
    policy_number("number_6", &P::number_6),
    policy_number("number_7", &P::number_7),
    policy_number("number_8", &P::number_8),
    policy_number("number_9", &P::number_9),
    policy_number("number_10", &P::number_10),
    policy_number("number_11", &P::number_11),
    policy_number("number_12", &P::number_12),
    policy_number("number_13", &P::number_13),
    policy_number("number_14", &P::number_14),
    policy_number("number_15", &P::number_15),
    policy_number("number_16", &P::number_16),
    policy_flag("flag_2", &P::flag_2),
    policy_flag("flag_3", &P::flag_3),
    text("text_1", &P::text_1),
    blob_length<P>(true),
    // After the blob length: a file without it is short.
    policy_number("number_17", &P::number_17),
};

using Res = rspi_resource;
inline constexpr Field<Res> kResourceFields[] = {
    key("name", &Res::name), state<Res>(), text("description", &Res::description), attribute<Res>(),
    uuid<Res>(true),         blob_length<Res>(),
};

using RG = rspi_resgroup;
inline constexpr Field<RG> kResgroupFields[] = {
    key("name", &RG::name), state<RG>(), text("description", &RG::description), attribute<RG>(),
    uuid<RG>(true),         blob_length<RG>(),
};

using RC = rspi_rescreds;
inline constexpr Field<RC> kRescredsFields[] = {
    key("name", &RC::name), state<RC>(),  text("description", &RC::description), attribute<RC>(),
    uuid<RC>(true),         text("text_1", &RC::text_1), password<RC>(), blob_length<RC>(),
};

// The 1-based line of a field, by name (0: none).
template <class R, std::size_t N>
constexpr int line_of(const Field<R> (&fields)[N], std::string_view name) {
    for (std::size_t i = 0; i < N; ++i)
        if (name == fields[i].name) return static_cast<int>(i) + 1;
    return 0;
}

}  // namespace tolv::format
