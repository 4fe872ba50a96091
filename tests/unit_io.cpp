// White-box tests of the reading and writing primitives under the hot paths,
// against fgets as the model of line pieces: the rest of a file taken whole
// where its pieces would give it back, a list output of more slices than one
// gathered write takes, and removal from an entry list, which searches for the
// dropped pieces instead of visiting every piece.
#include <gtest/gtest.h>

#include <cerrno>
#include <random>
#include <string>
#include <vector>

#include "registry.h"
#include "tolvinternal.h"

using namespace tolv;
using tolvtest::file_exists;
using tolvtest::read_file;
using tolvtest::TempDir;
using tolvtest::write_file;

namespace {

std::string random_text(std::mt19937 &rng, std::size_t len, std::string_view alphabet) {
    std::string s(len, ' ');
    for (char &c : s) c = alphabet[rng() % alphabet.size()];
    return s;
}

// fgets(buf, 250, stream) over the data, each piece seen as a C string.
std::vector<std::string> model_pieces(const std::string &data) {
    std::vector<std::string> out;
    for (std::size_t pos = 0; pos < data.size();) {
        std::size_t len = 0;
        while (len < 249 && pos + len < data.size() && data[pos + len] != '\n') ++len;
        if (len < 249 && pos + len < data.size()) ++len;  // the newline
        const std::string raw = data.substr(pos, len);
        out.push_back(raw.substr(0, raw.find('\0')));
        pos += len;
    }
    return out;
}

// Short lines sharing prefixes, runs of long lines (several pieces), empty
// lines, a missing last newline and now and then a NUL.
std::string random_list(std::mt19937 &rng) {
    static const char *const kWords[] = {"a", "a b", "a bc", "ab", "b", "a b x", ""};
    std::string data;
    const int lines = static_cast<int>(rng() % 40);
    for (int i = 0; i < lines; ++i) {
        if (rng() % 8 == 0) {
            const std::size_t len = 200 + rng() % 400;
            for (std::size_t k = 0; k < len; ++k) data += (rng() % 5 == 0) ? std::string("a b") : std::string(1, 'x');
        } else {
            data += kWords[rng() % 7];
        }
        if (rng() % 30 == 0) data += '\0';
        data += '\n';
    }
    if (!data.empty() && rng() % 4 == 0) data.pop_back();
    return data;
}

}  // namespace

TEST(LineReader, RestIsTakenOnlyWhenThePiecesWouldGiveItBack) {
    std::mt19937 rng(13);
    for (int round = 0; round < 300; ++round) {
        const std::string data = random_text(rng, rng() % 400, std::string("ab\n\n\n\n\n\n\0", 9));
        const std::vector<std::string> all = model_pieces(data);
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

// Removing a line (or purging the lines that start with a key) leaves the
// pieces the piece-by-piece rules keep; a list left without pieces is removed.
TEST(EntryListDrop, SearchAgreesWithPieceByPiece) {
    std::mt19937 rng(23);
    TempDir dir;
    const std::string path = dir.path() + "x.list";
    for (int round = 0; round < 3000; ++round) {
        const std::string data = random_list(rng);
        static const char *const kKeys[] = {"a", "a b", "a bc", "b", "x", "xa b", "a b x"};
        const std::string key = kKeys[rng() % 7];
        const bool purge = rng() % 2 == 0;
        std::string want;
        bool found = false, kept = false;
        for (const std::string &p : model_pieces(data)) {
            const bool drop = purge ? p.compare(0, key.size(), key) == 0 : p == key + "\n";
            found = found || drop;
            kept = kept || !drop;
            if (!drop) want += p;
        }
        write_file(path, data);
        const Rc rc = purge ? ui_purge_from_entrylist(dir.path(), "x.list", key)
                            : ui_remove_from_entrylist(dir.path(), "x.list", key);
        ASSERT_EQ(rc, found ? Rc::Success : Rc::NotInList) << round;
        ASSERT_EQ(file_exists(path), kept) << round;
        if (kept) {
            ASSERT_EQ(read_file(path), want) << round << (purge ? " purge " : " remove ") << key;
        }
    }
}
