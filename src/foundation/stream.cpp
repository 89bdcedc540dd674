#include "foundation/stream.h"

#include <cstring>

#include "foundation/allocator.h"

namespace elq {

InputStream::~InputStream() {
    if (!inMemory) release(startBuffer);
}

void InputStream::open(const char* name, uint32_t size) {
    file.openRead(name);
    startBuffer = static_cast<uint8_t*>(allocate(size));
    if (!startBuffer) throwError(OUTOFMEMORY, "startBuffer", size);
    bufferSize = size;
    filePos = 0;
    cur = startBuffer;
    avail = 0;
}

void InputStream::openMemory(const uint8_t* data, uint32_t length) {
    // The whole memory is the window, already "read": position() starts at 0.
    startBuffer = const_cast<uint8_t*>(data);
    cur = startBuffer;
    avail = length;
    bufferSize = length;
    filePos = length;
    inMemory = true;
}

void InputStream::openSource(ByteSource& source, uint32_t size) {
    startBuffer = static_cast<uint8_t*>(allocate(size));
    if (!startBuffer) throwError(OUTOFMEMORY, "startBuffer", size);
    source_ = &source;
    bufferSize = size;
    filePos = 0;
    cur = startBuffer;
    avail = 0;
}

void InputStream::refill(uint32_t minimum) {
    if (inMemory) throwError(UNEXPECTEDEOF, "readMin");  // everything there is is buffered
    if (digest) digestUpTo(position());                  // the consumed bytes are about to go
    memmove(startBuffer, cur, avail);
    cur = startBuffer;
    uint32_t count = readBehind(startBuffer + avail, bufferSize - avail);
    if (count < minimum - avail) throwError(UNEXPECTEDEOF, "readMin");
    filePos += count;
    avail += count;
}

uint32_t InputStream::read(void* buffer, uint32_t n) {
    if (n == 0) return 0;
    uint32_t k = n < avail ? n : avail;
    memcpy(buffer, cur, k);
    if (k == n) {
        cur += n;
        avail -= n;
        return n;
    }
    uint32_t had = avail;
    if (inMemory) {
        cur += had;
        avail = 0;
        return had;
    }
    if (digest) {
        // Through the buffer, so that bytes read ahead and sought back over are added only once
        // they are read again or passed.
        cur += had;
        avail = 0;
        uint32_t got = had;
        while (got < n && !atEnd()) {
            const uint32_t take = n - got < avail ? n - got : avail;
            memcpy(static_cast<uint8_t*>(buffer) + got, cur, take);
            cur += take;
            avail -= take;
            got += take;
        }
        return got;
    }
    uint32_t count = readBehind(static_cast<uint8_t*>(buffer) + had, n - had);
    filePos += count;
    cur = startBuffer;
    avail = 0;
    return had + count;
}

bool InputStream::atEnd() {
    if (avail > 0) return false;
    if (inMemory) return true;
    if (digest) digestUpTo(position());
    cur = startBuffer;
    avail = readBehind(startBuffer, bufferSize);
    filePos += avail;
    return avail == 0;
}

uint32_t InputStream::readMin(void* buffer, uint32_t n, uint32_t minimum) {
    uint32_t count = read(buffer, n);
    if (count < minimum) throwError(UNEXPECTEDEOF, "readMin");
    return count;
}

uint32_t InputStream::readU32() {
    if (avail < 4) refill(4);
    uint32_t v = static_cast<uint32_t>(cur[0]) | static_cast<uint32_t>(cur[1]) << 8 |
                 static_cast<uint32_t>(cur[2]) << 16 | static_cast<uint32_t>(cur[3]) << 24;
    cur += 4;
    avail -= 4;
    return v;
}

uint16_t InputStream::readU16() {
    if (avail < 2) refill(2);
    uint16_t v = static_cast<uint16_t>(cur[0] | cur[1] << 8);
    cur += 2;
    avail -= 2;
    return v;
}

void InputStream::seek(uint64_t position) {
    uint64_t windowLength = static_cast<uint64_t>(cur - startBuffer) + avail;
    uint64_t windowStart = filePos - windowLength;
    if (windowStart <= position && position <= filePos) {
        uint64_t offset = position - windowStart;
        cur = startBuffer + offset;
        avail = static_cast<uint32_t>(windowLength - offset);
        return;
    }
    if (inMemory) {  // beyond the end: nothing left to read
        cur = startBuffer + bufferSize;
        avail = 0;
        return;
    }
    if (digest) {
        // Bytes between the target and the position are read again later: not added yet.
        digestUpTo(position < this->position() ? position : this->position());
        if (position > digestMark) digestGap = true;
    }
    seekBehind(position);
    filePos = position;
    cur = startBuffer;
    avail = 0;
}

void InputStream::startDigest(Crc32* crc) {
    digest = crc;
    digestMark = position();
    digestGap = false;
}

void InputStream::digestUpTo(uint64_t end) {
    if (!digest || end <= digestMark) return;
    const uint64_t start = windowStart();
    if (digestMark < start || end > filePos) {
        digestGap = true;
        return;
    }
    digest->update(startBuffer + (digestMark - start), end - digestMark);
    digestMark = end;
}

void InputStream::close() {
    file.close();
    source_ = nullptr;
    if (!inMemory) release(startBuffer);
    inMemory = false;
    startBuffer = nullptr;
    cur = nullptr;
    avail = 0;
}

OutputStream::~OutputStream() {
    release(startBuffer);
}

void OutputStream::open(const char* name, uint32_t size) {
    file.openWrite(name);
    allocateBuffer(size);
}

void OutputStream::openReplacing(const char* name) {
    file.openReplacing(name);
    allocateBuffer(kStreamBufferSize);
}

void OutputStream::openDestination(ByteDestination& destination) {
    destination_ = &destination;
    allocateBuffer(kStreamBufferSize);
}

void OutputStream::allocateBuffer(uint32_t size) {
    startBuffer = static_cast<uint8_t*>(allocate(size));
    if (!startBuffer) throwError(OUTOFMEMORY, "startBuffer", size);
    bufferSize = size;
    free = size;
    filePos = 0;
    cur = startBuffer;
}

void OutputStream::flush() {
    if (free == bufferSize) return;
    uint32_t n = bufferSize - free;
    digestWritten(startBuffer, n);
    writeBehind(startBuffer, n);
    filePos += n;
    free = bufferSize;
    cur = startBuffer;
}

void OutputStream::write(const void* buffer, uint32_t n) {
    if (n == 0) return;
    uint32_t k = n < free ? n : free;
    memcpy(cur, buffer, k);
    if (k == n) {
        cur += n;
        free -= n;
        return;
    }
    cur += k;
    free = 0;
    flush();
    digestWritten(static_cast<const uint8_t*>(buffer) + k, n - k);
    writeBehind(static_cast<const uint8_t*>(buffer) + k, n - k);
    filePos += n - k;
}

void OutputStream::digestWritten(const uint8_t* bytes, uint32_t n) {
    if (!digest || filePos + n <= digestStart) return;
    const uint64_t skip = filePos < digestStart ? digestStart - filePos : 0;
    digest->update(bytes + skip, n - skip);
}

void OutputStream::writeU32(uint32_t v) {
    uint8_t bytes[4] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
                        static_cast<uint8_t>(v >> 24)};
    write(bytes, 4);
}

void OutputStream::writeU16(uint16_t v) {
    uint8_t bytes[2] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)};
    write(bytes, 2);
}

void OutputStream::patch(uint64_t position, const void* bytes, uint32_t n) {
    flush();
    seekBehind(position);
    writeBehind(bytes, n);
    seekBehind(filePos);
}

void OutputStream::close() {
    flush();
    if (!destination_) file.close();
    destination_ = nullptr;
    releaseBuffer();
}

void OutputStream::replace(const char* original) {
    flush();
    if (!destination_) file.replace(original);
    destination_ = nullptr;
    releaseBuffer();
}

void OutputStream::discard() {
    if (!destination_) file.discard();
    destination_ = nullptr;
    releaseBuffer();
}

void OutputStream::releaseBuffer() {
    release(startBuffer);
    startBuffer = nullptr;
    cur = nullptr;
    free = 0;
}

}  // namespace elq
