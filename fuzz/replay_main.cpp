// Runs the fuzz targets over saved inputs without a fuzzing engine, so the inputs that once
// broke the code stay in the normal and the sanitizer test runs.
// Usage: fuzz_replay [--seeds] DIR...   replays DIR/<target>/* for every target; with --seeds
//                                       also a seed corpus made afresh
//        fuzz_replay --write-seeds DIR  writes the seed corpus into DIR/<target>/
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz_support.h"

namespace {

namespace fs = std::filesystem;

// Replays every file of `root`/<target>/ and returns the count.
int replay(const fs::path& root) {
    int count = 0;
    for (const elq::fuzz::Target& target : elq::fuzz::kTargets) {
        const fs::path folder = root / target.name;
        if (!fs::is_directory(folder)) continue;
        std::vector<fs::path> inputs;
        for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
            if (entry.is_regular_file()) inputs.push_back(entry.path());
        }
        std::sort(inputs.begin(), inputs.end());
        for (const fs::path& input : inputs) {
            // Named before it runs, so that a crash shows which input it was.
            fprintf(stderr, "%s %s\n", target.name, input.filename().c_str());
            const std::string bytes = elq::fuzz::readFile(input.string());
            target.run(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
            ++count;
        }
    }
    return count;
}

}  // namespace

int main(int argc, char** argv) {
    elq::fuzz::prepareProcess();
    if (argc == 3 && strcmp(argv[1], "--write-seeds") == 0) {
        elq::fuzz::writeSeeds(argv[2]);
        return 0;
    }
    int first = 1;
    int count = 0;
    if (argc > 1 && strcmp(argv[1], "--seeds") == 0) {
        const std::string seeds = elq::fuzz::scratchDirectory() + "/seeds";
        elq::fuzz::writeSeeds(seeds);
        count += replay(seeds);
        ++first;
    }
    if (first >= argc && count == 0) {
        fprintf(stderr, "usage: %s [--seeds] DIR... | --write-seeds DIR\n", argv[0]);
        return 2;
    }
    for (int i = first; i < argc; ++i)
        count += replay(argv[i]);
    printf("%d inputs replayed without a fault\n", count);
    return 0;
}
