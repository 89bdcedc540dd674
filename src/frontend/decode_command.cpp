#include "frontend/decode_command.h"

#include <cstdio>
#include <cstring>

#include "foundation/digest.h"
#include "foundation/exception.h"
#include "foundation/file.h"
#include "foundation/stream.h"
#include "frontend/archive_decoder.h"
#include "frontend/output_name.h"
#include "frontend/progress_line.h"

namespace elq {

namespace {

// The report of a failed decode, with the block a file that ends early ended in.
void printFailure(const Exception& e, const ArchiveDecoder& decoder) {
    fprintf(stderr, "\n%s\n", e.format());
    if (e.code == UNEXPECTEDEOF && decoder.blockInProgress() != 0) {
        fprintf(stderr,
                "The ELQ file ends inside block %u, which starts at byte %llu: it is cut short or damaged.\n",
                decoder.blockInProgress(), static_cast<unsigned long long>(decoder.blockOffset()));
    }
}

bool decompress(const char* source, const char* name, const CommandSettings& settings) {
    InputStream in;
    in.open(source);
    ArchiveDecoder decoder(in);
    // The magic is checked before the output is created, so that a file that is not ours
    // never costs the user an existing file of the output's name.
    if (!decoder.readMagic()) {
        fputs("Not an ELQ file\n", stderr);
        return false;
    }
    OutputStream out;
    out.openReplacing(name);
    StreamSink sink(out);
    ProgressLine line("Decompressing", settings.silent);
    try {
        decoder.decode(sink, settings.threads, line);
    } catch (const TypeNotImplemented&) {
        fputs("Type not implemented\n", stderr);
        return false;
    } catch (const Exception& e) {
        printFailure(e, decoder);
        return false;
    }
    in.close();
    out.replace(source);
    if (!settings.silent) fputs("\rDecompression done.    \n\n", stderr);
    return true;
}

}  // namespace

bool decodeFile(const char* source, const char* output, const CommandSettings& settings) {
    // Standard input needs a named output or "-": there is no name to derive one from.
    if (strcmp(source, "-") == 0 && !output) {
        fputs("Incorrect usage for stdin or stdout\n", stderr);
        return false;
    }
    OutputName name;
    if (!name.build(source, output, ".wav")) return false;
    if (sameFile(source, name.text)) {
        fputs("Source and destination must be different\n", stderr);
        return false;
    }
    if (!settings.silent) {
        fprintf(stderr, "ELQ: <%s>\n", source);
        fprintf(stderr, "WAV: <%s>\n", name.text);
    }
    try {
        return decompress(source, name.text, settings);
    } catch (const Exception& e) {
        fprintf(stderr, "\n%s\n", e.format());
        return false;
    }
}

bool testFile(const char* source, const CommandSettings& settings) {
    if (!settings.silent) fprintf(stderr, "ELQ: <%s>\n", source);
    bool intact = false;
    try {
        InputStream in;
        in.open(source);
        ArchiveDecoder decoder(in);
        if (!decoder.readMagic()) {
            fputs("Not an ELQ file\n", stderr);
        } else {
            Md5Sink sink;
            ProgressLine line("Verifying", settings.silent);
            try {
                decoder.decode(sink, settings.threads, line);
                intact = true;
            } catch (const TypeNotImplemented&) {
                fputs("Type not implemented\n", stderr);
            } catch (const Exception& e) {
                printFailure(e, decoder);
            }
            uint8_t md5[16];
            sink.md5.finish(md5);
            if (intact && decoder.checksummed() && memcmp(md5, decoder.md5(), 16) != 0) {
                fputs("\nThe decoded file does not have the MD5 its checksum section holds.\n", stderr);
                intact = false;
            }
            if (intact && !settings.silent) {
                char hex[33];
                formatMd5(md5, hex);
                if (decoder.checksummed()) {
                    fprintf(stderr, "\rVerified: <%s> is intact, MD5 %s\n\n", source, hex);
                } else {
                    fprintf(stderr, "\rVerified: <%s> decodes completely (it holds no checksums), MD5 %s\n\n",
                            source, hex);
                }
            }
        }
    } catch (const Exception& e) {
        fprintf(stderr, "\n%s\n", e.format());
    }
    if (!intact) fprintf(stderr, "Verification failed: <%s> is damaged\n\n", source);
    return intact;
}

}  // namespace elq
