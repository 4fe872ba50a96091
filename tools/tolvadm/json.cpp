// json.cpp - JSON text for tolvadm's Json values: the one place that
// compiles nlohmann-json.
#include "json.h"

#include <nlohmann/json.hpp>

#include <unordered_set>

namespace tolvadm {

using Text = nlohmann::ordered_json;

// Conversions between the two trees, and access to ours for the parser below.
struct JsonText {
    static Text to_text(const Json &v) {
        switch (v.kind_) {
        case Json::Kind::null: return nullptr;
        case Json::Kind::boolean: return v.b_;
        case Json::Kind::integer: return v.i_;
        case Json::Kind::unsigned_integer: return v.u_;
        case Json::Kind::floating: return v.d_;
        case Json::Kind::string: return v.s_;
        case Json::Kind::array: {
            Text out = Text::array();
            for (const auto &e : v.children_) out.push_back(to_text(e));
            return out;
        }
        case Json::Kind::object: {
            Text out = Text::object();
            for (std::size_t i = 0; i < v.keys_.size(); ++i) out[v.keys_[i]] = to_text(v.children_[i]);
            return out;
        }
        }
        return nullptr;
    }
    static std::vector<Json> &children(Json &v) { return v.children_; }
    static const std::vector<Json> &children(const Json &v) { return v.children_; }
    static std::vector<std::string> &keys(Json &v) { return v.keys_; }
    static const std::vector<std::string> &keys(const Json &v) { return v.keys_; }
};

namespace {

// Containers deeper than this are refused: no document tolvadm writes comes near it, and everything that walks
// a document afterwards may recurse.
constexpr std::size_t kMaxDepth = 64;

// Builds the tree from the parser's events, without recursion. A member name given twice in one object is
// refused, with where it stands, rather than one of the two values silently winning.
class Builder : public nlohmann::json_sax<Text> {
public:
    Json take() { return std::move(root_); }

    bool null() override { return add(Json()); }
    bool boolean(bool b) override { return add(Json(b)); }
    bool number_integer(number_integer_t n) override { return add(Json(static_cast<int64_t>(n))); }
    bool number_unsigned(number_unsigned_t n) override { return add(Json(static_cast<uint64_t>(n))); }
    bool number_float(number_float_t d, const string_t &) override { return add(Json(static_cast<double>(d))); }
    bool string(string_t &s) override { return add(Json(std::move(s))); }
    bool binary(binary_t &) override { return add(Json()); }
    bool start_object(std::size_t) override { return open(Json::object()); }
    bool start_array(std::size_t) override { return open(Json::array()); }
    bool end_object() override { return close(); }
    bool end_array() override { return close(); }
    bool key(string_t &k) override {
        if (!names_.back().insert(k).second)
            throw Json::parse_error("the member \"" + k + "\" is given twice in " + where());
        JsonText::keys(open_.back()).push_back(std::move(k));
        return true;
    }
    bool parse_error(std::size_t, const std::string &, const nlohmann::detail::exception &e) override {
        throw Json::parse_error(e.what());
    }

private:
    Json root_;
    std::vector<Json> open_;  // the containers not yet closed, outermost first
    std::vector<std::unordered_set<std::string>> names_;  // the member names of each, for objects

