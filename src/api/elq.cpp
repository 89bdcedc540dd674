// The C interface (include/elq/elq.h): a thin layer over the reader and the encoder core the
// program uses. Each call runs inside a FloatingPointScope and turns every failure into a status.
#include "elq/elq.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "foundation/exception.h"
#include "foundation/file.h"
#include "foundation/stream.h"
#include "frontend/archive_reader.h"
#include "frontend/encode_command.h"
#include "frontend/options.h"
#include "frontend/program.h"
#include "frontend/progress_line.h"
#include "wave/pcm_samples.h"
#include "wave/wave_reader.h"

namespace elq {

namespace {

// A failure the interface itself reports, with its status code.
struct ApiError {
    int code;
    std::string message;
};

[[noreturn]] void fail(int code, const char* message) {
    throw ApiError{code, message};
}

void require(bool condition, const char* message) {
    if (!condition) fail(ELQ_ERROR_ARGUMENT, message);
}

elq_status status(int code, const char* format, ...) __attribute__((format(printf, 2, 3)));
elq_status status(int code, const char* format, ...) {
    elq_status result;
    result.code = code;
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(result.message, sizeof result.message, format, arguments);
    va_end(arguments);
    // One line of text: the reports of the core break theirs.
    size_t end = 0;
    for (char* p = result.message; *p; ++p) {
        if (*p == '\n') *p = ' ';
        if (*p != ' ') end = static_cast<size_t>(p - result.message) + 1;
    }
    result.message[end] = '\0';
    return result;
}

// What an Exception means for a decoder or for an encoder.
enum class Side { decoder, encoder };

elq_status fromException(const Exception& e, Side side) {
    switch (e.code) {
        case FILENOTFOUND:
        case IOERROR:
        case READERROR:
        case WRITEERROR: {
            // The report without its first line, which only names the code.
            const char* report = e.format();
            const char* detail = strchr(report, '\n');
            return status(ELQ_ERROR_IO, "%s", detail ? detail + 1 : report);
        }
        case UNEXPECTEDEOF:
            return side == Side::decoder
                       ? status(ELQ_ERROR_DAMAGED, "the ELQ file ends early: it is cut short or damaged")
                       : status(ELQ_ERROR_DAMAGED, "the source ends before the samples its header states");
        case OUTOFMEMORY:
            return status(ELQ_ERROR_MEMORY, "out of memory (%s, %llu bytes)", e.name,
                          static_cast<unsigned long long>(e.value));
        default:
            return status(side == Side::decoder ? ELQ_ERROR_DAMAGED : ELQ_ERROR_FORMAT, "%s",
                          e.description());
    }
}

// Runs `body` in the codec's floating-point mode; no exception leaves it.
template <class Body>
elq_status guarded(Side side, Body body) {
    FloatingPointScope mode;
    try {
        body();
        return status(ELQ_OK, "%s", "");
    } catch (const ApiError& e) {
        return status(e.code, "%s", e.message.c_str());
    } catch (const Exception& e) {
        return fromException(e, side);
    } catch (const UnsupportedArchive& e) {
        return status(side == Side::decoder ? ELQ_ERROR_UNSUPPORTED : ELQ_ERROR_FORMAT, "%s", e.reason);
    } catch (const EncodeFailure& e) {
        return status(ELQ_ERROR_FORMAT, "%s", e.text.c_str());
    } catch (const std::bad_alloc&) {
        return status(ELQ_ERROR_MEMORY, "out of memory");
    } catch (...) {
        return status(ELQ_ERROR_INTERNAL, "an unexpected failure inside the library");
    }
}

// A caller's read callbacks, shared by every stream over them: each stream keeps its own position
// and puts the callbacks there before it reads.
struct Callbacks {
    elq_reader_io io;
    void* user;
    uint64_t position = 0;  // the callbacks' own position; UINT64_MAX after a failure
};

class CallbackSource final : public ByteSource {
public:
    explicit CallbackSource(Callbacks& callbacks) : callbacks_(callbacks) {}

