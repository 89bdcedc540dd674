// The info command: one line of the listing per ELQ file.
#pragma once

namespace elq {

// Prints the file's line (and the column heading when `first`); true for a valid header.
bool printFileInfo(const char* name, bool first);

}  // namespace elq
