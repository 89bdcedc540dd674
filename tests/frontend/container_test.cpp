#include "frontend/container.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "support/temp_dir.h"
#include "wave/wave_test_support.h"

namespace elq {
namespace {

using test::Bytes;

// A container read back as the decoder does, which checks neither the header length nor the
// tags. The sections are empty, or far larger than the streams' buffers.
TEST(Container, HeaderAndSectionsRoundTrip) {
    test::TempDir dir;
    for (size_t size : {0, 100003}) {
        SCOPED_TRACE(size);
        Bytes head = test::patternBytes(size, 1), tail = test::patternBytes(size / 2, 2);
        const ContainerHeader header{
            .totalSamples = 0xABCD12345678ull, .sampleType = SINT16, .channels = 1, .sampleRate = 7};
        OutputStream out;
        out.open(dir.path("written").c_str());
        writeContainerHeader(out, header, head.data(), static_cast<uint32_t>(head.size()));
        writeTailSection(out, tail.data(), static_cast<uint32_t>(tail.size()));
        out.close();
        const std::string written = dir.read("written");
        Bytes file(written.begin(), written.end());
        test::put32(file, 4, 99);
        test::put32(file, kHeadDataOffset - 8, 0x58585858);
        test::put32(file, kHeadDataOffset + head.size(), 0x59595959);

        InputStream in;
        in.open(dir.write("damaged", file).c_str());
        ASSERT_TRUE(readMagic(in));
        ContainerHeader read = readHeaderFields(in);
        EXPECT_EQ(std::tie(read.totalSamples, read.sampleType, read.channels, read.sampleRate),
                  std::tie(header.totalSamples, header.sampleType, header.channels, header.sampleRate));
        out.open(dir.path("restored").c_str());
        copyHeadSection(in, out);
        copyTailSection(in, out);
        out.close();
        EXPECT_EQ(in.position(), file.size());
        head.insert(head.end(), tail.begin(), tail.end());
        EXPECT_EQ(dir.read("restored"), std::string(head.begin(), head.end()));
    }
}

}  // namespace
}  // namespace elq
