#pragma once

// A folder opened for reading its names, closed when it goes out of scope.

#include <dirent.h>

#include <memory>
#include <string>

namespace vidmill {

struct FolderListingCloser {
    void operator()(DIR* folder) const { ::closedir(folder); }
};
using FolderListing = std::unique_ptr<DIR, FolderListingCloser>;

// Empty when the folder cannot be opened (errno tells why).
inline FolderListing openFolderListing(const std::string& folder) {
    return FolderListing(::opendir(folder.c_str()));
}

}  // namespace vidmill
