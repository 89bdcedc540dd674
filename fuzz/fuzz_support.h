// Shared by the fuzz targets: inputs placed where the library's file-based streams can read
// them, a private scratch directory, and the check that turns a broken property into a crash
// the fuzzing engine (or the replayer) reports with the input that caused it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "frontend/options.h"

namespace elq::fuzz {

using Bytes = std::vector<uint8_t>;

// Every target returns 0 and aborts with a message when the code under test breaks a property.
int waveReader(const uint8_t* data, size_t size);
int decodeBlocks(const uint8_t* data, size_t size);
int decodeContainer(const uint8_t* data, size_t size);
int roundTrip(const uint8_t* data, size_t size);
int decodeApi(const uint8_t* data, size_t size);

struct Target {
    const char* name;  // also the folder of its corpus and of its saved regression inputs
    int (*run)(const uint8_t* data, size_t size);
};
inline constexpr Target kTargets[] = {
    {"wave_reader", waveReader}, {"decode_blocks", decodeBlocks}, {"decode_container", decodeContainer},
    {"round_trip", roundTrip},   {"decode_api", decodeApi},
};

// Writes a seed corpus for every target into `directory`/<target name>/.
void writeSeeds(const std::string& directory);

[[noreturn]] void fail(const char* what, const char* file, int line);

#define FUZZ_CHECK(condition)                                                \
    do {                                                                     \
        if (!(condition)) ::elq::fuzz::fail(#condition, __FILE__, __LINE__); \
    } while (0)

// Puts `bytes` into the process's one anonymous in-memory file, replacing what it held, and
// returns a name any open() accepts for it.
const char* memoryFile(std::span<const uint8_t> bytes);

// A directory of this process for the targets that need real named files, with a trailing slash;
// removed at exit.
const std::string& scratchDirectory();

Bytes readFile(const std::string& path);
void writeFile(const std::string& path, std::span<const uint8_t> bytes);

// The commands' settings for the targets: no console output, the threads "--threads 0" gives.
CommandSettings quietSettings(const EncoderSettings& encoder);

// Encodes the WAVE file `wave` twice with `settings` and decodes it: the decoded file must be
// `expected` and both encodings identical (no state carried between files, nothing uninitialised).
void checkRoundTrip(std::span<const uint8_t> wave, const CommandSettings& settings,
                    std::span<const uint8_t> expected);

}  // namespace elq::fuzz
