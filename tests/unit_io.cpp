// White-box tests of the reading and writing primitives under the hot paths:
// the rest of a file taken whole where its line pieces would give it back, and
// a list output of more slices than one gathered write takes.
#include <gtest/gtest.h>

#include <cerrno>
#include <random>
#include <string>
#include <vector>

#include "registry.h"
#include "tolvinternal.h"

using namespace tolv;
using tolvtest::read_file;
using tolvtest::TempDir;

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

}  // namespace

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
