#include "converter/input/file_source.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "converter/convert_error.h"

namespace vidmill {

namespace {

constexpr int kBufferSize = 32768;
constexpr int kPollSliceMs = 100;  // how often a silent input looks at the stop request

}  // namespace

std::unique_ptr<FileSource> FileSource::open(const std::string& path, StopCheck stopCheck,
                                             std::chrono::milliseconds stallTimeout, int sameFile) {
    const std::string opened = sameFile >= 0 ? "/proc/self/fd/" + std::to_string(sameFile) : path;
    // Non-blocking, so that opening a FIFO without a writer cannot hang.
    const int fd = ::open(opened.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        throw ConvertError(exit_code::kInputFailed,
                           "cannot open the input '" + path + "': " + std::strerror(errno));
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
        ::close(fd);
        throw ConvertError(exit_code::kInputFailed, "the input '" + path + "' is a folder");
    }
    const bool regular = S_ISREG(info.st_mode);
    if (regular) {
        // Reads of a regular file never wait for a writer; plain blocking reads are cheapest.
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    }
    return std::make_unique<FileSource>(Key(), fd, regular, std::move(stopCheck), stallTimeout);
}

FileSource::FileSource(Key, int fd, bool seekable, StopCheck stopCheck,
                       std::chrono::milliseconds stallTimeout)
    : fd_(fd), seekable_(seekable), stopCheck_(std::move(stopCheck)), stallTimeout_(stallTimeout) {
    auto* buffer = static_cast<unsigned char*>(av_malloc(kBufferSize));
    if (buffer == nullptr) {
        ::close(fd_);
        throw std::bad_alloc();
    }
    io_.reset(avio_alloc_context(buffer, kBufferSize, 0, this, &FileSource::readCallback, nullptr,
                                 seekable_ ? &FileSource::seekCallback : nullptr));
    if (!io_) {
        av_free(buffer);
        ::close(fd_);
        throw std::bad_alloc();
    }
}

FileSource::~FileSource() {
    io_.reset();
    ::close(fd_);
}

int FileSource::readCallback(void* opaque, std::uint8_t* buffer, int size) {
    return static_cast<FileSource*>(opaque)->read(buffer, size);
}

std::int64_t FileSource::seekCallback(void* opaque, std::int64_t offset, int whence) {
    return static_cast<FileSource*>(opaque)->seek(offset, whence);
}

int FileSource::read(std::uint8_t* buffer, int size) {
    for (;;) {
        if (stopCheck_ && stopCheck_()) {
            stopped_ = true;
            return AVERROR_EXIT;
        }
        if (!seekable_ && !waitReadable()) {
            return stopped_ ? AVERROR_EXIT : AVERROR(ETIMEDOUT);
        }
        const ssize_t count = ::read(fd_, buffer, static_cast<std::size_t>(size));
        if (count > 0) {
            return static_cast<int>(count);
        }
        if (count == 0) {
            return AVERROR_EOF;
        }
        if (errno == EINTR || errno == EAGAIN) {
            continue;
        }
        readErrno_ = errno;
        return AVERROR(errno);
    }
}

// Waits until the descriptor has data or its writer is gone; false on a
// stop request or when nothing came for the stall timeout.
bool FileSource::waitReadable() {
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        pollfd entry{fd_, POLLIN, 0};
        const int ready = ::poll(&entry, 1, kPollSliceMs);
        if (ready > 0) {
            return true;
        }
        if (ready < 0 && errno != EINTR) {
            return true;  // let read() report the problem
        }
        if (stopCheck_ && stopCheck_()) {
            stopped_ = true;
            return false;
        }
        if (std::chrono::steady_clock::now() - start >= stallTimeout_) {
            stalled_ = true;
            return false;
        }
    }
}

std::int64_t FileSource::seek(std::int64_t offset, int whence) {
    if (whence & AVSEEK_SIZE) {
        struct stat info {};
        if (fstat(fd_, &info) != 0) {
            return AVERROR(errno);
        }
        return info.st_size;
    }
    const off_t position = ::lseek(fd_, offset, whence & ~AVSEEK_FORCE);
    return position < 0 ? AVERROR(errno) : position;
}

}  // namespace vidmill
