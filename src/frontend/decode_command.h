// The decode command: one ELQ file back into the WAVE file it was made from.
#pragma once

namespace elq {

// Returns false on any failure, after printing the reason to standard error.
bool decodeFile(const char* source, const char* output);

}  // namespace elq
