#include "foundation/exception.h"

#include <errno.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace elq {
namespace {

std::string firstLine(const char* codeName) {
    return "Exception " + std::string(codeName) + " in file Unknown, line 0";
}

TEST(ExceptionReport, SystemCallCodesNameFunctionNumberAndSystemText) {
    const char* names[] = {"FILENOTFOUND", "IOERROR", "READERROR", "", "WRITEERROR"};
    for (ErrorCode code : {FILENOTFOUND, IOERROR, READERROR, WRITEERROR}) {
        EXPECT_EQ(std::string(Exception(code, "Unknown", 0, "ReadFile", ENOENT).format()),
                  firstLine(names[code]) + "\nfunction ReadFile, code 2, " + strerror(ENOENT));
    }
}

TEST(ExceptionReport, DetailLineByCode) {
    EXPECT_STREQ(Exception(UNEXPECTEDEOF, "stream.cpp", -12, "readMin", 0).format(),
                 "Exception UNEXPECTEDEOF in file stream.cpp, line -12\nfunction readMin");
    // A failed allocation of the residue buffer of an 882000-sample block.
    EXPECT_STREQ(Exception(OUTOFMEMORY, "Unknown", 0, "residue", 3528000).format(),
                 "Exception OUTOFMEMORY in file Unknown, line 0\nvariable residue, size 3528000");
    try {
        throwError(UNKNOWN, "incorrect mode value");
    } catch (const Exception& e) {
        EXPECT_STREQ(e.format(),
                     "Exception UNKNOWN in file Unknown, line 0\ndescription: incorrect mode value");
    }
    // A code without a name gives the first line only.
    std::string text = Exception(static_cast<ErrorCode>(7), "Unknown", 0, "whatever", 5).format();
    EXPECT_EQ(text.rfind("Exception ", 0), 0u);
    EXPECT_EQ(text.find('\n'), std::string::npos);
    EXPECT_EQ(text.find("whatever"), std::string::npos);
}

TEST(ExceptionReport, StaysWithinTheReportBuffer) {
    std::string longName(5000, 'x');
    std::string text = Exception(UNKNOWN, "Unknown", 0, longName.c_str(), 0).format();
    EXPECT_EQ(text.size(), 2047u);  // 2048 bytes with the terminator
    EXPECT_EQ(text.rfind(firstLine("UNKNOWN") + "\ndescription: xxx", 0), 0u);

    text = Exception(READERROR, longName.c_str(), 0, "ReadFile", EIO).format();
    EXPECT_EQ(text.size(), 2047u);
    EXPECT_EQ(text.find('\n'), std::string::npos);  // the detail line no longer fits

    // Room for only the first three characters of the system text: it is cut, not written past the end.
    std::string function(
        2047 - 3 - strlen("Exception WRITEERROR in file Unknown, line 0\nfunction , code 28, "), 'f');
    text = Exception(WRITEERROR, "Unknown", 0, function.c_str(), ENOSPC).format();
    ASSERT_EQ(ENOSPC, 28);
    std::string ending = "f, code 28, " + std::string(strerror(ENOSPC)).substr(0, 3);
    EXPECT_EQ(text.size(), 2047u);
    EXPECT_EQ(text.substr(text.size() - ending.size()), ending);
}

}  // namespace
}  // namespace elq
