#pragma once

// Replaces a file only once its new content is safely on the disk, so that
// a crash, a full disk or a power loss in the middle of a save leaves the
// old file as it was.

#include <functional>
#include <string>

namespace vidmill {

class RecordFile;

// Writes the content through `write` into a fresh temporary file in the
// folder of `path`, flushes it to the disk and renames it over `path`.
// True when the new file is in place. On any failure the temporary file is
// removed and `path` is left untouched. A `path` that is a symbolic link
// keeps the link: the file it points to is replaced.
bool saveFileSafely(const std::string& path, const std::function<void(RecordFile&)>& write);

}  // namespace vidmill