    bool add(Json v) {
        if (open_.empty()) root_ = std::move(v);
        else JsonText::children(open_.back()).push_back(std::move(v));
        return true;
    }
    bool open(Json c) {
        if (open_.size() >= kMaxDepth)
            throw Json::parse_error("arrays and objects nested deeper than " + std::to_string(kMaxDepth) + " at " +
                                    where());
        open_.push_back(std::move(c));
        names_.emplace_back();
        return true;
    }
    bool close() {
        Json c = std::move(open_.back());
        open_.pop_back();
        names_.pop_back();
        return add(std::move(c));
    }
    // The path to the innermost open container, as "users[3].groups".
    std::string where() const {
        std::string path;
        for (std::size_t i = 0; i < open_.size(); ++i) {
            if (i == 0) continue;
            const Json &outer = open_[i - 1];
            if (outer.is_array()) path += "[" + std::to_string(JsonText::children(outer).size()) + "]";
            else path += (path.empty() ? "" : ".") + JsonText::keys(outer).back();
        }
        return path.empty() ? "the document" : path;
    }
};

}  // namespace

Json Json::parse(const std::string &text) {
    Builder b;
    Text::sax_parse(text, &b);
    return b.take();
}

std::string Json::dump(int indent, char indent_char, bool ensure_ascii, error_handler_t handler) const {
    return JsonText::to_text(*this).dump(indent, indent_char, ensure_ascii,
                                         handler == error_handler_t::replace ? Text::error_handler_t::replace
                                                                             : Text::error_handler_t::strict);
}

// ---------------------------------------------------------------------------
// The tree itself.

Json::Json(const std::vector<std::string> &list) : kind_(Kind::array) {
    children_.reserve(list.size());
    for (const auto &s : list) children_.emplace_back(s);
}

Json::Json(std::initializer_list<std::pair<std::string, Json>> members) : kind_(Kind::object) {
    for (const auto &[key, value] : members) (*this)[key] = value;
}

// Children are taken apart one level at a time, so a deep tree does not
// destroy itself recursively.
Json::~Json() {
    if (children_.empty()) return;
    std::vector<Json> pending = std::move(children_);
    while (!pending.empty()) {
        Json last = std::move(pending.back());
        pending.pop_back();
        for (auto &c : last.children_) pending.push_back(std::move(c));
        last.children_.clear();
    }
}

std::string Json::type_name() const {
    switch (kind_) {
    case Kind::null: return "null";
    case Kind::boolean: return "boolean";
    case Kind::integer:
    case Kind::unsigned_integer:
    case Kind::floating: return "number";
    case Kind::string: return "string";
    case Kind::array: return "array";
    case Kind::object: return "object";
    }
    return "null";
}

std::size_t Json::size() const {
    switch (kind_) {
    case Kind::null: return 0;
    case Kind::array:
    case Kind::object: return children_.size();
    default: return 1;
    }
}

template <>
std::string Json::get<std::string>() const {
    if (!is_string()) throw type_error("[json.exception.type_error.302] type must be string, but is " + type_name());
    return s_;
}

template <>
bool Json::get<bool>() const {
    if (!is_boolean()) throw type_error("[json.exception.type_error.302] type must be boolean, but is " + type_name());
    return b_;
}

namespace {

template <class N>
N number(Json::Kind kind, bool b, int64_t i, uint64_t u, double d, const std::string &type) {
    switch (kind) {
    case Json::Kind::boolean: return static_cast<N>(b);
    case Json::Kind::integer: return static_cast<N>(i);
    case Json::Kind::unsigned_integer: return static_cast<N>(u);
    case Json::Kind::floating: return static_cast<N>(d);
    default: throw Json::type_error("[json.exception.type_error.302] type must be number, but is " + type);
    }
}

}  // namespace

template <>
int64_t Json::get<int64_t>() const {
    return number<int64_t>(kind_, b_, i_, u_, d_, type_name());
}

template <>
uint64_t Json::get<uint64_t>() const {
    return number<uint64_t>(kind_, b_, i_, u_, d_, type_name());
}

template <>
double Json::get<double>() const {
    return number<double>(kind_, b_, i_, u_, d_, type_name());
}

const Json *Json::find(std::string_view key) const {
    if (!is_object()) return nullptr;
    for (std::size_t i = 0; i < keys_.size(); ++i)
        if (keys_[i] == key) return &children_[i];
    return nullptr;
}

bool Json::contains(std::string_view key) const { return find(key) != nullptr; }

Json &Json::operator[](std::string_view key) {
    if (is_null()) kind_ = Kind::object;
    if (!is_object())
        throw type_error("[json.exception.type_error.305] cannot use operator[] with a string argument with " +
                         type_name());
    if (const Json *v = find(key)) return const_cast<Json &>(*v);
    keys_.emplace_back(key);
    return children_.emplace_back();
}

const Json &Json::operator[](std::string_view key) const {
    static const Json none;
    const Json *v = find(key);
    return v ? *v : none;
}

void Json::push_back(Json v) {
    if (is_null()) kind_ = Kind::array;
    if (!is_array())
        throw type_error("[json.exception.type_error.308] cannot use push_back() with " + type_name());
    children_.push_back(std::move(v));
}

std::vector<Json::Member> Json::items() const {
    std::vector<Member> out;
    if (!is_object()) return out;
    out.reserve(keys_.size());
    for (std::size_t i = 0; i < keys_.size(); ++i) out.push_back(Member{keys_[i], children_[i]});
    return out;
}

bool operator==(const Json &a, const Json &b) {
    using K = Json::Kind;
    const bool a_num = a.is_number_integer() || a.kind_ == K::floating;
    const bool b_num = b.is_number_integer() || b.kind_ == K::floating;
    if (a_num && b_num) {
        if (a.kind_ == K::floating || b.kind_ == K::floating) return a.get<double>() == b.get<double>();
        if (a.kind_ == b.kind_) return a.kind_ == K::integer ? a.i_ == b.i_ : a.u_ == b.u_;
        const Json &s = a.kind_ == K::integer ? a : b, &u = a.kind_ == K::integer ? b : a;
        return s.i_ >= 0 && static_cast<uint64_t>(s.i_) == u.u_;
    }
    if (a.kind_ != b.kind_) return false;
    switch (a.kind_) {
    case K::null: return true;
    case K::boolean: return a.b_ == b.b_;
    case K::string: return a.s_ == b.s_;
    case K::array: return a.children_ == b.children_;
    case K::object: return a.keys_ == b.keys_ && a.children_ == b.children_;
    default: return false;
    }
}

}  // namespace tolvadm
