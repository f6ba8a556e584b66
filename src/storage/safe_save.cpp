#include "storage/safe_save.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string_view>

#include "storage/record_file.h"
#include "system/file_descriptor.h"
#include "system/folder_listing.h"

namespace vidmill {
namespace {

// Through a symbolic link to the file it names, so that saving does not
// replace a user's link by a plain file.
std::string resolvedTarget(const std::string& path) {
    struct stat info;
    if (lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
        return path;
    }
    std::unique_ptr<char, decltype(&std::free)> resolved(realpath(path.c_str(), nullptr),
                                                         &std::free);
    return resolved ? std::string(resolved.get()) : path;
}

std::string folderOf(const std::string& path) {
    std::string::size_type slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Makes the rename itself survive a power loss. Some file systems cannot
// sync a folder; the file is in place all the same.
void syncFolder(const std::string& folder) {
    FileDescriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() >= 0) {
        fsync(fd.get());
    }
}

// mkostemp's six characters replace the Xs.
constexpr std::string_view kTemporarySuffix = ".saving-";
constexpr std::size_t kTemporaryUniqueLength = 6;

bool isTemporaryNameOf(std::string_view name, std::string_view base) {
    if (name.size() != base.size() + kTemporarySuffix.size() + kTemporaryUniqueLength ||
        !name.starts_with(base) ||
        name.substr(base.size(), kTemporarySuffix.size()) != kTemporarySuffix) {
        return false;
    }
    for (char c : name.substr(base.size() + kTemporarySuffix.size())) {
        const bool alphanumeric =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!alphanumeric) {
            return false;
        }
    }
    return true;
}

// Reserves a fresh name beside the target; empty when none can be made.
// The new file keeps the old one's permissions, and is private otherwise.
std::string createTemporaryBeside(const std::string& target) {
    std::string name =
        target + std::string(kTemporarySuffix) + std::string(kTemporaryUniqueLength, 'X');
    FileDescriptor fd(mkostemp(name.data(), O_CLOEXEC));
    if (fd.get() < 0) {
        return {};
    }
    struct stat info;
    if (stat(target.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
        fchmod(fd.get(), info.st_mode & 07777);
    }
    return name;
}

}  // namespace

bool saveFileSafely(const std::string& path, const std::function<void(RecordFile&)>& write) {
    const std::string target = resolvedTarget(path);
    const std::string temporary = createTemporaryBeside(target);
    if (temporary.empty()) {
        return false;
    }
    bool written = false;
    if (std::unique_ptr<RecordFile> file = RecordFile::open(temporary, true)) {
        write(*file);
        written = file->sync();
        written = file->close() && written;
    }
    if (written && std::rename(temporary.c_str(), target.c_str()) == 0) {
        syncFolder(folderOf(target));
        return true;
    }
    ::unlink(temporary.c_str());
    return false;
}

int removeInterruptedSaves(const std::string& path) {
    const std::string::size_type slash = path.rfind('/');
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    if (base.empty()) {
        return 0;
    }
    FolderListing folder = openFolderListing(folderOf(path));
    if (!folder) {
        return 0;
    }
    const int folderFd = dirfd(folder.get());
    int removed = 0;
    while (const dirent* item = readdir(folder.get())) {
        if (!isTemporaryNameOf(item->d_name, base)) {
            continue;
        }
        // A link, a folder or another user's file of that name is not ours.
        struct stat info;
        if (fstatat(folderFd, item->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(info.st_mode) && info.st_uid == geteuid() &&
            unlinkat(folderFd, item->d_name, 0) == 0) {
            ++removed;
        }
    }
    return removed;
}

namespace {

// Names tried for a damaged file kept aside, before giving up.
constexpr int kAsideNameTries = 100;

// Moves the file to a new name that no file has; gives that name, or empty
// when it could not be moved. An existing file is never replaced.
bool moveToNewName(const std::string& from, const std::string& to, bool& nameTaken) {
    nameTaken = false;
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return true;
    }
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) {
        nameTaken = errno == EEXIST;
        return false;
    }
    // A file system without that rename: a second link claims the name just
    // as exclusively.
    if (link(from.c_str(), to.c_str()) != 0) {
        nameTaken = errno == EEXIST;
        return false;
    }
    unlink(from.c_str());
    return true;
}

}  // namespace

std::string keepDamagedFile(const std::string& path, std::time_t now) {
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0 || S_ISDIR(info.st_mode)) {
        return {};
    }
    std::tm local{};
    char stamp[32] = "00000000-000000";
    if (localtime_r(&now, &local) != nullptr) {
        std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    }
    const std::string base = path + ".damaged-" + stamp;
    for (int n = 0; n < kAsideNameTries; ++n) {
        const std::string aside = n == 0 ? base : base + "-" + std::to_string(n);
        bool nameTaken = false;
        if (moveToNewName(path, aside, nameTaken)) {
            const std::string::size_type slash = aside.rfind('/');
            return slash == std::string::npos ? aside : aside.substr(slash + 1);
        }
        if (!nameTaken) {
            break;
        }
    }
    return {};
}

}  // namespace vidmill
