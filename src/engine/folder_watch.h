#pragma once

// Watch folders: the videos that appear below a few folders (subfolders
// included), each handed out once it is complete, that is closed after its
// last write and then unchanged for a few seconds, so that a file still
// being copied is never taken. The kernel tells of changes (inotify); where
// it cannot (its limit of watches reached, its queue overflowed) the folders
// are searched again now and then instead. No thread of its own: the owner
// calls poll() now and then, or when fd() is readable.

#include <chrono>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "system/file_descriptor.h"

namespace vidmill {

struct FolderWatchTiming {
    // How long a closed file must stay unchanged before it is taken.
    std::chrono::milliseconds settle{5000};
    // How often the folders are searched again when the kernel cannot watch
    // them all.
    std::chrono::milliseconds rescanPeriod{60000};
};

class FolderWatch {
  public:
    // Watches every folder of `folders` (absolute paths), each under its
    // resolved name (links followed), which the files given out start with.
    // Nothing at or below `exclude` (the destination) is ever taken, nor a
    // part file, nor an empty file. The files already there count as
    // appearing now.
    FolderWatch(std::vector<std::string> folders, std::string exclude,
                FolderWatchTiming timing = {});
    FolderWatch(const FolderWatch&) = delete;
    FolderWatch& operator=(const FolderWatch&) = delete;

    // Reads what changed, and gives the files that have become complete
    // since the last call, in name order, each once. What the user should
    // hear of (a watched folder gone or back, the watch falling back to
    // searches) is appended to `notices`, one line each.
    std::vector<std::string> poll(std::vector<std::string>* notices);
    // Readable when the kernel has news; -1 without inotify.
    int fd() const { return inotify_.get(); }
    // Files seen but not yet complete.
    std::size_t waitingCount() const { return pending_.size(); }

  private:
    using Clock = std::chrono::steady_clock;
    struct Pending {
        long long size = -1;
        long long modified = -1;
        Clock::time_point since;
        // Closed after its last write, as far as we know.
        bool closed = true;
    };
    void watchTree(const std::string& folder, std::vector<std::string>* notices);
    void unwatchTree(const std::string& folder);
    void search(const std::string& folder);
    void consider(const std::string& path, bool closed);
    void readEvents(std::vector<std::string>* notices);
    bool excluded(const std::string& path) const;

    std::vector<std::string> tops_;
    std::string exclude_;
    FolderWatchTiming timing_;
    FileDescriptor inotify_;
    std::map<int, std::string> watched_;
    // Top folders that are gone, looked for again at each poll.
    std::set<std::string> missing_;
    std::map<std::string, Pending> pending_;
    std::set<std::string> taken_;
    // What the start found to tell, given out by the first poll.
    std::vector<std::string> startNotices_;
    // The kernel cannot watch every folder: they are searched now and then.
    bool searching_ = false;
    bool searchNow_ = false;
    Clock::time_point nextSearch_;
};

}  // namespace vidmill
