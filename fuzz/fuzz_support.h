// Shared by the fuzz targets: inputs placed where the library's file-based streams can read
// them, a private scratch directory, and the check that turns a broken property into a crash
// the fuzzing engine (or the replayer) reports with the input that caused it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace elq::fuzz {

// Every target: returns 0, aborts with a message when the code under test breaks a property.
using TargetFunction = int (*)(const uint8_t* data, size_t size);

struct Target {
    const char* name;  // also the folder of its corpus and of its saved regression inputs
    TargetFunction run;
};

int waveReader(const uint8_t* data, size_t size);
int decodeBlocks(const uint8_t* data, size_t size);
int decodeContainer(const uint8_t* data, size_t size);
int roundTrip(const uint8_t* data, size_t size);

inline constexpr Target kTargets[] = {
    {"wave_reader", waveReader},
    {"decode_blocks", decodeBlocks},
    {"decode_container", decodeContainer},
    {"round_trip", roundTrip},
};

// Called once per process before the first input: no console output from the library.
void prepareProcess();

// Writes a seed corpus for every target into `directory`/<target name>/: small WAVE files,
// ELQ files our encoder makes of them in several modes, and round-trip inputs.
void writeSeeds(const std::string& directory);

[[noreturn]] void fail(const char* what, const char* file, int line);

#define FUZZ_CHECK(condition)                                                \
    do {                                                                     \
        if (!(condition)) ::elq::fuzz::fail(#condition, __FILE__, __LINE__); \
    } while (0)

// An anonymous in-memory file, reopened by name as often as needed; contents replaced per input.
class MemoryFile {
public:
    MemoryFile();
    ~MemoryFile();
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;

    void assign(const uint8_t* data, size_t size);
    // A name any open() accepts for the current contents.
    const char* path() const { return path_.c_str(); }

private:
    int fd_;
    std::string path_;
};

// A directory of this process for the targets that need real named files; removed at exit.
const std::string& scratchDirectory();

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const uint8_t* data, size_t size);

}  // namespace elq::fuzz
