#include <filesystem>
#include <string>
#include <vector>

#include "frontend/container.h"
#include "frontend/encode_command.h"
#include "frontend/options.h"
#include "fuzz_support.h"
#include "support/signals.h"

namespace {

namespace fs = std::filesystem;
using elq::test::Signal;

struct Source {
    Signal kind;
    uint32_t bits, channels, frames;
};

void save(const fs::path& path, const std::vector<uint8_t>& bytes) {
    elq::fuzz::writeFile(path.string(), bytes.data(), bytes.size());
}

}  // namespace

namespace elq::fuzz {

void writeSeeds(const std::string& directory) {
    const fs::path root = directory;
    for (const elq::fuzz::Target& target : elq::fuzz::kTargets)
        fs::create_directories(root / target.name);

    const Source sources[] = {
        {Signal::Tones, 16, 2, 1200}, {Signal::Noise, 8, 1, 900},           {Signal::Square, 24, 1, 700},
        {Signal::Tones, 32, 2, 500},  {Signal::PaddedClipped, 16, 1, 1500}, {Signal::LeftOnly, 24, 2, 400},
        {Signal::Dc, 8, 2, 300},      {Signal::Silence, 16, 1, 50},
    };
    struct Mode {
        const char* name;
        elq::EncoderSettings settings;
    };
    std::vector<Mode> modes(3);
    modes[0].name = "plain";
    modes[0].settings.opt1 = modes[0].settings.opt2 = 0;
    modes[0].settings.order = 12;
    modes[0].settings.crossOrder = 4;
    modes[1].name = "golomb";
    modes[1].settings.opt1 = modes[1].settings.opt2 = 0;
    modes[1].settings.family = 1;
    modes[1].settings.solveInterval = 32;
    modes[2].name = "search";
    modes[2].settings.blockLength = 512;  // several blocks

    const std::string scratch = elq::fuzz::scratchDirectory();
    int index = 0;
    for (const Source& s : sources) {
        const std::vector<uint8_t> pcm =
            elq::test::pcmSignal(s.kind, s.bits, s.channels, s.frames, 7 + index);
        const std::vector<uint8_t> wave = elq::test::waveFile(pcm, s.bits, s.channels);
        const std::string name = std::to_string(index) + "_" + elq::test::signalName(s.kind) + "_" +
                                 std::to_string(s.bits) + "_" + std::to_string(s.channels);
        save(root / "wave_reader" / (name + ".wav"), wave);

        // Settings bytes as the round-trip target reads them, then the samples.
        std::vector<uint8_t> trip = {
            static_cast<uint8_t>((s.bits / 8 - 1) | (s.channels - 1) << 2 | (index % 5) << 3),
            static_cast<uint8_t>(index), static_cast<uint8_t>(index * 37),
            static_cast<uint8_t>(index * 16 + 3), static_cast<uint8_t>(index * 5)};
        trip.insert(trip.end(), pcm.begin(), pcm.end());
        save(root / "round_trip" / (name + ".bin"), trip);

        const std::string wavePath = scratch + "/seed.wav";
        save(wavePath, wave);
        for (const Mode& mode : modes) {
            const std::string elqPath = scratch + "/seed.elq";
            FUZZ_CHECK(elq::encodeFile(wavePath.c_str(), elqPath.c_str(), mode.settings));
            const std::string elq = elq::fuzz::readFile(elqPath);
            save(root / "decode_container" / (name + "_" + mode.name + ".elq"),
                 std::vector<uint8_t>(elq.begin(), elq.end()));
            // decode_blocks: total and layout in three bytes, then everything behind "HEAD".
            const uint32_t total = s.channels * s.frames;
            const auto byte = [&](size_t at) { return static_cast<uint32_t>(static_cast<uint8_t>(elq[at])); };
            const uint32_t headLength = byte(24) | byte(25) << 8 | byte(26) << 16 | byte(27) << 24;
            const uint32_t blocksAt = elq::kHeadDataOffset + headLength;
            std::vector<uint8_t> blocks = {static_cast<uint8_t>(total), static_cast<uint8_t>(total >> 8),
                                           static_cast<uint8_t>((s.bits / 8 - 1) | (s.channels - 1) << 2)};
            blocks.insert(blocks.end(), elq.begin() + blocksAt, elq.end());
            save(root / "decode_blocks" / (name + "_" + mode.name + ".bin"), blocks);
        }
        ++index;
    }
}

}  // namespace elq::fuzz
