#include "engine/batch/part_file.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <string_view>
#include <utility>
#include <vector>

#include "system/folder_listing.h"

namespace vidmill {

std::string partPathFor(std::string_view outputPath) {
    if (outputPath.empty()) {
        return {};
    }
    const std::size_t slash = outputPath.rfind('/');
    const std::size_t nameStart = slash == std::string_view::npos ? 0 : slash + 1;
    std::string part(outputPath.substr(0, nameStart));
    part += kPartPrefix;
    part += outputPath.substr(nameStart);
    return part;
}

bool isPartPath(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    return name.size() > kPartPrefix.size() && name.substr(0, kPartPrefix.size()) == kPartPrefix;
}

PartFile::PartFile(PartFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)) {}

PartFile& PartFile::operator=(PartFile&& other) noexcept {
    if (this != &other) {
        discard();
        fd_ = std::exchange(other.fd_, -1);
        path_ = std::move(other.path_);
    }
    return *this;
}

PartFile::~PartFile() {
    discard();
}

int PartFile::reserve(const std::string& outputPath) {
    discard();
    const std::string path = partPathFor(outputPath);
    if (path.empty()) {
        return ENOENT;
    }
    const int fd = ::open(path.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0) {
        return errno;
    }
    // Nobody else can have it yet: it was made just now.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::unlink(path.c_str());
        ::close(fd);
        return error;
    }
    // The mark that the sweeps look for: a file that merely has a part
    // file's name is never taken for one. A file system without extended
    // attributes gets no mark, and its leftovers are then left alone.
    const std::string owner = std::to_string(::getuid());
    ::fsetxattr(fd, kPartMark, owner.data(), owner.size(), 0);
    fd_ = fd;
    path_ = path;
    return 0;
}

int PartFile::publish(const std::string& outputPath) {
    if (fd_ < 0) {
        return ENOENT;
    }
    // A new link to the open file itself: whatever became of the part's
    // name meanwhile, the final name leads to what the converter wrote, and a
    // link never replaces a file.
    const std::string self = "/proc/self/fd/" + std::to_string(fd_);
    if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, outputPath.c_str(), AT_SYMLINK_FOLLOW) == 0) {
        if (nameLeadsHere()) {
            ::unlink(path_.c_str());
        }
        finishPublishing();
        return 0;
    }
    int error = errno;
    if (error == ENOENT) {
        struct stat ours {};
        if (::fstat(fd_, &ours) == 0 && ours.st_nlink == 0) {
            return ESTALE;  // the part was removed: there is nothing to link to
        }
    }
    if (error != EPERM && error != ENOTSUP && error != EOPNOTSUPP && error != EXDEV &&
        error != EMLINK) {
        return error;
    }
    // No links here (FAT, some network shares): the part's name is renamed,
    // and only while it still leads to the file that was written.
    if (!nameLeadsHere()) {
        return ESTALE;
    }
    if (::renameat2(AT_FDCWD, path_.c_str(), AT_FDCWD, outputPath.c_str(), RENAME_NOREPLACE) == 0) {
        finishPublishing();
        return 0;
    }
    error = errno;
    if (error == EINVAL || error == ENOSYS || error == ENOTSUP) {
        // Nor the no-replace rename: look, then rename. Only another writer
        // in the very same instant could slip in between.
        struct stat info {};
        if (::lstat(outputPath.c_str(), &info) == 0) {
            return EEXIST;
        }
        if (::rename(path_.c_str(), outputPath.c_str()) == 0) {
            finishPublishing();
            return 0;
        }
        error = errno;
    }
    return error;
}

bool PartFile::nameLeadsHere() const {
    struct stat ours {};
    struct stat named {};
    return fd_ >= 0 && ::fstat(fd_, &ours) == 0 && ::lstat(path_.c_str(), &named) == 0 &&
           ours.st_dev == named.st_dev && ours.st_ino == named.st_ino;
}

