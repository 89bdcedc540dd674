#include "foundation/exception.h"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#endif

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace elq {

namespace {

constexpr size_t kReportSize = 2048;
thread_local char report[kReportSize];

const char* const kCodeNames[] = {"FILENOTFOUND", "IOERROR",     "READERROR", "UNEXPECTEDEOF",
                                  "WRITEERROR",   "OUTOFMEMORY", "UNKNOWN"};

// Appends to the report; the text is cut at the buffer's end, never written past it.
size_t append(size_t used, const char* text) {
    size_t room = kReportSize - 1 - used;
    size_t n = strnlen(text, room);
    memcpy(report + used, text, n);
    report[used + n] = '\0';
    return used + n;
}

// Appends the system's own text for an error number; returns the end of the report.
size_t appendSystemMessage(size_t used, uint64_t number) {
#ifdef _WIN32
    // Written straight into the rest of the report; a text that does not fit is left out whole.
    DWORD length = FormatMessageA(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK, nullptr,
        static_cast<DWORD>(number), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), report + used,
        static_cast<DWORD>(kReportSize - used), nullptr);
    if (length >= kReportSize - used) length = 0;
    report[used + length] = '\0';
    return used + length;
#else
    char text[512];
    return append(used, strerror_r(static_cast<int>(number), text, sizeof text));
#endif
}

// The system's own text for an error number, with its line breaks removed.
void appendSystemText(size_t used, uint64_t number) {
    size_t end = appendSystemMessage(used, number);
    size_t kept = used;
    for (size_t i = used; i < end; ++i) {
        if (report[i] != '\n' && report[i] != '\r') report[kept++] = report[i];
    }
    report[kept] = '\0';
}

}  // namespace

const char* Exception::format() const {
    char line1[kReportSize];
    if (code <= UNKNOWN) {
        snprintf(line1, sizeof line1, "Exception %s in file %s, line %d", kCodeNames[code], file, line);
    } else {
        snprintf(line1, sizeof line1, "Exception %u in file %s, line %d", static_cast<unsigned>(code), file,
                 line);
    }
    report[0] = '\0';
    size_t used = append(0, line1);
    char detail[kReportSize];
    switch (code) {
        case FILENOTFOUND:
        case IOERROR:
        case READERROR:
        case WRITEERROR:
            snprintf(detail, sizeof detail, "\nfunction %s, code %llu, ", name,
                     static_cast<unsigned long long>(value));
            used = append(used, detail);
            appendSystemText(used, value);
            break;
        case UNEXPECTEDEOF:
            snprintf(detail, sizeof detail, "\nfunction %s", name);
            append(used, detail);
            break;
        case OUTOFMEMORY:
            snprintf(detail, sizeof detail, "\nvariable %s, size %llu", name,
                     static_cast<unsigned long long>(value));
            append(used, detail);
            break;
        case UNKNOWN:
            snprintf(detail, sizeof detail, "\ndescription: %s", text[0] ? text : name);
            append(used, detail);
            break;
    }
    return report;
}

void throwError(ErrorCode code, const char* name, uint64_t value) {
    throw Exception(code, "Unknown", 0, name, value);
}

void throwDescribed(const char* format, ...) {
    Exception e(UNKNOWN, "Unknown", 0, "", 0);
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(e.text, sizeof e.text, format, arguments);
    va_end(arguments);
    throw e;
}

}  // namespace elq
