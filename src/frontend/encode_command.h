// The encode command: one WAVE file into one ELQ file.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/stream.h"
#include "frontend/options.h"
#include "frontend/progress_line.h"
#include "wave/wave_reader.h"

namespace elq {

// Returns false on any failure, after printing the reason to standard error.
bool encodeFile(const char* source, const char* output, const CommandSettings& settings);

// The core the command and the library share: one opened WAVE source into one ELQ file.

// The encoder settings with the defaults in place of those not given.
EncoderSettings withDefaults(EncoderSettings settings);

// Why the opened `reader` cannot be encoded, as the text the command prints, or null when it can:
// the channels, the sample type, and a length that an output which cannot be gone back to
// (`canGoBack` false) needs first.
const char* unencodableReason(const WaveReader& reader, bool canGoBack);

// Where encodeArchive writes, and what it checks and computes on the way.
struct ArchiveTarget {
    OutputStream& out;
    bool canGoBack;     // a stream's real total is filled in at the end by going back
    bool verifyBlocks;  // each coded block is decoded again and compared with its samples
    bool wantMd5;       // the MD5 of the whole WAVE file is computed
};

// A failure encodeArchive reports in the command's own words rather than as an Exception.
struct EncodeFailure {
    std::string text;
};

// Encodes the opened `reader` (one unencodableReason passes) into `target.out`: the header, the
// blocks (on command.threads workers), "TAIL", the real total where it differs, and the checksum
// section with command.crc. command.encoder must have its defaults (withDefaults). Progress goes
// to `line`; unless command.silent, the end of the blocks is announced on standard error. With
// `wantMd5` or command.crc, `md5` receives the WAVE file's MD5. Raises Exception or EncodeFailure.
void encodeArchive(WaveReader& reader, const CommandSettings& command, const ArchiveTarget& target,
                   ProgressLine& line, uint8_t md5[16]);

}  // namespace elq
