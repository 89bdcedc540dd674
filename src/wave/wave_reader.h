// The WAVE source of the encoder: validates the RIFF/WAVE header, decides the sample type and
// keeps every byte before and after the samples so the file can be restored byte for byte.
#pragma once

#include <cstdint>

#include "foundation/allocator.h"
#include "foundation/stream.h"
#include "wave/sample_type.h"

namespace elq {

class WaveReader {
public:
    WaveReader() = default;
    WaveReader(const WaveReader&) = delete;
    WaveReader& operator=(const WaveReader&) = delete;

    // Opens `path` ("-" is standard input; nothing is ever sought) and walks the chunks up to
    // the first sample byte. True when the file passes every check: the fields below and
    // preData() are then valid and `stream` is at the first sample byte. False with
    // errorText() set otherwise. With `verbose` the header fields are listed on standard output.
    bool open(const char* path, bool verbose);
    // Called once after exactly `dataSize` sample bytes have been taken from `stream`: collects
    // every byte from there to the end of the file (pad byte, trailing chunks up to `riffEnd`,
    // and whatever follows the RIFF chunk). True when they are in trailer(); false with
    // errorText() set otherwise.
    bool readTrailer();
    // Frees the kept bytes and closes `stream`.
    bool close();

    const char* errorText() const { return errorText_; }
    // The file's first `preDataLength` bytes; null after a failure or close().
    const uint8_t* preData() const { return kept_.data(); }
    // The `trailerLength` bytes after the samples; null until readTrailer() succeeds.
    const uint8_t* trailer() const { return haveTrailer_ ? kept_.data() + preDataLength : nullptr; }

    InputStream stream;
    SampleType sampleType = UINT8;
    uint16_t nChannels = 0;
    uint32_t nSamplesPerSec = 0;
    uint16_t nBlockAlign = 0;
    uint64_t frameCount = 0;
    uint64_t dataSize = 0;
    // The RIFF size field plus 8: the file length the header claims.
    uint64_t riffEnd = 0;
    // After a successful open, the file offset of the first sample byte.
    uint32_t preDataLength = 0;
    uint32_t trailerLength = 0;
    bool verbose = false;

private:
    // The kept bytes: preData, then the trailer right behind it. Grows as bytes arrive.
    class KeptBytes {
    public:
        const uint8_t* data() const { return buffer_.data(); }
        size_t length() const { return length_; }
        void start(size_t capacity);
        // Appends `n` bytes read from `in`, in bounded pieces, so a claimed size far beyond
        // the file's real end fails with UNEXPECTEDEOF before much memory is taken.
        uint8_t* append(InputStream& in, uint64_t n);
        // Appends what `in` still holds, at most `n` bytes; returns the count (0 at the end).
        uint32_t appendAvailable(InputStream& in, uint32_t n);
        // Forgets every byte after the first `length`.
        void truncate(size_t length) { length_ = length < length_ ? length : length_; }
        void clear();

    private:
        void reserve(uint64_t needed);

        Buffer<uint8_t> buffer_;
        size_t length_ = 0;
    };

    void parseChunks();
    void checkFormat(const uint8_t* body, uint32_t size);
    void collectTrailer();
    // Appends `n` bytes to the preData or trailer count, refusing what a 32-bit field cannot hold.
    const uint8_t* keepHeaderBytes(uint64_t n);
    const uint8_t* keepTrailerBytes(uint64_t n);
    void printChunk(const uint8_t* header, uint32_t size) const;
    bool setError(const char* message);

    KeptBytes kept_;
    bool haveTrailer_ = false;
    char errorText_[2048] = {};
};

}  // namespace elq
