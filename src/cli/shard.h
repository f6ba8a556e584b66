#pragma once

// Shares of one search: N runs over the same inputs each take one share of
// what they all find, so that every file is taken once.

#include <string>
#include <vector>

namespace vidmill {

// A file the search found, or turned down.
struct FoundFile {
    std::string path;
    // Where below the destination its output goes.
    std::string subfolder;
    // Both empty for a file to convert; else what standard error says of it
    // and the reason in the report.
    std::string message;
    std::string reason;
};

// Share `share` (1 to `shares`) of what the search found, sorted by path.
std::vector<FoundFile> takeShare(std::vector<FoundFile> found, int share, int shares);

}  // namespace vidmill
