// tolvinternal_lines.cpp - reading and writing lines: line pieces, record files, index lines and the sliced
// content that a list rewrite writes back.
#include <sys/uio.h>

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "tolvinternal.h"

namespace tolv {

std::size_t LineReader::nul_from(std::size_t from) {
    // One search serves every piece up to the next NUL (for most files, all
    // of them).
    const std::size_t size = data_.size();
    const bool known = nul_scan_ <= from && from <= clean_end_ && (clean_end_ == size || data_[clean_end_] == '\0');
    if (!known) {
        const void *nul = std::memchr(data_.data() + from, '\0', size - from);
        nul_scan_ = from;
        clean_end_ = nul ? static_cast<std::size_t>(static_cast<const char *>(nul) - data_.data()) : size;
    }
    return clean_end_;
}

bool LineReader::next_piece(std::string_view &piece) {
    const std::size_t size = data_.size();
    if (pos_ >= size) return false;
    const std::size_t start = pos_;
    const char *p = data_.data() + start;
    const std::size_t avail = std::min(cap_ ? cap_ : 1, size - start);
    const void *nl = std::memchr(p, '\n', avail);
    pos_ = nl ? static_cast<std::size_t>(static_cast<const char *>(nl) - data_.data()) + 1 : start + avail;
    // A C string reader sees the piece only up to an embedded NUL.
    piece = std::string_view(p, std::min(pos_, nul_from(start)) - start);
    return true;
}

bool LineReader::take_rest(std::string_view &rest) {
    if (nul_from(pos_) != data_.size()) return false;
    rest = data_.substr(pos_);
    pos_ = data_.size();
    return true;
}

bool LineReader::next_line(std::string_view &line) {
    if (!next_piece(line)) return false;
    line = chomp(line);
    return true;
}

long parse_long(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || (s[i] >= '\t' && s[i] <= '\r'))) ++i;
    bool neg = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) neg = s[i++] == '-';
    unsigned long long v = 0;
    bool overflow = false;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
        v = v * 10 + static_cast<unsigned>(s[i] - '0');
        if (v > static_cast<unsigned long long>(LONG_MAX) + 1) overflow = true, v = static_cast<unsigned long long>(LONG_MAX) + 1;
    }
    if (neg) return (overflow || v > static_cast<unsigned long long>(LONG_MAX)) ? LONG_MIN : -static_cast<long>(v);
    return (overflow || v > static_cast<unsigned long long>(LONG_MAX)) ? LONG_MAX : static_cast<long>(v);
}

bool RecordReader::next(std::string_view &line) {
    if (lines_.next_line(line)) return true;
    if (rc_ == Rc::Success) rc_ = Rc::Malformed;
    return false;
}

void RecordReader::key(std::optional<std::string_view> expected) {
    std::string_view l;
    if (next(l) && (l.empty() || (expected && l != *expected)) && rc_ == Rc::Success) rc_ = Rc::Malformed;
}

void RecordReader::text(char *&field) {
    std::string_view l;
    if (next(l) && !ok(set_str(field, l))) rc_ = Rc::NoMemory;
}

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

// By hand because the library searches lose on index lines: splitting a line
// (two searches) costs 3.5-4.0 ns here against 8.3-10.8 with
// string_view::find and 24-30 with memmem (CPU medians of 9 interleaved
// repetitions on the user and group lists of 10,000 users, 2026-12-07,
// 2-vCPU AMD EPYC 2.6 GHz VM, g++ 12 -O3, glibc 2.36;
// build-release/bench/tolvbench_sep, command in bench/sep_bench.cpp).
std::size_t find_index_sep(std::string_view s, std::size_t from) {
    std::size_t i = from;
#if defined(__SSE2__)
    // Sixteen places at a time: a blank there and a blank in the next byte.
    const __m128i blank = _mm_set1_epi8(' ');
    for (; i + 17 <= s.size(); i += 16) {
        const auto *p = reinterpret_cast<const __m128i *>(s.data() + i);
        const __m128i here = _mm_cmpeq_epi8(_mm_loadu_si128(p), blank);
        const __m128i next = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(s.data() + i + 1)), blank);
        if (const int hits = _mm_movemask_epi8(_mm_and_si128(here, next)))
            return i + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(hits)));
    }
#endif
    for (; i + 1 < s.size(); ++i)
        if (s[i] == ' ' && s[i + 1] == ' ') return i;
    return std::string_view::npos;
}

IndexSplit split_index_line(std::string_view piece, IndexLine &out) {
    const std::size_t first = find_index_sep(piece);
    if (first == std::string_view::npos) return IndexSplit::NoUuid;
    const std::size_t second = find_index_sep(piece, first + kIndexSep.size());
    if (second == std::string_view::npos) return IndexSplit::NoRegistryId;
    out.whole = chomp(piece);
    out.name = piece.substr(0, first);
    out.uuid = piece.substr(first + kIndexSep.size(), second - first - kIndexSep.size());
    out.registry_id = out.whole.substr(std::min(second + kIndexSep.size(), out.whole.size()));
    return IndexSplit::Ok;
}

namespace {
// The offset of text within old, when it lies there.
bool offset_in(std::string_view old, std::string_view text, std::size_t &offset) {
    const auto at = reinterpret_cast<std::uintptr_t>(text.data());
    const auto lo = reinterpret_cast<std::uintptr_t>(old.data());
    if (text.size() > old.size() || at < lo || at - lo > old.size() - text.size()) return false;
    offset = at - lo;
    return true;
}
}  // namespace

void ListOut::add_slice(std::string_view text) {
    if (text.empty()) return;
    size_ += text.size();
    std::size_t offset = 0;
    if (offset_in(old_, text, offset)) {
        slices_.push_back({false, offset, text.size()});
        return;
    }
    if (!slices_.empty() && slices_.back().copied)
        slices_.back().length += text.size();
    else
        slices_.push_back({true, added_.size(), text.size()});
    added_.append(text);
}

void ListOut::append_line(std::string_view text) {
    std::size_t offset = 0;
    if (offset_in(old_, text, offset) && offset + text.size() < old_.size() && old_[offset + text.size()] == '\n') {
        append(std::string_view(text.data(), text.size() + 1));
        return;
    }
    append(text);
    append("\n");
}

bool ListOut::write_to(io::File &file) const {
    std::vector<struct iovec> iov;
    iov.reserve(slices_.size());
    for (const Slice &sl : slices_) iov.push_back({const_cast<char *>(base(sl)), sl.length});
    return file.write_all(iov.data(), iov.size());
}

}  // namespace tolv
