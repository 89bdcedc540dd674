#include "frontend/output_name.h"

#include <cstdio>
#include <cstring>

#include "foundation/file.h"
#include "frontend/options.h"

namespace elq {

bool OutputName::build(const char* source, const char* output, const char* extension) {
    size_t stem;
    const char* base;
    if (!output) {
        base = source;
        const char* dot = strrchr(source, '.');
        stem = dot ? static_cast<size_t>(dot - source) : strlen(source);
    } else {
        base = output;
        stem = strlen(output);
        if (strcmp(output, "-") == 0 || endsWithIgnoreCase(output, extension)) extension = "";
    }
    size_t length = stem + strlen(extension);
    if (length >= sizeof text) {
        fputs("Output file name is too long\n", stderr);
        return false;
    }
    memcpy(text, base, stem);
    strcpy(text + stem, extension);
    return true;
}

bool sameFile(const char* source, const char* name) {
    if (strcmp(source, "-") == 0 || strcmp(name, "-") == 0) return false;
    return strcmp(source, name) == 0 || isSameFile(source, name);
}

}  // namespace elq
