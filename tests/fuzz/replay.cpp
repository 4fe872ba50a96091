// Runs a fuzz entry point once on every saved input, without libFuzzer: the
// corpus becomes a regression test of the normal (sanitizer) test build.
//
//   fuzz_replay_NAME DIR|FILE...    each file of each DIR, in name order
//
// A finding aborts (sanitizer report or trap), so the exit status tells.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace fs = std::filesystem;

int main(int argc, char **argv) {
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; ++i) {
        if (fs::is_directory(argv[i])) {
            std::vector<fs::path> files;
            for (const auto &e : fs::directory_iterator(argv[i]))
                if (e.is_regular_file()) files.push_back(e.path());
            std::sort(files.begin(), files.end());
            inputs.insert(inputs.end(), files.begin(), files.end());
        } else {
            inputs.emplace_back(argv[i]);
        }
    }
    // An empty run would pass whatever the code does.
    if (inputs.empty()) {
        std::fprintf(stderr, "usage: %s DIR|FILE... (no input found)\n", argv[0]);
        return 2;
    }
    for (const auto &path : inputs) {
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "cannot read %s\n", path.c_str());
            return 2;
        }
        const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        std::printf("%s (%zu bytes)\n", path.c_str(), bytes.size());
        std::fflush(stdout);  // names the input a crash happens in
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
    }
    // The private registry directory goes with the run.
    std::error_code ec;
    fs::remove_all(tolvfuzz::registry_dir(), ec);
    std::printf("%zu inputs replayed\n", inputs.size());
    return 0;
}
