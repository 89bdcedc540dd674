// The whole run of the program behind main: start-up, command line, per-file dispatch.
#pragma once

#include <cfenv>

namespace elq {

// Sets up the process (floating-point mode, console streams, broken pipes reported as write
// errors), parses the command line and runs one command per source file. Returns the exit code:
// 0 success, 1 a failed file or a bad command line, 2 an unexpected exception, 3 no arguments.
int runProgram(int argc, const char* const* argv);

// IEEE double arithmetic with round to nearest and no trapping, on the calling thread: encoder
// and decoder must produce bit-identical doubles on every thread.
void setFloatingPointMode();

// The floating-point mode of setFloatingPointMode for the lifetime of the scope, and the calling
// thread's own mode (rounding, traps, x87 precision) back at its end: the library's calls run
// inside one, so that they neither depend on nor change their caller's mode.
class FloatingPointScope {
public:
    FloatingPointScope();
    ~FloatingPointScope();
    FloatingPointScope(const FloatingPointScope&) = delete;
    FloatingPointScope& operator=(const FloatingPointScope&) = delete;

private:
    fenv_t saved_;
};

}  // namespace elq
