// The seed corpus: small WAVE files of the test signals, the ELQ files our encoder makes of them
// in three modes, and the same samples and blocks as the round-trip and block targets read them.
#include <cstring>
#include <filesystem>

#include "frontend/container.h"
#include "frontend/encode_command.h"
#include "fuzz_support.h"
#include "support/signals.h"

namespace elq::fuzz {

void writeSeeds(const std::string& directory) {
    using test::Signal;
    const std::filesystem::path root = directory;
    for (const Target& target : kTargets)
        std::filesystem::create_directories(root / target.name);
    const auto save = [&](const char* target, const std::string& name, const Bytes& bytes) {
        writeFile((root / target / name).string(), bytes);
    };
    const struct {
        Signal kind;
        uint32_t bits, channels, frames;
    } sources[] = {
        {Signal::Tones, 16, 2, 1200}, {Signal::Noise, 8, 1, 901},           {Signal::Square, 24, 1, 700},
        {Signal::Tones, 32, 2, 500},  {Signal::PaddedClipped, 16, 1, 1500}, {Signal::LeftOnly, 24, 2, 400},
        {Signal::Dc, 8, 2, 300},      {Signal::Silence, 16, 1, 50},
    };
    const std::pair<const char*, EncoderSettings> modes[] = {
        {"plain", {.order = 12, .crossOrder = 4, .opt1 = 0, .opt2 = 0}},
        {"golomb", {.solveInterval = 32, .family = 1, .opt1 = 0, .opt2 = 0}},
        {"search", {.blockLength = 512}},  // several blocks
        {"checksummed", {.blockLength = 700, .order = 12, .crossOrder = 4, .opt1 = 0, .opt2 = 0}},
    };
    const std::string wavePath = scratchDirectory() + "seed.wav", elqPath = scratchDirectory() + "seed.elq";
    uint8_t index = 0;
    for (const auto& s : sources) {
        const Bytes pcm = test::pcmSignal(s.kind, s.bits, s.channels, s.frames, 7 + index);
        Bytes wave = test::waveFile(pcm, s.bits, s.channels);
        // Some files carry bytes past their RIFF chunk (a tag), one states 8 bytes too many.
        if (index % 3 == 1) wave.insert(wave.end(), {'T', 'A', 'G', 0, 1, 2, 3, 4, 5, 6, 7, 8, 9});
        if (index % 3 == 2) wave[4] = static_cast<uint8_t>(wave[4] + 8);
        const std::string name = std::to_string(index) + "_" + test::signalName(s.kind) + "_" +
                                 std::to_string(s.bits) + "_" + std::to_string(s.channels);
        save("wave_reader", name + ".wav", wave);
        // Settings bytes as the round-trip target reads them, then the samples.
        const uint8_t layout = static_cast<uint8_t>((s.bits / 8 - 1) | (s.channels - 1) << 2);
        Bytes trip = {static_cast<uint8_t>(layout | (index % 5) << 3), index,
                      static_cast<uint8_t>(index * 37), static_cast<uint8_t>(index * 16 + 3),
                      static_cast<uint8_t>(index * 5)};
        trip.insert(trip.end(), pcm.begin(), pcm.end());
        save("round_trip", name + ".bin", trip);

        writeFile(wavePath, wave);
        for (const auto& [mode, settings] : modes) {
            CommandSettings command = quietSettings(settings);
            command.crc = strcmp(mode, "checksummed") == 0;
            FUZZ_CHECK(encodeFile(wavePath.c_str(), elqPath.c_str(), command));
            const Bytes elq = readFile(elqPath);
            save("decode_container", name + "_" + mode + ".elq", elq);
            save("decode_api", name + "_" + mode + ".elq", elq);
            // decode_blocks: total and layout in three bytes, then everything behind the "HEAD" section.
            const uint32_t total = s.channels * s.frames;
            const uint32_t headLength =
                elq[24] | elq[25] << 8 | elq[26] << 16 | static_cast<uint32_t>(elq[27]) << 24;
            Bytes blocks = {static_cast<uint8_t>(total), static_cast<uint8_t>(total >> 8), layout};
            blocks.insert(blocks.end(), elq.begin() + kHeadDataOffset + headLength, elq.end());
            save("decode_blocks", name + "_" + mode + ".bin", blocks);
        }
        ++index;
    }
}

}  // namespace elq::fuzz
