#include "fuzz_support.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "frontend/options.h"

namespace elq::fuzz {

void prepareProcess() {
    programOptions() = ProgramOptions{};
    programOptions().silent = 1;
}

void fail(const char* what, const char* file, int line) {
    fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", what, file, line);
    abort();
}

MemoryFile::MemoryFile() : fd_(memfd_create("elq-fuzz", MFD_CLOEXEC)) {
    if (fd_ < 0) fail("memfd_create", __FILE__, __LINE__);
    path_ = "/proc/self/fd/" + std::to_string(fd_);
}

MemoryFile::~MemoryFile() {
    close(fd_);
}

void MemoryFile::assign(const uint8_t* data, size_t size) {
    if (ftruncate(fd_, 0) != 0 || lseek(fd_, 0, SEEK_SET) != 0)
        fail("resetting the memory file", __FILE__, __LINE__);
    size_t done = 0;
    while (done < size) {
        ssize_t n = write(fd_, data + done, size - done);
        if (n <= 0) fail("filling the memory file", __FILE__, __LINE__);
        done += static_cast<size_t>(n);
    }
}

namespace {

struct Scratch {
    std::string path;
    Scratch() {
        const char* base = getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/elq-fuzz-XXXXXX";
        if (!mkdtemp(pattern.data())) fail("mkdtemp", __FILE__, __LINE__);
        path = pattern;
    }
    ~Scratch() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
};

}  // namespace

const std::string& scratchDirectory() {
    static Scratch scratch;
    return scratch.path;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const uint8_t* data, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out) fail("writing a scratch file", __FILE__, __LINE__);
}

}  // namespace elq::fuzz
