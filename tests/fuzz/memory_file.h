#pragma once

// A file in memory with a path that the readers can open: each fuzz input is
// put there without touching the disk.

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace vidmill {

class MemoryFile {
  public:
    MemoryFile() : fd_(memfd_create("vidmill-fuzz", MFD_CLOEXEC)) {
        if (fd_ < 0) {
            std::perror("memfd_create");
            std::abort();
        }
        path_ = "/proc/self/fd/" + std::to_string(fd_);
    }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;
    ~MemoryFile() { close(fd_); }

    void assign(const uint8_t* data, size_t size) {
        if (ftruncate(fd_, 0) != 0 || pwrite(fd_, data, size, 0) != ssize_t(size)) {
            std::perror("memory file");
            std::abort();
        }
    }

    const std::string& path() const { return path_; }

  private:
    int fd_;
    std::string path_;
};

}  // namespace vidmill
