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

// Replays every file of `root`/<target>/ in name order and returns the count.
int replay(const fs::path& root) {
    int count = 0;
    for (const elq::fuzz::Target& target : elq::fuzz::kTargets) {
        if (!fs::is_directory(root / target.name)) continue;
        std::vector<fs::path> inputs;
        for (const fs::directory_entry& entry : fs::directory_iterator(root / target.name))
            if (entry.is_regular_file()) inputs.push_back(entry.path());
        std::sort(inputs.begin(), inputs.end());
        for (const fs::path& input : inputs) {
            // Named before it runs, so that a crash shows which input it was.
            fprintf(stderr, "%s %s\n", target.name, input.filename().c_str());
            const elq::fuzz::Bytes bytes = elq::fuzz::readFile(input.string());
            target.run(bytes.data(), bytes.size());
            ++count;
        }
    }
    return count;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && strcmp(argv[1], "--write-seeds") == 0) {
        elq::fuzz::writeSeeds(argv[2]);
        return 0;
    }
    int count = 0, first = 1;
    if (argc > 1 && strcmp(argv[1], "--seeds") == 0) {
        elq::fuzz::writeSeeds(elq::fuzz::scratchDirectory() + "seeds");
        count += replay(elq::fuzz::scratchDirectory() + "seeds");
        ++first;
    }
    for (int i = first; i < argc; ++i)
        count += replay(argv[i]);
    if (count == 0) {
        fprintf(stderr, "no inputs; usage: %s [--seeds] DIR... | --write-seeds DIR\n", argv[0]);
        return 2;
    }
    printf("%d inputs replayed without a fault\n", count);
    return 0;
}
