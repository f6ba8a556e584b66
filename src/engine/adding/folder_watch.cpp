#include "engine/adding/folder_watch.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <utility>

#include "engine/adding/video_files.h"
#include "system/folder_listing.h"
#include "system/open_beneath.h"
#include "system/path_utils.h"

namespace vidmill {
namespace {

constexpr uint32_t kFolderEvents = IN_CREATE | IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_TO |
                                   IN_MOVED_FROM | IN_DELETE | IN_DELETE_SELF | IN_MOVE_SELF |
                                   IN_ONLYDIR;

// The destination's folders learnt at most: a destination of more is still
// left out itself, and its deeper folders are never reached through it.
constexpr std::size_t kMostExcludedFolders = 10000;

std::string joined(const std::string& folder, const std::string& name) {
    if (folder.empty()) {
        return name;
    }
    return folder.back() == '/' ? folder + name : folder + "/" + name;
}

bool isUnder(const std::string& path, const std::string& folder) {
    return folder.empty() || path == folder ||
           (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
            (folder.back() == '/' || path[folder.size()] == '/'));
}

// The path with every link and "." or ".." resolved, so that two names of
// one folder compare equal; as given when it cannot be resolved.
std::string resolved(const std::string& path) {
    char buffer[PATH_MAX];
    return ::realpath(path.c_str(), buffer) != nullptr ? std::string(buffer) : path;
}

bool looksLikeAVideo(const std::string& path) {
    std::string extension;
    splitPath(path, nullptr, nullptr, &extension);
    const std::size_t slash = path.rfind('/');
    const std::string_view file(path.c_str() + (slash == std::string::npos ? 0 : slash + 1));
    return file.substr(0, kPartPrefix.size()) != kPartPrefix &&
           isSupportedExtension(extension, kAllSupportedExtensions);
}

long long modifiedNs(const struct stat& info) {
    return static_cast<long long>(info.st_mtim.tv_sec) * 1'000'000'000LL + info.st_mtim.tv_nsec;
}

}  // namespace

FolderWatch::FolderWatch(std::vector<std::string> folders, std::string exclude,
                         FolderWatchTiming timing)
    : exclude_(exclude.empty() ? exclude : resolved(exclude)),
      timing_(timing),
      inotify_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    if (inotify_.get() < 0) {
        searching_ = true;
    }
    noteDestination(true);
    for (const std::string& folder : folders) {
        tops_.push_back({resolved(folder), FileDescriptor(), {}});
        const std::size_t top = tops_.size() - 1;
        const std::string& path = tops_.back().path;
        if (!exclude_.empty() && isUnder(path, exclude_)) {
            startNotices_.push_back(
                {WatchNotice::Kind::InDestination,
                 path + ": lies in the destination folder, so nothing in it is taken"});
            continue;
        }
        if (!openTop(top, &startNotices_)) {
            missing_.insert(top);
            continue;
        }
        walk(top, "", &startNotices_);
    }
    nextSearch_ = Clock::now() + timing_.rescanPeriod;
}

