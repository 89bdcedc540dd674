// Runs the fuzz targets over saved inputs without a fuzzing engine, so the inputs that once
// broke the code stay in the normal and the sanitizer test runs.
// Usage: fuzz_replay [--seeds] DIR...   replays DIR/<target>/* for every target; with --seeds
//                                       also a seed corpus made afresh, and damaged copies of it
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

// Copies of a seed as hostile input: cut short in three places, and with one byte changed, half
// of them in the first 120 bytes (header, stored sections, block heads), where a field steers.
void runDamaged(const elq::fuzz::Target& target, const elq::fuzz::Bytes& bytes) {
    const size_t size = bytes.size();
    for (size_t cut : {size / 3, size / 2, size - 1})
        if (cut < size) target.run(bytes.data(), cut);
    uint32_t state = static_cast<uint32_t>(size);
    for (int i = 0; i < 8 && size > 0; ++i) {
        state = state * 1664525u + 1013904223u;
        elq::fuzz::Bytes changed = bytes;
        changed[(state >> 8) % (i % 2 ? std::min<size_t>(size, 120) : size)] ^=
            static_cast<uint8_t>(1 + i * 31);
        target.run(changed.data(), changed.size());
    }
}

// Replays every file of `root`/<target>/ in name order, with damaged copies when `damaged`, and
// returns the count of files.
int replay(const fs::path& root, bool damaged = false) {
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
            if (damaged) runDamaged(target, bytes);
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
        count += replay(elq::fuzz::scratchDirectory() + "seeds", true);
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
