#include "process/pass_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>
#include <utility>

#include "system/user_folders.h"

namespace vidmill {

namespace {

constexpr std::string_view kPrefix = "pass-";
// mkdtemp's six letters.
constexpr std::size_t kNameLength = kPrefix.size() + 6;

bool isPassFolderName(std::string_view name) {
    return name.size() == kNameLength && name.substr(0, kPrefix.size()) == kPrefix;
}

// A name for a new pass folder, as mkdtemp would choose it; mkdirat makes
// it in the folder held open.
std::string randomName() {
    static constexpr char kLetters[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    // Should the kernel give none, the names meet and the making fails.
    unsigned char bytes[kNameLength - kPrefix.size()] = {};
    [[maybe_unused]] const ssize_t filled = ::getrandom(bytes, sizeof bytes, 0);
    std::string name(kPrefix);
    for (const unsigned char byte : bytes) {
        name += kLetters[byte % (sizeof kLetters - 1)];
    }
    return name;
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

bool openPassParent(const std::string& parent, FileDescriptor* folder, std::string* why) {
    constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    folder->reset(::open(parent.c_str(), kFlags));
    if (folder->get() < 0 && errno == ENOENT) {
        // The folders above are the cache's: made as usual, and the first
        // that cannot be made says why.
        const std::size_t slash = parent.rfind('/');
        if (slash != std::string::npos && slash > 0 && !makeFolders(parent.substr(0, slash)) &&
            errno != EEXIST) {
            *why = std::strerror(errno);
            return false;
        }
        if (::mkdir(parent.c_str(), 0700) != 0 && errno != EEXIST) {
            *why = std::strerror(errno);
            return false;
        }
        folder->reset(::open(parent.c_str(), kFlags));
    }
    struct stat info {};
    if (folder->get() < 0) {
        const int error = errno;
        *why = ::lstat(parent.c_str(), &info) != 0 ? std::strerror(error)
               : S_ISLNK(info.st_mode)             ? "it is a link, not a folder"
               : !S_ISDIR(info.st_mode)            ? "it is not a folder"
                                                   : std::strerror(error);
        return false;
    }
    if (::fstat(folder->get(), &info) != 0) {
        *why = std::strerror(errno);
    } else if (info.st_uid != ::geteuid()) {
        *why = "it belongs to another user";
    } else if ((info.st_mode & 077) != 0 && ::fchmod(folder->get(), 0700) != 0) {
        *why =
            std::string("it is open to others and cannot be made private: ") + std::strerror(errno);
    } else {
        return true;
    }
    folder->reset();
    return false;
}

PassFolder PassFolder::create(const std::string& parent, std::string* error) {
    PassFolder folder;
    FileDescriptor parentFd;
    std::string why;
    if (!openPassParent(parent, &parentFd, &why)) {
        *error = "cannot use the folder '" + parent + "': " + why;
        return folder;
    }
    for (int attempt = 0; attempt < 10; ++attempt) {
        const std::string name = randomName();
        if (::mkdirat(parentFd.get(), name.c_str(), 0700) != 0) {
            if (errno == EEXIST) {
                continue;
            }
            *error = "cannot make a folder in '" + parent + "': " + std::strerror(errno);
            return folder;
        }
        FileDescriptor fd(::openat(parentFd.get(), name.c_str(),
                                   O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        struct stat info {};
        if (fd.get() < 0 || ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0 ||
            ::fstat(fd.get(), &info) != 0) {
            continue;
        }
        // A sweep that came between the folder's making and its lock took it.
        if (info.st_nlink == 0) {
            continue;
        }
        folder.path_ = parent + "/" + name;
        folder.name_ = name;
        folder.parent_.reset(parentFd.release());
        folder.folder_.reset(fd.release());
        return folder;
    }
    *error = "cannot keep a folder in '" + parent + "'";
    return folder;
}

PassFolder::PassFolder(PassFolder&& other) noexcept
    : path_(std::exchange(other.path_, {})), name_(std::exchange(other.name_, {})) {
    parent_.reset(other.parent_.release());
    folder_.reset(other.folder_.release());
}

PassFolder& PassFolder::operator=(PassFolder&& other) noexcept {
    if (this != &other) {
        remove();
        path_ = std::exchange(other.path_, {});
        name_ = std::exchange(other.name_, {});
        parent_.reset(other.parent_.release());
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
    if (::fstat(folder_.get(), &held) == 0 &&
        ::fstatat(parent_.get(), name_.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
        ::unlinkat(parent_.get(), name_.c_str(), AT_REMOVEDIR);
    }
    folder_.reset();
    parent_.reset();
    path_.clear();
    name_.clear();
}

std::string PassFolder::encoderPath() const {
    const std::string held = "/proc/self/fd/" + std::to_string(folder_.get());
    struct stat through {};
    struct stat info {};
    if (::stat(held.c_str(), &through) == 0 && ::fstat(folder_.get(), &info) == 0 &&
        through.st_dev == info.st_dev && through.st_ino == info.st_ino) {
        return held;
    }
    return path_;
}

int PassFolder::writeError() const {
    constexpr const char* kProbe = ".room";
    FileDescriptor probe(::openat(folder_.get(), kProbe,
                                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (probe.get() < 0) {
        return errno;
    }
    // More than a few lines of a log: a folder that cannot take this did
    // not take the encoder's last write either.
    static const char kBlock[4096] = {};
    const ssize_t written = ::write(probe.get(), kBlock, sizeof kBlock);
    const int error = written == ssize_t(sizeof kBlock) ? 0 : written < 0 ? errno : ENOSPC;
    ::unlinkat(folder_.get(), kProbe, 0);
    return error;
}

int sweepPassFolders(const std::string& parent) {
    FileDescriptor parentFd(
        ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat parentInfo {};
    if (parentFd.get() < 0 || ::fstat(parentFd.get(), &parentInfo) != 0 ||
        parentInfo.st_uid != ::geteuid()) {
        return 0;  // not a folder of ours: what is in it is not ours to remove
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
        if (fd.get() < 0 || ::fstat(fd.get(), &info) != 0 || info.st_uid != ::geteuid() ||
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