bool FolderWatch::openTop(std::size_t top, std::vector<WatchNotice>* notices) {
    Top& watched = tops_[top];
    FileDescriptor folder(
        ::open(watched.path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat info {};
    if (folder.get() < 0 || ::fstat(folder.get(), &info) != 0) {
        struct stat link {};
        if (errno == ELOOP ||
            (::lstat(watched.path.c_str(), &link) == 0 && S_ISLNK(link.st_mode))) {
            if (toldLink_.insert(top).second) {
                notices->push_back({WatchNotice::Kind::LinkInPlace,
                                    watched.path +
                                        ": a link stands where the watched folder was; a link is "
                                        "not followed, so the folder is watched again when it is "
                                        "a folder once more"});
            }
        }
        return false;
    }
    toldLink_.erase(top);
    watched.folder = std::move(folder);
    watched.key = {info.st_dev, info.st_ino};
    return true;
}

void FolderWatch::noteDestination(bool withSubfolders) {
    if (withSubfolders) {
        excludedFolders_.clear();
    }
    struct stat info {};
    if (exclude_.empty() || ::stat(exclude_.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        return;
    }
    excludedFolders_.insert({info.st_dev, info.st_ino});
    if (!withSubfolders) {
        return;
    }
    FileDescriptor destination(::open(exclude_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (destination.get() < 0) {
        return;
    }
    std::vector<std::string> folders{""};
    while (!folders.empty() && excludedFolders_.size() < kMostExcludedFolders) {
        const std::string relative = std::move(folders.back());
        folders.pop_back();
        FolderListing listing =
            openFolderListing(openBeneath(destination.get(), relative, O_RDONLY | O_DIRECTORY));
        if (!listing) {
            continue;
        }
        while (const dirent* item = ::readdir(listing.get())) {
            struct stat below {};
            if (item->d_type != DT_DIR && item->d_type != DT_UNKNOWN) {
                continue;
            }
            if (std::strcmp(item->d_name, ".") == 0 || std::strcmp(item->d_name, "..") == 0 ||
                ::fstatat(::dirfd(listing.get()), item->d_name, &below, AT_SYMLINK_NOFOLLOW) != 0 ||
                !S_ISDIR(below.st_mode)) {
                continue;
            }
            excludedFolders_.insert({below.st_dev, below.st_ino});
            folders.push_back(joined(relative, item->d_name));
        }
    }
}

std::string FolderWatch::fullPath(const Place& place) const {
    return place.relative.empty() ? tops_[place.top].path
                                  : joined(tops_[place.top].path, place.relative);
}

void FolderWatch::addWatch(int folderFd, const Place& place, std::vector<WatchNotice>* notices) {
    if (inotify_.get() < 0 || searching_) {
        return;
    }
    // The folder as it is open, whatever its name leads to by now.
    const std::string self = "/proc/self/fd/" + std::to_string(folderFd);
    const int wd = inotify_add_watch(inotify_.get(), self.c_str(), kFolderEvents);
    if (wd >= 0) {
        watched_[wd] = place;
    } else if (errno == ENOSPC) {
        notices->push_back({WatchNotice::Kind::Searching,
                            "the system's limit of folder watches is reached "
                            "(fs.inotify.max_user_watches); the folders are searched for new "
                            "files once a minute instead"});
        searching_ = true;
    }
}

void FolderWatch::walk(std::size_t top, const std::string& start,
                       std::vector<WatchNotice>* notices) {
    std::vector<std::string> folders{start};
    bool destinationNoted = false;
    while (!folders.empty()) {
        const std::string relative = std::move(folders.back());
        folders.pop_back();
        FileDescriptor folder =
            openBeneath(tops_[top].folder.get(), relative, O_RDONLY | O_DIRECTORY);
        struct stat info {};
        if (folder.get() < 0 || ::fstat(folder.get(), &info) != 0) {
            continue;
        }
        const FolderKey key{info.st_dev, info.st_ino};
        if (excludedFolders_.count(key) != 0) {
            // A folder of the destination that has gone may have left its
            // number to a new folder here: learnt anew before it counts.
            if (!std::exchange(destinationNoted, true)) {
                noteDestination(true);
            }
            if (excludedFolders_.count(key) != 0) {
                continue;
            }
        }
        // The watch comes first: a file written while the folder is read is
        // seen either way.
        addWatch(folder.get(), {top, relative}, notices);
        FolderListing listing = openFolderListing(std::move(folder));
        if (!listing) {
            continue;
        }
        while (const dirent* item = ::readdir(listing.get())) {
            if (std::strcmp(item->d_name, ".") == 0 || std::strcmp(item->d_name, "..") == 0) {
                continue;
            }
            unsigned char type = item->d_type;
            if (type == DT_UNKNOWN) {
                // Some file systems do not tell the type in the listing.
                struct stat below {};
                if (::fstatat(::dirfd(listing.get()), item->d_name, &below, AT_SYMLINK_NOFOLLOW) ==
                    0) {
                    type = S_ISDIR(below.st_mode) ? DT_DIR : S_ISREG(below.st_mode) ? DT_REG : 0;
                }
            }
            // A link, to a folder or to a file, is never followed.
            if (type == DT_DIR) {
                folders.push_back(joined(relative, item->d_name));
            } else if (type == DT_REG) {
                consider({top, joined(relative, item->d_name)}, true);
            }
        }
    }
}

void FolderWatch::consider(const Place& place, bool closed) {
    const std::string path = fullPath(place);
    if (taken_.count(path) != 0 || !looksLikeAVideo(path)) {
        return;
    }
    empty_.erase(path);
    auto [item, added] = pending_.try_emplace(path);
    if (added) {
        item->second.place = place;
        item->second.since = Clock::now();
    }
    item->second.closed = closed;
}

void FolderWatch::readEvents(std::vector<WatchNotice>* notices) {
    alignas(inotify_event) char buffer[64 * 1024];
    for (;;) {
        const ssize_t length = ::read(inotify_.get(), buffer, sizeof buffer);
        if (length <= 0) {
            return;
        }
        for (ssize_t at = 0; at < length;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            if (event->mask & IN_Q_OVERFLOW) {
                // Changes were lost: search everything once more.
                searchNow_ = true;
                continue;
            }
            const auto folder = watched_.find(event->wd);
            if (folder == watched_.end()) {
                continue;
            }
            const Place place = folder->second;
            if (event->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) {
                const bool top = place.relative.empty();
                if (!top && (event->mask & IN_MOVE_SELF)) {
                    // A subfolder renamed within the tree: the watch follows
                    // it, and its parent's event has named it anew.
                    continue;
                }
                if (top) {
                    markGone(place.top, notices);
                } else {
                    watched_.erase(folder);
                }
                continue;
            }
            if (event->len == 0) {
                continue;
            }
            const Place named{place.top, joined(place.relative, event->name)};
            if (event->mask & IN_ISDIR) {
                if (event->mask & IN_MOVED_FROM) {
                    // Gone from here: its watches go, and a move within the
                    // tree makes new ones under the new name.
                    unwatchTree(named);
                } else if (event->mask & (IN_CREATE | IN_MOVED_TO)) {
                    // The destination may have been made, or moved, in here.
                    noteDestination(false);
                    walk(named.top, named.relative, notices);
                }
            } else if (event->mask & (IN_DELETE | IN_MOVED_FROM)) {
                // A file of that name that comes later is another file.
                const std::string path = fullPath(named);
                pending_.erase(path);
                taken_.erase(path);
                empty_.erase(path);
                toldEmpty_.erase(path);
            } else if (event->mask & (IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE)) {
                // A new name may be a whole file moved or linked in, with no
                // write to come: only a write says that one is under way.
                consider(named, true);
            } else if (event->mask & IN_MODIFY) {
                consider(named, false);
            }
        }
    }
}

void FolderWatch::unwatchTree(const Place& place) {
    for (auto item = watched_.begin(); item != watched_.end();) {
        if (item->second.top == place.top && isUnder(item->second.relative, place.relative)) {
            inotify_rm_watch(inotify_.get(), item->first);
            item = watched_.erase(item);
        } else {
            ++item;
        }
    }
}

void FolderWatch::markGone(std::size_t top, std::vector<WatchNotice>* notices) {
    if (!missing_.insert(top).second) {
        return;
    }
    // Its watches go with it: late news of the old folder must not reach a
    // new one that takes its name.
    unwatchTree({top, ""});
    tops_[top].folder.reset();
    notices->push_back(
        {WatchNotice::Kind::FolderGone,
         tops_[top].path + ": the watched folder is gone; it is watched again when it comes back"});
}

void FolderWatch::lookForGoneTops(bool byName, std::vector<WatchNotice>* notices) {
    for (std::size_t top = 0; top < tops_.size(); ++top) {
        if (missing_.count(top) != 0 || tops_[top].folder.get() < 0) {
            continue;
        }
        // Held open, a removed folder lives on without a name, and the
        // kernel tells of its end only once it is closed.
        struct stat info {};
        bool gone = ::fstat(tops_[top].folder.get(), &info) != 0 || info.st_nlink == 0;
        if (byName && !gone) {
            // Without the kernel's news a folder moved away is seen only by
            // looking: the name leads elsewhere now, or to nothing.
            gone = ::lstat(tops_[top].path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) ||
                   FolderKey{info.st_dev, info.st_ino} != tops_[top].key;
        }
        if (gone) {
            markGone(top, notices);
        }
    }
}

void FolderWatch::takeComplete(std::vector<WatchedFile>* complete,
                               std::vector<WatchNotice>* notices) {
    const Clock::time_point now = Clock::now();
    std::vector<std::string> newlyEmpty;
    for (auto item = pending_.begin(); item != pending_.end();) {
        Pending& file = item->second;
        const Top& top = tops_[file.place.top];
        FileDescriptor opened = top.folder.get() >= 0
                                    ? openBeneath(top.folder.get(), file.place.relative, O_PATH)
                                    : FileDescriptor();
        struct stat info {};
        if (opened.get() < 0 || ::fstat(opened.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
            // Gone, or a link, or no file: nothing to take.
            item = pending_.erase(item);
            continue;
        }
        if (info.st_size != file.size || modifiedNs(info) != file.modified) {
            file.size = info.st_size;
            file.modified = modifiedNs(info);
            file.since = now;
        }
        if (!file.closed || now - file.since < timing_.settle) {
            ++item;
            continue;
        }
        if (file.size > 0) {
            complete->push_back(
                {item->first,
                 {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino),
                  static_cast<std::uint64_t>(info.st_size), modifiedNs(info)}});
            taken_.insert(item->first);
        } else {
            // Looked at again only when it changes: thousands of empty files
            // must not cost a core.
            empty_.emplace(item->first, file.place);
            if (toldEmpty_.insert(item->first).second) {
                newlyEmpty.push_back(item->first);
            }
        }
        item = pending_.erase(item);
    }
    if (newlyEmpty.size() == 1) {
        notices->push_back(
            {WatchNotice::Kind::EmptyFiles,
             newlyEmpty.front() + ": the file is empty; it is taken once it has content"});
    } else if (!newlyEmpty.empty()) {
        notices->push_back({WatchNotice::Kind::EmptyFiles,
                            std::to_string(newlyEmpty.size()) + " files are empty, " +
                                newlyEmpty.front() + " first; each is taken once it has content"});
    }
}

std::vector<WatchedFile> FolderWatch::poll(std::vector<WatchNotice>* notices) {
    notices->insert(notices->end(), startNotices_.begin(), startNotices_.end());
    startNotices_.clear();
    if (inotify_.get() >= 0) {
        readEvents(notices);
    }
    lookForGoneTops(false, notices);
    for (auto top = missing_.begin(); top != missing_.end();) {
        const std::string& path = tops_[*top].path;
        if ((!exclude_.empty() && isUnder(path, exclude_)) || !openTop(*top, notices)) {
            ++top;
            continue;
        }
        notices->push_back({WatchNotice::Kind::FolderBack, path + ": the watched folder is back"});
        const std::size_t back = *top;
        top = missing_.erase(top);
        walk(back, "", notices);
    }
    const Clock::time_point now = Clock::now();
    if (searchNow_ || (searching_ && now >= nextSearch_)) {
        noteDestination(true);
        lookForGoneTops(true, notices);
        for (std::size_t top = 0; top < tops_.size(); ++top) {
            if (missing_.count(top) == 0 && tops_[top].folder.get() >= 0) {
                // Folders made while news was lost get their watches too,
                // and empty files are looked at once more.
                walk(top, "", notices);
            }
        }
        searchNow_ = false;
        nextSearch_ = now + timing_.rescanPeriod;
    }
    std::vector<WatchedFile> complete;
    takeComplete(&complete, notices);
    // pending_ is ordered by name already.
    return complete;
}

}  // namespace vidmill
