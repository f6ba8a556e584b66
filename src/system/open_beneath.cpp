#include "system/open_beneath.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <vector>

namespace vidmill {
namespace {

// Kernels before 5.6 lack openat2: the name is then walked one component at
// a time, each opened without following a link.
FileDescriptor openByComponents(int folderFd, const std::string& relative, int flags) {
    std::vector<std::string> names;
    for (std::size_t at = 0; at < relative.size();) {
        const std::size_t end = std::min(relative.find('/', at), relative.size());
        if (end > at) {
            names.push_back(relative.substr(at, end - at));
            if (names.back() == "..") {
                errno = EXDEV;
                return FileDescriptor();
            }
        }
        at = end + 1;
    }
    if (names.empty()) {
        names.emplace_back(".");
    }
    FileDescriptor folder(::fcntl(folderFd, F_DUPFD_CLOEXEC, 0));
    for (std::size_t i = 0; i + 1 < names.size() && folder.get() >= 0; ++i) {
        folder.reset(::openat(folder.get(), names[i].c_str(),
                              O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    }
    if (folder.get() < 0) {
        return FileDescriptor();
    }
    return FileDescriptor(::openat(folder.get(), names.back().c_str(), flags));
}

}  // namespace

FileDescriptor openBeneath(int folderFd, const std::string& relative, int flags) {
    flags |= O_CLOEXEC | O_NOFOLLOW;
    const std::string name = relative.empty() ? std::string(".") : relative;
    if (!name.empty() && name.front() == '/') {
        errno = EXDEV;
        return FileDescriptor();
    }
    open_how how{};
    how.flags = static_cast<std::uint64_t>(flags);
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    // A rename elsewhere during the lookup makes the kernel ask for another try.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const long fd = ::syscall(SYS_openat2, folderFd, name.c_str(), &how, sizeof how);
        if (fd >= 0) {
            return FileDescriptor(static_cast<int>(fd));
        }
        if (errno == ENOSYS) {
            return openByComponents(folderFd, name, flags);
        }
        if (errno != EAGAIN) {
            break;
        }
    }
    return FileDescriptor();
}

}  // namespace vidmill
