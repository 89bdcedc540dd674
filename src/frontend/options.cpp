#include "frontend/options.h"

#include <sched.h>

#include <cctype>
#include <cstring>
#include <thread>

#include "foundation/exception.h"
#include "wave/sample_type.h"

namespace elq {

namespace {

// Value tables; the position of a word is its index.
const char* const kModeNames[] = {"fast", "normal", "high", "extra", "best", "ultra", "insane"};
const int32_t kModeOrder[] = {12, 24, 36, 48, 64, 96, 128};
const int32_t kModeCrossOrder[] = {4, 8, 12, 16, 20, 32, 40};

const char* const kSpeedupNames[] = {"1x", "2x", "4x"};
const int32_t kSpeedupSolveInterval[] = {32, 64, 128};

// "max" searches every block's settings; its divisors are those of the built-in search it includes.
const char* const kOptimizeNames[] = {"none", "fast", "normal", "high", "best", "max"};
const int32_t kOptimizeDivisor[] = {
    0, kSearchDivisors[0], kSearchDivisors[1], kSearchDivisors[2], kSearchDivisors[3], kSearchDivisors[0]};
constexpr int kOptimizeMax = 5;

const char* const kSeekNames[] = {"fast", "normal", "slow"};
const int32_t kSeekBlockLength[] = {10 * 44100, 20 * 44100, 40 * 44100};

const char* const kChannelConfigNames[] = {"MONO", "STEREO_LR"};

template <size_t N>
constexpr int countOf(const char* const (&)[N]) {
    return static_cast<int>(N);
}

// The encoder options whose value is a word: its table, the reports and what an index sets.
struct EncoderOption {
    const char* option;
    const char* const* words;
    int count;
    const char* missing;
    const char* incorrect;
    void (*apply)(int index, EncoderSettings& settings);
};

const EncoderOption kEncoderOptions[] = {
    {"--mode", kModeNames, countOf(kModeNames), "parameter missing after --mode", "incorrect mode value",
     [](int i, EncoderSettings& s) {
         s.order = kModeOrder[i];
         s.crossOrder = kModeCrossOrder[i];
     }},
    {"--speedup", kSpeedupNames, countOf(kSpeedupNames), "parameter missing after --speedup",
     "incorrect speedup value",
     [](int i, EncoderSettings& s) { s.solveInterval = kSpeedupSolveInterval[i]; }},
    {"--optimize", kOptimizeNames, countOf(kOptimizeNames), "parameter missing after --optimize",
     "incorrect optimize value",
     [](int i, EncoderSettings& s) {
         s.opt1 = kOptimizeDivisor[i];
         s.opt2 = kOptimizeDivisor[i];
         s.maximize = i == kOptimizeMax ? 1 : 0;
     }},
    {"--seek", kSeekNames, countOf(kSeekNames), "parameter missing after --seek", "incorrect seek value",
     [](int i, EncoderSettings& s) { s.blockLength = kSeekBlockLength[i]; }},
};

const EncoderOption* findEncoderOption(const char* option) {
    for (const EncoderOption& entry : kEncoderOptions) {
        if (strcmp(entry.option, option) == 0) return &entry;
    }
    return nullptr;
}

// Exact, case-sensitive; an absent text equals nothing.
bool equals(const char* a, const char* b) {
    return a && b && strcmp(a, b) == 0;
}

// The table index of the value that follows the option argv[i]; `missing` and `incorrect` are the
// descriptions for a value that is absent or not in the table.
int lookupValue(int argc, const char* const* argv, int i, const char* const* table, int count,
                const char* missing, const char* incorrect) {
    if (i + 1 >= argc) throwError(UNKNOWN, missing);
    int index = lookupName(argv[i + 1], table, count);
    if (index < 0) throwError(UNKNOWN, incorrect);
    return index;
}

// A whole argument of decimal digits with a value from 0 to kMaxThreads, else -1.
int32_t parseThreads(const char* word) {
    if (!word || !*word) return -1;
    int32_t value = 0;
    for (const char* p = word; *p; ++p) {
        if (*p < '0' || *p > '9') return -1;
        value = value * 10 + (*p - '0');
        if (value > kMaxThreads) return -1;
    }
    return value;
}

}  // namespace

ProgramOptions& programOptions() {
    static ProgramOptions options;
    return options;
}

void parseCommandLine(int argc, const char* const* argv) {
    ProgramOptions& options = programOptions();
    options = ProgramOptions{};
    EncoderSettings& settings = options.settings;

    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (!arg) continue;
        if (equals(arg, "--encode")) {
            options.encode = 1;
        } else if (equals(arg, "--decode")) {
            options.decode = 1;
        } else if (equals(arg, "--info")) {
            options.info = 1;
        } else if (equals(arg, "--help")) {
            options.help = 1;
        } else if (equals(arg, "--verify")) {
            options.verify = 1;
        } else if (equals(arg, "--repair") || equals(arg, "--speedtest")) {
            // Accepted for compatibility of command lines; no effect.
        } else if (equals(arg, "--output")) {
            if (i + 1 >= argc) throwError(UNKNOWN, "parameter missing after --output");
            // Before the first source this lands in slot 0, which naming that source clears again.
            int slot = options.sourceCount > 0 ? options.sourceCount - 1 : 0;
            options.outputs[slot] = argv[++i];
        } else if (equals(arg, "--silent")) {
            options.silent = 1;
            options.verbose = 0;
        } else if (const EncoderOption* option = findEncoderOption(arg)) {
            option->apply(
                lookupValue(argc, argv, i, option->words, option->count, option->missing, option->incorrect),
                settings);
            ++i;
        } else if (equals(arg, "--threads")) {
            if (i + 1 >= argc) throwError(UNKNOWN, "parameter missing after --threads");
            options.threads = parseThreads(argv[++i]);
            if (options.threads < 0) throwError(UNKNOWN, "incorrect threads value");
        } else if (equals(arg, "--verbose")) {
            options.silent = 0;
            options.verbose = 1;
        } else if (equals(arg, "--crc")) {
            options.crc = 1;
        } else if (equals(arg, "--ignore-chunk-sizes")) {
            options.ignoreChunkSizes = 1;
        } else if (equals(arg, "--recovery") || equals(arg, "--raw")) {
            // Accepted without effect.
        } else if (equals(arg, "--channelconfig")) {
            lookupValue(argc, argv, i, kChannelConfigNames, countOf(kChannelConfigNames),
                        "parameter missing after --channelconfig", "incorrect channelconfig value");
            ++i;
        } else if (equals(arg, "--sampletype")) {
            lookupValue(argc, argv, i, kSampleTypeNames, countOf(kSampleTypeNames),
                        "parameter missing after --sampletype", "incorrect sampletype value");
            ++i;
        } else if (arg[0] == '-' && arg[1] == '-') {
            throwError(UNKNOWN, "unknown command or parameter");
        } else {
            if (options.sourceCount >= kMaxSourceFiles) throwError(UNKNOWN, "too many source files");
            options.sources[options.sourceCount] = arg;
            options.outputs[options.sourceCount] = nullptr;
            ++options.sourceCount;
        }
    }
}

