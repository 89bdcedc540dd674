// The decode command: one ELQ file back into the WAVE file it was made from.
#pragma once

#include "frontend/options.h"

namespace elq {

// Returns false on any failure, after printing the reason to standard error.
bool decodeFile(const char* source, const char* output, const CommandSettings& settings);

}  // namespace elq
