#include "foundation/exception.h"

#include <errno.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace elq {
namespace {

// The detail line by code (the commands' tests see the others), and long texts cut at the 2048-byte
// report buffer instead of written past it.
TEST(ExceptionReport, DetailLineByCodeAndLength) {
    const std::string head = "Exception UNKNOWN in file Unknown, line 0\n";
    EXPECT_EQ(std::string(Exception(OUTOFMEMORY, "Unknown", 0, "residue", 3528000).format()),
              "Exception OUTOFMEMORY in file Unknown, line 0\nvariable residue, size 3528000");
    EXPECT_EQ(std::string(Exception(static_cast<ErrorCode>(7), "x.cpp", -12, "whatever", 5).format()),
              "Exception 7 in file x.cpp, line -12");
    try {
        throwDescribed("damaged block %u at byte %llu", 3u, 1ull << 40);
    } catch (const Exception& e) {
        EXPECT_EQ(e.format(), head + "description: damaged block 3 at byte 1099511627776");
    }
    const std::string longName(5000, 'x');
    EXPECT_EQ(Exception(UNKNOWN, "Unknown", 0, longName.c_str(), 0).format(),
              head + "description: " + longName.substr(0, 2047 - head.size() - 13));
    // Room for only three characters of the system text.
    std::string function(
        2047 - 3 - strlen("Exception WRITEERROR in file Unknown, line 0\nfunction , code 28, "), 'f');
    std::string text = Exception(WRITEERROR, "Unknown", 0, function.c_str(), ENOSPC).format();
    EXPECT_EQ(text.size(), 2047u);
    EXPECT_EQ(text.substr(text.size() - 15), "f, code 28, " + std::string(strerror(ENOSPC)).substr(0, 3));
}

}  // namespace
}  // namespace elq
