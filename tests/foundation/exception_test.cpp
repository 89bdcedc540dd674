#include "foundation/exception.h"

#include <errno.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace elq {
namespace {

TEST(ExceptionReport, DetailLineByCode) {
    const std::string head = "Exception UNKNOWN in file Unknown, line 0\n", system = strerror(ENOENT);
    const std::pair<Exception, std::string> cases[] = {
        {{FILENOTFOUND, "Unknown", 0, "CreateFile", ENOENT},
         "Exception FILENOTFOUND in file Unknown, line 0\nfunction CreateFile, code 2, " + system},
        {{WRITEERROR, "Unknown", 0, "WriteFile", ENOENT},
         "Exception WRITEERROR in file Unknown, line 0\nfunction WriteFile, code 2, " + system},
        {{UNEXPECTEDEOF, "stream.cpp", -12, "readMin", 0},
         "Exception UNEXPECTEDEOF in file stream.cpp, line -12\nfunction readMin"},
        {{OUTOFMEMORY, "Unknown", 0, "residue", 3528000},
         "Exception OUTOFMEMORY in file Unknown, line 0\nvariable residue, size 3528000"},
        {{UNKNOWN, "Unknown", 0, "incorrect mode value", 0}, head + "description: incorrect mode value"},
        {{static_cast<ErrorCode>(7), "Unknown", 0, "whatever", 5}, "Exception 7 in file Unknown, line 0"}};
    for (const auto& [exception, text] : cases)
        EXPECT_EQ(exception.format(), text);
    try {
        throwDescribed("damaged block %u at byte %llu", 3u, 1ull << 40);
    } catch (const Exception& e) {
        EXPECT_EQ(e.format(), head + "description: damaged block 3 at byte 1099511627776");
    }
    // The report buffer holds 2048 bytes with the terminator: long texts are cut, not written past it.
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
