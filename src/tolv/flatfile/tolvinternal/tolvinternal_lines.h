// tolvinternal_lines.h - line pieces as a C line reader cuts them, and record files read and
// written line by line.
#pragma once

#include <optional>

#include "tolvinternal/tolvinternal_rc.h"

namespace tolv {

// Behaves like repeated fgets(buf, n, stream) over a buffer read in one go. A piece ends after a newline or after
// n-1 bytes; its text is cut at an embedded NUL, as a C string reader would see it.
class LineReader {
public:
    LineReader(std::string_view data, int n) : data_(data), cap_(n > 1 ? std::size_t(n - 1) : 0) {}
    // The next piece with its newline, if it has one. False at end of data.
    bool next_piece(std::string_view &piece);
    // ui_get_line: the next piece without its final newline. False (-1) at end.
    bool next_line(std::string_view &line);
    // Everything not yet read, when it holds no NUL (the pieces would give it back unchanged); the reader is
    // then at the end. False (and nothing consumed) otherwise.
    bool take_rest(std::string_view &rest);

private:
    // First NUL at or after from, searched for once per stretch of data.
    std::size_t nul_from(std::size_t from);
    std::string_view data_;
    std::size_t pos_ = 0;
    std::size_t cap_;
    // No NUL lies in [nul_scan_, clean_end_): clean_end_ is a NUL's position, or the end of the data.
    std::size_t nul_scan_ = 0;
    std::size_t clean_end_ = 0;
};
inline constexpr int kRecordLineSize = 1000;  // record files
inline constexpr int kListLineSize = 250;     // index files and configuration

// Strips one trailing newline.
inline std::string_view chomp(std::string_view s) {
    return (!s.empty() && s.back() == '\n') ? s.substr(0, s.size() - 1) : s;
}
// strtol(s, NULL, 10) over a view: leading white space, optional sign, digits.
long parse_long(std::string_view s);

// Reads a record file line by line. A missing line marks the record malformed (9) and leaves its field alone;
// reading goes on.
class RecordReader {
public:
    explicit RecordReader(std::string_view data) : lines_(data, kRecordLineSize) {}
    // The next line; false (and 9 noted) when the file has ended.
    bool next(std::string_view &line);
    // The next line, without noting a missing one (optional trailing lines).
    bool optional(std::string_view &line) { return lines_.next_line(line); }
    // Skips a key line; a missing or empty one, or one other than expected (when given), is malformed.
    void key(std::optional<std::string_view> expected = std::nullopt);
    // Replaces a host string field with the next line.
    void text(char *&field);
    template <class T>
    void number(T &field) {
        std::string_view l;
        if (next(l)) field = static_cast<T>(parse_long(l));
    }
    Rc rc() const { return rc_; }
    void set_rc(Rc rc) { rc_ = rc; }

private:
    LineReader lines_;
    Rc rc_ = Rc::Success;
};

// Builds a record file's bytes, one value per line.
class RecordWriter {
public:
    RecordWriter &text(const char *s) { return text(std::string_view(s ? s : "")); }  // null: an empty line
    RecordWriter &text(std::string_view s);
    RecordWriter &number(long long v);  // "%lld": a %u or %d value once cast to its type
    const std::string &bytes() const { return out_; }

private:
    std::string out_;
};

// A configuration line "key = value" split at its first '=': the key lower-cased, blanks around both cut.
// False for a comment ('#' in column one) or a line without '='.
bool parse_config_line(std::string_view line, std::string &key, std::string_view &value);

}  // namespace tolv
