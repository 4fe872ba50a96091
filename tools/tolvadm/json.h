// json.h - tolvadm's JSON values: a small document tree that keeps object
// members in insertion order. Only json.cpp reads and writes JSON text (with
// nlohmann-json), so the command files stay cheap to compile.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tolvadm {

class Json {
public:
    enum class Kind { null, boolean, integer, unsigned_integer, floating, string, array, object };
    // What dump() does with invalid UTF-8: throw, or write U+FFFD in its place.
    enum class error_handler_t { strict, replace };
    // Thrown by parse() for text that is not JSON; what() tells where.
    struct parse_error : std::runtime_error {
        using std::runtime_error::runtime_error;
    };
    // A value of the wrong type was asked for.
    struct type_error : std::runtime_error {
        using std::runtime_error::runtime_error;
    };

    Json() = default;
    Json(std::nullptr_t) {}
    Json(bool b) : kind_(Kind::boolean), b_(b) {}
    template <std::integral T>
        requires(!std::same_as<T, bool>)
    Json(T n) {
        if constexpr (std::is_signed_v<T>) {
            kind_ = Kind::integer;
            i_ = n;
        } else {
            kind_ = Kind::unsigned_integer;
            u_ = n;
        }
    }
    Json(double d) : kind_(Kind::floating), d_(d) {}
    Json(const char *s) : kind_(Kind::string), s_(s) {}
    Json(std::string s) : kind_(Kind::string), s_(std::move(s)) {}
    Json(std::string_view s) : kind_(Kind::string), s_(s) {}
    Json(const std::vector<std::string> &list);
    // An object: Json{{"domain", d}, {"user_id", u}}.
    Json(std::initializer_list<std::pair<std::string, Json>> members);

    Json(const Json &) = default;
    Json(Json &&) noexcept = default;
    Json &operator=(const Json &) = default;
    Json &operator=(Json &&) noexcept = default;
    ~Json();

    static Json array() { return Json(Kind::array); }
    static Json object() { return Json(Kind::object); }
    // Throws parse_error.
    static Json parse(const std::string &text);
    // indent < 0: one line; else members on lines of their own, indented.
    std::string dump(int indent = -1, char indent_char = ' ', bool ensure_ascii = false,
                     error_handler_t handler = error_handler_t::strict) const;

    Kind kind() const { return kind_; }
    bool is_null() const { return kind_ == Kind::null; }
    bool is_boolean() const { return kind_ == Kind::boolean; }
    bool is_number_integer() const { return kind_ == Kind::integer || kind_ == Kind::unsigned_integer; }
    bool is_number_unsigned() const { return kind_ == Kind::unsigned_integer; }
    bool is_string() const { return kind_ == Kind::string; }
    bool is_array() const { return kind_ == Kind::array; }
    bool is_object() const { return kind_ == Kind::object; }
    bool is_structured() const { return is_array() || is_object(); }

    // Members of an object or elements of an array; 0 for null, 1 for a scalar.
    std::size_t size() const;
    bool empty() const { return size() == 0; }

    template <class T>
    T get() const;

    // Object members. The non-const operator[] turns null into an object and
    // adds a missing member; the const one answers null for a missing member.
    bool contains(std::string_view key) const;
    Json &operator[](std::string_view key);
    const Json &operator[](std::string_view key) const;
    // The member converted to the type of fallback, or fallback when it is missing.
    template <class T>
    T value(std::string_view key, T fallback) const {
        if (!is_object()) throw type_error("cannot use value() with " + type_name());
        const Json *v = find(key);
        return v ? v->get<T>() : fallback;
    }
    // Array elements.
    const Json &operator[](std::size_t i) const { return children_.at(i); }
    Json &operator[](std::size_t i) { return children_.at(i); }
    // Appends to an array; null becomes an empty array first.
    void push_back(Json v);

    // Array elements, or the values of an object's members.
    std::vector<Json>::const_iterator begin() const { return children_.begin(); }
    std::vector<Json>::const_iterator end() const { return children_.end(); }

    struct Member {
        const std::string &key;
        const Json &value;
    };
    // An object's members in order: for (const auto &[key, value] : j.items()).
    std::vector<Member> items() const;

    friend bool operator==(const Json &a, const Json &b);

    std::string type_name() const;

private:
    friend struct JsonText;
    explicit Json(Kind k) : kind_(k) {}
    const Json *find(std::string_view key) const;

    Kind kind_ = Kind::null;
    bool b_ = false;
    int64_t i_ = 0;
    uint64_t u_ = 0;
    double d_ = 0;
    std::string s_;
    std::vector<std::string> keys_;  // an object's member names, parallel to children_
    std::vector<Json> children_;     // array elements or member values
};

template <>
std::string Json::get<std::string>() const;
template <>
bool Json::get<bool>() const;
template <>
int64_t Json::get<int64_t>() const;
template <>
uint64_t Json::get<uint64_t>() const;
template <>
double Json::get<double>() const;
template <>
inline int Json::get<int>() const {
    return static_cast<int>(get<int64_t>());
}

}  // namespace tolvadm
