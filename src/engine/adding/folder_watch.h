#pragma once

// Watch folders: the videos that appear below a few folders (subfolders
// included), each handed out once it is complete, that is closed after its
// last write and then unchanged for a few seconds, so that a file still
// being copied is never taken. The kernel tells of changes (inotify); where
// it cannot (its limit of watches reached, its queue overflowed) the folders
// are searched again now and then instead. No thread of its own: the owner
// calls poll() now and then, or when fd() is readable.
//
// A watched folder is a door that others may walk through: it is read only
// through its own open descriptor, and no link in it is followed, to a
// folder or to a file, so nothing outside the tree it was given is ever
// handed out. The destination is left out by what it is (the device and
// inode of it and of the folders below it), whatever name leads to it.

#include <sys/types.h>

#include <chrono>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "engine/batch/part_file.h"
#include "system/file_descriptor.h"

namespace vidmill {

struct FolderWatchTiming {
    // How long a closed file must stay unchanged before it is taken.
    std::chrono::milliseconds settle{5000};
    // How often the folders are searched again when the kernel cannot watch
    // them all.
    std::chrono::milliseconds rescanPeriod{60000};
};

// A file that has become complete: its path, and what it was when it was
// found so (the file converted must still be that file).
struct WatchedFile {
    std::string path;
    FileIdentity identity;
};

// Something the user should hear of, with its kind, so that a front end
// decides by the kind and shows the text as it is.
struct WatchNotice {
    enum class Kind {
        // A watched folder lies in the destination: nothing in it is taken.
        InDestination,
        // A link stands where a watched folder was.
        LinkInPlace,
        // The kernel cannot watch every folder: they are searched instead.
        Searching,
        FolderGone,
        FolderBack,
        // Files that settled empty, waiting for content.
        EmptyFiles,
    };
    Kind kind;
    std::string text;
};

class FolderWatch {
  public:
    // Watches every folder of `folders` (absolute paths), each under its
    // resolved name (links followed once, now: the person chose it), which
    // the files given out start with. Nothing in `exclude` (the destination)
    // or below it is ever taken, nor a part file, nor an empty file. The
    // files already there count as appearing now.
    FolderWatch(std::vector<std::string> folders, std::string exclude,
                FolderWatchTiming timing = {});
    FolderWatch(const FolderWatch&) = delete;
    FolderWatch& operator=(const FolderWatch&) = delete;

    // Reads what changed, and gives the files that have become complete
    // since the last call, in name order, each once. What the user should
    // hear of (a watched folder gone or back, files that stay empty, the
    // watch falling back to searches) is appended to `notices`.
    std::vector<WatchedFile> poll(std::vector<WatchNotice>* notices);
    // Readable when the kernel has news; -1 without inotify.
    int fd() const { return inotify_.get(); }

  private:
    using Clock = std::chrono::steady_clock;
    using FolderKey = std::pair<dev_t, ino_t>;
    struct Top {
        std::string path;
        FileDescriptor folder;
        FolderKey key{};
    };
    // A name below one of the watched folders.
    struct Place {
        std::size_t top = 0;
        std::string relative;
    };
    struct Pending {
        Place place;
        long long size = -1;
        long long modified = -1;
        Clock::time_point since;
        // Closed after its last write, as far as we know.
        bool closed = true;
    };

    // Opens the watched folder when it is a real folder now (no link);
    // tells once when a link stands in its place.
    bool openTop(std::size_t top, std::vector<WatchNotice>* notices);
    // Watches and searches the folder at `relative` and every folder below it.
    void walk(std::size_t top, const std::string& relative, std::vector<WatchNotice>* notices);
    void addWatch(int folderFd, const Place& place, std::vector<WatchNotice>* notices);
    void consider(const Place& place, bool closed);
    void readEvents(std::vector<WatchNotice>* notices);
    void unwatchTree(const Place& place);
    void markGone(std::size_t top, std::vector<WatchNotice>* notices);
    // Marks gone the watched folders that are: removed, or, `byName`, moved
    // away or replaced.
    void lookForGoneTops(bool byName, std::vector<WatchNotice>* notices);
    void takeComplete(std::vector<WatchedFile>* complete, std::vector<WatchNotice>* notices);
    // Learns what the destination and the folders below it are now.
    void noteDestination(bool withSubfolders);
    std::string fullPath(const Place& place) const;

    std::vector<Top> tops_;
    std::string exclude_;
    std::set<FolderKey> excludedFolders_;
    FolderWatchTiming timing_;
    FileDescriptor inotify_;
    std::map<int, Place> watched_;
    // Watched folders that are gone, looked for again at each poll.
    std::set<std::size_t> missing_;
    // Those among them with a link in their place, told once.
    std::set<std::size_t> toldLink_;
    std::map<std::string, Pending> pending_;
    // Files that settled empty: looked at again when they change, or at a
    // search; each told of once.
    std::map<std::string, Place> empty_;
    std::set<std::string> toldEmpty_;
    std::set<std::string> taken_;
    // What the start found to tell, given out by the first poll.
    std::vector<WatchNotice> startNotices_;
    // The kernel cannot watch every folder: they are searched now and then.
    bool searching_ = false;
    bool searchNow_ = false;
    Clock::time_point nextSearch_;
};

}  // namespace vidmill
