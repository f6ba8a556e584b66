#include "storage/record_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "system/file_descriptor.h"

namespace vidmill {

uint32_t getUInt32LE(const uint8_t* bytes) {
    return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 |
           uint32_t(bytes[3]) << 24;
}

void putUInt32LE(uint8_t* bytes, uint32_t value) {
    bytes[0] = uint8_t(value);
    bytes[1] = uint8_t(value >> 8);
    bytes[2] = uint8_t(value >> 16);
    bytes[3] = uint8_t(value >> 24);
}

uint16_t getUInt16LE(const uint8_t* bytes) {
    return uint16_t(bytes[0] | bytes[1] << 8);
}

void putUInt16LE(uint8_t* bytes, uint16_t value) {
    bytes[0] = uint8_t(value);
    bytes[1] = uint8_t(value >> 8);
}

std::unique_ptr<RecordFile> RecordFile::open(const std::string& path, bool writing,
                                             int bufferSize) {
    int flags = O_CLOEXEC | (writing ? O_WRONLY | O_CREAT | O_TRUNC : O_RDONLY);
    int fd;
    do {
        fd = ::open(path.c_str(), flags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return nullptr;
    }
    struct stat info;
    if (fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<RecordFile>(OpenKey{}, fd, writing,
                                        std::max(bufferSize, kMinRecordBufferSize));
}

RecordFile::RecordFile(OpenKey, int fd, bool writing, int bufferSize)
    : buffer_(size_t(bufferSize)), bufferSize_(bufferSize), writing_(writing), fd_(fd) {}

RecordFile::~RecordFile() {
    close();
}

bool RecordFile::close() {
    if (fd_ >= 0) {
        if (writing_) {
            writeWaiting();
        }
        if (::close(fd_) != 0 && writing_ && errno != EINTR) {
            writeFailed_ = true;
        }
        fd_ = -1;
    }
    return !writeFailed_;
}

bool RecordFile::writeToDisk(const uint8_t* data, size_t n) {
    if (!writeAll(fd_, data, n)) {
        writeFailed_ = true;
        return false;
    }
    return true;
}

void RecordFile::writeWaiting() {
    if (position_ > 0 && fd_ >= 0) {
        writeToDisk(buffer_.data(), size_t(position_));
    }
    position_ = 0;
}

int RecordFile::putPiece(const uint8_t* data, int n) {
    n = std::min(n, bufferSize_);
    if (position_ + n >= bufferSize_) {
        writeWaiting();
    }
    std::memcpy(buffer_.data() + position_, data, size_t(n));
    position_ += n;
    return n;
}

int RecordFile::writeBytes(const void* data, int count) {
    if (!writing_ || count <= 0) {
        return 0;
    }
    const auto* bytes = static_cast<const uint8_t*>(data);
    const int chunk = bufferSize_ - 2;
    int total = 0;
    while (total < count) {
        total += putPiece(bytes + total, std::min(chunk, count - total));
    }
    return total;
}

int RecordFile::takePiece(uint8_t* destination, int n) {
    n = std::min(n, bufferSize_);
    int unread = filled_ - position_;
    if (unread < n) {
        std::memmove(buffer_.data(), buffer_.data() + position_, size_t(unread));
        filled_ = unread;
        position_ = 0;
        // Fill the rest of the buffer; a regular file gives short counts only
        // at its end, so stop there.
        while (filled_ < bufferSize_) {
            ssize_t got = ::read(fd_, buffer_.data() + filled_, size_t(bufferSize_ - filled_));
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got < 0) {
                return -1;
            }
            if (got == 0) {
                break;
            }
            filled_ += int(got);
        }
        n = std::min(n, filled_);
    }
    std::memcpy(destination, buffer_.data() + position_, size_t(n));
    position_ += n;
    return n;
}

int RecordFile::readBytes(void* destination, int count) {
    if (writing_ || fd_ < 0) {
        return -1;
    }
    auto* bytes = static_cast<uint8_t*>(destination);
    const int chunk = bufferSize_ - 2;
    int total = 0;
    while (total < count) {
        int want = std::min(chunk, count - total);
        int got = takePiece(bytes + total, want);
        if (got < 0) {
            return total == 0 ? -1 : total;
        }
        total += got;
        if (got < want) {
            break;  // end of the file
        }
    }
    return total;
}

int RecordFile::writeUInt16(uint16_t value) {
    uint8_t bytes[2];
    putUInt16LE(bytes, value);
    return writeBytes(bytes, 2);
}

int RecordFile::writeUInt32(uint32_t value) {
    uint8_t bytes[4];
    putUInt32LE(bytes, value);
    return writeBytes(bytes, 4);
}

int RecordFile::readUInt16(uint16_t& value) {
    uint8_t bytes[2];
    int got = readBytes(bytes, 2);
    if (got == 2) {
        value = getUInt16LE(bytes);
    }
    return got;
}

int RecordFile::readUInt32(uint32_t& value) {
    uint8_t bytes[4];
    int got = readBytes(bytes, 4);
    if (got == 4) {
        value = getUInt32LE(bytes);
    }
    return got;
}

int RecordFile::writeText16(std::string_view text) {
    size_t length = std::min(text.size(), size_t(kMaxText16Length));
    writeUInt16(uint16_t(length));
    int written = writeBytes(text.data(), int(length));
    return length == text.size() && written == int(length) ? 1 : 0;
}

int RecordFile::writeText32(std::string_view text) {
    writeUInt32(uint32_t(text.size()));
    // Texts here are paths and names, far below 2 GiB.
    int written = writeBytes(text.data(), int(text.size()));
    return written == int(text.size()) ? 1 : 0;
}

int RecordFile::writeRaw(std::string_view text) {
    return writeBytes(text.data(), int(text.size()));
}

void RecordFile::skipBytes(uint64_t count) {
    uint8_t scratch[4096];
    while (count > 0) {
        int want = int(std::min<uint64_t>(count, sizeof scratch));
        int got = readBytes(scratch, want);
        if (got <= 0) {
            return;
        }
        count -= uint64_t(got);
        if (got < want) {
            return;
        }
    }
}

int RecordFile::readText16Into(char* buffer, int capacity) {
    if (buffer != nullptr && capacity > 0) {
        buffer[0] = '\0';
    }
    uint16_t stored = 0;
    if (readUInt16(stored) != 2) {
        return 0;
    }
    int length = stored;
    if (length > kMaxText16Length || buffer == nullptr || length >= capacity - 1) {
        skipBytes(uint64_t(length));
        return 0;
    }
    int got = readBytes(buffer, length);
    got = std::max(got, 0);
    buffer[got] = '\0';
    return got == length ? 1 : 0;
}

std::string RecordFile::readTextOfLength(uint64_t length, int capacity) {
    uint64_t kept = std::min<uint64_t>(length, uint64_t(std::max(capacity - 1, 0)));
    std::string text(size_t(kept), '\0');
    int got = kept > 0 ? readBytes(text.data(), int(kept)) : 0;
    text.resize(size_t(std::max(got, 0)));
    if (got == int(kept) && length > kept) {
        skipBytes(length - kept);
    }
    // The text is a C string to everyone who uses it.
    text.resize(std::strlen(text.c_str()));
    return text;
}

std::string RecordFile::readText16(int capacity) {
    uint16_t stored = 0;
    if (readUInt16(stored) != 2) {
        return {};
    }
    if (stored > kMaxText16Length) {
        skipBytes(stored);
        return {};
    }
    return readTextOfLength(stored, capacity);
}

std::string RecordFile::readText32(int capacity) {
    uint32_t stored = 0;
    if (readUInt32(stored) != 4) {
        return {};
    }
    return readTextOfLength(stored, capacity);
}

int RecordFile::readSignature(std::string_view text) {
    std::string got(text.size(), '\0');
    int count = readBytes(got.data(), int(got.size()));
    return count == int(text.size()) && got == text ? 1 : 0;
}

int64_t RecordFile::tell() {
    off_t offset = lseek(fd_, 0, SEEK_CUR);
    if (offset < 0) {
        return -1;
    }
    return writing_ ? int64_t(offset) + position_ : int64_t(offset) - (filled_ - position_);
}

int64_t RecordFile::seek(int64_t offset) {
    if (writing_) {
        writeWaiting();
    } else {
        filled_ = position_ = 0;
    }
    return int64_t(lseek(fd_, off_t(offset), SEEK_SET));
}

void RecordFile::flush() {
    if (writing_) {
        writeWaiting();
    } else {
        filled_ = position_ = 0;
    }
}

bool RecordFile::sync() {
    if (!writing_ || fd_ < 0) {
        return false;
    }
    writeWaiting();
    if (fsync(fd_) != 0) {
        writeFailed_ = true;
    }
    return !writeFailed_;
}

}  // namespace vidmill
