#include "frontend/encode_command.h"

#include <cstdio>

namespace elq {

bool encodeFile(const char*, const char*, const EncoderSettings&) {
    fputs("Encoding is not available in this build yet\n", stderr);
    return false;
}

}  // namespace elq