int PartFile::takeTimesOf(const std::string& sourcePath) {
    struct stat source {};
    if (fd_ < 0) {
        return ENOENT;
    }
    if (::stat(sourcePath.c_str(), &source) != 0) {
        return errno;
    }
    // Set through the locked descriptor: the very file that was written,
    // whatever happens to its name meanwhile.
    const struct timespec times[2] = {source.st_atim, source.st_mtim};
    return ::futimens(fd_, times) == 0 ? 0 : errno;
}

void PartFile::discard() {
    // The converter removes a part it gave up on itself, and then another
    // conversion may have taken the name: only our own file goes.
    if (nameLeadsHere()) {
        ::unlink(path_.c_str());
    }
    release();
}

namespace {

bool markedAsOurPart(int fd);

FileIdentity identityOf(const struct stat& info) {
    return {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino),
            static_cast<std::uint64_t>(info.st_size),
            static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec};
}

}  // namespace

std::string FileIdentity::text() const {
    char text[96];
    std::snprintf(text, sizeof text, "%llu %llu %llu %lld", static_cast<unsigned long long>(device),
                  static_cast<unsigned long long>(inode), static_cast<unsigned long long>(size),
                  static_cast<long long>(modifiedNs));
    return text;
}

FileIdentity FileIdentity::fromText(const std::string& text) {
    unsigned long long device = 0;
    unsigned long long inode = 0;
    unsigned long long size = 0;
    long long modified = 0;
    char end = 0;
    if (std::sscanf(text.c_str(), "%llu %llu %llu %lld%c", &device, &inode, &size, &modified,
                    &end) != 4) {
        return {};
    }
    return {device, inode, size, modified};
}

bool isStillTheFile(const std::string& path, const FileIdentity& identity) {
    if (!identity.known()) {
        return true;
    }
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           identityOf(info) == identity;
}

FileIdentity fileIdentityOf(int fd) {
    struct stat info {};
    return fd >= 0 && ::fstat(fd, &info) == 0 ? identityOf(info) : FileIdentity{};
}

std::string sourceMarkText(const std::string& sourcePath, FileIdentity source) {
    if (!source.known()) {
        struct stat info {};
        if (::stat(sourcePath.c_str(), &info) != 0) {
            return {};
        }
        source = identityOf(info);
    }
    // The place on the disk would differ on another machine of a cluster,
    // where the same share holds the same path, size and time.
    return std::to_string(source.size) + " " + std::to_string(source.modifiedNs) + " " + sourcePath;
}

bool carriesSourceMark(const std::string& path, const std::string& mark) {
    const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat info {};
    if (file.get() < 0 || ::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return false;
    }
    std::string value(mark.empty() ? 1 : mark.size() + 1, '\0');
    const ssize_t length = ::fgetxattr(file.get(), kSourceMark, value.data(), value.size());
    if (mark.empty()) {
        return length >= 0 || errno == ERANGE;
    }
    return length == static_cast<ssize_t>(mark.size()) && value.compare(0, mark.size(), mark) == 0;
}

bool partIsHeld(const std::string& outputPath) {
    const std::string path = partPathFor(outputPath);
    const FileDescriptor part(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat info {};
    if (part.get() < 0 || ::fstat(part.get(), &info) != 0) {
        return false;
    }
    // Marked only once it is locked: an unmarked part may be one that is
    // being reserved this instant, whose lock a test now would take.
    if (!markedAsOurPart(part.get()) && info.st_ctime >= std::time(nullptr) - 60) {
        return true;
    }
    // The lock is the open file's: this test's own open gets it unless
    // someone holds it, and gives it back at once.
    if (::flock(part.get(), LOCK_SH | LOCK_NB) == 0) {
        return false;
    }
    return errno == EWOULDBLOCK;
}

void PartFile::markSource(const std::string& mark) {
    if (fd_ >= 0 && !mark.empty()) {
        ::fsetxattr(fd_, kSourceMark, mark.data(), mark.size(), 0);
    }
}

FileDescriptor openSameFile(const std::string& path, const FileIdentity& identity) {
    // Not blocking on a pipe put in its place.
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (file.get() < 0 || !(fileIdentityOf(file.get()) == identity)) {
        return FileDescriptor();
    }
    ::fcntl(file.get(), F_SETFL, 0);
    return file;
}

FileIdentity PartFile::identity() const {
    return fileIdentityOf(fd_);
}

void PartFile::finishPublishing() {
    // An output is no part file any more, whatever it is renamed to later.
    ::fremovexattr(fd_, kPartMark);
    release();
}

void PartFile::release() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
    fd_ = -1;
    path_.clear();
}

