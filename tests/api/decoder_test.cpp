// The decoder of the C interface against the program: the same bytes from a file, from memory and
// through callbacks; seeks to any frame; checksums; length fields as hints; the caller's floating point.
#include <cfenv>
#include <map>
#include <random>
#include <thread>

#include "api/api_support.h"

namespace elq::test {
namespace {

// One source in every way the decoder opens one.
enum class Opening { file, memory, seekableCallbacks, streamCallbacks };
constexpr Opening kOpenings[] = {Opening::file, Opening::memory, Opening::seekableCallbacks,
                                 Opening::streamCallbacks};

// An ELQ file the program wrote and the WAVE file the program decodes it into.
struct Coded {
    std::string elqPath;
    std::string elq;
    std::string wave;  // as the program decodes it
    uint32_t channels, bytes;
    uint64_t frames;
};

class Decoder {
public:
    Decoder(Opening how, const Coded& coded) : stream_{coded.elq} {
        elq_reader_io io = stream_.reader(how == Opening::seekableCallbacks);
        switch (how) {
            case Opening::file:
                status = elq_decoder_open_file(&decoder, coded.elqPath.c_str());
                break;
            case Opening::memory:
                status = elq_decoder_open_memory(&decoder, coded.elq.data(), coded.elq.size());
                break;
            default:
                status = elq_decoder_open_io(&decoder, &io, &stream_);
                break;
        }
    }
    ~Decoder() { EXPECT_TRUE(ok(elq_decoder_close(decoder))); }
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;

    elq_info info() const {
        elq_info result;
        EXPECT_TRUE(ok(elq_decoder_info(decoder, &result)));
        return result;
    }
    // The PCM bytes of up to `frames` frames, read in pieces of uneven size; the first failure
    // ends them and stays in `failure`.
    std::string pcm(uint64_t frames, uint32_t frameBytes) {
        std::string out;
        std::vector<uint8_t> piece(4099 * frameBytes);
        for (size_t step = 1; out.size() < frames * frameBytes; step = step * 3 % 4099 + 1) {
            size_t got = 0;
            const size_t want = std::min<uint64_t>(step, frames - out.size() / frameBytes);
            failure = elq_decoder_read_pcm(decoder, piece.data(), want, &got);
            if (failure.code != ELQ_OK) break;
            out.append(reinterpret_cast<const char*>(piece.data()), got * frameBytes);
            if (got < want) break;
        }
        return out;
    }

    elq_decoder* decoder = nullptr;
    elq_status status;
    elq_status failure{};

private:
    MemoryStream stream_;
};

// The program's ELQ files of multi-block signals in every layout, each made at its first use (every
// test runs in a process of its own).
class ApiDecoder : public testing::Test {
protected:
    static void SetUpTestSuite() { dir_ = new TempDir; }
    static void TearDownTestSuite() {
        coded_.clear();
        delete dir_;
    }
    static const Coded& coded(uint32_t bits, uint32_t channels) {
        const std::string name = std::to_string(bits) + "_" + std::to_string(channels);
        if (!coded_.count(name)) {
            const uint32_t frames = (2 * kFastBlockValues + 12345) / channels;  // a little over two blocks
            const Bytes pcm = pcmSignal(Signal::Tones, bits, channels, frames, bits + channels);
            dir_->write(name + ".wav", richWaveFile(pcm, bits, channels));
            runOk("--silent --mode fast --optimize none --seek fast --crc " + name + ".wav", *dir_);
            runOk("--silent --decode " + name + ".elq --output " + name + ".decoded.wav", *dir_);
            coded_[name] = Coded{dir_->path(name + ".elq"),
                                 dir_->read(name + ".elq"),
                                 dir_->read(name + ".decoded.wav"),
                                 channels,
                                 bits / 8,
                                 frames};
        }
        return coded_.at(name);
    }

