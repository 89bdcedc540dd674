// The one exception type of the program and its report text.
#pragma once

#include <cstdint>

namespace elq {

enum ErrorCode : uint32_t {
    FILENOTFOUND = 0,
    IOERROR = 1,
    READERROR = 2,
    UNEXPECTEDEOF = 3,
    WRITEERROR = 4,
    OUTOFMEMORY = 5,
    UNKNOWN = 6,
};

// An UNKNOWN failure whose description is composed printf-style, for reports that name a place
// (a block and its offset).
[[noreturn]] void throwDescribed(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Carries a code and its details; `name` is a static text (system function, variable or
// description). `value` is the system error number or, for OUTOFMEMORY, the requested bytes.
class Exception {
public:
    Exception(ErrorCode code, const char* file, int32_t line, const char* name, uint64_t value)
        : code(code), file(file), line(line), name(name), value(value) {}

    // Renders the report into a per-thread 2048-byte buffer, valid until the next call
    // on the same thread. Never fails and never writes past the buffer.
    const char* format() const;
    // The description of an UNKNOWN failure (or whatever `name` holds for the others).
    const char* description() const { return text[0] ? text : name; }

    ErrorCode code;
    const char* file;
    int32_t line;
    const char* name;
    uint64_t value;

private:
    friend void throwDescribed(const char* format, ...);
    char text[192] = {};  // a description composed at the raise site, used instead of `name`
};

// Every raise site of the program reports file "Unknown" and line 0.
[[noreturn]] void throwError(ErrorCode code, const char* name, uint64_t value = 0);

}  // namespace elq
