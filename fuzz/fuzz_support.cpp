#include "fuzz_support.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "frontend/decode_command.h"
#include "frontend/encode_command.h"
#include "support/temp_dir.h"

namespace elq::fuzz {

CommandSettings quietSettings(const EncoderSettings& encoder) {
    return {.silent = true, .threads = threadCount(0), .encoder = encoder};
}

void fail(const char* what, const char* file, int line) {
    fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", what, file, line);
    abort();
}

const char* memoryFile(std::span<const uint8_t> bytes) {
    static const int fd = memfd_create("elq-fuzz", MFD_CLOEXEC);
    static const std::string path = "/proc/self/fd/" + std::to_string(fd);
    if (fd < 0 || ftruncate(fd, 0) != 0 ||
        pwrite(fd, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size()))
        fail("filling the memory file", __FILE__, __LINE__);
    return path.c_str();
}

const std::string& scratchDirectory() {
    static const test::TempDir scratch;
    static const std::string path = scratch.path("");
    return path;
}

Bytes readFile(const std::string& path) {
    const std::string bytes = test::readWholeFile(path);
    return Bytes(bytes.begin(), bytes.end());
}

void writeFile(const std::string& path, std::span<const uint8_t> bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) fail("writing a scratch file", __FILE__, __LINE__);
}

void checkRoundTrip(std::span<const uint8_t> wave, const CommandSettings& quiet,
                    std::span<const uint8_t> expected) {
    const std::string dir = scratchDirectory(), source = dir + "in.wav", first = dir + "first.elq",
                      second = dir + "second.elq", decoded = dir + "decoded.wav";
    writeFile(source, wave);
    FUZZ_CHECK(encodeFile(source.c_str(), first.c_str(), quiet));
    FUZZ_CHECK(decodeFile(first.c_str(), decoded.c_str(), quiet));
    FUZZ_CHECK(std::ranges::equal(readFile(decoded), expected));
    FUZZ_CHECK(encodeFile(source.c_str(), second.c_str(), quiet));
    FUZZ_CHECK(readFile(first) == readFile(second));
}

}  // namespace elq::fuzz
