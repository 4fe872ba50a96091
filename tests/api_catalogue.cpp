// Every field of every family in the catalogue, through every consumer of it:
// a distinct value per field goes in and must come back out. Stored and read
// by the plug-in, set and printed by the sequence runner, released by
// librspiutil (a member it leaves is a leak under ASan), shown by tolvadm get,
// changed by tolvadm modify's options, and carried by export and import.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <string>
#include <vector>

#include "corpus.h"
#include "registry.h"
#include "tolvadm_run.h"
#include "tolvcatalogue.h"

namespace {

using Json = nlohmann::json;
namespace cat = tolv::format;
using cat::Kind;
using tolvtest::AdmResult;

template <class R>
using Field = cat::Field<R>;

// The value of a field in round v (1: create, 2: modify), as the runner takes
// it; the keys stay.
template <class R>
std::string value(const Field<R> &f, std::size_t line, int v) {
    const std::string n = f.name;
    switch (f.kind) {
        case Kind::Key: return n + "-k";
        case Kind::Text: return n + "-" + std::to_string(v);
        case Kind::Unsigned:
        case Kind::Signed: return f.needs_password ? "1" : std::to_string(100 * v + line);  // 0 or 1 only
        case Kind::Password: return "pw-" + std::to_string(v);
        case Kind::LoginTypes: return v == 1 ? "lt-a,lt-b" : "lt-c";
        case Kind::BlobLength: return "blob-" + std::to_string(v);
        case Kind::Uuid: break;
    }
    return {};
}

// The same as the runner prints it ("" for the UUID, made by the plug-in).
template <class R>
std::string printed(const Field<R> &f, std::size_t line, int v) {
    const std::string x = value(f, line, v);
    switch (f.kind) {
        case Kind::Key:
        case Kind::Text: return std::string(f.name) + "=\"" + x + "\"";
        case Kind::Unsigned:
        case Kind::Signed: return std::string(f.name) + "=" + x;
        case Kind::Password: return std::string(f.name) + "=type1:\"" + x + "\"";
        case Kind::LoginTypes: return v == 1 ? "login_types=[\"lt-a\",\"lt-b\"]" : "login_types=[\"lt-c\"]";
        case Kind::BlobLength: return "blob=" + std::to_string(x.size()) + ":\"" + x + "\"";
        case Kind::Uuid: break;
    }
    return {};
}

template <class R>
class EveryField : public ::testing::Test {
protected:
    static constexpr const cat::Family<R> &family = cat::family_of<R>();
    static constexpr bool owned = !family.owner_list.empty();

