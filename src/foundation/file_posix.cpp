// The file layer on POSIX systems: file descriptors stand in for the system handles.
#ifndef _WIN32

#include "foundation/file.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

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

// Started with a console stream closed, the process would get that stream's number for a
// file, and the console messages would be written into the file: move it above them.
int keepOffConsole(int fd) {
    if (fd > STDERR_FILENO) return fd;
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    int error = errno;
    ::close(fd);
    if (moved < 0) throwError(FILENOTFOUND, "CreateFile", static_cast<uint32_t>(error));
    return moved;
}

// Opens a named file; a directory is refused as the system refuses to open one as a file.
int openNamed(const char* name, int flags) {
    int fd;
    do {
        fd = ::open(name, flags | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) throwError(FILENOTFOUND, "CreateFile", static_cast<uint32_t>(errno));
    fd = keepOffConsole(fd);
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

// The temporary output being written, if any: removed by the signal handler below. One output is
// written at a time, so one slot serves the whole process.
char gUnfinishedOutput[4096];
volatile sig_atomic_t gHaveUnfinishedOutput = 0;

void removeUnfinishedOutput(int signalNumber) {
    if (gHaveUnfinishedOutput) unlink(gUnfinishedOutput);
    // The signal ends the process as it would have without us, with the usual exit status.
    signal(signalNumber, SIG_DFL);
    raise(signalNumber);
}

void watchSignals() {
    static bool installed = false;
    if (installed) return;
    installed = true;
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction current;
        // A signal the caller chose to ignore (nohup, a background job) stays ignored.
        if (sigaction(signalNumber, nullptr, &current) != 0 || current.sa_handler == SIG_IGN) continue;
        struct sigaction handler = {};
        handler.sa_handler = removeUnfinishedOutput;
        sigemptyset(&handler.sa_mask);
        sigaction(signalNumber, &handler, nullptr);
    }
}

void setUnfinishedOutput(const char* name) {
    gHaveUnfinishedOutput = 0;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    if (!name) return;
    snprintf(gUnfinishedOutput, sizeof gUnfinishedOutput, "%s", name);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    gHaveUnfinishedOutput = 1;
}

// Blocks the watched signals while a temporary file becomes the output, so that a signal finds
// either the temporary file or the finished output, never a removed output.
class SignalsHeld {
public:
    SignalsHeld() {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGINT);
        sigaddset(&set, SIGTERM);
        sigaddset(&set, SIGHUP);
        pthread_sigmask(SIG_BLOCK, &set, &previous);
    }
    ~SignalsHeld() { pthread_sigmask(SIG_SETMASK, &previous, nullptr); }

private:
    sigset_t previous;
};

void seekHandle(int handle, uint64_t position) {
    if (position > static_cast<uint64_t>(INT64_MAX) ||
        lseek(handle, static_cast<off_t>(position), SEEK_SET) == static_cast<off_t>(-1)) {
        throwError(IOERROR, "SetFilePointer", position > static_cast<uint64_t>(INT64_MAX) ? EINVAL : errno);
    }
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

bool OutputFile::writesInPlace(const char* name) {
    struct stat info;
    return strcmp(name, "-") == 0 || (stat(name, &info) == 0 && !S_ISREG(info.st_mode));
}

void OutputFile::openReplacing(const char* name) {
    if (writesInPlace(name)) {
        openWrite(name);
        return;
    }
    if (watched) watchSignals();
    std::random_device entropy;
    uint32_t serial = entropy() ^ static_cast<uint32_t>(getpid());
    for (int attempt = 0;; ++attempt, serial = serial * 2654435761u + 1) {
        std::string temporary = temporaryNameBeside(name, serial);
        // O_EXCL with O_CREAT never follows a link and never opens a file that exists.
        int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0 && errno == EINTR) continue;
        if (fd < 0 && errno == EEXIST && attempt < 100) continue;
        if (fd < 0) throwError(FILENOTFOUND, "CreateFile", static_cast<uint32_t>(errno));
        if (watched) setUnfinishedOutput(temporary.c_str());
        try {
            handle = keepOffConsole(fd);
            standard = false;
            realName = copyName(temporary.c_str());
            finalName = copyName(name);
        } catch (...) {
            if (isOpen()) ::close(handle);
            handle = InputFile::kInvalidHandle;
            unlink(temporary.c_str());
            if (watched) setUnfinishedOutput(nullptr);
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
    struct stat source;
    if (original && strcmp(original, "-") != 0 && stat(original, &source) == 0) {
        // As archivers do: the copy keeps the original's permissions and times. Failing to set
        // them (a file system without them) does not fail the output.
        (void)fchmod(handle, source.st_mode & 07777);
        const struct timespec times[2] = {source.st_atim, source.st_mtim};
        (void)futimens(handle, times);
    }
    int fd = handle;
    handle = InputFile::kInvalidHandle;
    if (::close(fd) != 0 && errno != EINTR) {
        int error = errno;
        discard();
        throwError(IOERROR, "CloseHandle", static_cast<uint32_t>(error));
    }
    SignalsHeld held;
    if (rename(realName, finalName) != 0) {
        int error = errno;
        discard();
        throwError(IOERROR, "MoveFileEx", static_cast<uint32_t>(error));
    }
    if (watched) setUnfinishedOutput(nullptr);
    release(realName);
    release(finalName);
    realName = finalName = nullptr;
}

void OutputFile::discard() {
    if (isOpen() && !standard) ::close(handle);
    handle = InputFile::kInvalidHandle;
    if (finalName) {
        SignalsHeld held;
        unlink(realName);
        if (watched) setUnfinishedOutput(nullptr);
    }
    release(realName);
    release(finalName);
    realName = finalName = nullptr;
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
    if (finalName) {
        discard();  // never left half-way: an unfinished temporary output goes
        return;
    }
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
