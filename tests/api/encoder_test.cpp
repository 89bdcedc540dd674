// The encoder of the C interface writes the program's bytes for the same settings, from a WAVE
// file, a WAVE stream and raw samples, into a file or through callbacks; it refuses what the
// program refuses.
#include <cfenv>

#include "api/api_support.h"

namespace elq::test {
namespace {

struct Encoder {
    explicit Encoder(const elq_encoder_settings* settings) {
        status = elq_encoder_create(&encoder, settings);
    }
    ~Encoder() { EXPECT_TRUE(ok(elq_encoder_destroy(encoder))); }
    Encoder(const Encoder&) = delete;
    Encoder& operator=(const Encoder&) = delete;
    elq_encoder* encoder = nullptr;
    elq_status status;
};

// The settings of the command line as words; each case's command-line options follow from them.
struct Case {
    elq_encoder_settings settings;
    const char* options;
};
const Case kCases[] = {
    {{}, ""},
    {{"fast", "1x", "none", "fast", 1, 0},
     "--mode fast --speedup 1x --optimize none --seek fast --threads 1"},
    {{"high", "2x", "normal", nullptr, 2, 1}, "--mode high --speedup 2x --optimize normal --threads 2 --crc"},
    {{"ultra", nullptr, "none", "slow", 0, 0}, "--mode ultra --optimize none --seek slow"},
};

// The caller's rounding mode is not the codec's: the bytes stay the program's, and the caller finds
// its mode as it left it.
TEST(ApiEncoder, WritesTheProgramsBytesForTheSameSettings) {
    TempDir dir;
    struct Rounding {
        Rounding() { fesetround(FE_TOWARDZERO); }
        ~Rounding() { fesetround(FE_TONEAREST); }
    } rounding;
    struct Source {
        uint32_t bits, channels, frames;
    };
    for (const Source& s : {Source{16, 2, 300000}, Source{24, 1, 250000}, Source{8, 2, 5000}}) {
        const Bytes pcm = pcmSignal(Signal::Tones, s.bits, s.channels, s.frames, s.bits);
        const std::string wave = text(richWaveFile(pcm, s.bits, s.channels));
        dir.write("in.wav", wave);
        for (const Case& c : kCases) {
            SCOPED_TRACE(testing::Message()
                         << s.bits << " bits, " << s.channels << " channels, " << c.options);
            runOk(std::string("--silent --encode in.wav --output cli.elq ") + c.options, dir);
            const std::string expected = dir.read("cli.elq");
            Encoder e(&c.settings);
            ASSERT_TRUE(ok(e.status));
            // A file into a file.
            ASSERT_TRUE(ok(elq_encoder_set_output_file(e.encoder, dir.path("api.elq").c_str())));
            ASSERT_TRUE(ok(elq_encoder_encode_file(e.encoder, dir.path("in.wav").c_str())));
            EXPECT_EQ(fegetround(), FE_TOWARDZERO);
            EXPECT_TRUE(sameBytes(dir.read("api.elq"), expected));
            // A stream, seekable or not, through callbacks both ways.
            for (bool seekable : {true, false}) {
                MemoryStream in{wave}, out;
                const elq_reader_io reader = in.reader(seekable);
                const elq_writer_io writer = out.writer(seekable);
                ASSERT_TRUE(ok(elq_encoder_set_output_io(e.encoder, &writer, &out)));
                ASSERT_TRUE(ok(elq_encoder_encode_io(e.encoder, &reader, &in)));
                EXPECT_TRUE(sameBytes(out.bytes, expected));
            }
        }
    }
}

TEST(ApiEncoder, StoresACanonicalHeaderForRawSamples) {
    TempDir dir;
    for (const Layout& layout : kLayouts) {
        SCOPED_TRACE(testing::Message() << layout.bits << " bits, " << layout.channels << " channels");
        const uint32_t frames = 20000;
        const Bytes pcm = pcmSignal(Signal::Noise, layout.bits, layout.channels, frames, 2);
        dir.write("canonical.wav", waveFile(pcm, layout.bits, layout.channels));
        runOk("--silent canonical.wav", dir);
        Encoder e(nullptr);
        MemoryStream in{text(pcm) + "bytes after the samples are not read"}, out;
        const elq_reader_io reader = in.reader(false);
        const elq_writer_io writer = out.writer(false);
        const elq_raw_format format{44100, layout.channels, layout.bits, frames};
        ASSERT_TRUE(ok(elq_encoder_set_output_io(e.encoder, &writer, &out)));
        ASSERT_TRUE(ok(elq_encoder_encode_raw(e.encoder, &format, &reader, &in)));
        EXPECT_TRUE(sameBytes(out.bytes, dir.read("canonical.elq")));
    }
}

TEST(ApiEncoder, RefusesWhatTheProgramRefuses) {
    TempDir dir;
    const Bytes pcm = pcmSignal(Signal::Tones, 16, 2, 3000);
    dir.write("in.wav", waveFile(pcm, 16, 2));
    const std::string previous = dir.write("kept.elq", std::string("an earlier file"));
    elq_encoder* none = nullptr;
    const elq_encoder_settings badMode{"louder", nullptr, nullptr, nullptr, 0, 0};
    elq_status s = elq_encoder_create(&none, &badMode);
    EXPECT_EQ(s.code, ELQ_ERROR_ARGUMENT);
    EXPECT_STREQ(s.message, "incorrect mode value");
    EXPECT_EQ(none, nullptr);
    const elq_encoder_settings badThreads{nullptr, nullptr, nullptr, nullptr, 65, 0};
    EXPECT_EQ(elq_encoder_create(&none, &badThreads).code, ELQ_ERROR_ARGUMENT);

    Encoder e(nullptr);
    EXPECT_EQ(elq_encoder_encode_file(e.encoder, dir.path("in.wav").c_str()).code,
              ELQ_ERROR_ARGUMENT);  // no output
    ASSERT_TRUE(ok(elq_encoder_set_output_file(e.encoder, previous.c_str())));
    // Three channels; a WAVE file cut short; raw samples that end early; a stream of unknown length
    // into an output that cannot go back. None touches the earlier file.
    Bytes threeChannels = waveFile(pcmSignal(Signal::Tones, 16, 3, 100), 16, 3);
    dir.write("three.wav", threeChannels);
    s = elq_encoder_encode_file(e.encoder, dir.path("three.wav").c_str());
    EXPECT_EQ(s.code, ELQ_ERROR_FORMAT);
    EXPECT_STREQ(s.message, "Channel configuration not yet implemented");
    Bytes cut = waveFile(pcm, 16, 2);
    cut.erase(cut.end() - 100, cut.end());
    dir.write("cut.wav", cut);
    EXPECT_EQ(elq_encoder_encode_file(e.encoder, dir.path("cut.wav").c_str()).code, ELQ_ERROR_DAMAGED);
    MemoryStream raw{text(pcm)};
    const elq_reader_io rawReader = raw.reader(false);
    const elq_raw_format tooMany{44100, 2, 16, 3001};
    EXPECT_EQ(elq_encoder_encode_raw(e.encoder, &tooMany, &rawReader, &raw).code, ELQ_ERROR_DAMAGED);
    EXPECT_EQ(dir.read("kept.elq"), "an earlier file");

    Bytes unknownLength = waveFile(pcm, 16, 2);
    put32(unknownLength, 40, 0xFFFFFFFF);
    MemoryStream stream{text(unknownLength)}, out;
    const elq_reader_io reader = stream.reader(false);
    elq_writer_io writer = out.writer(false);
    ASSERT_TRUE(ok(elq_encoder_set_output_io(e.encoder, &writer, &out)));
    EXPECT_EQ(elq_encoder_encode_io(e.encoder, &reader, &stream).code, ELQ_ERROR_FORMAT);
    EXPECT_TRUE(out.bytes.empty());
    // With a way back, the total is filled in at the end, as the program does with a named output.
    writer = out.writer(true);
    stream.position = 0;
    ASSERT_TRUE(ok(elq_encoder_set_output_io(e.encoder, &writer, &out)));
    ASSERT_TRUE(ok(elq_encoder_encode_io(e.encoder, &reader, &stream)));
    dir.write("unknown.wav", unknownLength);
    const Outcome run =
        runElq(words("--silent --encode - --output piped.elq"), dir, -1, dir.path("unknown.wav"));
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(sameBytes(out.bytes, dir.read("piped.elq")));
    // A failing callback is an input-output failure.
    MemoryStream failing{text(waveFile(pcm, 16, 2))};
    failing.failAfter = true;
    failing.failAt = 5000;
    const elq_reader_io failingReader = failing.reader(false);
    EXPECT_EQ(elq_encoder_encode_io(e.encoder, &failingReader, &failing).code, ELQ_ERROR_IO);
}

}  // namespace
}  // namespace elq::test
