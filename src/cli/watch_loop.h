#pragma once

// The loop of `vidmill-cli --watch`: whatever becomes complete in the
// watched folders is admitted and converted, batch after batch, until the
// run is interrupted.

#include <functional>
#include <string>
#include <vector>

#include "engine/adding/folder_watch.h"
#include "engine/batch/part_file.h"

namespace vidmill {

// Where below the destination the output of `path`, found in the folder
// `top`, goes when the tree is kept: the folders between the two.
std::string subfolderBelow(const std::string& top, const std::string& path);

// Complete files as the run admits them: each with its subfolder and what
// it was when found, so that the file converted is the file found.
struct WatchBatch {
    std::vector<std::string> paths;
    std::vector<std::string> subfolders;
    std::vector<FileIdentity> identities;
};

// `tops` are the watched folders as the watch names them.
WatchBatch makeWatchBatch(const std::vector<WatchedFile>& files,
                          const std::vector<std::string>& tops, bool keepTree);

// What the loop asks of the run around it.
class WatchRun {
  public:
    virtual ~WatchRun() = default;
    virtual bool interrupted() = 0;
    // Between looks: a Ctrl+Z stops us here.
    virtual void pauseWhenAsked() = 0;
    // Probes and admits the batch; false when none of it is to be converted.
    virtual bool admit(const WatchBatch& batch) = 0;
    // Converts what was admitted, calling `look` between looks at the
    // conversions, and forgets it; false when it was interrupted.
    virtual bool convert(const std::function<void()>& look) = 0;
};

void runWatchLoop(FolderWatch& watch, const std::vector<std::string>& tops, bool keepTree,
                  WatchRun& run);

}  // namespace vidmill