    static TempDir* dir_;
    static std::map<std::string, Coded> coded_;
};
TempDir* ApiDecoder::dir_ = nullptr;
std::map<std::string, Coded> ApiDecoder::coded_;

TEST_F(ApiDecoder, GivesTheProgramsBytesFromEveryKindOfSource) {
    for (const Layout& layout : kLayouts) {
        const Coded& c = coded(layout.bits, layout.channels);
        for (Opening how : kOpenings) {
            SCOPED_TRACE(testing::Message() << layout.bits << " bits, " << layout.channels
                                            << " channels, opening " << static_cast<int>(how));
            Decoder d(how, c);
            ASSERT_TRUE(ok(d.status));
            elq_info info = d.info();
            EXPECT_EQ(info.sample_rate, 44100u);
            EXPECT_EQ(info.channels, layout.channels);
            EXPECT_EQ(info.bits_per_sample, layout.bits);
            EXPECT_EQ(info.total_frames, c.frames);
            const bool stream = how == Opening::streamCallbacks;
            EXPECT_EQ(info.trailer_known, stream ? 0 : 1);
            EXPECT_EQ(info.checksum, stream ? -1 : 1);
            const std::string header(reinterpret_cast<const char*>(info.header), info.header_length);
            const std::string pcm = d.pcm(c.frames + 1, c.channels * c.bytes);
            EXPECT_TRUE(ok(d.failure));
            info = d.info();
            ASSERT_EQ(info.trailer_known, 1);
            EXPECT_EQ(info.checksum, 1);
            const std::string trailer(reinterpret_cast<const char*>(info.trailer), info.trailer_length);
            EXPECT_TRUE(sameBytes(header + pcm + trailer, c.wave));
            if (how != Opening::memory) continue;
            // The same samples as values: 8-bit ones less 128, the wider ones sign-extended.
            std::vector<int32_t> values(c.frames * c.channels);
            size_t got = 0;
            ASSERT_TRUE(ok(elq_decoder_seek(d.decoder, 0)));
            ASSERT_TRUE(ok(elq_decoder_read_int32(d.decoder, values.data(), c.frames, &got)));
            ASSERT_EQ(got, c.frames);
            const int shift = 32 - 8 * static_cast<int>(c.bytes);
            for (size_t i = 0; i < values.size(); ++i) {
                uint32_t raw = 0;
                for (uint32_t k = 0; k < c.bytes; ++k)
                    raw |= static_cast<uint32_t>(static_cast<uint8_t>(pcm[i * c.bytes + k])) << (8 * k);
                ASSERT_EQ(values[i], shift == 24 ? static_cast<int32_t>(raw) - 128
                                                 : static_cast<int32_t>(raw << shift) >> shift)
                    << "value " << i;
            }
        }
    }
}

TEST_F(ApiDecoder, SeeksToAnyFrameAsAFullDecodeGivesIt) {
    std::mt19937 random(11);
    for (const Layout& layout : {Layout{16, 2}, Layout{24, 1}}) {
        const Coded& c = coded(layout.bits, layout.channels);
        const uint32_t frameBytes = c.channels * c.bytes;
        const uint64_t blockFrames = kFastBlockValues / c.channels;
        // Around the block edges and the end, and anywhere.
        std::vector<uint64_t> targets = {0, 1, 7, c.frames - 1, c.frames};
        for (uint64_t edge : {blockFrames, 2 * blockFrames})
            targets.insert(targets.end(), {edge - 1, edge, edge + 1});
        for (int i = 0; i < 6; ++i)
            targets.push_back(random() % c.frames);
        std::shuffle(targets.begin(), targets.end(), random);
        for (Opening how : {Opening::file, Opening::seekableCallbacks}) {
            Decoder d(how, c);
            const size_t start = d.info().header_length;
            for (uint64_t frame : targets) {
                SCOPED_TRACE(testing::Message()
                             << "frame " << frame << ", opening " << static_cast<int>(how));
                ASSERT_TRUE(ok(elq_decoder_seek(d.decoder, frame)));
                uint64_t at = 0;
                ASSERT_TRUE(ok(elq_decoder_tell(d.decoder, &at)));
                EXPECT_EQ(at, frame);
                const uint64_t n = std::min<uint64_t>(300, c.frames - frame);
                EXPECT_TRUE(sameBytes(d.pcm(300, frameBytes),
                                      c.wave.substr(start + frame * frameBytes, n * frameBytes)));
            }
        }
        // A stream goes forward only.
        Decoder stream(Opening::streamCallbacks, c);
        const size_t start = stream.info().header_length;
        ASSERT_TRUE(ok(elq_decoder_seek(stream.decoder, blockFrames + 5)));
        EXPECT_TRUE(sameBytes(stream.pcm(10, frameBytes),
                              c.wave.substr(start + (blockFrames + 5) * frameBytes, 10 * frameBytes)));
        EXPECT_EQ(elq_decoder_seek(stream.decoder, 3).code, ELQ_ERROR_UNSUPPORTED);
        EXPECT_EQ(elq_decoder_seek(stream.decoder, c.frames + 1).code, ELQ_ERROR_ARGUMENT);
    }
}

TEST_F(ApiDecoder, ChecksTheChecksumsAndNamesTheDamage) {
    const Coded& c = coded(16, 2);
    // The MD5 the program reports for the file.
    const Outcome verify = runElq(words("--verify " + c.elqPath), *dir_);
    ASSERT_EQ(verify.exitCode, 0) << verify.err;
    const std::string md5Hex = verify.err.substr(verify.err.find("MD5 ") + 4, 32);
    auto hex = [](const unsigned char* md5) {
        char text[33];
        for (int i = 0; i < 16; ++i)
            snprintf(text + 2 * i, 3, "%02x", md5[i]);
        return std::string(text);
    };
    for (Opening how : kOpenings) {
        SCOPED_TRACE(static_cast<int>(how));
        Decoder d(how, c);
        int verified = -1;
        unsigned char md5[16];
        if (how == Opening::streamCallbacks) {
            EXPECT_EQ(elq_decoder_check(d.decoder, &verified, md5).code, ELQ_ERROR_NOT_YET);
            d.pcm(c.frames, 4);
        } else {
            ASSERT_TRUE(ok(elq_decoder_seek(d.decoder, 1000)));
        }
        ASSERT_TRUE(ok(elq_decoder_check(d.decoder, &verified, md5)));
        EXPECT_EQ(verified, 1);
        EXPECT_EQ(hex(md5), md5Hex);
        uint64_t at = 0;
        ASSERT_TRUE(ok(elq_decoder_tell(d.decoder, &at)));
        EXPECT_EQ(at, how == Opening::streamCallbacks ? c.frames : 1000);
    }
    // A changed byte in the stored header, which decodes as ever, and one in the second block's
    // payload: the check names the part (a stream's reading may meet the damage first).
    const size_t secondBlock = c.elq.find("COMP", c.elq.find("COMP") + 4);
    for (auto [at, named] : {std::pair<size_t, const char*>{40, "HEAD"}, {secondBlock + 4000, "block 2"}}) {
        Coded damaged = c;
        damaged.elq[at] = static_cast<char>(damaged.elq[at] ^ 0x10);
        damaged.elqPath = dir_->write("damaged.elq", damaged.elq);
        for (Opening how : kOpenings) {
            SCOPED_TRACE(testing::Message() << named << ", opening " << static_cast<int>(how));
            Decoder d(how, damaged);
            ASSERT_TRUE(ok(d.status));
            int verified = -1;
            elq_status status{};
            if (how == Opening::streamCallbacks) status = (d.pcm(c.frames, 4), d.failure);
            if (status.code == ELQ_OK) status = elq_decoder_check(d.decoder, &verified, nullptr);
            EXPECT_EQ(status.code, ELQ_ERROR_DAMAGED) << status.message;
            EXPECT_NE(strstr(status.message, named), nullptr) << status.message;
            EXPECT_NE(verified, 1);
        }
    }
}

// A wrong length field is only a hint: from the other blocks' bytes, the decoder finds them anyway.
// (Cut and changed files go through the decode_api fuzz target, which the suite runs on damaged seeds.)
TEST_F(ApiDecoder, LengthFieldIsOnlyAHint) {
    const Coded& c = coded(8, 1);
    Coded wrongLength = c;
    const size_t block = wrongLength.elq.find("COMP");
    wrongLength.elq[block + 5] = static_cast<char>(wrongLength.elq[block + 5] + 1);
    Decoder d(Opening::memory, wrongLength);
    ASSERT_TRUE(ok(d.status));
    ASSERT_TRUE(ok(elq_decoder_seek(d.decoder, c.frames - 10)));
    const size_t start = d.info().header_length;
    EXPECT_TRUE(sameBytes(d.pcm(10, 1), c.wave.substr(start + c.frames - 10, 10)));
    EXPECT_TRUE(ok(d.failure));
    ASSERT_TRUE(ok(elq_decoder_seek(d.decoder, 0)));
    EXPECT_TRUE(sameBytes(d.pcm(c.frames, 1), c.wave.substr(start, c.frames)));
}

TEST_F(ApiDecoder, RefusesWhatIsNoElqFileAndBadArguments) {
    elq_decoder* d = nullptr;
    EXPECT_EQ(elq_decoder_open_file(&d, dir_->path("missing.elq").c_str()).code, ELQ_ERROR_IO);
    const std::string wave = text(waveFile(pcmSignal(Signal::Tones, 16, 2, 100), 16, 2));
    const elq_status notOurs = elq_decoder_open_memory(&d, wave.data(), wave.size());
    EXPECT_EQ(notOurs.code, ELQ_ERROR_FORMAT);
    EXPECT_STREQ(notOurs.message, "not an ELQ file");
    EXPECT_EQ(d, nullptr);
    EXPECT_EQ(elq_decoder_open_memory(nullptr, wave.data(), wave.size()).code, ELQ_ERROR_ARGUMENT);
    EXPECT_EQ(elq_decoder_info(nullptr, nullptr).code, ELQ_ERROR_ARGUMENT);
    EXPECT_TRUE(ok(elq_decoder_close(nullptr)));
}

// The codec's arithmetic runs in its own floating-point mode whatever the caller's, which the
// caller finds as it left it; decoders on several threads at once do not disturb each other.
TEST_F(ApiDecoder, KeepsTheCallersFloatingPointModeAndRunsOnManyThreads) {
    // Each thread's samples, whether its rounding mode was still its own after every call.
    struct Run {
        const Coded& coded;
        int rounding;
        std::string pcm;
        bool kept = true;
    };
    auto decode = [](Run& run) {
        fesetround(run.rounding);
        Decoder d(Opening::memory, run.coded);
        const size_t start = d.info().header_length;
        for (uint64_t frame = 0; frame < run.coded.frames; frame += 100000) {
            run.pcm += d.pcm(100000, run.coded.channels * run.coded.bytes);
            run.kept = run.kept && fegetround() == run.rounding;
        }
        run.pcm = run.coded.wave.compare(start, run.pcm.size(), run.pcm) == 0 ? "same" : "different";
        fesetround(FE_TONEAREST);
    };
    Run first{coded(16, 2), FE_UPWARD, "", true}, second{coded(32, 1), FE_DOWNWARD, "", true};
    std::thread other([&] { decode(second); });
    decode(first);
    other.join();
    for (const Run* run : {&first, &second}) {
        EXPECT_TRUE(run->kept);
        EXPECT_EQ(run->pcm, "same");
    }
}

}  // namespace
}  // namespace elq::test
