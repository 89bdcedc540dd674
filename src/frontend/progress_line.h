// The progress line of one file on standard error, shared by both commands in both their
// sequential and parallel paths.
#pragma once

namespace elq {

// Prints "\r<action> <per cent>%" (the carriage return overwrites the previous print) only when
// the value has moved on by at least one per cent since the last print, and nothing when silent.
class ProgressLine {
public:
    ProgressLine(const char* action, bool silent) : action_(action), silent_(silent) {}

    void show(double percent);

private:
    const char* action_;  // "Compressing" or "Decompressing"
    bool silent_;
    double lastShown_ = 0;
};

}  // namespace elq
