// Buffered streams in front of the file handles; all file traffic goes through them.
#pragma once

#include <cstdint>

#include "foundation/digest.h"
#include "foundation/exception.h"
#include "foundation/file.h"

namespace elq {

// Every stream of the program uses this buffer size.
constexpr uint32_t kStreamBufferSize = 16384;

// Bytes that come from elsewhere than a file (the library's read callbacks). Failures raise an
// Exception, as a file's do.
class ByteSource {
public:
    // Reads until `n` bytes or the end; returns the count.
    virtual uint32_t read(void* buffer, uint32_t n) = 0;
    // Sources that cannot seek raise an Exception (READERROR).
    virtual void seek(uint64_t position) = 0;
    // The size in bytes; 0 when it is not known.
    virtual uint64_t size() = 0;

protected:
    ~ByteSource() = default;
};

// Bytes that go elsewhere than a file (the library's write callbacks).
class ByteDestination {
public:
    virtual void write(const void* bytes, uint32_t n) = 0;
    // Destinations that cannot seek raise an Exception (WRITEERROR).
    virtual void seek(uint64_t position) = 0;

protected:
    ~ByteDestination() = default;
};

class InputStream {
public:
    InputStream() = default;
    ~InputStream();
    InputStream(const InputStream&) = delete;
    InputStream& operator=(const InputStream&) = delete;

    void open(const char* name, uint32_t bufferSize = kStreamBufferSize);
    // Reads the `length` bytes at `data` (kept by the caller) instead of a file: their end is the
    // end of the stream, so a read beyond it raises UNEXPECTEDEOF as at the end of a file.
    void openMemory(const uint8_t* data, uint32_t length);
    // Reads `source` (kept by the caller) instead of a file.
    void openSource(ByteSource& source, uint32_t bufferSize = kStreamBufferSize);
    // Makes at least `minimum` unread bytes available; callers call it only when avail < minimum.
    void refill(uint32_t minimum);
    uint8_t getByte() {
        if (avail == 0) refill(1);
        --avail;
        return *cur++;
    }
    uint32_t read(void* buffer, uint32_t n);
    uint32_t readMin(void* buffer, uint32_t n, uint32_t minimum);
    // Little-endian fields, failing with UNEXPECTEDEOF when the file ends inside them.
    uint32_t readU32();
    uint16_t readU16();
    uint64_t position() const { return filePos - avail; }
    // True when no byte is left to read; otherwise at least one byte is buffered.
    bool atEnd();
    void seek(uint64_t position);
    uint64_t size() { return inMemory ? bufferSize : source_ ? source_->size() : file.size(); }
    void close();

    // Adds every byte of the file from the current position on to `crc`, once and in order, up
    // to where the stream is asked to: a byte is added when it leaves the buffer behind the read
    // position, so that bytes read ahead and then sought back over are not added before they are
    // read again. Call digestUpTo(position()) before reading the CRC. Reads then always go through
    // the buffer.
    void startDigest(Crc32* crc);
    void digestUpTo(uint64_t position);
    // False when the stream skipped ahead past bytes it never passed on: the CRC is incomplete.
    bool digestComplete() const { return !digestGap; }

    uint8_t* cur = nullptr;
    uint32_t avail = 0;
    uint8_t* startBuffer = nullptr;
    uint32_t bufferSize = 0;
    uint64_t filePos = 0;
    InputFile file;
    bool inMemory = false;

private:
    uint64_t windowStart() const { return filePos - ((cur - startBuffer) + avail); }
    // The file or the source behind the buffer.
    uint32_t readBehind(void* buffer, uint32_t n) {
        return source_ ? source_->read(buffer, n) : file.read(buffer, n);
    }
    void seekBehind(uint64_t position) { source_ ? source_->seek(position) : file.seek(position); }

    ByteSource* source_ = nullptr;

    Crc32* digest = nullptr;
    uint64_t digestMark = 0;  // the first byte not yet added
    bool digestGap = false;
};

class OutputStream {
public:
    OutputStream() = default;
    ~OutputStream();
    OutputStream(const OutputStream&) = delete;
    OutputStream& operator=(const OutputStream&) = delete;

    void open(const char* name, uint32_t bufferSize = kStreamBufferSize);
    // An output that appears under `name` only when complete (OutputFile::openReplacing).
    void openReplacing(const char* name);
    // Writes into `destination` (kept by the caller) instead of a file.
    void openDestination(ByteDestination& destination);
    void putByte(uint8_t b) {
        if (free == 0) flush();
        *cur++ = b;
        --free;
    }
    void write(const void* buffer, uint32_t n);
    void writeU32(uint32_t v);
    void writeU16(uint16_t v);
    void flush();
    // Writes `n` bytes at the earlier `position`, leaving the stream's own position unchanged
    // (outputs that can seek only).
    void patch(uint64_t position, const void* bytes, uint32_t n);
    void close();
    // Flushes and ends an output opened with openReplacing (OutputFile::replace).
    void replace(const char* original);
    // Drops what is buffered and ends the output; an unfinished temporary file is removed.
    void discard();
    // Bytes handed to the stream so far, buffered ones included.
    uint64_t position() const { return filePos + (bufferSize - free); }

    uint8_t* cur = nullptr;
    uint32_t free = 0;
    uint8_t* startBuffer = nullptr;
    uint32_t bufferSize = 0;
    uint64_t filePos = 0;
    OutputFile file;
    // When set, every byte handed to the file from position digestStart on is added to it, in order.
    Crc32* digest = nullptr;
    uint64_t digestStart = 0;

private:
    void allocateBuffer(uint32_t size);
    // The file or the destination behind the buffer.
    void writeBehind(const void* bytes, uint32_t n) {
        destination_ ? destination_->write(bytes, n) : file.write(bytes, n);
    }
    void seekBehind(uint64_t position) { destination_ ? destination_->seek(position) : file.seek(position); }

    ByteDestination* destination_ = nullptr;
    void releaseBuffer();
    // Adds `n` bytes about to go to the file at filePos to the digest.
    void digestWritten(const uint8_t* bytes, uint32_t n);
};

}  // namespace elq
