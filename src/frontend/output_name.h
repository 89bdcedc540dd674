// Output file names of the encode and decode commands.
#pragma once

namespace elq {

// A name of at most 299 characters, built from the source name or the given output name.
struct OutputName {
    char text[300];

    // Without `output`: the source cut at its last "." plus `extension`. With one: `output`
    // unchanged when it ends with `extension` (any letter case) or is "-", else with it appended.
    // A name that does not fit is refused with a message; returns false then.
    bool build(const char* source, const char* output, const char* extension);
};

// True when `source` and the output `name` are one file (the same name, another spelling, a hard
// link). "-" is standard input as a source and standard output as an output: never the same.
bool sameFile(const char* source, const char* name);

}  // namespace elq
