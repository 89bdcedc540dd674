#include "foundation/exception.h"

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

// The system's own text for an error number, with its line breaks removed.
void appendSystemText(size_t used, uint64_t number) {
    char text[512];
    const char* message = strerror_r(static_cast<int>(number), text, sizeof text);
    size_t end = append(used, message);
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
            snprintf(detail, sizeof detail, "\nfunction %s, code %lu, ", name,
                     static_cast<unsigned long>(value));
            used = append(used, detail);
            appendSystemText(used, value);
            break;
        case UNEXPECTEDEOF:
            snprintf(detail, sizeof detail, "\nfunction %s", name);
            append(used, detail);
            break;
        case OUTOFMEMORY:
            snprintf(detail, sizeof detail, "\nvariable %s, size %lu", name,
                     static_cast<unsigned long>(value));
            append(used, detail);
            break;
        case UNKNOWN:
            snprintf(detail, sizeof detail, "\ndescription: %s", name);
            append(used, detail);
            break;
    }
    return report;
}

void throwError(ErrorCode code, const char* name, uint64_t value) {
    throw Exception(code, "Unknown", 0, name, value);
}

}  // namespace elq
