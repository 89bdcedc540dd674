// Arbitrary samples through the real encode and decode commands, with settings taken from the
// input: the decoded file must equal the source byte for byte and a second encoding the first.
#include <algorithm>

#include "frontend/encode_command.h"
#include "fuzz_support.h"
#include "prediction/encoding_loops.h"
#include "wave/wave_test_support.h"

namespace elq::fuzz {

namespace {

// The command line's tables: order and cross order per mode, and the optimisation divisors.
constexpr int32_t kModeOrders[][2] = {{12, 4}, {24, 8}, {36, 12}, {48, 16}, {64, 20}, {96, 32}, {128, 40}};
constexpr int32_t kOptimizeDivisor[] = {0, 10, 5, 2, 1};

// The predictor's work per value grows with the square of its order (both orders for stereo),
// so the values per input are capped by this budget: low orders get thousands of values and
// several blocks, the highest still a few dozen, and every input runs in a fraction of a second.
constexpr size_t kWorkBudget = 1200000;

// Settings bytes in front of the samples.
constexpr size_t kSettingsBytes = 5;

}  // namespace

int roundTrip(const uint8_t* data, size_t size) {
    if (size < kSettingsBytes) return 0;
    const uint8_t format = data[0], mode = data[1], coder = data[2], block = data[3], extra = data[4];
    const uint32_t bits = 8 + 8 * (format & 3), channels = 1 + (format >> 2 & 1);
    EncoderSettings settings;
    settings.order = kModeOrders[mode % 7][0];
    settings.crossOrder = kModeOrders[mode % 7][1];
    settings.solveInterval = 32 << (mode >> 3) % 3;
    settings.opt1 = settings.opt2 = kOptimizeDivisor[(format >> 3) % 5];
    // Values only the library can set: the plain loops' memory, adaptation and family, and
    // short blocks so that small inputs span several blocks.
    settings.family = coder & 1;
    settings.memoryLength = kMemoryLengths[(coder >> 1) % 23];
    settings.adaptationLength = kAdaptationLengths[block & 7];
    if ((block >> 3 & 3) == 1) settings.blockLength = 441000;
    if ((block >> 3 & 3) > 1) settings.blockLength = 32 * ((block >> 5) + 1) + 64 * (extra >> 1 & 15);

    const uint32_t frameBytes = channels * bits / 8;
    const size_t orders = static_cast<size_t>(settings.order) + (channels == 2 ? settings.crossOrder : 0);
    const size_t frames =
        std::min((size - kSettingsBytes) / frameBytes, kWorkBudget / (orders * orders) / channels);
    // An odd data chunk's pad byte is not zero, and a "LIST" chunk of odd length may follow.
    test::WaveBuilder wave;
    wave.format({.channels = static_cast<uint16_t>(channels),
                 .blockAlign = static_cast<uint16_t>(frameBytes),
                 .bits = static_cast<uint16_t>(bits)})
        .chunk("data", Bytes(data + kSettingsBytes, data + kSettingsBytes + frames * frameBytes), 0x5A);
    const char list[] = "INFOsome words about the piece";
    if (extra & 1) wave.chunk("LIST", Bytes(list, list + sizeof list));
    const Bytes file = wave.build();
    // The checksum section and the encoder's own verification, on some inputs.
    CommandSettings command = quietSettings(settings);
    command.crc = (extra & 32) != 0;
    command.verify = (extra & 64) != 0;
    checkRoundTrip(file, command, file);
    return 0;
}

}  // namespace elq::fuzz
