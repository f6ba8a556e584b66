#pragma once

// Replaces a file only once its new content is safely on the disk, so that
// a crash, a full disk or a power loss in the middle of a save leaves the
// old file as it was.

#include <ctime>
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

// Removes what saves of `path` that were cut short (killed, or the machine
// went down) left beside it: regular files of this user named exactly as
// saveFileSafely names its temporary files. Anything else stays, and so do
// the temporary files of a link's target in another folder. Gives the
// number removed. For start-up, before anything can be saving `path`.
int removeInterruptedSaves(const std::string& path);

// Keeps a damaged file aside, beside it, as "<name>.damaged-YYYYMMDD-HHMMSS"
// (local time `now`; "-1", "-2", ... added when that name is taken, which is
// never replaced), so that a new file can take its place and its bytes are
// not lost. Gives the new name without its folder, or empty when it could
// not be moved.
std::string keepDamagedFile(const std::string& path, std::time_t now);

}  // namespace vidmill