    uint32_t read(void* buffer, uint32_t n) override {
        if (callbacks_.position != position_) {
            if (!callbacks_.io.seek || callbacks_.io.seek(callbacks_.user, position_) != 0)
                throwError(READERROR, "seek callback", ESPIPE);
            callbacks_.position = position_;
        }
        uint32_t got = 0;
        while (got < n) {
            const int64_t count =
                callbacks_.io.read(callbacks_.user, static_cast<uint8_t*>(buffer) + got, n - got);
            if (count < 0 || count > static_cast<int64_t>(n - got)) {
                callbacks_.position = UINT64_MAX;
                throwError(READERROR, "read callback", EIO);
            }
            if (count == 0) break;
            got += static_cast<uint32_t>(count);
        }
        position_ += got;
        callbacks_.position = position_;
        return got;
    }
    void seek(uint64_t position) override {
        if (!callbacks_.io.seek) throwError(READERROR, "seek callback", ESPIPE);
        position_ = position;  // the callbacks are moved there by the next read
    }
    uint64_t size() override {
        const int64_t size = callbacks_.io.size ? callbacks_.io.size(callbacks_.user) : -1;
        return size < 0 ? 0 : static_cast<uint64_t>(size);
    }

private:
    Callbacks& callbacks_;
    uint64_t position_ = 0;
};

class MemorySource final : public ByteSource {
public:
    MemorySource(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    uint32_t read(void* buffer, uint32_t n) override {
        const uint64_t left = position_ < size_ ? size_ - position_ : 0;
        const uint32_t count = left < n ? static_cast<uint32_t>(left) : n;
        if (count > 0) memcpy(buffer, data_ + position_, count);
        position_ += count;
        return count;
    }
    void seek(uint64_t position) override { position_ = position; }
    uint64_t size() override { return size_; }

private:
    const uint8_t* data_;
    size_t size_;
    uint64_t position_ = 0;
};

class CallbackDestination final : public ByteDestination {
public:
    CallbackDestination(const elq_writer_io& io, void* user) : io_(io), user_(user) {}

    void write(const void* bytes, uint32_t n) override {
        if (n > 0 && io_.write(user_, bytes, n) != 0) throwError(WRITEERROR, "write callback", EIO);
    }
    void seek(uint64_t position) override {
        if (!io_.seek || io_.seek(user_, position) != 0) throwError(WRITEERROR, "seek callback", ESPIPE);
    }

private:
    elq_writer_io io_;
    void* user_;
};

// Frames decoded per step of a large read.
constexpr uint32_t kReadFrames = 4096;

}  // namespace

}  // namespace elq

using namespace elq;

struct elq_decoder {
    // The source, one of three; a check opens a second stream over it.
    std::string path;
    const uint8_t* memory = nullptr;
    size_t memorySize = 0;
    std::unique_ptr<Callbacks> callbacks;
    std::unique_ptr<MemorySource> memorySource;
    std::unique_ptr<CallbackSource> callbackSource;
    bool seekable = true;

