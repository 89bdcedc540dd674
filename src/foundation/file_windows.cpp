// The file layer on Windows, on the KERNEL32 calls the reports name.
#ifdef _WIN32

#include "foundation/file.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "foundation/allocator.h"
#include "foundation/exception.h"

namespace elq {

namespace {

HANDLE toHandle(FileHandle handle) {
    return reinterpret_cast<HANDLE>(handle);
}

FileHandle fromHandle(HANDLE handle) {
    return reinterpret_cast<FileHandle>(handle);
}

char* copyName(const char* name) {
    size_t length = strlen(name) + 1;
    char* copy = static_cast<char*>(allocate(length));
    if (!copy) throwError(OUTOFMEMORY, "realName", length);
    memcpy(copy, name, length);
    return copy;
}

// Share mode 0: no other process may open the file while it is being coded.
FileHandle openNamed(const char* name, DWORD access, DWORD disposition) {
    HANDLE handle = CreateFileA(name, access, 0, nullptr, disposition, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle == INVALID_HANDLE_VALUE) throwError(FILENOTFOUND, "CreateFile", GetLastError());
    return fromHandle(handle);
}

FileHandle standardHandle(DWORD which, FILE* stream) {
    // The coded bytes go through the system handle untranslated. The C runtime's descriptor of
    // the same stream is put into binary mode too, so that no byte that passes through the
    // runtime beside the handle gets a carriage return inserted or a ^Z taken as its end.
    int descriptor = _fileno(stream);
    if (descriptor >= 0) _setmode(descriptor, _O_BINARY);
    HANDLE handle = GetStdHandle(which);
    if (handle == INVALID_HANDLE_VALUE) throwError(FILENOTFOUND, "GetStdHandle", GetLastError());
    return fromHandle(handle);
}

void closeHandle(FileHandle& handle, bool standard, char*& realName) {
    HANDLE h = toHandle(handle);
    handle = InputFile::kInvalidHandle;
    // The standard handles stay usable for later files of the same run.
    if (!standard && h != INVALID_HANDLE_VALUE && !CloseHandle(h)) {
        throwError(IOERROR, "CloseHandle", GetLastError());
    }
    release(realName);
    realName = nullptr;
}

void seekHandle(FileHandle handle, uint64_t position) {
    // Positions past 2^63 have a negative high part, which the system refuses.
    LONG high = static_cast<LONG>(static_cast<uint32_t>(position >> 32));
    SetLastError(NO_ERROR);
    DWORD low = SetFilePointer(toHandle(handle), static_cast<LONG>(static_cast<uint32_t>(position)), &high,
                               FILE_BEGIN);
    if (low == INVALID_SET_FILE_POINTER) {
        DWORD error = GetLastError();
        if (error != NO_ERROR) throwError(IOERROR, "SetFilePointer", error);
    }
}

// The temporary output being written, if any, removed when the console is interrupted. One
// output is written at a time, so one slot serves the whole process.
char gUnfinishedOutput[MAX_PATH * 4];
volatile HANDLE gUnfinishedHandle = INVALID_HANDLE_VALUE;
volatile LONG gHaveUnfinishedOutput = 0;

BOOL WINAPI removeUnfinishedOutput(DWORD) {
    if (InterlockedExchange(&gHaveUnfinishedOutput, 0)) {
        CloseHandle(gUnfinishedHandle);
        DeleteFileA(gUnfinishedOutput);
    }
    return FALSE;  // then the usual handling ends the process
}

void setUnfinishedOutput(const char* name, HANDLE handle) {
    static bool installed = false;
    if (!installed) installed = SetConsoleCtrlHandler(removeUnfinishedOutput, TRUE) != 0;
    InterlockedExchange(&gHaveUnfinishedOutput, 0);
    if (!name) return;
    snprintf(gUnfinishedOutput, sizeof gUnfinishedOutput, "%s", name);
    gUnfinishedHandle = handle;
    InterlockedExchange(&gHaveUnfinishedOutput, 1);
}

}  // namespace

InputFile::~InputFile() {
    if (isOpen() && !standard) CloseHandle(toHandle(handle));
    release(realName);
}

void InputFile::openRead(const char* name) {
    if (strcmp(name, "-") == 0) {
        handle = standardHandle(STD_INPUT_HANDLE, stdin);
        standard = true;
        return;
    }
    handle = openNamed(name, GENERIC_READ, OPEN_EXISTING);
    standard = false;
    try {
        realName = copyName(name);
    } catch (...) {
        CloseHandle(toHandle(handle));
        handle = kInvalidHandle;
        throw;
    }
}

uint32_t InputFile::read(void* buffer, uint32_t n) {
    uint32_t count = 0;
    while (count < n) {
        DWORD k = 0;
        if (!ReadFile(toHandle(handle), static_cast<char*>(buffer) + count, n - count, &k, nullptr)) {
            DWORD error = GetLastError();
            if (error == ERROR_BROKEN_PIPE) break;  // the writer of a pipe has gone away: end of file
            throwError(READERROR, "ReadFile", error);
        }
        if (k == 0) break;
        count += k;
    }
    return count;
}

uint32_t InputFile::readMin(void* buffer, uint32_t n, uint32_t minimum) {
    uint32_t count = read(buffer, n);
    if (count < minimum) throwError(UNEXPECTEDEOF, "readMin");
    return count;
}

uint64_t InputFile::size() {
    DWORD high = 0;
    // A low part of all ones is also a valid size; only a set error code marks a failure.
    SetLastError(NO_ERROR);
    DWORD low = GetFileSize(toHandle(handle), &high);
    if (low == INVALID_FILE_SIZE) {
        DWORD error = GetLastError();
        if (error != NO_ERROR) throwError(IOERROR, "GetFileSize", error);
    }
    return (static_cast<uint64_t>(high) << 32) | low;
}

void InputFile::seek(uint64_t position) {
    seekHandle(handle, position);
}

void InputFile::close() {
    closeHandle(handle, standard, realName);
}

OutputFile::~OutputFile() {
    discard();
}

void OutputFile::openWrite(const char* name) {
    if (strcmp(name, "-") == 0) {
        handle = standardHandle(STD_OUTPUT_HANDLE, stdout);
        standard = true;
        return;
    }
    handle = openNamed(name, GENERIC_WRITE, CREATE_ALWAYS);
    standard = false;
    try {
        realName = copyName(name);
    } catch (...) {
        CloseHandle(toHandle(handle));
        handle = InputFile::kInvalidHandle;
        throw;
    }
}

bool OutputFile::writesInPlace(const char* name) {
    if (strcmp(name, "-") == 0) return true;
    // An existing device (NUL, a console, a pipe) is written in place.
    HANDLE probe = CreateFileA(name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    if (probe == INVALID_HANDLE_VALUE) return false;
    bool device = GetFileType(probe) != FILE_TYPE_DISK;
    CloseHandle(probe);
    return device;
}

void OutputFile::openReplacing(const char* name) {
    if (writesInPlace(name)) {
        openWrite(name);
        return;
    }
    uint32_t serial = GetTickCount() ^ (GetCurrentProcessId() << 16);
    for (int attempt = 0;; ++attempt, serial = serial * 2654435761u + 1) {
        std::string temporary = temporaryNameBeside(name, serial);
        // Shared for reading: --verify reads the finished file back before it takes its name.
        HANDLE h = CreateFileA(temporary.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            DWORD error = GetLastError();
            if ((error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) && attempt < 100) continue;
            throwError(FILENOTFOUND, "CreateFile", error);
        }
        handle = fromHandle(h);
        standard = false;
        if (watched) setUnfinishedOutput(temporary.c_str(), h);
        try {
            realName = copyName(temporary.c_str());
            finalName = copyName(name);
        } catch (...) {
            if (watched) setUnfinishedOutput(nullptr, INVALID_HANDLE_VALUE);
            CloseHandle(h);
            handle = InputFile::kInvalidHandle;
            DeleteFileA(temporary.c_str());
            release(realName);
            realName = nullptr;
            throw;
        }
        return;
    }
}

void OutputFile::seek(uint64_t position) {
    seekHandle(handle, position);
}

void OutputFile::replace(const char* original) {
    if (!finalName) {
        close();
        return;
    }
    HANDLE h = toHandle(handle);
    if (original && strcmp(original, "-") != 0) {
        // As archivers do: the copy keeps the original's times.
        HANDLE source = CreateFileA(original, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
        FILETIME created, accessed, written;
        if (source != INVALID_HANDLE_VALUE) {
            if (GetFileTime(source, &created, &accessed, &written))
                SetFileTime(h, nullptr, &accessed, &written);
            CloseHandle(source);
        }
    }
    if (watched) setUnfinishedOutput(nullptr, INVALID_HANDLE_VALUE);
    handle = InputFile::kInvalidHandle;
    if (!CloseHandle(h)) {
        DWORD error = GetLastError();
        discard();
        throwError(IOERROR, "CloseHandle", error);
    }
    if (!MoveFileExA(realName, finalName, MOVEFILE_REPLACE_EXISTING)) {
        DWORD error = GetLastError();
        discard();
        throwError(IOERROR, "MoveFileEx", error);
    }
    release(realName);
    release(finalName);
    realName = finalName = nullptr;
}

void OutputFile::discard() {
    if (finalName && watched) setUnfinishedOutput(nullptr, INVALID_HANDLE_VALUE);
    if (isOpen() && !standard) CloseHandle(toHandle(handle));
    handle = InputFile::kInvalidHandle;
    if (finalName) DeleteFileA(realName);
    release(realName);
    release(finalName);
    realName = finalName = nullptr;
}

void OutputFile::write(const void* buffer, uint32_t n) {
    uint32_t done = 0;
    while (done < n) {
        DWORD k = 0;
        if (!WriteFile(toHandle(handle), static_cast<const char*>(buffer) + done, n - done, &k, nullptr)) {
            throwError(WRITEERROR, "WriteFile", GetLastError());
        }
        // A call that succeeds without taking a byte would repeat for ever: the target is full.
        if (k == 0) throwError(WRITEERROR, "WriteFile", ERROR_HANDLE_DISK_FULL);
        done += k;
    }
}

void OutputFile::close() {
    if (finalName) {
        discard();  // never left half-way: an unfinished temporary output goes
        return;
    }
    closeHandle(handle, standard, realName);
}

}  // namespace elq

namespace elq {

namespace {

// Opens a name for querying only: access 0 needs no sharing, so files that are open elsewhere
// (and directories) are identified too.
bool identify(const char* name, BY_HANDLE_FILE_INFORMATION& info) {
    HANDLE handle = CreateFileA(name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    bool known = GetFileInformationByHandle(handle, &info) != 0;
    CloseHandle(handle);
    return known;
}

}  // namespace

bool isSameFile(const char* first, const char* second) {
    BY_HANDLE_FILE_INFORMATION a, b;
    if (!identify(first, a) || !identify(second, b)) return false;
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
           a.nFileIndexLow == b.nFileIndexLow;
}

}  // namespace elq

#endif  // _WIN32
