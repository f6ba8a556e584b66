#pragma once

// Opening a name below a folder held open, so that nothing in the name can
// lead out of that folder: no link is followed, neither a link to a folder
// on the way nor one at the end, and no ".." climbs above the start. A
// folder that others may fill (a watched drop folder) is read only this way.

#include <string>

#include "system/file_descriptor.h"

namespace vidmill {

// Opens `relative` (no leading "/"; "" or "." is the folder itself) below
// the folder open as `folderFd`, with `flags` (O_CLOEXEC and O_NOFOLLOW are
// added). Invalid with errno set when it cannot: ELOOP when a link is met,
// EXDEV when the name climbs out.
FileDescriptor openBeneath(int folderFd, const std::string& relative, int flags);

}  // namespace vidmill