    InputStream in;
    std::unique_ptr<ArchiveReader> reader;
    std::vector<int32_t> values;  // a step's values on their way into PCM bytes
};

struct elq_encoder {
    CommandSettings settings;
    std::string outputPath;
    bool outputToCallbacks = false;
    elq_writer_io output{};
    void* outputUser = nullptr;
};

namespace {

// Opens a decoder over the source `describe` sets up.
template <class Describe>
elq_status openDecoder(elq_decoder** result, Describe describe) {
    if (result) *result = nullptr;
    return guarded(Side::decoder, [&] {
        require(result, "a decoder pointer is needed");
        auto decoder = std::make_unique<elq_decoder>();
        elq_decoder* d = decoder.get();
        describe(*d);
        if (!d->path.empty()) {
            d->in.open(d->path.c_str());
        } else if (d->memorySource) {
            d->in.openSource(*d->memorySource);
        } else {
            d->in.openSource(*d->callbackSource);
        }
        try {
            d->reader = std::make_unique<ArchiveReader>(d->in, d->seekable);
        } catch (const UnsupportedArchive& e) {
            fail(ELQ_ERROR_FORMAT, e.reason);
        }
        *result = decoder.release();
    });
}

// Reads up to `frames` frames, a step at a time, handing each step's values to `take`.
template <class Take>
void readFrames(size_t frames, size_t* framesRead, Take take) {
    size_t done = 0;
    while (done < frames) {
        const size_t left = frames - done;
        const uint32_t step = left < kReadFrames ? static_cast<uint32_t>(left) : kReadFrames;
        const uint32_t got = take(done, step);
        done += got;
        if (got < step) break;
    }
    *framesRead = done;
}

}  // namespace

extern "C" {

elq_status elq_decoder_open_file(elq_decoder** decoder, const char* path) {
    return openDecoder(decoder, [&](elq_decoder& d) {
        require(path && *path, "a path is needed");
        d.path = path;
    });
}

elq_status elq_decoder_open_memory(elq_decoder** decoder, const void* data, size_t size) {
    return openDecoder(decoder, [&](elq_decoder& d) {
        require(data || size == 0, "the data is needed");
        d.memory = static_cast<const uint8_t*>(data);
        d.memorySize = size;
        d.memorySource = std::make_unique<MemorySource>(d.memory, size);
    });
}

elq_status elq_decoder_open_io(elq_decoder** decoder, const elq_reader_io* io, void* user) {
    return openDecoder(decoder, [&](elq_decoder& d) {
        require(io && io->read, "a read callback is needed");
        d.callbacks = std::make_unique<Callbacks>(Callbacks{*io, user});
        d.callbackSource = std::make_unique<CallbackSource>(*d.callbacks);
        d.seekable = io->seek != nullptr;
    });
}

elq_status elq_decoder_close(elq_decoder* decoder) {
    return guarded(Side::decoder, [&] { delete decoder; });
}

elq_status elq_decoder_info(const elq_decoder* decoder, elq_info* info) {
    return guarded(Side::decoder, [&] {
        require(decoder && info, "a decoder and an info record are needed");
        const ArchiveReader& r = *decoder->reader;
        *info = elq_info{};
        info->sample_rate = r.header().sampleRate;
        info->channels = r.channels();
        info->sample_type = r.header().sampleType;
        info->bytes_per_sample = pcmBytes(r.header().sampleType);
        info->bits_per_sample = 8 * info->bytes_per_sample;
        info->total_frames = r.totalFrames();
        info->header = r.headBytes().data();
        info->header_length = r.headBytes().size();
        info->trailer_known = r.tailKnown() ? 1 : 0;
        info->trailer = r.tailKnown() ? r.tailBytes().data() : nullptr;
        info->trailer_length = r.tailKnown() ? r.tailBytes().size() : 0;
        info->checksum = r.checksumPresent();
    });
}

elq_status elq_decoder_read_int32(elq_decoder* decoder, int32_t* out, size_t frames, size_t* frames_read) {
    if (frames_read) *frames_read = 0;
    return guarded(Side::decoder, [&] {
        require(decoder && (out || frames == 0) && frames_read, "a decoder, a buffer and a count are needed");
        ArchiveReader& r = *decoder->reader;
        readFrames(frames, frames_read,
                   [&](size_t done, uint32_t step) { return r.read(out + done * r.channels(), step); });
    });
}

elq_status elq_decoder_read_pcm(elq_decoder* decoder, void* out, size_t frames, size_t* frames_read) {
    if (frames_read) *frames_read = 0;
    return guarded(Side::decoder, [&] {
        require(decoder && (out || frames == 0) && frames_read, "a decoder, a buffer and a count are needed");
        ArchiveReader& r = *decoder->reader;
        const uint32_t bytes = pcmBytes(r.header().sampleType);
        decoder->values.resize(static_cast<size_t>(kReadFrames) * r.channels());
        auto* p = static_cast<uint8_t*>(out);
        readFrames(frames, frames_read, [&](size_t, uint32_t step) {
            const uint32_t got = r.read(decoder->values.data(), step);
            p = packSamples(decoder->values.data(), got * r.channels(), bytes, p);
            return got;
        });
    });
}

elq_status elq_decoder_seek(elq_decoder* decoder, uint64_t frame) {
    return guarded(Side::decoder, [&] {
        require(decoder, "a decoder is needed");
        if (frame > decoder->reader->totalFrames()) fail(ELQ_ERROR_ARGUMENT, "the frame lies beyond the end");
        decoder->reader->seek(frame);
    });
}

elq_status elq_decoder_tell(const elq_decoder* decoder, uint64_t* frame) {
    return guarded(Side::decoder, [&] {
        require(decoder && frame, "a decoder and a frame are needed");
        *frame = decoder->reader->frame();
    });
}

elq_status elq_decoder_check(elq_decoder* decoder, int* verified, unsigned char md5[16]) {
    if (verified) *verified = 0;
    return guarded(Side::decoder, [&] {
        require(decoder, "a decoder is needed");
        uint8_t found[16] = {};
        bool checked;
        if (!decoder->seekable) {
            ArchiveReader& r = *decoder->reader;
            if (!r.atEnd() || !r.tailKnown())
                fail(ELQ_ERROR_NOT_YET,
                     "a stream that cannot seek is checked as it is read: read its last frame first");
            checked = r.checkedInSweep(found);
        } else {
            // A second stream over the same source: the reader's position stays as it is.
            InputStream in;
            std::unique_ptr<MemorySource> memory;
            std::unique_ptr<CallbackSource> callbacks;
            if (!decoder->path.empty()) {
                in.open(decoder->path.c_str());
            } else if (decoder->memory) {
                memory = std::make_unique<MemorySource>(decoder->memory, decoder->memorySize);
                in.openSource(*memory);
            } else {
                callbacks = std::make_unique<CallbackSource>(*decoder->callbacks);
                in.openSource(*callbacks);
            }
            checked = testArchive(in, found);
        }
        if (verified) *verified = checked ? 1 : 0;
        if (md5) memcpy(md5, found, 16);
    });
}

elq_status elq_encoder_create(elq_encoder** encoder, const elq_encoder_settings* settings) {
    if (encoder) *encoder = nullptr;
    return guarded(Side::encoder, [&] {
        require(encoder, "an encoder pointer is needed");
        auto e = std::make_unique<elq_encoder>();
        EncoderSettings words;
        if (settings) {
            const std::pair<const char*, const char*> given[] = {{"--mode", settings->mode},
                                                                 {"--speedup", settings->speedup},
                                                                 {"--optimize", settings->optimize},
                                                                 {"--seek", settings->seek}};
            for (const auto& [option, word] : given) {
                if (!word) continue;
                try {
                    setEncoderOption(option, word, words);
                } catch (const Exception& bad) {
                    fail(ELQ_ERROR_ARGUMENT, bad.description());
                }
            }
            if (settings->threads < 0 || settings->threads > kMaxThreads)
                fail(ELQ_ERROR_ARGUMENT, "incorrect threads value");
        }
        e->settings.silent = true;
        e->settings.threads = threadCount(settings ? settings->threads : 0);
        e->settings.crc = settings && settings->crc;
        e->settings.encoder = withDefaults(words);
        *encoder = e.release();
    });
}

elq_status elq_encoder_destroy(elq_encoder* encoder) {
    return guarded(Side::encoder, [&] { delete encoder; });
}

elq_status elq_encoder_set_output_file(elq_encoder* encoder, const char* path) {
    return guarded(Side::encoder, [&] {
        require(encoder && path && *path && strcmp(path, "-") != 0,
                "an encoder and an output path are needed");
        encoder->outputPath = path;
        encoder->outputToCallbacks = false;
    });
}

elq_status elq_encoder_set_output_io(elq_encoder* encoder, const elq_writer_io* io, void* user) {
    return guarded(Side::encoder, [&] {
        require(encoder && io && io->write, "an encoder and a write callback are needed");
        encoder->output = *io;
        encoder->outputUser = user;
        encoder->outputToCallbacks = true;
        encoder->outputPath.clear();
    });
}

}  // extern "C"

namespace {

// Encodes the opened `reader` to the encoder's output; `source` names a source file whose
// permission bits and times the output file takes, or is null.
void encodeOpened(elq_encoder* encoder, WaveReader& reader, const char* source) {
    if (!encoder->outputToCallbacks && encoder->outputPath.empty())
        fail(ELQ_ERROR_ARGUMENT, "no output: set one with elq_encoder_set_output_file or _io");
    const bool toFile = !encoder->outputToCallbacks;
    const char* name = encoder->outputPath.c_str();
    if (toFile && source && isSameFile(source, name))
        fail(ELQ_ERROR_ARGUMENT, "source and output are one file");
    const bool canGoBack = toFile ? !OutputFile::writesInPlace(name) : encoder->output.seek != nullptr;
    if (const char* reason = unencodableReason(reader, canGoBack)) fail(ELQ_ERROR_FORMAT, reason);
    CallbackDestination destination(encoder->output, encoder->outputUser);
    OutputStream out;
    if (toFile) {
        out.file.watched = false;
        out.openReplacing(name);
    } else {
        out.openDestination(destination);
    }
    ProgressLine line("", true);
    uint8_t md5[16];
    encodeArchive(reader, encoder->settings, ArchiveTarget{out, canGoBack, false, false}, line, md5);
    if (toFile) {
        out.replace(source);
    } else {
        out.close();
    }
    reader.close();
}

void openWave(WaveReader& reader, bool opened) {
    if (!opened) fail(ELQ_ERROR_FORMAT, reader.errorText());
}

// The canonical 44-byte WAVE header of `format`'s samples, followed by the caller's bytes.
class RawSource final : public ByteSource {
public:
    RawSource(const elq_raw_format& format, Callbacks& callbacks) : callbacks_(callbacks) {
        const uint32_t blockAlign = format.channels * format.bits_per_sample / 8;
        if (format.total_frames > (UINT32_MAX - 36) / blockAlign)
            fail(ELQ_ERROR_ARGUMENT, "raw samples beyond 4 GiB have no canonical WAVE header");
        const uint64_t dataSize = format.total_frames * blockAlign;
        end_ = sizeof header_ + dataSize;
        const uint32_t fields[] = {0x46464952 /* RIFF */, static_cast<uint32_t>(36 + dataSize),
                                   0x45564157 /* WAVE */, 0x20746d66 /* fmt  */, 16};
        uint8_t* p = header_;
        for (uint32_t v : fields)
            p = put(p, v, 4);
        p = put(p, 1, 2);  // PCM
        p = put(p, format.channels, 2);
        p = put(p, format.sample_rate, 4);
        p = put(p, format.sample_rate * blockAlign, 4);
        p = put(p, blockAlign, 2);
        p = put(p, format.bits_per_sample, 2);
        p = put(p, 0x61746164 /* data */, 4);
        put(p, static_cast<uint32_t>(dataSize), 4);
    }