namespace {

// Whether the open file carries the mark that this user's Vidmill sets on
// the part files it makes.
bool markedAsOurPart(int fd) {
    const std::string owner = std::to_string(::getuid());
    char value[32];
    const ssize_t length = ::fgetxattr(fd, kPartMark, value, sizeof value);
    return length == static_cast<ssize_t>(owner.size()) &&
           std::string_view(value, static_cast<std::size_t>(length)) == owner;
}

// Removes the part file at `path` when it is a regular file of this user,
// marked as a part file by this user's Vidmill, that no running Vidmill
// holds locked and, with `changedBefore` set, that nothing has changed since
// that time.
bool removeUnlockedPart(const std::string& path, std::time_t changedBefore) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    bool removed = false;
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::getuid() &&
        markedAsOurPart(fd) &&
        (changedBefore == 0 || (info.st_mtime < changedBefore && info.st_ctime < changedBefore)) &&
        ::flock(fd, LOCK_EX | LOCK_NB) == 0) {
        // Make sure the name still leads to the file that was checked.
        struct stat now {};
        if (::lstat(path.c_str(), &now) == 0 && now.st_dev == info.st_dev &&
            now.st_ino == info.st_ino) {
            removed = ::unlink(path.c_str()) == 0;
        }
    }
    ::close(fd);
    return removed;
}

}  // namespace

bool removeLeftoverPart(const std::string& outputPath) {
    const std::string path = partPathFor(outputPath);
    return !path.empty() && removeUnlockedPart(path, 0);
}

int removeLeftoverParts(const std::string& folder, std::chrono::seconds minimumAge) {
    const FolderListing listing = openFolderListing(folder);
    if (!listing) {
        return 0;
    }
    const std::time_t changedBefore = std::time(nullptr) - minimumAge.count();
    std::vector<std::string> parts;
    while (const dirent* item = ::readdir(listing.get())) {
        if (isPartPath(item->d_name)) {
            parts.push_back(folder + (folder.back() == '/' ? "" : "/") + item->d_name);
        }
    }
    int removed = 0;
    for (const std::string& part : parts) {
        removed += removeUnlockedPart(part, changedBefore) ? 1 : 0;
    }
    return removed;
}

int takeFreeName(const std::function<std::string()>& nextName,
                 const std::function<int(const std::string&)>& take, std::string* taken) {
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        std::string name = nextName();
        if (name.empty()) {
            break;
        }
        const int error = take(name);
        if (error == 0) {
            *taken = std::move(name);
            return 0;
        }
        if (error != EEXIST) {
            return error;
        }
    }
    return EEXIST;
}

int checkFolderTakesFiles(const std::string& folder) {
    const std::string name = folder + "/vidmill-check-" + std::to_string(getpid()) + "-";
    for (int attempt = 0; attempt < 10; ++attempt) {
        PartFile check;
        const int error = check.reserve(name + std::to_string(attempt));
        if (error != EEXIST) {
            check.discard();
            return error;
        }
    }
    // Ten names taken: the folder takes files, just not under those names.
    return 0;
}

}  // namespace vidmill
