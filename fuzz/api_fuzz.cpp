// The C interface's decoder on hostile input, from memory and as a stream that cannot seek: every
// call ends in a status, reads never hand over more than asked, and a seek goes where it is told.
#include <cstring>
#include <vector>

#include "elq/elq.h"
#include "fuzz_support.h"

namespace elq::fuzz {

namespace {

// Values a fuzzed file may claim in all; bounds the time one input can take.
constexpr uint64_t kMaxValues = 1 << 16;

struct Stream {
    const uint8_t* data;
    size_t size, position = 0;
    static int64_t read(void* user, void* buffer, size_t n) {
        auto* self = static_cast<Stream*>(user);
        const size_t count = std::min(n, self->size - self->position);
        memcpy(buffer, self->data + self->position, count);
        self->position += count;
        return static_cast<int64_t>(count);
    }
};

void checkStatus(const elq_status& status) {
    FUZZ_CHECK(status.code >= ELQ_OK && status.code <= ELQ_ERROR_INTERNAL &&
               status.code != ELQ_ERROR_INTERNAL);
    FUZZ_CHECK((status.code == ELQ_OK) == (status.message[0] == '\0'));
}

void decode(elq_decoder* decoder, const uint8_t* data, size_t size) {
    elq_info info;
    checkStatus(elq_decoder_info(decoder, &info));
    if (info.total_frames * info.channels > kMaxValues) return;
    FUZZ_CHECK(info.channels >= 1 && info.channels <= 2 && info.bytes_per_sample >= 1 &&
               info.bytes_per_sample <= 4);
    std::vector<uint8_t> pcm(1000 * 8 + 1, 0xA5);
    size_t got = 0;
    for (int i = 0; i < 100; ++i) {
        const size_t want = 1 + (size > 0 ? data[i % size] : 0) * 3;
        const elq_status status = elq_decoder_read_pcm(decoder, pcm.data(), want, &got);
        checkStatus(status);
        FUZZ_CHECK(got <= want && pcm.back() == 0xA5);
        if (status.code != ELQ_OK || got < want) break;
    }
    // A seek to a frame the input chooses, and the check.
    const uint64_t frame = size > 8 ? (data[size - 1] | data[size - 2] << 8) % (info.total_frames + 1) : 0;
    const elq_status seek = elq_decoder_seek(decoder, frame);
    checkStatus(seek);
    uint64_t at = 0;
    if (seek.code == ELQ_OK && elq_decoder_tell(decoder, &at).code == ELQ_OK) FUZZ_CHECK(at == frame);
    int verified = 0;
    checkStatus(elq_decoder_check(decoder, &verified, nullptr));
    checkStatus(elq_decoder_info(decoder, &info));
}

}  // namespace

int decodeApi(const uint8_t* data, size_t size) {
    elq_decoder* decoder = nullptr;
    elq_status status = elq_decoder_open_memory(&decoder, data, size);
    checkStatus(status);
    FUZZ_CHECK((status.code == ELQ_OK) == (decoder != nullptr));
    if (decoder) decode(decoder, data, size);
    checkStatus(elq_decoder_close(decoder));
    Stream stream{data, size};
    const elq_reader_io io{Stream::read, nullptr, nullptr};
    decoder = nullptr;
    checkStatus(elq_decoder_open_io(&decoder, &io, &stream));
    if (decoder) decode(decoder, data, size);
    checkStatus(elq_decoder_close(decoder));
    return 0;
}

}  // namespace elq::fuzz
