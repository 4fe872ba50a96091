// The behaviour corpus: operation sequences (tests/corpus/*.ops, their
// format in support/corpus.h) run through the exported interface, each call's
// return code and the records it filled, and the whole registry directory
// after each sequence, compared with tests/golden/corpus/*.txt.
// TOLV_CORPUS_RECORD=1 rewrites the golden files.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>

#include "corpus.h"
#include "registry.h"

namespace {

using namespace tolvtest;
namespace fs = std::filesystem;


bool is_uuid_at(const std::string &s, std::size_t p) {
    if (p + 36 > s.size()) return false;
    for (std::size_t i = 0; i < 36; ++i) {
        const char c = s[p + i];
        if ((i == 8 || i == 13 || i == 18 || i == 23) ? c != '-' : !std::isxdigit(static_cast<unsigned char>(c)))
            return false;
    }
    return p + 36 == s.size() || !std::isxdigit(static_cast<unsigned char>(s[p + 36]));
}

// Every UUID not written in the sequences becomes <uuid-N>, N in order of first appearance.
std::string stable_uuids(const std::string &transcript, const std::string &ops_text) {
    const auto lower = [](std::string s) {
        for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return s;
    };
    std::set<std::string> given;
    for (std::size_t p = 0; p < ops_text.size(); ++p)
        if (is_uuid_at(ops_text, p)) given.insert(lower(ops_text.substr(p, 36)));
    std::map<std::string, std::string> seen;
    std::string out;
    for (std::size_t p = 0; p < transcript.size();) {
        if ((p == 0 || !std::isxdigit(static_cast<unsigned char>(transcript[p - 1]))) && is_uuid_at(transcript, p) &&
            !given.count(lower(transcript.substr(p, 36)))) {
            auto &name = seen[lower(transcript.substr(p, 36))];
            if (name.empty()) name = "<uuid-" + std::to_string(seen.size()) + ">";
            out += name;
            p += 36;
        } else {
            out += transcript[p++];
        }
    }
    return out;
}

const std::string kCorpus = TOLV_SOURCE_DIR "/tests/corpus/";
const std::string kGolden = TOLV_SOURCE_DIR "/tests/golden/corpus/";

std::vector<std::string> sequences() {
    std::vector<std::string> names;
    for (const auto &e : fs::directory_iterator(kCorpus))
        if (e.path().extension() == ".ops") names.push_back(e.path().stem().string());
    std::sort(names.begin(), names.end());
    return names;
}

class Corpus : public ::testing::TestWithParam<std::string> {};

}  // namespace

TEST_P(Corpus, Matches) {
    const std::string ops_text = read_file(kCorpus + GetParam() + ".ops");
    const std::string got = stable_uuids(run_corpus(ops_text), ops_text);
    const std::string golden = kGolden + GetParam() + ".txt";
    if (const char *rec = std::getenv("TOLV_CORPUS_RECORD"); rec && std::string(rec) == "1") {
        fs::create_directories(kGolden);
        write_file(golden, got);
        return;
    }
    ASSERT_TRUE(file_exists(golden)) << golden << " is missing: record it with TOLV_CORPUS_RECORD=1";
    const auto want = lines(read_file(golden)), have = lines(got);
    std::size_t i = 0;
    while (i < want.size() && i < have.size() && want[i] == have[i]) ++i;
    if (i == want.size() && i == have.size()) return;
    // The first difference, with the operation it belongs to.
    std::size_t op = i;
    while (op > 0 && have.size() > op && have[op].rfind("> ", 0) != 0) --op;
    ADD_FAILURE() << golden << ":" << i + 1 << " differs\n  operation: " << (op < have.size() ? have[op] : "")
                  << "\n  expected:  " << (i < want.size() ? want[i] : "(end)")
                  << "\n  got:       " << (i < have.size() ? have[i] : "(end)");
}

INSTANTIATE_TEST_SUITE_P(api_corpus, Corpus, ::testing::ValuesIn(sequences()),
                         [](const ::testing::TestParamInfo<std::string> &p) { return p.param; });
