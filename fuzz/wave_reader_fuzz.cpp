// The WAVE reader on arbitrary bytes: every input either fails with an error text or is
// accepted, and an accepted file gives back exactly its own bytes in front of, inside and
// behind the samples (the restoration contract the decoder relies on). An accepted file the
// codec takes then goes through the encode and decode commands and must come back whole.
#include <algorithm>
#include <cstring>

#include "foundation/exception.h"
#include "fuzz_support.h"
#include "wave/wave_reader.h"

namespace elq::fuzz {

int waveReader(const uint8_t* data, size_t size) {
    WaveReader reader;
    if (!reader.open(memoryFile({data, size}), false)) {
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
    const uint64_t trailerStart = reader.preDataLength + reader.dataSize;
    try {
        uint8_t piece[65536];
        for (uint64_t at = reader.preDataLength; at < trailerStart;) {
            const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(trailerStart - at, sizeof piece));
            reader.stream.readMin(piece, n, n);
            FUZZ_CHECK(at + n <= size && memcmp(piece, data + at, n) == 0);
            at += n;
        }
    } catch (const Exception& e) {
        FUZZ_CHECK(e.code == UNEXPECTEDEOF && trailerStart > size);
        return 0;
    }

    if (!reader.readTrailer()) {
        FUZZ_CHECK(reader.errorText()[0] != '\0' && reader.trailer() == nullptr);
        return 0;
    }
    // Every byte after the samples is kept, bytes past the RIFF chunk included.
    FUZZ_CHECK(trailerStart + reader.trailerLength == size);
    FUZZ_CHECK(reader.trailerLength == 0 ||
               memcmp(reader.trailer(), data + trailerStart, reader.trailerLength) == 0);
    FUZZ_CHECK(reader.close());
    // Small sample data only, so that every input stays fast; blocks short enough to be several.
    if ((reader.nChannels == 1 || reader.nChannels == 2) && isCompressedSampleType(reader.sampleType) &&
        reader.dataSize <= 65536) {
        const EncoderSettings fast{.blockLength = 8192, .order = 12, .crossOrder = 4, .opt1 = 0, .opt2 = 0};
        checkRoundTrip({data, size}, quietSettings(fast), {data, size});
    }
    return 0;
}

}  // namespace elq::fuzz
