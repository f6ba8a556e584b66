#pragma once

// A folder opened for reading its names, closed when it goes out of scope.

#include <dirent.h>

#include <memory>
#include <string>

#include "system/file_descriptor.h"

namespace vidmill {

struct FolderListingCloser {
    void operator()(DIR* folder) const { ::closedir(folder); }
};
using FolderListing = std::unique_ptr<DIR, FolderListingCloser>;

// Empty when the folder cannot be opened (errno tells why).
inline FolderListing openFolderListing(const std::string& folder) {
    return FolderListing(::opendir(folder.c_str()));
}

// The folder open as `folder`, for reading its names; empty when it cannot
// be read as one.
inline FolderListing openFolderListing(FileDescriptor folder) {
    const int fd = folder.release();
    DIR* listing = fd >= 0 ? ::fdopendir(fd) : nullptr;
    if (listing == nullptr && fd >= 0) {
        ::close(fd);
    }
    return FolderListing(listing);
}

}  // namespace vidmill
