#include "engine/folder_watch.h"

#include <dirent.h>
#include <sys/inotify.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <utility>

#include "engine/part_file.h"
#include "engine/video_files.h"
#include "system/path_utils.h"
#include "system/user_folders.h"

namespace vidmill {
namespace {

constexpr uint32_t kFolderEvents = IN_CREATE | IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_TO |
                                   IN_MOVED_FROM | IN_DELETE | IN_DELETE_SELF | IN_MOVE_SELF |
                                   IN_ONLYDIR;

std::string joined(const std::string& folder, const char* name) {
    return folder.back() == '/' ? folder + name : folder + "/" + name;
}

bool isUnder(const std::string& path, const std::string& folder) {
    return path == folder ||
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
    splitPath(path, nullptr, nullptr, nullptr, &extension);
    const std::size_t slash = path.rfind('/');
    const std::string_view file(path.c_str() + (slash == std::string::npos ? 0 : slash + 1));
    return file.substr(0, kPartPrefix.size()) != kPartPrefix &&
           isSupportedExtension(extension, kAllSupportedExtensions);
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
    for (const std::string& folder : folders) {
        tops_.push_back(resolved(folder));
        const std::string& top = tops_.back();
        if (!isFolder(top)) {
            missing_.insert(top);
            continue;
        }
        if (excluded(top)) {
            startNotices_.push_back(top +
                                    ": lies in the destination folder, so nothing in it is "
                                    "taken");
            continue;
        }
        // The watch comes first: a file written while the search runs is
        // seen either way.
        watchTree(top, &startNotices_);
        search(top);
    }
    nextSearch_ = Clock::now() + timing_.rescanPeriod;
}

bool FolderWatch::excluded(const std::string& path) const {
    return !exclude_.empty() && isUnder(path, exclude_);
}

void FolderWatch::watchTree(const std::string& folder, std::vector<std::string>* notices) {
    if (inotify_.get() < 0) {
        return;
    }
    std::vector<std::string> folders{folder};
    while (!folders.empty() && !searching_) {
        const std::string next = std::move(folders.back());
        folders.pop_back();
        if (excluded(next)) {
            continue;
        }
        const int wd = inotify_add_watch(inotify_.get(), next.c_str(), kFolderEvents);
        if (wd < 0) {
            if (errno == ENOSPC) {
                notices->push_back(
                    "the system's limit of folder watches is reached "
                    "(fs.inotify.max_user_watches); the folders are searched for new files "
                    "once a minute instead");
                searching_ = true;
            }
            continue;
        }
        watched_[wd] = next;
        DIR* listing = opendir(next.c_str());
        if (listing == nullptr) {
            continue;
        }
        while (const dirent* item = readdir(listing)) {
            if (std::strcmp(item->d_name, ".") == 0 || std::strcmp(item->d_name, "..") == 0) {
                continue;
            }
            std::string path = joined(next, item->d_name);
            struct stat info {};
            // Some file systems do not tell the type in the listing.
            if (item->d_type == DT_DIR ||
                (item->d_type == DT_UNKNOWN && lstat(path.c_str(), &info) == 0 &&
                 S_ISDIR(info.st_mode))) {
                folders.push_back(std::move(path));
            }
        }
        closedir(listing);
    }
}

void FolderWatch::search(const std::string& folder) {
    // What is found this way may still be written to: only the settling
    // time tells.
    addFolder(folder, [this](const std::string& path) { consider(path, true); });
}

void FolderWatch::consider(const std::string& path, bool closed) {
    if (taken_.count(path) != 0 || excluded(path) || !looksLikeAVideo(path)) {
        return;
    }
    auto [item, added] = pending_.try_emplace(path);
    if (added) {
        item->second.since = Clock::now();
    }
    item->second.closed = closed;
}

void FolderWatch::readEvents(std::vector<std::string>* notices) {
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
            if (event->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) {
                const std::string gone = folder->second;
                const bool top = std::find(tops_.begin(), tops_.end(), gone) != tops_.end();
                if (!top && (event->mask & IN_MOVE_SELF)) {
                    // A subfolder renamed within the tree: the watch follows
                    // it, and its parent's event has named it anew.
                    continue;
                }
                if (top && missing_.insert(gone).second) {
                    notices->push_back(gone +
                                       ": the watched folder is gone; it is watched again "
                                       "when it comes back");
                }
                if (event->mask & IN_MOVE_SELF) {
                    inotify_rm_watch(inotify_.get(), event->wd);
                }
                watched_.erase(folder);
                continue;
            }
            if (event->len == 0) {
                continue;
            }
            const std::string path = joined(folder->second, event->name);
            if (event->mask & IN_ISDIR) {
                if (event->mask & IN_MOVED_FROM) {
                    // Gone from here: its watches go, and a move within the
                    // tree makes new ones under the new name.
                    unwatchTree(path);
                } else if (event->mask & (IN_CREATE | IN_MOVED_TO)) {
                    watchTree(path, notices);
                    search(path);
                }
            } else if (event->mask & (IN_DELETE | IN_MOVED_FROM)) {
                // A file of that name that comes later is another file.
                pending_.erase(path);
                taken_.erase(path);
            } else if (event->mask & (IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE)) {
                // A new name may be a link to a whole file, with no write to
                // come: only a write says that one is under way.
                consider(path, true);
            } else if (event->mask & IN_MODIFY) {
                consider(path, false);
            }
        }
    }
}

void FolderWatch::unwatchTree(const std::string& folder) {
    for (auto item = watched_.begin(); item != watched_.end();) {
        if (isUnder(item->second, folder)) {
            inotify_rm_watch(inotify_.get(), item->first);
            item = watched_.erase(item);
        } else {
            ++item;
        }
    }
}

std::vector<std::string> FolderWatch::poll(std::vector<std::string>* notices) {
    notices->insert(notices->end(), startNotices_.begin(), startNotices_.end());
    startNotices_.clear();
    if (inotify_.get() >= 0) {
        readEvents(notices);
    }
    for (auto top = missing_.begin(); top != missing_.end();) {
        if (!isFolder(*top)) {
            ++top;
            continue;
        }
        notices->push_back(*top + ": the watched folder is back");
        watchTree(*top, notices);
        search(*top);
        top = missing_.erase(top);
    }
    const Clock::time_point now = Clock::now();
    if (searchNow_ || (searching_ && now >= nextSearch_)) {
        for (const std::string& top : tops_) {
            if (missing_.count(top) == 0 && !excluded(top)) {
                // Folders made while news was lost get their watches too.
                watchTree(top, notices);
                search(top);
            }
        }
        searchNow_ = false;
        nextSearch_ = now + timing_.rescanPeriod;
    }
    std::vector<std::string> complete;
    for (auto item = pending_.begin(); item != pending_.end();) {
        Pending& file = item->second;
        struct stat info {};
        if (lstat(item->first.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
            item = pending_.erase(item);
            continue;
        }
        const long long modified =
            static_cast<long long>(info.st_mtim.tv_sec) * 1'000'000'000LL + info.st_mtim.tv_nsec;
        if (info.st_size != file.size || modified != file.modified) {
            file.size = info.st_size;
            file.modified = modified;
            file.since = now;
        }
        if (file.closed && file.size > 0 && now - file.since >= timing_.settle) {
            complete.push_back(item->first);
            taken_.insert(item->first);
            item = pending_.erase(item);
            continue;
        }
        ++item;
    }
    // pending_ is ordered by name already.
    return complete;
}

}  // namespace vidmill
