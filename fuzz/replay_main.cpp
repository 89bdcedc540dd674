// Runs every fuzz target over its saved inputs, without a fuzzing engine: the inputs that once
// broke the code stay in the normal and the sanitizer test runs.
// Usage: fuzz_replay DIR [TARGET]   (DIR holds one folder per target, named as the target)
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz_support.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s DIR [TARGET]\n", argv[0]);
        return 2;
    }
    namespace fs = std::filesystem;
    elq::fuzz::prepareProcess();
    int replayed = 0, targets = 0;
    for (const elq::fuzz::Target& target : elq::fuzz::kTargets) {
        if (argc > 2 && strcmp(argv[2], target.name) != 0) continue;
        ++targets;
        fs::path folder = fs::path(argv[1]) / target.name;
        if (!fs::is_directory(folder)) continue;
        std::vector<fs::path> inputs;
        for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
            if (entry.is_regular_file()) inputs.push_back(entry.path());
        }
        std::sort(inputs.begin(), inputs.end());
        for (const fs::path& input : inputs) {
            // Named before it runs, so a crash shows which input it was.
            fprintf(stderr, "%s %s\n", target.name, input.filename().c_str());
            std::string bytes = elq::fuzz::readFile(input.string());
            target.run(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
            ++replayed;
        }
    }
    if (targets == 0) {
        fprintf(stderr, "no target named %s\n", argv[2]);
        return 2;
    }
    printf("%d inputs replayed without a fault\n", replayed);
    return 0;
}
