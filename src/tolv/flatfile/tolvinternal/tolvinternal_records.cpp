// tolvinternal_records.cpp - record files read and written line by line.
#include <charconv>

#include "tolvinternal.h"

namespace tolv {

// Record files.

bool RecordReader::next(std::string_view &line) {
    if (lines_.next_line(line)) return true;
    if (rc_ == Rc::Success) rc_ = Rc::Malformed;
    return false;
}

void RecordReader::key() {
    std::string_view l;
    if (next(l) && l.empty() && rc_ == Rc::Success) rc_ = Rc::Malformed;
}

void RecordReader::key(std::string_view expected) {
    std::string_view l;
    if (next(l) && (l.empty() || l != expected) && rc_ == Rc::Success) rc_ = Rc::Malformed;
}

void RecordReader::text(char *&field) {
    std::string_view l;
    if (next(l) && !ok(set_str(field, l))) rc_ = Rc::NoMemory;
}

RecordWriter &RecordWriter::text(const char *s) { return text(std::string_view(s ? s : "")); }

RecordWriter &RecordWriter::text(std::string_view s) {
    out_.append(s);
    out_.push_back('\n');
    return *this;
}

RecordWriter &RecordWriter::number(long long v) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    out_.append(buf, r.ptr);
    out_.push_back('\n');
    return *this;
}

Rc take_password(std::string_view line, rspi_authndata *&field) {
    rspi_authndata *pw = rspi_alloc_authndata();
    char *data = pw ? dup_str(line) : nullptr;
    if (!data) {
        rspi_free_authndata(pw);
        return Rc::NoMemory;
    }
    pw->type = 1;
    pw->length = static_cast<uint32_t>(line.size());
    pw->data = data;
    rspi_free_authndata(field);
    field = pw;
    return Rc::Success;
}

}  // namespace tolv
