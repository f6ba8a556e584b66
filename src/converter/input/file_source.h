#pragma once

// Reads the input through our own I/O context over a plain file descriptor,
// so that any local name works (no protocol prefixes such as "clip:" are
// looked for), a stop request is seen even while a pipe or a stuck file
// delivers nothing, and an input that stays silent too long is an error
// instead of a hang.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "converter/av_handles.h"

namespace vidmill {

class FileSource {
  public:
    using StopCheck = std::function<bool()>;
    static constexpr std::chrono::milliseconds kStallTimeout{60000};

    // Throws ConvertError(kInputFailed) when the path cannot be opened for
    // reading or names a folder.
    // With `sameFile` set, the file open as that descriptor is opened again,
    // whatever `path` (which then only names it) leads to now.
    static std::unique_ptr<FileSource> open(const std::string& path, StopCheck stopCheck,
                                            std::chrono::milliseconds stallTimeout = kStallTimeout,
                                            int sameFile = -1);

    struct Key {
        explicit Key() = default;
    };
    FileSource(Key, int fd, bool seekable, StopCheck stopCheck,
               std::chrono::milliseconds stallTimeout);
    FileSource(const FileSource&) = delete;
    FileSource& operator=(const FileSource&) = delete;
    ~FileSource();

    AVIOContext* io() const { return io_.get(); }
    const StopCheck& stopCheck() const { return stopCheck_; }
    bool seekable() const { return seekable_; }
    int descriptor() const { return fd_; }

    bool stalled() const { return stalled_; }
    bool stopped() const { return stopped_; }
    int readErrno() const { return readErrno_; }  // errno of a failed read, else 0

  private:
    static int readCallback(void* opaque, std::uint8_t* buffer, int size);
    static std::int64_t seekCallback(void* opaque, std::int64_t offset, int whence);
    int read(std::uint8_t* buffer, int size);
    std::int64_t seek(std::int64_t offset, int whence);
    bool waitReadable();

    int fd_;
    bool seekable_;
    StopCheck stopCheck_;
    std::chrono::milliseconds stallTimeout_;
    CustomIoPtr io_;
    bool stalled_ = false;
    bool stopped_ = false;
    int readErrno_ = 0;
};

}  // namespace vidmill
