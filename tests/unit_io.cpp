// White-box tests of the reading and writing primitives under the hot paths:
// whole-file reads at every size, line pieces against a C stream model, index
// lines against reading then splitting, the sliced list output, case folding
// and the filter.
#include <gtest/gtest.h>
#include <sys/uio.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <random>
#include <string>
#include <vector>

#include "registry.h"
#include "tolvinternal.h"

using namespace tolv;
using tolvtest::read_file;
using tolvtest::TempDir;
using tolvtest::write_file;

namespace {

std::string random_text(std::mt19937 &rng, std::size_t len, std::string_view alphabet) {
    std::string s(len, ' ');
    for (char &c : s) c = alphabet[rng() % alphabet.size()];
    return s;
}

// fgets(buf, n, stream) over the data, seen as C strings.
std::vector<std::string> model_pieces(const std::string &data, int n) {
    std::vector<std::string> out;
    const std::size_t cap = n > 1 ? std::size_t(n - 1) : 1;
    for (std::size_t pos = 0; pos < data.size();) {
        std::size_t len = 0;
        while (len < cap && pos + len < data.size() && data[pos + len] != '\n') ++len;
        if (len < cap && pos + len < data.size()) ++len;  // the newline
        const std::string raw = data.substr(pos, len);
        out.push_back(raw.substr(0, raw.find('\0')));
        pos += len;
    }
    return out;
}

// A piece split at its first double blank and the next one after it.
IndexSplit model_split(std::string_view piece, IndexLine &out) {
    const std::size_t first = piece.find("  ");
    if (first == std::string_view::npos) return IndexSplit::NoUuid;
    const std::size_t second = piece.find("  ", first + 2);
    if (second == std::string_view::npos) return IndexSplit::NoRegistryId;
    out.whole = piece.substr(0, piece.size() - (piece.ends_with('\n') ? 1 : 0));
    out.name = piece.substr(0, first);
    out.uuid = piece.substr(first + 2, second - first - 2);
    out.registry_id = out.whole.substr(std::min(second + 2, out.whole.size()));
    return IndexSplit::Ok;
}

// The filter as a lower-cased copy of both texts would be matched.
bool model_filter(std::string f, std::string n) {
    for (char &c : f) c = static_cast<char>(::tolower(static_cast<unsigned char>(c)));
    for (char &c : n) c = static_cast<char>(::tolower(static_cast<unsigned char>(c)));
    const std::size_t first = f.find('*'), last = f.rfind('*');
    if (first == std::string::npos || first == last) {
        const std::string prefix = f.substr(0, first), suffix = first == std::string::npos ? "" : f.substr(first + 1);
        return n.size() >= prefix.size() + suffix.size() && n.compare(0, prefix.size(), prefix) == 0 &&
               n.compare(n.size() - suffix.size(), suffix.size(), suffix) == 0;
    }
    return f.front() == '*' && f.back() == '*' && n.find(f.substr(1, f.size() - 2)) != std::string::npos;
}

}  // namespace

TEST(LineReader, PiecesMatchACStreamReader) {
    std::mt19937 rng(11);
    for (int round = 0; round < 400; ++round) {
        const std::string data = random_text(rng, rng() % 700, std::string("ab \n\n\0", 6));
        for (int n : {0, 1, 2, 3, 7, 250, 1000}) {
            LineReader r(data, n);
            std::vector<std::string> got;
            std::string_view p;
            while (r.next_piece(p)) got.emplace_back(p);
            ASSERT_EQ(got, model_pieces(data, n)) << "round " << round << " n " << n;
        }
    }
}

TEST(LineReader, RestIsTakenOnlyWhenThePiecesWouldGiveItBack) {
    std::mt19937 rng(13);
    for (int round = 0; round < 300; ++round) {
        const std::string data = random_text(rng, rng() % 400, std::string("ab\n\n\n\n\n\n\0", 9));
        const std::vector<std::string> all = model_pieces(data, 250);
        const std::size_t stop = all.empty() ? 0 : rng() % (all.size() + 1);
        LineReader r(data, 250);
        std::string_view p;
        for (std::size_t i = 0; i < stop; ++i) ASSERT_TRUE(r.next_piece(p));
        // Where the reader stands: a piece ends after a newline or 249 bytes.
        std::size_t at = 0;
        for (std::size_t i = 0; i < stop; ++i) {
            const std::size_t nl = data.find('\n', at);
            at = std::min(nl == std::string::npos ? data.size() : nl + 1, at + 249);
        }
        const std::string rest = data.substr(at);
        std::string_view taken;
        if (rest.find('\0') == std::string::npos) {
            ASSERT_TRUE(r.take_rest(taken)) << round;
            EXPECT_EQ(taken, rest);
            EXPECT_FALSE(r.next_piece(p));
        } else {
            ASSERT_FALSE(r.take_rest(taken)) << round;
            std::vector<std::string> got;
            while (r.next_piece(p)) got.emplace_back(p);
            EXPECT_EQ(got, std::vector<std::string>(all.begin() + static_cast<long>(stop), all.end()));
        }
    }
}

