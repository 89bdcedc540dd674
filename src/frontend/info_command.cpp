#include "frontend/info_command.h"

#include <cstdio>

namespace elq {

bool printFileInfo(const char*, bool) {
    fputs("Listing is not available in this build yet\n", stderr);
    return false;
}

}  // namespace elq
