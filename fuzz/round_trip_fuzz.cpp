// Arbitrary samples through the real encode and decode commands, with settings taken from the
// input: the decoded file must equal the source byte for byte, and encoding the same file
// again must give the same bytes (no state carried between files, no uninitialised bytes).
#include <string>
#include <vector>

#include "frontend/decode_command.h"
#include "frontend/encode_command.h"
#include "frontend/options.h"
#include "fuzz_support.h"
#include "prediction/encoding_loops.h"

namespace elq::fuzz {

namespace {

// The command line's tables.
constexpr int32_t kModeOrder[] = {12, 24, 36, 48, 64, 96, 128};
constexpr int32_t kModeCrossOrder[] = {4, 8, 12, 16, 20, 32, 40};
constexpr int32_t kSolveInterval[] = {32, 64, 128};
constexpr int32_t kOptimizeDivisor[] = {0, 10, 5, 2, 1};
constexpr uint32_t kBits[] = {8, 16, 24, 32};

// The predictor's work per value grows with the square of its order (both orders for stereo),
// so the values per input are capped by this budget: low orders get thousands of values and
// several blocks, the highest still a few dozen, and every input runs in a fraction of a second.
constexpr size_t kWorkBudget = 1200000;

// Settings bytes in front of the samples.
constexpr size_t kSettingsBytes = 5;

void put(std::vector<uint8_t>& b, uint32_t v, int n) {
    for (int k = 0; k < n; ++k)
        b.push_back(static_cast<uint8_t>(v >> (8 * k)));
}

void putId(std::vector<uint8_t>& b, const char* id) {
    b.insert(b.end(), id, id + 4);
}

std::vector<uint8_t> waveFile(const uint8_t* samples, size_t bytes, uint32_t bits, uint32_t channels,
                              bool listChunk) {
    const uint32_t align = channels * bits / 8;
    const uint32_t pad = bytes & 1;
    const char list[] = "LISTsome words about the piece";
    const uint32_t listLength = listChunk ? 8 + sizeof list + (sizeof list & 1) : 0;
    std::vector<uint8_t> b;
    putId(b, "RIFF");
    put(b, static_cast<uint32_t>(36 + bytes + pad + listLength), 4);
    putId(b, "WAVE");
    putId(b, "fmt ");
    put(b, 16, 4);
    put(b, 1, 2);
    put(b, channels, 2);
    put(b, 44100, 4);
    put(b, 44100 * align, 4);
    put(b, align, 2);
    put(b, bits, 2);
    putId(b, "data");
    put(b, static_cast<uint32_t>(bytes), 4);
    b.insert(b.end(), samples, samples + bytes);
    if (pad) b.push_back(0x5A);
    if (listChunk) {
        putId(b, "LIST");
        put(b, sizeof list, 4);  // odd: a pad byte follows
        b.insert(b.end(), list, list + sizeof list);
        if (sizeof list & 1) b.push_back(0);
    }
    return b;
}

}  // namespace

int roundTrip(const uint8_t* data, size_t size) {
    if (size < kSettingsBytes) return 0;
    const uint8_t format = data[0], mode = data[1], coder = data[2], block = data[3], extra = data[4];
    const uint32_t bits = kBits[format & 3];
    const uint32_t channels = 1 + (format >> 2 & 1);
    EncoderSettings settings;
    const int modeIndex = mode % 7;
    settings.order = kModeOrder[modeIndex];
    settings.crossOrder = kModeCrossOrder[modeIndex];
    settings.solveInterval = kSolveInterval[(mode >> 3) % 3];
    settings.opt1 = settings.opt2 = kOptimizeDivisor[(format >> 3) % 5];
    // Values only the library can set: the plain loops' memory, adaptation and family, and
    // short blocks so that small inputs span several blocks.
    settings.family = coder & 1;
    settings.memoryLength = kMemoryLengths[(coder >> 1) % 23];
    settings.adaptationLength = kAdaptationLengths[block & 7];
    switch (block >> 3 & 3) {
        case 0:
            break;  // the default
        case 1:
            settings.blockLength = 441000;
            break;
        default:
            settings.blockLength = 32 * ((block >> 5) + 1) + 64 * (extra >> 1 & 15);
            break;
    }

    const uint32_t frameBytes = channels * bits / 8;
    size_t frames = (size - kSettingsBytes) / frameBytes;
    const size_t orders = static_cast<size_t>(settings.order) + (channels == 2 ? settings.crossOrder : 0);
    const size_t limit = kWorkBudget / (orders * orders) / channels;
    if (frames > limit) frames = limit;
    const std::vector<uint8_t> wave =
        waveFile(data + kSettingsBytes, frames * frameBytes, bits, channels, extra & 1);

    const std::string& dir = scratchDirectory();
    const std::string source = dir + "/in.wav", first = dir + "/first.elq", second = dir + "/second.elq",
                      decoded = dir + "/decoded.wav";
    writeFile(source, wave.data(), wave.size());
    FUZZ_CHECK(encodeFile(source.c_str(), first.c_str(), settings));
    FUZZ_CHECK(decodeFile(first.c_str(), decoded.c_str()));
    const std::string back = readFile(decoded);
    FUZZ_CHECK(back.size() == wave.size());
    FUZZ_CHECK(back == std::string(wave.begin(), wave.end()));
    FUZZ_CHECK(encodeFile(source.c_str(), second.c_str(), settings));
    FUZZ_CHECK(readFile(first) == readFile(second));
    return 0;
}

}  // namespace elq::fuzz