void printBanner(FILE* stream) {
    fputs("\n", stream);
    fputs("Velmaro Lossless WAVE Audio Coder (Win32), v1.0 release [2026-12-06]\n", stream);
    fputs("Written by Velmaro Audio, 2025-2026.\n", stream);
    fputs("Updates and documentation: https://velmaro.example/elq\n", stream);
    fputs("Free to use and share without warranty; contact: elq@velmaro.example", stream);
    fputs("\n\n", stream);
}

void printUsage(FILE* stream) {
    printBanner(stream);
    fputs(
        "Usage:\n"
        "elq.exe [command] [options] src1 [--output dst1] src2 [--output dst2] ...\n"
        "\n"
        "Commands:\n"
        "  --encode            encode WAV file(s) to ELQ file(s)\n"
        "  --decode            decode ELQ file(s) to WAV file(s)\n"
        "  --info              print information about ELQ file(s)\n"
        "  --verify            verify integrity of ELQ file(s)\n"
        "  --repair            repair corrupted ELQ file(s)\n"
        "  --speed             compute encoding and decoding speed\n"
        "  --help              display this help message\n"
        "\n"
        "Options:\n"
        "  --mode {fast|normal*|high|extra|best|ultra|insane}\n"
        "  --silent            be as silent as possible\n"
        "  --verbose           be verbose\n"
        "  --crc               compute CRC32 information for data\n"
        "  --recovery          add recovery information to file(s)\n"
        "\n"
        "Advanced options:\n"
        "  --speedup {1x|2x|4x*}\n"
        "  --seek {fast|normal*|slow}\n"
        "  --optimize {none|fast*|normal|high|best|max}\n"
        "  --threads {0*|1..64}\n"
        "  --ignore-chunk-sizes  read a WAVE file's samples up to its end\n"
        "  --raw               specifiy raw input file(s)\n"
        "  --channelconfig {MONO|STEREO_LR}\n"
        "  --sampletype {UINT8|SINT16|SINT24|SINT32}\n"
        "\n",
        stream);
}

void setEncoderOption(const char* option, const char* word, EncoderSettings& settings) {
    const EncoderOption* entry = findEncoderOption(option);
    if (!entry) throwError(UNKNOWN, "unknown command or parameter");
    const int index = lookupName(word, entry->words, entry->count);
    if (index < 0) throwError(UNKNOWN, entry->incorrect);
    entry->apply(index, settings);
}

uint32_t threadCount(int32_t requested) {
    if (requested > 0) return static_cast<uint32_t>(requested);
    unsigned cores = std::thread::hardware_concurrency();  // 0 when unknown
#if defined(__linux__)
    // The cores this process may run on, which a container or `taskset` may narrow.
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0 && CPU_COUNT(&allowed) > 0)
        cores = static_cast<unsigned>(CPU_COUNT(&allowed));
#endif
    if (cores < 1) return 1;
    return cores > kMaxThreads ? kMaxThreads : cores;
}

int lookupName(const char* word, const char* const* table, int count) {
    for (int i = 0; i < count; ++i) {
        if (equals(word, table[i])) return i;
    }
    return -1;
}

bool endsWithIgnoreCase(const char* name, const char* ending) {
    if (!name || !ending) return false;
    size_t nameLength = strlen(name);
    size_t endingLength = strlen(ending);
    if (endingLength > nameLength) return false;
    const char* tail = name + (nameLength - endingLength);
    for (size_t i = 0; i < endingLength; ++i) {
        if (toupper(static_cast<unsigned char>(tail[i])) != toupper(static_cast<unsigned char>(ending[i]))) {
            return false;
        }
    }
    return true;
}

}  // namespace elq
