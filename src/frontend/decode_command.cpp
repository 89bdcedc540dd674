#include "frontend/decode_command.h"

#include <cstdio>

namespace elq {

bool decodeFile(const char*, const char*) {
    fputs("Decoding is not available in this build yet\n", stderr);
    return false;
}

}  // namespace elq