    uint32_t read(void* buffer, uint32_t n) override {
        uint32_t got = 0;
        auto* out = static_cast<uint8_t*>(buffer);
        while (got < n && position_ < sizeof header_) {
            out[got++] = header_[position_++];
        }
        // Bytes after the stated frames are not the samples': they are left unread.
        const uint64_t left = end_ - position_;
        if (got < n && left > 0) {
            const uint32_t more =
                samples_.read(out + got, left < n - got ? static_cast<uint32_t>(left) : n - got);
            position_ += more;
            got += more;
        }
        return got;
    }
    void seek(uint64_t) override { throwError(READERROR, "seek callback", ESPIPE); }
    uint64_t size() override { return 0; }

private:
    static uint8_t* put(uint8_t* p, uint32_t v, int width) {
        for (int i = 0; i < width; ++i)
            *p++ = static_cast<uint8_t>(v >> (8 * i));
        return p;
    }

    uint8_t header_[44];
    uint64_t position_ = 0;
    uint64_t end_ = 0;
    Callbacks& callbacks_;
    CallbackSource samples_{callbacks_};
};

}  // namespace

extern "C" {

elq_status elq_encoder_encode_file(elq_encoder* encoder, const char* wave_path) {
    return guarded(Side::encoder, [&] {
        require(encoder && wave_path && *wave_path && strcmp(wave_path, "-") != 0,
                "an encoder and a WAVE file's path are needed");
        WaveReader reader;
        openWave(reader, reader.open(wave_path, false));
        encodeOpened(encoder, reader, wave_path);
    });
}

elq_status elq_encoder_encode_io(elq_encoder* encoder, const elq_reader_io* io, void* user) {
    return guarded(Side::encoder, [&] {
        require(encoder && io && io->read, "an encoder and a read callback are needed");
        Callbacks callbacks{*io, user};
        CallbackSource source(callbacks);
        WaveReader reader;
        // A stream that cannot seek is read as standard input is: its data size only bounds it.
        const auto sizes = io->seek ? WaveReader::DataSize::stated : WaveReader::DataSize::bound;
        openWave(reader, reader.open(source, sizes));
        encodeOpened(encoder, reader, nullptr);
    });
}

elq_status elq_encoder_encode_raw(elq_encoder* encoder, const elq_raw_format* format, const elq_reader_io* io,
                                  void* user) {
    return guarded(Side::encoder, [&] {
        require(encoder && format && io && io->read, "an encoder, a format and a read callback are needed");
        require((format->channels == 1 || format->channels == 2) && format->sample_rate > 0 &&
                    (format->bits_per_sample == 8 || format->bits_per_sample == 16 ||
                     format->bits_per_sample == 24 || format->bits_per_sample == 32),
                "a raw format has 1 or 2 channels, a sampling rate and 8, 16, 24 or 32 bits");
        Callbacks callbacks{*io, user};
        RawSource source(*format, callbacks);
        WaveReader reader;
        openWave(reader, reader.open(source, WaveReader::DataSize::stated));
        encodeOpened(encoder, reader, nullptr);
    });
}

}  // extern "C"
