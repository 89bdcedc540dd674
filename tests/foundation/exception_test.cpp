#include "foundation/exception.h"

#include <errno.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace elq {
namespace {

TEST(ExceptionReport, DetailLineByCode) {
    const char* names[] = {"FILENOTFOUND", "IOERROR", "READERROR", "", "WRITEERROR"};
    for (ErrorCode code : {FILENOTFOUND, IOERROR, READERROR, WRITEERROR}) {
        EXPECT_EQ(std::string(Exception(code, "Unknown", 0, "ReadFile", ENOENT).format()),
                  "Exception " + std::string(names[code]) +
                      " in file Unknown, line 0\nfunction ReadFile, code 2, " + strerror(ENOENT));
    }
    EXPECT_STREQ(Exception(UNEXPECTEDEOF, "stream.cpp", -12, "readMin", 0).format(),
                 "Exception UNEXPECTEDEOF in file stream.cpp, line -12\nfunction readMin");
    EXPECT_STREQ(Exception(OUTOFMEMORY, "Unknown", 0, "residue", 3528000).format(),
                 "Exception OUTOFMEMORY in file Unknown, line 0\nvariable residue, size 3528000");
    try {
        throwError(UNKNOWN, "incorrect mode value");
    } catch (const Exception& e) {
        EXPECT_STREQ(e.format(),
                     "Exception UNKNOWN in file Unknown, line 0\ndescription: incorrect mode value");
    }
    // A code without a name gives the first line only.
    EXPECT_STREQ(Exception(static_cast<ErrorCode>(7), "Unknown", 0, "whatever", 5).format(),
                 "Exception 7 in file Unknown, line 0");
}

TEST(ExceptionReport, StaysWithinTheReportBuffer) {
    std::string longName(5000, 'x');
    std::string text = Exception(UNKNOWN, "Unknown", 0, longName.c_str(), 0).format();
    std::string start = "Exception UNKNOWN in file Unknown, line 0\ndescription: ";
    EXPECT_EQ(text, start + longName.substr(0, 2047 - start.size()));  // 2048 bytes with the terminator
    // Room for only three characters of the system text: it is cut, not written past the end.
    std::string function(
        2047 - 3 - strlen("Exception WRITEERROR in file Unknown, line 0\nfunction , code 28, "), 'f');
    text = Exception(WRITEERROR, "Unknown", 0, function.c_str(), ENOSPC).format();
    EXPECT_EQ(text.size(), 2047u);
    EXPECT_EQ(text.substr(text.size() - 15), "f, code 28, " + std::string(strerror(ENOSPC)).substr(0, 3));
}

}  // namespace
}  // namespace elq
