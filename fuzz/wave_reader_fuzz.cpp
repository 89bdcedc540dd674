// The WAVE reader on arbitrary bytes: every input either fails with an error text or is
// accepted, and an accepted file gives back exactly its own bytes in front of, inside and
// behind the samples (the restoration contract the decoder relies on). An accepted file the
// codec takes then goes through the encode and decode commands and must come back as the
// file's bytes up to the end its RIFF header claims.
#include <cstring>
#include <vector>

#include <string>

#include "foundation/exception.h"
#include "frontend/container.h"
#include "frontend/decode_command.h"
#include "frontend/encode_command.h"
#include "fuzz_support.h"
#include "wave/wave_reader.h"

namespace elq::fuzz {

namespace {

// Sample bytes above which an accepted file is not put through the codec (keeps inputs fast).
constexpr uint64_t kMaxCodedBytes = 1 << 16;

void checkRestoration(const uint8_t* data, size_t size, uint64_t riffEnd) {
    const std::string& dir = scratchDirectory();
    const std::string source = dir + "/accepted.wav", coded = dir + "/accepted.elq",
                      decoded = dir + "/restored.wav";
    writeFile(source, data, size);
    EncoderSettings fast;
    fast.order = 12;
    fast.crossOrder = 4;
    fast.opt1 = fast.opt2 = 0;
    fast.blockLength = 8192;  // small buffers, and larger files span several blocks
    FUZZ_CHECK(encodeFile(source.c_str(), coded.c_str(), fast));
    FUZZ_CHECK(decodeFile(coded.c_str(), decoded.c_str()));
    FUZZ_CHECK(readFile(decoded) == std::string(reinterpret_cast<const char*>(data), riffEnd));
}

}  // namespace

int waveReader(const uint8_t* data, size_t size) {
    static MemoryFile file;
    file.assign(data, size);
    WaveReader reader;
    if (!reader.open(file.path(), false)) {
        FUZZ_CHECK(reader.errorText()[0] != '\0');
        return 0;
    }
    FUZZ_CHECK(reader.preDataLength <= size);
    FUZZ_CHECK(memcmp(reader.preData(), data, reader.preDataLength) == 0);
    FUZZ_CHECK(reader.stream.position() == reader.preDataLength);
    FUZZ_CHECK(reader.nChannels >= 1 && reader.nBlockAlign != 0);
    FUZZ_CHECK(reader.frameCount * reader.nBlockAlign == reader.dataSize);
    FUZZ_CHECK(reader.preDataLength + reader.dataSize <= reader.riffEnd);

    // Take the samples as the encoder does; a data chunk longer than the file fails there.
    std::vector<uint8_t> samples;
    try {
        uint8_t piece[65536];
        for (uint64_t left = reader.dataSize; left > 0;) {
            uint32_t n = left < sizeof piece ? static_cast<uint32_t>(left) : sizeof piece;
            reader.stream.readMin(piece, n, n);
            samples.insert(samples.end(), piece, piece + n);
            left -= n;
        }
    } catch (const Exception& e) {
        FUZZ_CHECK(e.code == UNEXPECTEDEOF);
        FUZZ_CHECK(reader.preDataLength + reader.dataSize > size);
        return 0;
    }
    FUZZ_CHECK(samples.empty() || memcmp(samples.data(), data + reader.preDataLength, samples.size()) == 0);

    if (!reader.readTrailer()) {
        FUZZ_CHECK(reader.errorText()[0] != '\0');
        FUZZ_CHECK(reader.trailer() == nullptr);
        return 0;
    }
    const uint64_t trailerStart = reader.preDataLength + reader.dataSize;
    FUZZ_CHECK(reader.riffEnd <= size);
    FUZZ_CHECK(trailerStart + reader.trailerLength == reader.riffEnd);
    FUZZ_CHECK(reader.trailerLength == 0 ||
               memcmp(reader.trailer(), data + trailerStart, reader.trailerLength) == 0);
    FUZZ_CHECK(reader.close());
    if ((reader.nChannels == 1 || reader.nChannels == 2) && isCompressedSampleType(reader.sampleType) &&
        reader.dataSize <= kMaxCodedBytes) {
        checkRestoration(data, size, reader.riffEnd);
    }
    return 0;
}

}  // namespace elq::fuzz
