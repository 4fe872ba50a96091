// Removing from an entry list finds the dropped pieces by searching instead
// of visiting every piece; the result must be the piece-by-piece one.

#include <gtest/gtest.h>

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

// The list as fgets with a 250-byte buffer cuts it, each piece seen as a C
// string, with every piece that drop() takes left out; kept counts the rest.
template <class Drop>
std::string model_drop(const std::string &data, Drop drop, bool &found, int &kept) {
    std::string out;
    found = false;
    kept = 0;
    for (std::size_t pos = 0; pos < data.size();) {
        std::size_t len = 0;
        while (len < 249 && pos + len < data.size() && data[pos + len] != '\n') ++len;
        if (len < 249 && pos + len < data.size()) ++len;
        std::string piece = data.substr(pos, len);
        piece = piece.substr(0, piece.find('\0'));
        pos += len;
        if (drop(piece)) {
            found = true;
        } else {
            out += piece;
            ++kept;
        }
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

TEST(EntryListDrop, SearchAgreesWithPieceByPiece) {
    std::mt19937 rng(23);
    TempDir dir;
    const std::string path = dir.path() + "x.list";
    for (int round = 0; round < 3000; ++round) {
        const std::string data = random_list(rng);
        static const char *const kKeys[] = {"a", "a b", "a bc", "b", "x", "xa b", "a b x"};
        const std::string key = kKeys[rng() % 7];
        const bool purge = rng() % 2 == 0;
        bool found = false;
        int kept = 0;
        const std::string line = key + "\n";
        const auto starts = [&](const std::string &p) { return p.compare(0, key.size(), key) == 0; };
        const auto equals = [&](const std::string &p) { return p == line; };
        const std::string want = purge ? model_drop(data, starts, found, kept) : model_drop(data, equals, found, kept);

        write_file(path, data);
        const Rc rc = purge ? ui_purge_from_entrylist(dir.path(), "x.list", key)
                            : ui_remove_from_entrylist(dir.path(), "x.list", key);
        ASSERT_EQ(rc, found ? Rc::Success : Rc::NotInList) << round;
        // A list left without pieces is removed.
        ASSERT_EQ(file_exists(path), kept > 0) << round;
        if (kept > 0) {
            ASSERT_EQ(read_file(path), want) << round << (purge ? " purge " : " remove ") << key;
        }
    }
}

}  // namespace
