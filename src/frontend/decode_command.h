// The decode command: one ELQ file back into the WAVE file it was made from.
#pragma once

#include "frontend/options.h"

namespace elq {

// Returns false on any failure, after printing the reason to standard error. The output appears
// under its name only when complete; a failure leaves a file of that name as it was.
bool decodeFile(const char* source, const char* output, const CommandSettings& settings);

// The test of an ELQ file (--verify): decodes it in full, checks its checksums when it carries
// them and writes nothing; reports the verdict on standard error. False when it is damaged.
bool testFile(const char* source, const CommandSettings& settings);

}  // namespace elq
