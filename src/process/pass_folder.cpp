#include "process/pass_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>
#include <utility>

namespace vidmill {

namespace {

constexpr std::string_view kPrefix = "pass-";
// mkdtemp's six letters.
constexpr std::size_t kNameLength = kPrefix.size() + 6;

bool isPassFolderName(std::string_view name) {
    return name.size() == kNameLength && name.substr(0, kPrefix.size()) == kPrefix;
}

// Removes every entry of the open folder that is not itself a folder: what
// an encoder wrote there. Nothing is followed.
void emptyFolder(int fd) {
    const int listFd = ::openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listFd < 0) {
        return;
    }
    DIR* listing = ::fdopendir(listFd);
    if (listing == nullptr) {
        ::close(listFd);
        return;
    }
    while (const dirent* entry = ::readdir(listing)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            ::unlinkat(fd, entry->d_name, 0);
        }
    }
    ::closedir(listing);
}

}  // namespace

PassFolder PassFolder::create(const std::string& parent, std::string* error) {
    PassFolder folder;
    if (::mkdir(parent.c_str(), 0700) != 0 && errno != EEXIST) {
        *error = "cannot make the folder '" + parent + "': " + std::strerror(errno);
        return folder;
    }
    for (int attempt = 0; attempt < 10; ++attempt) {
        std::string path = parent + "/" + std::string(kPrefix) + "XXXXXX";
        if (::mkdtemp(path.data()) == nullptr) {
            *error = "cannot make a folder in '" + parent + "': " + std::strerror(errno);
            return folder;
        }
        FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        struct stat info {};
        if (fd.get() < 0 || ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0 ||
            ::fstat(fd.get(), &info) != 0) {
            continue;
        }
        // A sweep that came between the folder's making and its lock took it.
        if (info.st_nlink == 0) {
            continue;
        }
        folder.path_ = std::move(path);
        folder.folder_.reset(fd.release());
        return folder;
    }
    *error = "cannot keep a folder in '" + parent + "'";
    return folder;
}

PassFolder::PassFolder(PassFolder&& other) noexcept : path_(std::exchange(other.path_, {})) {
    folder_.reset(other.folder_.release());
}

PassFolder& PassFolder::operator=(PassFolder&& other) noexcept {
    if (this != &other) {
        remove();
        path_ = std::exchange(other.path_, {});
        folder_.reset(other.folder_.release());
    }
    return *this;
}

PassFolder::~PassFolder() {
    remove();
}

void PassFolder::remove() {
    if (folder_.get() < 0) {
        return;
    }
    emptyFolder(folder_.get());
    // Only while the name still leads to the folder held open.
    struct stat held {};
    struct stat named {};
    if (::fstat(folder_.get(), &held) == 0 && ::lstat(path_.c_str(), &named) == 0 &&
        held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
        ::rmdir(path_.c_str());
    }
    folder_.reset();
    path_.clear();
}

int sweepPassFolders(const std::string& parent) {
    FileDescriptor parentFd(
        ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (parentFd.get() < 0) {
        return 0;
    }
    const int listFd = ::dup(parentFd.get());
    DIR* listing = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
    if (listing == nullptr) {
        if (listFd >= 0) {
            ::close(listFd);
        }
        return 0;
    }
    int removed = 0;
    while (const dirent* entry = ::readdir(listing)) {
        if (!isPassFolderName(entry->d_name)) {
            continue;
        }
        FileDescriptor fd(::openat(parentFd.get(), entry->d_name,
                                   O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        struct stat info {};
        if (fd.get() < 0 || ::fstat(fd.get(), &info) != 0 || info.st_uid != ::getuid() ||
            ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
            continue;  // not ours, or a converter still runs in it
        }
        emptyFolder(fd.get());
        if (::unlinkat(parentFd.get(), entry->d_name, AT_REMOVEDIR) == 0) {
            ++removed;
        }
    }
    ::closedir(listing);
    return removed;
}

}  // namespace vidmill
