#pragma once

// An open file descriptor that is closed when it goes out of scope, and the
// writing of a whole buffer to one.

#include <cerrno>
#include <cstddef>
#include <cstdint>

#include <unistd.h>

namespace vidmill {

class FileDescriptor {
  public:
    FileDescriptor() = default;
    // Takes over `fd`; a negative value holds nothing.
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    ~FileDescriptor() { reset(); }

    int get() const { return fd_; }
    // Closes what it held and takes `fd` instead.
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = fd;
    }
    // Gives the descriptor up without closing it.
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

  private:
    int fd_ = -1;
};

// Writes all `size` bytes, as many calls as it takes; false when the system
// refused (errno says why) or took nothing.
inline bool writeAll(int fd, const void* data, std::size_t size) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    while (size > 0) {
        const ssize_t done = ::write(fd, bytes, size);
        if (done < 0 && errno == EINTR) {
            continue;
        }
        if (done <= 0) {
            return false;
        }
        bytes += done;
        size -= std::size_t(done);
    }
    return true;
}

}  // namespace vidmill
