#include "frontend/program.h"

#include <cfenv>
#include <csignal>
#include <cstdio>

#include "foundation/exception.h"
#include "frontend/decode_command.h"
#include "frontend/encode_command.h"
#include "frontend/info_command.h"
#include "frontend/options.h"

namespace elq {

void setFloatingPointMode() {
    fesetround(FE_TONEAREST);
#if defined(__GLIBC__)
    fedisableexcept(FE_ALL_EXCEPT);
#endif
#if defined(__i386__)
    // An x87 unit must round every result to a 53-bit significand, not to its 64-bit default.
    const unsigned short controlWord = 0x027F;
    __asm__ volatile("fldcw %0" : : "m"(controlWord));
#endif
    feclearexcept(FE_ALL_EXCEPT);
}

FloatingPointScope::FloatingPointScope() {
    // The environment holds the rounding mode, the trap mask, the flags and, on x86, the x87
    // control word with its precision.
    fegetenv(&saved_);
    setFloatingPointMode();
}

FloatingPointScope::~FloatingPointScope() {
    fesetenv(&saved_);
}

namespace {

constexpr const char* kContactAddress = "elq@velmaro.example";

void setUpProcess() {
    setFloatingPointMode();
    // Writing into a closed pipe must fail as a WRITEERROR report, not end the process silently
    // (Windows has no such signal; a write into a closed pipe simply fails there).
#ifdef SIGPIPE
    signal(SIGPIPE, SIG_IGN);
#endif
    // Progress lines must show at once.
    setvbuf(stdout, nullptr, _IONBF, 0);
    setvbuf(stderr, nullptr, _IONBF, 0);
}

int dispatch(int argc, const char* const* argv) {
    if (argc <= 1) {
        printUsage(stderr);
        return 3;
    }
    parseCommandLine(argc, argv);
    const ProgramOptions& options = programOptions();
    if (options.help == 1) {
        printUsage(stdout);
        return 0;
    }
    if (!options.silent) printBanner(stderr);
    CommandSettings settings;
    settings.silent = options.silent != 0;
    settings.verbose = options.verbose != 0;
    settings.threads = threadCount(options.threads);
    settings.verify = options.verify == 1;
    settings.crc = options.crc == 1;
    settings.ignoreChunkSizes = options.ignoreChunkSizes == 1;
    settings.encoder = options.settings;

    for (int i = 0; i < options.sourceCount; ++i) {
        const char* source = options.sources[i];
        const char* output = options.outputs[i];
        if (options.info == 1) {
            printFileInfo(source, i == 0);  // a listing never changes the exit code
        } else if (options.encode == 1 || endsWithIgnoreCase(source, ".wav")) {
            if (!encodeFile(source, output, settings)) return 1;
        } else if (options.decode == 1 || endsWithIgnoreCase(source, ".elq")) {
            // With --verify an ELQ file is tested: decoded in full, nothing written.
            if (!(options.verify == 1 ? testFile(source, settings) : decodeFile(source, output, settings)))
                return 1;
        } else {
            fprintf(stderr, "Not yet implemented or unspecified operation for <%s>\n", source);
            return 1;
        }
    }
    return 0;
}

}  // namespace

int runProgram(int argc, const char* const* argv) {
    try {
        setUpProcess();
        return dispatch(argc, argv);
    } catch (const Exception& e) {
        fprintf(stderr, "\n<%s>\n", e.format());
        return 1;
    } catch (...) {
        fprintf(stderr, "\n\nUncaught exception; please report the problem to %s\n", kContactAddress);
        return 2;
    }
}

}  // namespace elq
