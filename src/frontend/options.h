// The command line: the one record of options, its parser, the banner and the usage text.
#pragma once

#include <cstdint>
#include <cstdio>

namespace elq {

constexpr int kMaxSourceFiles = 256;
// Most worker threads "--threads" accepts.
constexpr int kMaxThreads = 64;

// The trial divisors of the built-in searches "fast", "normal", "high" and "best".
constexpr int32_t kSearchDivisors[] = {10, 5, 2, 1};

// Encoder values from the command line; -1 means not given (the encode command applies defaults).
struct EncoderSettings {
    int32_t blockLength = -1;
    int32_t order = -1;
    int32_t crossOrder = -1;
    int32_t solveInterval = -1;
    int32_t memoryLength = -1;
    int32_t adaptationLength = -1;
    int32_t family = -1;
    int32_t opt1 = -1;
    int32_t opt2 = -1;
    int32_t maximize = -1;  // "--optimize max": 1; the other optimize words: 0
};

// What the encode and decode commands take besides the file names; the program fills it from
// the command line.
struct CommandSettings {
    bool silent = false;            // no file names or progress
    bool verbose = false;           // list the WAVE header fields while encoding
    uint32_t threads = 1;           // worker threads; 1 runs everything on the calling thread
    bool verify = false;            // encoding: decode the finished file again and compare with the source
    bool crc = false;               // encoding: append the checksum section
    bool ignoreChunkSizes = false;  // encoding: a WAVE file's samples run to its end
    EncoderSettings encoder;
};

struct ProgramOptions {
    int32_t encode = -1;
    int32_t decode = -1;
    int32_t info = -1;
    int32_t help = -1;
    int32_t verify = -1;            // "--verify": encoding checks its output; an ELQ source is tested
    int32_t crc = -1;               // "--crc": the encoder appends checksums
    int32_t ignoreChunkSizes = -1;  // "--ignore-chunk-sizes"
    EncoderSettings settings;
    uint8_t silent = 0;
    uint8_t verbose = 0;
    int32_t threads = -1;  // "--threads": 1 to 64; 0 or -1 (not given) mean every available core
    int32_t sourceCount = 0;
    const char* sources[kMaxSourceFiles] = {};
    const char* outputs[kMaxSourceFiles] = {};
};

// The process-wide record, filled once by parseCommandLine before any file is handled.
ProgramOptions& programOptions();

// Fills programOptions() from the argument vector; throws Exception (UNKNOWN) on the first error.
void parseCommandLine(int argc, const char* const* argv);

// Sets the encoder option "--mode", "--speedup", "--optimize" or "--seek" from its value word, as
// the command line does; throws Exception (UNKNOWN) with the command line's report for a word
// that is not among its values.
void setEncoderOption(const char* option, const char* word, EncoderSettings& settings);

void printBanner(FILE* stream);
void printUsage(FILE* stream);

// The worker threads for a "--threads" value: the value itself, or every available core (at
// least 1, at most kMaxThreads) for 0 or -1 (not given).
uint32_t threadCount(int32_t requested);

// Index of the first entry equal to `word` (exact, case-sensitive), or -1.
int lookupName(const char* word, const char* const* table, int count);

// True when `name` ends with `ending`, letters compared without regard to case.
bool endsWithIgnoreCase(const char* name, const char* ending);

}  // namespace elq
