// The WAVE reader on arbitrary bytes: every input either fails with an error text or is
// accepted, and an accepted file gives back exactly its own bytes in front of, inside and
// behind the samples (the restoration contract the decoder relies on).
#include <cstring>
#include <vector>

#include "foundation/exception.h"
#include "fuzz_support.h"
#include "wave/wave_reader.h"

namespace elq::fuzz {

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
    return 0;
}

}  // namespace elq::fuzz