    // "domain=domain-k policy_id=policy_id-k" (with the owner's "u." names).
    static std::string key_args() {
        std::string s = owned ? "u.domain=corp u.user_id=owner" : "";
        for (std::size_t i = 0; i < family.fields.size(); ++i)
            if (family.fields[i].kind == Kind::Key)
                s += std::string(s.empty() ? "" : " ") + family.fields[i].name + "=" + value(family.fields[i], i, 1);
        return s;
    }
    // tolvadm's positionals: the owner's names, then the family's keys in catalogue order (domain first).
    static std::vector<std::string> key_words() {
        std::vector<std::string> w{family.name};
        if (owned) w.insert(w.end(), {"corp", "owner"});
        for (char *R::*k : {family.domain, family.id})
            for (std::size_t i = 0; k && i < family.fields.size(); ++i)
                if (family.fields[i].kind == Kind::Key && family.fields[i].text == k)
                    w.push_back(value(family.fields[i], i, 1));
        return w;
    }
    // The record as the runner prints it after a get, and its UUID.
    static std::string got(tolvtest::Sequence &s, std::string &uuid) {
        const std::string t = s(std::string(family.name) + ".get " + key_args() + "\n");
        EXPECT_NE(t.find("rc=0"), std::string::npos) << t;
        const std::size_t at = t.find("uuid_string=\"");
        uuid = at == std::string::npos ? "" : t.substr(at + 13, t.find('"', at + 13) - at - 13);
        return t;
    }
    // Every field in the runner's print of a get; a password, which a user's get leaves out, on its line of
    // the record file.
    static void expect_all(const std::string &t, const std::string &dir, int v, const char *consumer) {
        std::vector<std::string> lines;
        for (const std::string &name : tolvtest::list_dir(dir))
            if (name.ends_with(family.file.suffix)) lines = tolvtest::lines(tolvtest::read_file(dir + name));
        for (std::size_t i = 0; i < family.fields.size(); ++i) {
            const Field<R> &f = family.fields[i];
            if (f.kind == Kind::Password) {
                EXPECT_EQ(i < lines.size() ? lines[i] : "", value(f, i, v))
                    << family.name << "." << f.name << " lost by " << consumer;
            } else if (f.kind != Kind::Uuid) {
                EXPECT_NE(t.find(" " + printed(f, i, v)), std::string::npos)
                    << family.name << "." << f.name << " lost by " << consumer << ":\n" << t;
            }
        }
    }
};

using Families = ::testing::Types<rspi_user, rspi_group, rspi_policy, rspi_resource, rspi_resgroup, rspi_rescreds>;
TYPED_TEST_SUITE(EveryField, Families);

TYPED_TEST(EveryField, GoesInAndComesBackThroughEveryConsumer) {
    using Self = EveryField<TypeParam>;
    const auto &family = Self::family;
    tolvtest::Sequence s;
    tolvtest::TempDir conf_dir;
    const std::string conf = conf_dir.path() + "tolv.conf";
    tolvtest::write_file(conf, "dir=" + s.dir() + "\n");
    if (Self::owned) s("user.create domain=corp user_id=owner registry_id=owner@corp\n");

    // The runner sets every field, the plug-in stores and reads it, the runner prints it.
    std::string create = std::string(family.name) + ".create " + Self::key_args();
    for (std::size_t i = 0; i < family.fields.size(); ++i)
        if (const Field<TypeParam> &f = family.fields[i]; f.kind != Kind::Key && f.kind != Kind::Uuid)
            create += std::string(" ") + f.name + "=" + value(f, i, 1);
    ASSERT_EQ(tolvtest::failure(s(create + "\n")), 0u) << create;
    std::string uuid;
    Self::expect_all(Self::got(s, uuid), s.dir(), 1, "the plug-in or the runner");
    ASSERT_FALSE(uuid.empty());

    // tolvadm get shows every field but a password.
    std::vector<std::string> get = Self::key_words();
    get.insert(get.begin(), {"--json"});
    get.insert(get.begin() + 2, "get");
    AdmResult r = tolvtest::tolvadm(conf, get);
    ASSERT_EQ(r.status, 0) << r.err;
    const Json j = Json::parse(r.out);
    for (std::size_t i = 0; i < family.fields.size(); ++i) {
        const Field<TypeParam> &f = family.fields[i];
        const std::string x = value(f, i, 1);
        const Json *shown = j.contains(f.name) ? &j[f.name] : nullptr;
        if (f.kind == Kind::Password) continue;
        ASSERT_TRUE(shown) << family.name << "." << f.name << " missing from tolvadm get: " << r.out;
        const Json want = f.is_number()                  ? Json::parse(x)
                          : f.kind == Kind::Uuid         ? Json(uuid)
                          : f.kind == Kind::LoginTypes   ? Json({"lt-a", "lt-b"})
                          : f.kind == Kind::BlobLength   ? Json(x.size())
                                                         : Json(x);
        EXPECT_EQ(f.kind == Kind::BlobLength ? (*shown)["length"] : *shown, want)
            << family.name << "." << f.name << " shown wrong by tolvadm get";
    }

    // export and import carry every field: the record files of a copy are the same bytes.
    const std::string doc = conf_dir.path() + "registry.json";
    r = tolvtest::tolvadm(conf, {"export", "--with-secrets", doc});
    ASSERT_EQ(r.status, 0) << r.err;
    tolvtest::TempDir copy;
    r = tolvtest::run_tolvadm({"init", "reg"}, "", copy.path());
    ASSERT_EQ(r.status, 0) << r.err;
    r = tolvtest::tolvadm(copy.path() + "reg/tolv.conf", {"import", doc});
    ASSERT_EQ(r.status, 0) << r.err;
    for (const std::string &name : tolvtest::list_dir(s.dir()))
        if (name.ends_with(family.file.suffix) || name.ends_with(std::string(family.file.suffix) + "_blob")) {
            EXPECT_EQ(tolvtest::read_file(copy.path() + "reg/" + name), tolvtest::read_file(s.dir() + name))
                << name << " differs after export and import";
        }

    // tolvadm modify takes an option for every field it may change.
    const std::string blob_file = conf_dir.path() + "blob";
    std::vector<std::string> modify = Self::key_words();
    modify.insert(modify.begin() + 1, "modify");
    std::string input;
    for (std::size_t i = 0; i < family.fields.size(); ++i) {
        const Field<TypeParam> &f = family.fields[i];
        const std::string x = value(f, i, 2);
        std::string option = std::string("--") + f.name;
        std::replace(option.begin(), option.end(), '_', '-');
        switch (f.kind) {
            case Kind::Key:
            case Kind::Uuid: continue;
            case Kind::Password: modify.push_back("--password-stdin"), input = x + "\n"; continue;
            case Kind::BlobLength: tolvtest::write_file(blob_file, x), modify.insert(modify.end(), {"--blob-file", blob_file}); continue;
            case Kind::LoginTypes: modify.insert(modify.end(), {option, "lt-c"}); continue;
            default: modify.insert(modify.end(), {option, x});
        }
    }
    r = tolvtest::tolvadm(conf, modify, input);
    ASSERT_EQ(r.status, 0) << r.err;
    Self::expect_all(Self::got(s, uuid), s.dir(), 2, "tolvadm modify");
}

}  // namespace
