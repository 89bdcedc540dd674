// The WAVE source of the encoder: validates the RIFF/WAVE header, decides the sample type and
// keeps every byte before and after the samples so the file can be restored byte for byte.
#pragma once

#include <cstdint>
#include <cstdio>
#include <utility>
#include <vector>

#include "foundation/allocator.h"
#include "foundation/stream.h"
#include "wave/sample_type.h"

namespace elq {

class WaveReader {
public:
    WaveReader() = default;
    WaveReader(const WaveReader&) = delete;
    WaveReader& operator=(const WaveReader&) = delete;

    // How the data chunk's size is taken.
    enum class DataSize {
        stated,   // exactly: a source that ends before it fails
        bound,    // standard input: the samples run to the end of the stream when the size is 0 or
                  // 0xFFFFFFFF (what writers to a pipe put there) or the stream ends first
        ignored,  // --ignore-chunk-sizes: the samples run to the end of the file, whatever it says
    };

    // Opens `path` ("-" is standard input; nothing is ever sought) and walks the chunks up to
    // the first sample byte. RIFF and RF64 (with its ds64 chunk) are read. True when the file
    // passes every check: the fields below and preData() are then valid and `stream` is at the
    // first sample byte. False with errorText() set otherwise. With `verbose` the header fields
    // are listed on `listing`.
    bool open(const char* path, bool verbose, DataSize sizes = DataSize::stated, FILE* listing = stdout);
    // As open, from `source` (kept by the caller) instead of a file, without a listing.
    bool open(ByteSource& source, DataSize sizes);
    // Reads up to `maxFrames` whole frames of samples into `out` and returns how many came: fewer
    // only at the end of the samples. With stated sizes a source that ends early raises
    // UNEXPECTEDEOF; otherwise the samples end there, and a partial last frame goes to the trailer.
    uint32_t readFrames(uint8_t* out, uint32_t maxFrames);
    // True when the sample count is known before the samples are read: the size is stated, or a
    // bound the source must then fill.
    bool lengthKnown() const { return lengthKnown_; }
    // True when the data size is taken exactly as stated (DataSize::stated).
    bool sizesStated() const { return sizes_ == DataSize::stated; }
    // Frames read so far.
    uint64_t framesRead() const { return framesRead_; }
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
    bool rf64 = false;
    SampleType sampleType = UINT8;
    uint16_t nChannels = 0;
    uint32_t nSamplesPerSec = 0;
    uint16_t nBlockAlign = 0;
    // The frames the data chunk holds by its stated size (for streams, an upper bound).
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
        void appendBytes(const uint8_t* bytes, size_t n);
        // Forgets every byte after the first `length`.
        void truncate(size_t length) { length_ = length < length_ ? length : length_; }
        void clear();

    private:
        void reserve(uint64_t needed);

        Buffer<uint8_t> buffer_;
        size_t length_ = 0;
    };

    // open's work once `openStream` has opened `stream`.
    template <class Open>
    bool start(bool verbose, DataSize sizes, FILE* listing, Open openStream);
    void parseChunks();
    // RF64: the 64-bit sizes of its ds64 chunk, and the size of a chunk whose 32-bit field is all ones.
    void readDs64();
    uint64_t chunkSize(const uint8_t* header) const;
    void checkFormat(const uint8_t* body, uint32_t size);
    void checkStatedDataSize();
    void collectTrailer();
    // Keeps every byte from the stream's position to its end in the trailer.
    void keepRest();
    // Appends `n` bytes to the preData or trailer count, refusing what a 32-bit field cannot hold.
    const uint8_t* keepHeaderBytes(uint64_t n);
    const uint8_t* keepTrailerBytes(uint64_t n);
    void printChunk(const uint8_t* header, uint64_t size) const;
    bool setError(const char* message);

    struct Ds64 {
        uint64_t riffSize = 0, dataSize = 0;
        std::vector<std::pair<uint32_t, uint64_t>> table;  // chunk identifier (little-endian) and size
    };

    KeptBytes kept_;
    Ds64 ds64_;
    DataSize sizes_ = DataSize::stated;
    FILE* listing_ = stdout;
    bool lengthKnown_ = true;
    uint64_t framesRead_ = 0;
    std::vector<uint8_t> partial_;  // a last frame cut short, for the trailer
    bool haveTrailer_ = false;
    char errorText_[2048] = {};
};

}  // namespace elq