TEST(ListOut, SlicesAndAddedTextGiveTheSameBytesAsAString) {
    TempDir dir;
    std::mt19937 rng(17);
    for (int round = 0; round < 200; ++round) {
        const std::string old = random_text(rng, rng() % 300, "xy\n");
        ListOut out(old);
        std::string want;
        std::vector<std::string> added;  // texts outside the old content
        added.reserve(64);
        for (int step = 0; step < 40; ++step) {
            const unsigned kind = rng() % 3;
            if (kind == 0 && !old.empty()) {
                const std::size_t from = rng() % old.size(), len = rng() % (old.size() - from + 1);
                out.append(std::string_view(old).substr(from, len));
                want.append(old, from, len);
            } else if (kind == 1) {
                added.push_back(random_text(rng, rng() % 5, "AB\n"));
                out.append(added.back());
                want.append(added.back());
            } else if (!old.empty()) {
                // A line of the old content, or any stretch of it, and a newline.
                const std::size_t from = rng() % old.size();
                const std::size_t nl = old.find('\n', from);
                const std::size_t len = rng() % 2 && nl != std::string::npos ? nl - from : rng() % (old.size() - from + 1);
                out.append_line(std::string_view(old).substr(from, len));
                want.append(old, from, len).push_back('\n');
            }
        }
        ASSERT_EQ(out.str(), want) << round;
        EXPECT_EQ(out.size(), want.size());
        ASSERT_TRUE(io::write_file(dir.path() + "out", [&](io::File &f) { return out.write_to(f); }));
        EXPECT_EQ(read_file(dir.path() + "out"), want);
    }
}

TEST(ListOut, MoreSlicesThanOneGatheredWriteTakes) {
    TempDir dir;
    std::string old;
    for (int i = 0; i < 5000; ++i) old += "line " + std::to_string(i) + "\n";
    // Every other line dropped and a marker put in: thousands of slices.
    ListOut out(old);
    std::string want;
    LineReader lines(old, kListLineSize);
    std::string_view piece;
    for (int i = 0; lines.next_piece(piece); ++i) {
        if (i % 2) continue;
        out.append(piece);
        out.append("+\n");
        want.append(piece).append("+\n");
    }
    ASSERT_TRUE(io::write_file(dir.path() + "out", [&](io::File &f) { return out.write_to(f); }));
    EXPECT_EQ(read_file(dir.path() + "out"), want);

    // A failing gathered write is reported, and the old file stays.
    io::fail_nth_operation(2, ENOSPC);
    EXPECT_FALSE(io::write_file(dir.path() + "out", [&](io::File &f) { return out.write_to(f); }));
    io::fail_nth_operation(0, 0);
    EXPECT_EQ(read_file(dir.path() + "out"), want);
}

TEST(IndexLines, SplitsAgreeWithAModel) {
    std::mt19937 rng(31);
    for (int round = 0; round < 3000; ++round) {
        // Blank runs, long lines (more than one piece), NULs; some lines well formed.
        std::string data;
        while (data.size() < rng() % 900) {
            switch (rng() % 4) {
            case 0: data += "corp user" + std::to_string(rng() % 1000) + "  uuid-" + std::to_string(rng()) + "  uid=x\n"; break;
            case 1: data += random_text(rng, rng() % 40, std::string("a   \n", 5)); break;
            case 2: data += random_text(rng, 240 + rng() % 30, std::string("ab  ", 4)); break;
            default: data += random_text(rng, rng() % 20, std::string("a \0\n", 4)); break;
            }
        }
        LineReader reader(data, kListLineSize);
        std::string_view piece;
        while (reader.next_piece(piece)) {
            IndexLine want, got;
            const IndexSplit ws = model_split(piece, want);
            ASSERT_EQ(split_index_line(piece, got), ws) << round << " \"" << piece << '"';
            if (ws != IndexSplit::Ok) continue;
            EXPECT_EQ(got.name, want.name);
            EXPECT_EQ(got.uuid, want.uuid);
            EXPECT_EQ(got.registry_id, want.registry_id);
            EXPECT_EQ(got.whole, want.whole);
        }
    }
}

TEST(Names, CaseFoldingIsTheLocalesTolower) {
    for (int c = 1; c < 256; ++c) {
        char text[2] = {static_cast<char>(c), '\0'};
        ui_tolower(text);
        EXPECT_EQ(static_cast<unsigned char>(text[0]), ::tolower(c)) << c;
    }
    std::mt19937 rng(23);
    for (int round = 0; round < 2000; ++round) {
        const std::string a = random_text(rng, rng() % 6, "aAbB\xc4\xe4"), b = random_text(rng, rng() % 6, "aAbB\xc4\xe4");
        std::string la = a, lb = b;
        ui_tolower(la);
        ui_tolower(lb);
        ASSERT_EQ(same_ignoring_case(a, b), la == lb) << a << " / " << b;
    }
}

TEST(Filter, AgreesWithMatchingLowerCasedCopies) {
    std::mt19937 rng(29);
    for (int round = 0; round < 20000; ++round) {
        const std::string f = random_text(rng, rng() % 6, "aB*c"), n = random_text(rng, rng() % 7, "AbC*");
        ASSERT_EQ(ui_compare_filter(f.c_str(), n.c_str()), model_filter(f, n) ? 1 : 0) << f << " / " << n;
    }
}
