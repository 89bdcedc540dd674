#include "foundation/stream.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace elq {
namespace {

// A refill keeps the unread bytes: a field across the end of the buffer reads whole. (Decoding
// meets this only where a tag happens to straddle the buffer's end.)
TEST(Stream, RefillKeepsUnreadBytes) {
    test::TempDir dir;
    InputStream in;
    in.open(dir.write("in.bin", std::string("0123456789ABCDEFGHIJ")).c_str(), 16);
    uint8_t skipped[13];
    EXPECT_EQ(in.getByte(), '0');  // fills the buffer with 16 bytes
    EXPECT_EQ(in.read(skipped, 13), 13u);
    EXPECT_EQ(in.readU32(), 0x48474645u);  // "EFGH": two bytes kept, two read
    EXPECT_EQ(in.position(), 18u);
}

}  // namespace
}  // namespace elq
