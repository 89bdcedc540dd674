// The file layer on POSIX systems: file descriptors stand in for the system handles.
#ifndef _WIN32

#include "foundation/file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "foundation/allocator.h"
#include "foundation/exception.h"

namespace elq {

namespace {

char* copyName(const char* name) {
    size_t length = strlen(name) + 1;
    char* copy = static_cast<char*>(allocate(length));
    if (!copy) throwError(OUTOFMEMORY, "realName", length);
    memcpy(copy, name, length);
    return copy;
}

// Opens a named file; a directory is refused as the system refuses to open one as a file.
int openNamed(const char* name, int flags) {
    int fd;
    do {
        fd = ::open(name, flags | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) throwError(FILENOTFOUND, "CreateFile", static_cast<uint32_t>(errno));
    // Started with a console stream closed, the process would get that stream's number for the
    // file, and the console messages would be written into the file.
    if (fd <= STDERR_FILENO) {
        int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        int error = errno;
        ::close(fd);
        if (moved < 0) throwError(FILENOTFOUND, "CreateFile", static_cast<uint32_t>(error));
        fd = moved;
    }
    struct stat info;
    if (fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
        ::close(fd);
        throwError(FILENOTFOUND, "CreateFile", EISDIR);
    }
    return fd;
}

void closeHandle(int& handle, bool standard, char*& realName) {
    int fd = handle;
    handle = InputFile::kInvalidHandle;
    // The standard streams stay usable for later files of the same run.
    if (!standard && fd >= 0 && ::close(fd) != 0 && errno != EINTR) {
        throwError(IOERROR, "CloseHandle", static_cast<uint32_t>(errno));
    }
    release(realName);
    realName = nullptr;
}

}  // namespace

InputFile::~InputFile() {
    if (isOpen() && !standard) ::close(handle);
    release(realName);
}

void InputFile::openRead(const char* name) {
    if (strcmp(name, "-") == 0) {
        handle = STDIN_FILENO;
        standard = true;
        return;
    }
    handle = openNamed(name, O_RDONLY);
    standard = false;
    try {
        realName = copyName(name);
    } catch (...) {
        ::close(handle);
        handle = kInvalidHandle;
        throw;
    }
}

uint32_t InputFile::read(void* buffer, uint32_t n) {
    uint32_t count = 0;
    while (count < n) {
        ssize_t k = ::read(handle, static_cast<char*>(buffer) + count, n - count);
        if (k > 0) {
            count += static_cast<uint32_t>(k);
        } else if (k == 0) {
            break;  // end of file, or the writer of a pipe has gone away
        } else if (errno == EINTR) {
            continue;
        } else if (errno == EPIPE) {
            break;
        } else {
            throwError(READERROR, "ReadFile", static_cast<uint32_t>(errno));
        }
    }
    return count;
}

uint32_t InputFile::readMin(void* buffer, uint32_t n, uint32_t minimum) {
    uint32_t count = read(buffer, n);
    if (count < minimum) throwError(UNEXPECTEDEOF, "readMin");
    return count;
}

uint64_t InputFile::size() {
    struct stat info;
    if (fstat(handle, &info) != 0) throwError(IOERROR, "GetFileSize", static_cast<uint32_t>(errno));
    return static_cast<uint64_t>(info.st_size);
}

void InputFile::seek(uint64_t position) {
    if (position > static_cast<uint64_t>(INT64_MAX) ||
        lseek(handle, static_cast<off_t>(position), SEEK_SET) == static_cast<off_t>(-1)) {
        throwError(IOERROR, "SetFilePointer", position > static_cast<uint64_t>(INT64_MAX) ? EINVAL : errno);
    }
}

void InputFile::close() {
    closeHandle(handle, standard, realName);
}

OutputFile::~OutputFile() {
    if (isOpen() && !standard) ::close(handle);
    release(realName);
}

void OutputFile::openWrite(const char* name) {
    if (strcmp(name, "-") == 0) {
        handle = STDOUT_FILENO;
        standard = true;
        return;
    }
    handle = openNamed(name, O_WRONLY | O_CREAT | O_TRUNC);
    standard = false;
    try {
        realName = copyName(name);
    } catch (...) {
        ::close(handle);
        handle = InputFile::kInvalidHandle;
        throw;
    }
}

void OutputFile::write(const void* buffer, uint32_t n) {
    uint32_t done = 0;
    while (done < n) {
        ssize_t k = ::write(handle, static_cast<const char*>(buffer) + done, n - done);
        if (k > 0) {
            done += static_cast<uint32_t>(k);
        } else if (k < 0 && errno == EINTR) {
            continue;
        } else {
            throwError(WRITEERROR, "WriteFile", k < 0 ? static_cast<uint32_t>(errno) : ENOSPC);
        }
    }
}

void OutputFile::close() {
    closeHandle(handle, standard, realName);
}

}  // namespace elq

namespace elq {

bool isSameFile(const char* first, const char* second) {
    struct stat a, b;
    if (stat(first, &a) != 0 || stat(second, &b) != 0) return false;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace elq

#endif  // _WIN32
