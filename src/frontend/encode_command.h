// The encode command: one WAVE file into one ELQ file.
#pragma once

#include "frontend/options.h"

namespace elq {

// Returns false on any failure, after printing the reason to standard error.
bool encodeFile(const char* source, const char* output, const CommandSettings& settings);

}  // namespace elq
