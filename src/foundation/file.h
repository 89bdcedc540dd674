// Unbuffered file handles. Failures raise Exception with the name of the system
// function they stand for ("CreateFile", "ReadFile", ...) and the system error number.
#pragma once

#include <cstdint>
#include <string>

namespace elq {

#ifdef _WIN32
// A system HANDLE, held as its integer value so that the invalid handle (all bits set) is a constant.
using FileHandle = intptr_t;
#else
using FileHandle = int;  // a file descriptor
#endif

class InputFile {
public:
    InputFile() = default;
    ~InputFile();  // closes a handle still open, silently, and frees realName
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    // "-" is standard input.
    void openRead(const char* name);
    // Reads until `n` bytes or the end of the file; returns the count.
    uint32_t read(void* buffer, uint32_t n);
    // As read, but fewer than `minimum` bytes raise UNEXPECTEDEOF ("readMin").
    uint32_t readMin(void* buffer, uint32_t n, uint32_t minimum);
    uint64_t size();
    void seek(uint64_t position);
    void close();

    bool isOpen() const { return handle != kInvalidHandle; }

    static constexpr FileHandle kInvalidHandle = -1;
    char* realName = nullptr;
    FileHandle handle = kInvalidHandle;
    bool standard = false;
};

class OutputFile {
public:
    OutputFile() = default;
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // "-" is standard output; an existing file is truncated.
    void openWrite(const char* name);
    // Opens an output that appears under `name` only when it is complete. A new temporary file
    // is created exclusively in the same folder (never an existing name, never through a link);
    // replace() renames it over `name`, and until then a file of that name stays as it is. On
    // SIGINT, SIGTERM or SIGHUP the temporary file is removed before the signal takes its usual
    // course. Standard output ("-") and an existing output that is not a regular file (a device,
    // a pipe) are written in place, as openWrite does.
    void openReplacing(const char* name);
    // True when openReplacing(name) would write in place: standard output, or an existing file
    // that is not a regular file. Such an output can be neither sought back in nor read back.
    static bool writesInPlace(const char* name);
    void write(const void* buffer, uint32_t n);
    // Sets the position of the next write (outputs that can seek only).
    void seek(uint64_t position);
    // Ends an output opened with openReplacing: closes it and, for a temporary file, gives it
    // the permission bits and times of the file `original` (the default bits when it is null or
    // "-"), then renames it over its final name.
    void replace(const char* original);
    // Closes the output; a temporary file that has not replaced its final name is removed.
    // The destructor does the same.
    void discard();
    void close();

    bool isOpen() const { return handle != InputFile::kInvalidHandle; }
    // The temporary file's name while one is being written, else null.
    const char* temporaryName() const { return finalName ? realName : nullptr; }

    // False leaves a temporary file out of the process-wide slot of the signal handlers, and
    // installs none: the library's callers own their signals and may write outputs on several
    // threads at once. Set before openReplacing.
    bool watched = true;
    char* realName = nullptr;   // the name opened: the temporary file's while there is one
    char* finalName = nullptr;  // the name a temporary file replaces
    FileHandle handle = InputFile::kInvalidHandle;
    bool standard = false;
};

}  // namespace elq

namespace elq {

// The name of a temporary file for `name` in the same folder, so that a rename stays within one
// file system: ".<name>.XXXXXX", the six characters drawn from `serial`; a long name is cut to keep
// within the systems' limits. Shared by both platform layers.
std::string temporaryNameBeside(const char* name, uint32_t serial);

// True when both names lead to one existing file (hard links and other spellings included).
bool isSameFile(const char* first, const char* second);

}  // namespace elq
