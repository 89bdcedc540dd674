#include "prediction/sample_normalizer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "prediction/mono_predictor.h"
#include "prediction/stereo_predictor.h"
#include "prediction_test_support.h"

namespace elq {
namespace {

struct Grid {
    int32_t min, max, divisor, offset, mappedMin, mappedMax;
    bool operator==(const Grid&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Grid& g) {
    return os << "[" << g.min << ", " << g.max << "] /" << g.divisor << " +" << g.offset << " -> ["
              << g.mappedMin << ", " << g.mappedMax << "]";
}
Grid gridOf(const ChannelGrid& g) {
    return {g.min, g.max, g.divisor, g.offset, g.mappedMin, g.mappedMax};
}

// Analyzes a mono block, codes its parameters, reads them back and restores; checks the restored
// samples and the decoded grid, and returns the analyzed grid.
Grid roundTrip(std::vector<int32_t> samples, uint32_t bits) {
    const std::vector<int32_t> original = samples;
    const uint32_t count = static_cast<uint32_t>(samples.size());
    ChannelGrid grid;
    grid.analyze(samples.data(), count, 1, bits);
    test::CodedBytes coded([&](RangeEncoder& e) { grid.write(e, bits); });
    ChannelGrid decoded;
    decoded.read(coded.decoder(), bits);
    coded.expectFullyRead();
    EXPECT_EQ(gridOf(decoded), gridOf(grid));
    for (int32_t v : samples) {
        EXPECT_GE(v, grid.mappedMin);
        EXPECT_LE(v, grid.mappedMax);
    }
    decoded.restore(samples.data(), count, 1);
    EXPECT_TRUE(samples == original);
    return gridOf(grid);
}

TEST(SampleNormalizer, GridWithClippedPeak) {
    // 16-bit multiples of 4 plus 1, with a clipped peak at 32767 that is off the grid.
    std::vector<int32_t> samples{1, -7, 32767, 401, -3, 32767, 9};
    std::vector<int32_t> mapped = samples;
    ChannelGrid grid;
    grid.analyze(mapped.data(), 7, 1, 16);
    EXPECT_EQ(gridOf(grid), (Grid{-7, 32767, 4, 1, -2, 8192}));
    EXPECT_EQ(mapped, (std::vector<int32_t>{0, -2, 8192, 100, -1, 8192, 2}));
    EXPECT_EQ(residueWidthFor(grid.mappedMin, grid.mappedMax), 15u);
    roundTrip(samples, 16);
}

TEST(SampleNormalizer, BlocksWithoutAGridKeepDivisorOne) {
    EXPECT_EQ(roundTrip({5, -3, 5, 5, -3}, 16), (Grid{-3, 5, 1, 0, -3, 5}));       // only extremes
    EXPECT_EQ(roundTrip({9, 9, 9}, 16), (Grid{9, 9, 1, 0, 9, 9}));                 // identical
    EXPECT_EQ(roundTrip({}, 16), (Grid{0, 0, 1, 0, 0, 0}));                        // empty
    EXPECT_EQ(roundTrip({-10, 4, 4, 4, 10}, 16), (Grid{-10, 10, 1, 0, -10, 10}));  // one inner value
    EXPECT_EQ(roundTrip({-10, 4, 6, 9, 10}, 16), (Grid{-10, 10, 1, 0, -10, 10}));  // gcd 1
}

TEST(SampleNormalizer, ResidueWidth) {
    EXPECT_EQ(residueWidthFor(0, 0), 2u);
    EXPECT_EQ(residueWidthFor(-1, 1), 2u);
    EXPECT_EQ(residueWidthFor(-1, 2), 3u);
    EXPECT_EQ(residueWidthFor(-3, 0), 3u);
    EXPECT_EQ(residueWidthFor(-32768, 32767), 16u);
    EXPECT_EQ(residueWidthFor(-32769, 0), 17u);
    EXPECT_EQ(residueWidthFor(INT32_MIN, INT32_MAX), 32u);
}

TEST(SampleNormalizer, SampleWidthExtremes) {
    const int32_t bits[4] = {8, 16, 24, 32};
    for (int32_t b : bits) {
        SCOPED_TRACE(b);
        int32_t lo = static_cast<int32_t>(-(int64_t{1} << (b - 1)));
        int32_t hi = static_cast<int32_t>((int64_t{1} << (b - 1)) - 1);
        // Samples on the grid 3k + 1; the full-scale extremes of every width lie on it too (2^b - 1 is a
        // multiple of 3 for even b), which 32-bit extremes need in order to be restored within 32 bits.
        Grid g = roundTrip({lo, 1, hi, -2, 31, lo, hi, 4}, b);
        EXPECT_EQ(g.divisor, 3);
        EXPECT_EQ(g.offset, 1);
    }
    // Differences of 32-bit samples beyond the 32-bit range: gcd(4000000002, 2000000000) = 2.
    Grid wide = roundTrip({-2100000001, -2000000001, 2000000001, -1, 2100000001}, 32);
    EXPECT_EQ(wide.divisor, 2);
    EXPECT_EQ(wide.offset, 1);
}

TEST(SampleNormalizer, KeepsDivisorOneWhenTheGridWouldNotSurvive) {
    // Full-scale 32-bit extremes with odd samples 14 apart: the mapped minimum would restore to
    // 14·(-153391690) + 1, below the 32-bit range, and wrap past the clamp.
    EXPECT_EQ(roundTrip({INT32_MIN, 1, 15, INT32_MAX, 29}, 32).divisor, 1);
    // A divisor of 2^(W-1) or more would come back negative from the sign-extending field.
    EXPECT_EQ(roundTrip({-128, -100, 50, 127}, 8).divisor, 1);            // 150 >= 128
    EXPECT_EQ(roundTrip({-128, -60, 67, 127}, 8).divisor, 127);           // largest step that fits
    EXPECT_EQ(roundTrip({-32768, -20000, 20000, 32767}, 16).divisor, 1);  // 40000 >= 32768
}

TEST(SampleNormalizer, StereoChannelsHaveTheirOwnGridsAndOneWidth) {
    std::vector<int32_t> left{4, 8, -12, 400, 0}, right{1, 31, 11, -19, 101};
    std::vector<int32_t> values = test::interleave(left, right);
    values.push_back(7);  // a trailing left value of an odd count stays within bounds
    const std::vector<int32_t> original = values;
    StereoSampleNormalizerEncoder encoder;
    encoder.setSampleBits(16);
    encoder.analyze(values.data(), static_cast<uint32_t>(values.size()));
    int32_t lo[2], hi[2];
    uint32_t width;
    encoder.query(lo[0], hi[0], lo[1], hi[1], width);
    EXPECT_EQ(lo[0], -12);  // left: the trailing 7 breaks the step of 4
    EXPECT_EQ(hi[0], 400);
    EXPECT_EQ(lo[1], -2);  // right: step 10, offset 1, extremes -19 and 101 map to -2 and 10
    EXPECT_EQ(hi[1], 10);
    EXPECT_EQ(width, 10u);
    test::CodedBytes coded([&](RangeEncoder& e) { encoder.writeParameters(e); });
    StereoSampleNormalizerDecoder decoder;
    decoder.setSampleBits(16);
    decoder.readParameters(coded.decoder());
    coded.expectFullyRead();
    int32_t dlo[2], dhi[2];
    uint32_t dwidth;
    decoder.query(dlo[0], dhi[0], dlo[1], dhi[1], dwidth);
    EXPECT_EQ(std::vector<int32_t>(dlo, dlo + 2), std::vector<int32_t>(lo, lo + 2));
    EXPECT_EQ(std::vector<int32_t>(dhi, dhi + 2), std::vector<int32_t>(hi, hi + 2));
    EXPECT_EQ(dwidth, width);
    decoder.restore(values.data(), static_cast<uint32_t>(values.size()));
    EXPECT_EQ(values, original);
}

// A grid written field by field as a corrupt file might carry it.
void expectRejectedGrid(int32_t divisor, int32_t offset) {
    SCOPED_TRACE(testing::Message() << "divisor " << divisor << " offset " << offset);
    test::CodedBytes coded([&](RangeEncoder& e) {
        e.encodeBits(0xFF00, 16);  // min -256
        e.encodeBits(0x0100, 16);  // max 256
        e.encodeShift(1, 1, 1);
        e.encodeBits(static_cast<uint32_t>(divisor) & 0xFFFF, 16);
        e.encodeBits(static_cast<uint32_t>(offset) & 0xFFFF, 16);
    });
    SampleNormalizerDecoder decoder;
    decoder.setSampleBits(16);
    try {
        decoder.readParameters(coded.decoder());
        ADD_FAILURE() << "accepted";
    } catch (const Exception& e) {
        EXPECT_EQ(e.code, UNKNOWN);
    }
}

TEST(SampleNormalizer, DecoderRejectsImpossibleGrids) {
    expectRejectedGrid(0, 0);
    expectRejectedGrid(1, 0);
    expectRejectedGrid(-4, 1);
    expectRejectedGrid(4, 4);
    expectRejectedGrid(4, -1);
}

TEST(SampleNormalizer, RefusesSamplesWiderThanTheField) {
    SampleNormalizerEncoder encoder;
    encoder.setSampleBits(8);
    std::vector<int32_t> samples{-3, 200};
    encoder.analyze(samples.data(), 2);
    test::CodedBytes coded([&](RangeEncoder& e) { EXPECT_THROW(encoder.writeParameters(e), Exception); });
    EXPECT_THROW(encoder.setSampleBits(0), Exception);
    EXPECT_THROW(encoder.setSampleBits(33), Exception);
}

// --- Conformance vectors made by an independent implementation ------------------------------------

std::filesystem::path conformanceDirectory() {
    for (const char* candidate : {ELQ_SOURCE_DIR "/tests/data/conformance",
                                  ELQ_SOURCE_DIR "/tests/conformance", "/work/shared/conformance"})
        if (std::filesystem::exists(std::filesystem::path(candidate) / "MANIFEST.tsv")) return candidate;
    return {};
}

std::vector<uint8_t> readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

uint32_t le32(const uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// The samples of a WAVE file as the encoder converts them (8-bit made signed).
std::vector<int32_t> waveSamples(const std::vector<uint8_t>& wav, uint32_t& bits) {
    std::vector<int32_t> out;
    for (size_t pos = 12; pos + 8 <= wav.size();) {
        uint32_t size = le32(&wav[pos + 4]);
        if (memcmp(&wav[pos], "fmt ", 4) == 0) bits = wav[pos + 8 + 14] | wav[pos + 8 + 15] << 8;
        if (memcmp(&wav[pos], "data", 4) == 0) {
            uint32_t bytes = bits / 8;
            for (size_t i = pos + 8; i + bytes <= pos + 8 + size && i + bytes <= wav.size(); i += bytes) {
                uint32_t v = 0;
                for (uint32_t b = 0; b < bytes; ++b)
                    v |= static_cast<uint32_t>(wav[i + b]) << (8 * b);
                out.push_back(bits == 8 ? static_cast<int32_t>(v) - 128
                                        : static_cast<int32_t>(v << (32 - bits)) >> (32 - bits));
            }
            return out;
        }
        pos += 8 + size + (size & 1);
    }
    return out;
}

int64_t field(const std::string& text, const std::string& key) {
    size_t at = text.find(key + "=");
    return at == std::string::npos ? -1 : std::stoll(text.substr(at + key.size() + 1));
}

// For every block of every vector: the normalizer finds the same grids, and the normalizer and
// predictor parameters code to the same leading payload bytes.
TEST(SampleNormalizer, ParametersMatchTheConformanceVectors) {
    auto dir = conformanceDirectory();
    if (dir.empty()) GTEST_SKIP() << "conformance vectors not present";
    std::ifstream manifest(dir / "MANIFEST.tsv");
    std::string line;
    int blocks = 0;
    while (std::getline(manifest, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        std::string wavName, elqName;
        fields >> wavName >> elqName;
        SCOPED_TRACE(elqName);
        uint32_t bits = 0;
        std::vector<int32_t> samples = waveSamples(readFile(dir / wavName), bits);
        std::vector<uint8_t> elq = readFile(dir / elqName);
        std::ifstream params(dir / (elqName.substr(0, elqName.size() - 4) + ".params.txt"));
        size_t blockPos = 28 + le32(&elq[24]);
        size_t consumed = 0;
        std::string text;
        while (std::getline(params, text)) {
            if (text.rfind("block", 0) != 0) continue;
            ++blocks;
            const uint32_t n = static_cast<uint32_t>(field(text, "n"));
            const bool stereo = field(text, "channelCode") == 1;
            ASSERT_LE(consumed + n, samples.size());
            std::vector<int32_t> block(samples.begin() + consumed, samples.begin() + consumed + n);
            consumed += n;
            ChannelGrid grids[2];
            for (int ch = 0; ch < (stereo ? 2 : 1); ++ch) {
                std::string part = text.substr(text.find(ch == 0 ? "ch0[" : "ch1["));
                Grid expected{int32_t(field(part, "min")),
                              int32_t(field(part, "max")),
                              int32_t(field(part, "div")),
                              int32_t(field(part, "off")),
                              0,
                              0};
                uint32_t stride = stereo ? 2 : 1;
                grids[ch].analyze(block.data() + ch, (n + stride - 1 - ch) / stride, stride, bits);
                Grid got = gridOf(grids[ch]);
                got.mappedMin = got.mappedMax = 0;
                EXPECT_EQ(got, expected) << text;
            }
            // Code the parameters as the encoding loop does; bytes already emitted before finish are final.
            std::vector<uint8_t> area(64);
            RangeEncoder encoder;
            encoder.start(area.data(), 64, kBlockFirstByte);
            for (int ch = 0; ch < (stereo ? 2 : 1); ++ch)
                grids[ch].write(encoder, bits);
            const uint32_t memory = uint32_t(field(text, "memoryLength")),
                           order = uint32_t(field(text, "order"));
            const uint32_t interval = uint32_t(field(text, "solveInterval"));
            if (stereo) {
                StereoPredictorEncoder predictor;
                predictor.setParameters(memory, order, uint32_t(field(text, "crossOrder")), interval, 0, 0, 0,
                                        0, 2, {});
                predictor.writeParameters(encoder);
            } else {
                MonoPredictorEncoder predictor;
                predictor.setParameters(memory, order, interval, 0, 0, 2, {});
                predictor.writeParameters(encoder);
            }
            const uint32_t settled = encoder.dataCount;
            EXPECT_GT(settled, 2u);
            ASSERT_LE(blockPos + 20 + settled, elq.size());
            EXPECT_EQ(
                std::vector<uint8_t>(area.begin(), area.begin() + settled),
                std::vector<uint8_t>(elq.begin() + blockPos + 20, elq.begin() + blockPos + 20 + settled))
                << text;
            blockPos += 8 + le32(&elq[blockPos + 4]);
        }
    }
    EXPECT_GT(blocks, 20);
}

}  // namespace
}  // namespace elq
