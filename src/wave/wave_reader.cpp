#include "wave/wave_reader.h"

#include <cstdio>
#include <cstring>

namespace elq {

namespace {

// The buffer a reader starts with; enough for the headers of almost every real file.
constexpr size_t kInitialKeptCapacity = 65536;
// Largest single read into the kept bytes. Bounds what a chunk size larger than the file can
// make the reader allocate before the file's end is met.
constexpr uint32_t kKeptReadPiece = 1 << 20;
// The container stores each kept section's length in 32 bits.
constexpr uint64_t kMaxSectionLength = UINT32_MAX;

constexpr uint16_t kFormatPcm = 1;
constexpr uint16_t kFormatIeeeFloat = 3;
constexpr uint16_t kFormatExtensible = 0xFFFE;

// A check that failed; open and readTrailer turn it into the error text.
struct WaveFault {
    const char* message;
};

[[noreturn]] void fail(const char* message) {
    throw WaveFault{message};
}

uint16_t le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

uint32_t le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

uint64_t le64(const uint8_t* p) {
    return le32(p) | static_cast<uint64_t>(le32(p + 4)) << 32;
}

bool hasId(const uint8_t* p, const char* id) {
    return memcmp(p, id, 4) == 0;
}

char printable(uint8_t c) {
    return c >= 32 && c <= 126 ? static_cast<char>(c) : '?';
}

}  // namespace

void WaveReader::KeptBytes::start(size_t capacity) {
    buffer_.reset(capacity, "preData");
    length_ = 0;
}

void WaveReader::KeptBytes::clear() {
    buffer_.clear();
    length_ = 0;
}

void WaveReader::KeptBytes::reserve(uint64_t needed) {
    if (needed <= buffer_.size()) return;
    uint64_t capacity = buffer_.size() * 2;
    if (capacity < needed) capacity = needed;
    Buffer<uint8_t> bigger(capacity, "preData");
    if (length_ > 0) memcpy(bigger.data(), buffer_.data(), length_);
    buffer_ = std::move(bigger);
}

void WaveReader::KeptBytes::appendBytes(const uint8_t* bytes, size_t n) {
    reserve(length_ + n);
    if (n > 0) memcpy(buffer_.data() + length_, bytes, n);
    length_ += n;
}

uint32_t WaveReader::KeptBytes::appendAvailable(InputStream& in, uint32_t n) {
    reserve(length_ + n);
    uint32_t got = in.read(buffer_.data() + length_, n);
    length_ += got;
    return got;
}

uint8_t* WaveReader::KeptBytes::append(InputStream& in, uint64_t n) {
    size_t start = length_;
    while (n > 0) {
        uint32_t piece = n < kKeptReadPiece ? static_cast<uint32_t>(n) : kKeptReadPiece;
        reserve(length_ + piece);
        in.readMin(buffer_.data() + length_, piece, piece);
        length_ += piece;
        n -= piece;
    }
    return buffer_.data() + start;
}

bool WaveReader::open(const char* path, bool verboseListing, DataSize sizes, FILE* listing) {
    return start(verboseListing, sizes, listing, [&] { stream.open(path, kStreamBufferSize); });
}

bool WaveReader::open(ByteSource& source, DataSize sizes) {
    return start(false, sizes, stdout, [&] { stream.openSource(source); });
}

template <class Open>
bool WaveReader::start(bool verboseListing, DataSize sizes, FILE* listing, Open openStream) {
    verbose = verboseListing;
    sizes_ = sizes;
    listing_ = listing;
    errorText_[0] = '\0';
    haveTrailer_ = false;
    rf64 = false;
    ds64_ = Ds64{};
    preDataLength = 0;
    trailerLength = 0;
    dataSize = 0;
    frameCount = 0;
    riffEnd = 0;
    lengthKnown_ = true;
    framesRead_ = 0;
    partial_.clear();
    try {
        kept_.start(kInitialKeptCapacity);
        if (stream.startBuffer || stream.file.isOpen()) stream.close();
        openStream();
        parseChunks();
        return true;
    } catch (const WaveFault& fault) {
        return setError(fault.message);
    } catch (const Exception& exception) {
        return setError(exception.format());
    } catch (...) {
        return setError("unknown error processing WAVE file");
    }
}

void WaveReader::parseChunks() {
    uint8_t riff[12];
    memcpy(riff, keepHeaderBytes(12), sizeof riff);
    rf64 = hasId(riff, "RF64");
    if (!hasId(riff, "RIFF") && !rf64) fail("RIFF is not present at offset 0");
    riffEnd = static_cast<uint64_t>(le32(riff + 4)) + 8;
    // A stream's sizes are not trusted: a writer that cannot go back leaves 0 here too.
    if (riffEnd < 44 && sizes_ == DataSize::stated) fail("file is shorter than 44 bytes");
    if (!hasId(riff + 8, "WAVE")) fail("WAVE is not present at offset 8");
    if (rf64) {
        readDs64();
        if (le32(riff + 4) == 0xFFFFFFFF) riffEnd = ds64_.riffSize + 8;
    }

    bool formatSeen = false;
    for (;;) {
        // A copy, since keeping the body may move the kept bytes.
        uint8_t header[8];
        memcpy(header, keepHeaderBytes(8), sizeof header);
        const uint64_t size = chunkSize(header);
        if (verbose) printChunk(header, size);
        if (hasId(header, "fmt ")) {
            if (formatSeen) fail("fmt_ chunk is already present");
            formatSeen = true;
            if (size != 16 && size != 18 && size != 40) fail("fmt_ size is different from 16, 18 and 40");
            checkFormat(keepHeaderBytes(size), static_cast<uint32_t>(size));
        } else if (hasId(header, "data")) {
            dataSize = size;
            if (!formatSeen) fail("fmt_ chunk not present before data chunk");
            if (sizes_ == DataSize::stated) {
                checkStatedDataSize();
            } else {
                // A writer that cannot go back to fill in the size leaves 0 or all ones there.
                lengthKnown_ = sizes_ == DataSize::bound && dataSize != 0 && dataSize != 0xFFFFFFFF;
                if (!lengthKnown_) dataSize = UINT64_MAX;
            }
            // checkFormat has made sure nBlockAlign is not 0.
            frameCount = lengthKnown_ ? dataSize / nBlockAlign : 0;
            if (verbose) {
                fprintf(listing_, "data (start %4lu, size %10llu)\n",
                        static_cast<unsigned long>(preDataLength), static_cast<unsigned long long>(size));
            }
            return;
        } else {
            keepHeaderBytes(size + (size & 1));
        }
    }
}

void WaveReader::checkStatedDataSize() {
    // A plain RIFF file cannot state the sizes of one over 4 GiB: they wrap.
    const uint64_t fileSize = stream.size();
    if (!rf64 && fileSize > UINT32_MAX && preDataLength + dataSize + (uint64_t{1} << 32) <= fileSize) {
        fail(
            "the file is over 4 GiB, beyond what the 32-bit sizes of a RIFF header can state, so its "
            "data size has wrapped: write it as RF64 (for example with ffmpeg -rf64 auto), or read the "
            "samples to the end of the file with --ignore-chunk-sizes");
    }
    if (preDataLength + dataSize > riffEnd) fail("size of data is too large");
    if (dataSize % nBlockAlign != 0) fail("nBlockAlign does not divide dataSize");
}

void WaveReader::readDs64() {
    uint8_t header[8];
    memcpy(header, keepHeaderBytes(8), sizeof header);
    const uint32_t size = le32(header + 4);
    if (verbose) printChunk(header, size);
    if (!hasId(header, "ds64")) fail("RF64 file without a ds64 chunk after WAVE");
    if (size < 28) fail("ds64 chunk is shorter than 28 bytes");
    const uint8_t* body = keepHeaderBytes(static_cast<uint64_t>(size) + (size & 1));
    ds64_.riffSize = le64(body);
    ds64_.dataSize = le64(body + 8);
    const uint32_t entries = le32(body + 24);
    if (entries > (size - 28) / 12) fail("ds64 table does not fit its chunk");
    for (uint32_t i = 0; i < entries; ++i)
        ds64_.table.emplace_back(le32(body + 28 + 12 * i), le64(body + 32 + 12 * i));
}

uint64_t WaveReader::chunkSize(const uint8_t* header) const {
    const uint32_t size = le32(header + 4);
    if (!rf64 || size != 0xFFFFFFFF) return size;
    if (hasId(header, "data")) return ds64_.dataSize;
    for (const auto& [id, tableSize] : ds64_.table) {
        if (id == le32(header)) return tableSize;
    }
    return size;
}

void WaveReader::checkFormat(const uint8_t* body, uint32_t size) {
    uint16_t formatTag = le16(body);
    uint16_t channels = le16(body + 2);
    uint32_t samplesPerSec = le32(body + 4);
    uint32_t avgBytesPerSec = le32(body + 8);
    uint16_t blockAlign = le16(body + 12);
    uint16_t bitsPerSample = le16(body + 14);
    uint16_t cbSize = size >= 18 ? le16(body + 16) : 0;

    nChannels = channels;
    nSamplesPerSec = samplesPerSec;
    nBlockAlign = blockAlign;
    uint16_t containerSize = static_cast<uint16_t>((bitsPerSample + 7) / 8 * 8);
    if (verbose) {
        fprintf(listing_, "  wFormatTag          %6hX\n", formatTag);
        fprintf(listing_, "  nChannels           %6hu\n", channels);
        fprintf(listing_, "  nSamplesPerSec      %6lu\n", static_cast<unsigned long>(samplesPerSec));
        fprintf(listing_, "  wBitsPerSample      %6hu\n", bitsPerSample);
        fprintf(listing_, "  containerSize       %6hu\n", containerSize);
    }

    if (size == 18 && cbSize != 0) fail("cbSize is incorrect");
    // A short chunk has no extension fields, so the extensible tag cannot be honoured there.
    if ((size == 40 && (cbSize != 22 || formatTag != kFormatExtensible)) ||
        (size != 40 && formatTag == kFormatExtensible)) {
        fail("cbSize is incorrect or not an EXTENSIBLE format");
    }
    if (channels == 0) fail("nChannels is 0");
    if (samplesPerSec == 0) fail("nSamplesPerSec is 0");
    if (bitsPerSample == 0 || bitsPerSample > 32) fail("wBitsPerSample is 0 or bigger than 32");
    if (static_cast<uint32_t>(blockAlign * samplesPerSec) != avgBytesPerSec) {
        fail("nBlockAlign*nSamplesPerSec!=nAvgBytesPerSec");
    }
    if (blockAlign % channels != 0) fail("nBlockAlign is not a multiple of nChannels");

    uint16_t formatCode = formatTag;
    if (formatTag == kFormatExtensible) {
        uint16_t validBitsPerSample = le16(body + 18);
        formatCode = le16(body + 24);
        if (verbose) fprintf(listing_, "  wValidBitsPerSample %6hu\n", validBitsPerSample);
        if (validBitsPerSample == 0 || validBitsPerSample > containerSize) {
            fail("wValidBitsPerSample is 0 or bigger than containerSize");
        }
        if (bitsPerSample != containerSize)
            fail("wBitsPerSample is not equal with containerSize for EXTENSIBLE");
    }
    if (formatCode != kFormatPcm && formatCode != kFormatIeeeFloat) {
        fail("wFormatTag or SubFormat code is not PCM or IEEE_FLOAT");
    }

    // Kept in 16 bits as the format defines it, so an absurd nBlockAlign may wrap.
    uint16_t foundContainerSize = static_cast<uint16_t>(blockAlign / channels * 8);
    if (verbose) fprintf(listing_, "  foundContainerSize  %6hu\n", foundContainerSize);
    if (foundContainerSize == 0 || foundContainerSize > 32) fail("foundContainerSize is 0 or bigger than 32");

    if (formatCode == kFormatPcm && containerSize == 8 && foundContainerSize == 8) {
        sampleType = UINT8;
    } else if (formatCode == kFormatPcm && containerSize == 16 && foundContainerSize == 16) {
        sampleType = SINT16;
    } else if (formatCode == kFormatPcm && containerSize == 24 && foundContainerSize == 24) {
        sampleType = SINT24;
    } else if (formatCode == kFormatPcm && containerSize == 24 && foundContainerSize == 32) {
        sampleType = FLOAT32_24;
    } else if (formatCode == kFormatPcm && containerSize == 32 && foundContainerSize == 32) {
        sampleType = SINT32;
        if (verbose) fprintf(listing_, "  warning: format can also be FLOAT32_16 (Cool Edit)\n");
    } else if (formatCode == kFormatIeeeFloat && containerSize == 32 && foundContainerSize == 32) {
        sampleType = FLOAT32_0;
    } else {
        fail("unsupported format");
    }
}

bool WaveReader::readTrailer() {
    haveTrailer_ = false;
    trailerLength = 0;
    try {
        collectTrailer();
        haveTrailer_ = true;
        return true;
    } catch (const WaveFault& fault) {
        return setError(fault.message);
    } catch (const Exception& exception) {
        return setError(exception.format());
    } catch (...) {
        return setError("unknown error processing WAVE file");
    }
}

uint32_t WaveReader::readFrames(uint8_t* out, uint32_t maxFrames) {
    const uint64_t left = (dataSize - framesRead_ * nBlockAlign) / nBlockAlign;
    const uint32_t frames = left < maxFrames ? static_cast<uint32_t>(left) : maxFrames;
    const uint32_t bytes = frames * nBlockAlign;
    if (sizes_ == DataSize::stated) {
        stream.readMin(out, bytes, bytes);
        framesRead_ += frames;
        return frames;
    }
    // A stream that ends sooner ends the samples; a last frame cut short is kept as it came.
    const uint32_t got = stream.read(out, bytes);
    const uint32_t whole = got / nBlockAlign;
    if (got > 0) partial_.assign(out + whole * nBlockAlign, out + got);  // a later read finds the end only
    framesRead_ += whole;
    return whole;
}

void WaveReader::collectTrailer() {
    if (kept_.data() == nullptr || kept_.length() < preDataLength) fail("WAVE file is not open");
    kept_.truncate(preDataLength);
    if (sizes_ != DataSize::stated) {
        // A stream's bytes after its samples are kept as they came, without a walk: the sizes that
        // would lead it are the ones not to be trusted.
        kept_.appendBytes(partial_.data(), partial_.size());
        trailerLength = static_cast<uint32_t>(partial_.size());
        keepRest();
        return;
    }
    if (stream.position() != preDataLength + dataSize) fail("incorrect number of bytes read from data chunk");
    // The chunks after the samples, up to the end the RIFF header states. A file may end before
    // that end when its last chunk ends cleanly (writers that count 8 bytes too many, or leave out
    // the last pad byte); whatever follows the stated end is kept below as it is.
    if ((dataSize & 1) && !stream.atEnd()) keepTrailerBytes(1);
    while (stream.position() < riffEnd && !stream.atEnd()) {
        uint8_t header[8];
        memcpy(header, keepTrailerBytes(8), sizeof header);
        uint32_t size = le32(header + 4);
        if (verbose) printChunk(header, size);
        if (hasId(header, "fmt ")) fail("fmt_ chunk already present");
        if (hasId(header, "data")) fail("data chunk already present");
        keepTrailerBytes(size);
        if ((size & 1) && !stream.atEnd()) keepTrailerBytes(1);
    }
    keepRest();
}

void WaveReader::keepRest() {
    // Bytes past the RIFF chunk (tags and padding that taggers and recorders append) are part of
    // the file too: every one is kept, so decoding gives back the whole file.
    const uint32_t before = trailerLength;
    for (;;) {
        if (trailerLength == kMaxSectionLength && !stream.atEnd())
            fail("bytes after the samples exceed 4294967295 and cannot be stored");
        uint64_t room = kMaxSectionLength - trailerLength;
        uint32_t got = kept_.appendAvailable(
            stream, room < kKeptReadPiece ? static_cast<uint32_t>(room) : kKeptReadPiece);
        trailerLength += got;
        if (got == 0) break;
    }
    if (verbose && trailerLength > before) {
        fprintf(listing_, "kept %lu bytes past the end of the RIFF chunk\n",
                static_cast<unsigned long>(trailerLength - before));
    }
}

bool WaveReader::close() {
    try {
        kept_.clear();
        haveTrailer_ = false;
        stream.close();
        return true;
    } catch (const Exception& exception) {
        return setError(exception.format());
    } catch (...) {
        return setError("unknown error processing WAVE file");
    }
}

const uint8_t* WaveReader::keepHeaderBytes(uint64_t n) {
    if (preDataLength + n > kMaxSectionLength)
        fail("bytes before the samples exceed 4294967295 and cannot be stored");
    const uint8_t* bytes = kept_.append(stream, n);
    preDataLength += static_cast<uint32_t>(n);
    return bytes;
}

const uint8_t* WaveReader::keepTrailerBytes(uint64_t n) {
    if (trailerLength + n > kMaxSectionLength)
        fail("bytes after the samples exceed 4294967295 and cannot be stored");
    const uint8_t* bytes = kept_.append(stream, n);
    trailerLength += static_cast<uint32_t>(n);
    return bytes;
}

void WaveReader::printChunk(const uint8_t* header, uint64_t size) const {
    fprintf(listing_, "Found %c%c%c%c chunk, size %10llu\n", printable(header[0]), printable(header[1]),
            printable(header[2]), printable(header[3]), static_cast<unsigned long long>(size));
}

bool WaveReader::setError(const char* message) {
    kept_.clear();
    haveTrailer_ = false;
    trailerLength = 0;
    snprintf(errorText_, sizeof errorText_, "%s", message);
    return false;
}

}  // namespace elq
