#pragma once

// Where a converter's first pass keeps what it learnt for the second: a
// private folder of its own under the user's cache, locked for as long as the
// converter runs, and removed with everything in it when the run ends. A run
// killed before it could remove it leaves the folder unlocked; the next batch
// sweeps such folders away.

#include <string>
#include <string_view>

#include "system/file_descriptor.h"

namespace vidmill {

// How every reason begins that blames the folder of the first passes' logs
// rather than the video: the machine's fault, which a retry elsewhere or
// later may mend.
inline constexpr std::string_view kPassLogsFault = "the first passes' logs";

// Opens `parent`, the folder that holds the pass folders, making it private
// (and the folders above it as usual) when missing. Only a real folder that
// this user owns is taken, and one open to others is made private first;
// anything else gives false, with `why` saying what stands there or what the
// system said.
bool openPassParent(const std::string& parent, FileDescriptor* folder, std::string* why);

class PassFolder {
  public:
    // Makes "pass-XXXXXX" in `parent` (see openPassParent) and locks it.
    // Empty (path() == "") when that fails; `error` then says why.
    static PassFolder create(const std::string& parent, std::string* error);

    PassFolder() = default;
    PassFolder(PassFolder&& other) noexcept;
    PassFolder& operator=(PassFolder&& other) noexcept;
    ~PassFolder();

    const std::string& path() const { return path_; }
    // The path to give an encoder that writes and renames its files by
    // name: through the descriptor held, so that no name changed meanwhile
    // leads it elsewhere. The folder's own path where /proc is missing.
    std::string encoderPath() const;
    // Why the folder takes no more bytes (ENOSPC, EDQUOT, EIO, ...), found by
    // writing some: 0 when it does.
    int writeError() const;

  private:
    void remove();

    std::string path_;
    std::string name_;
    FileDescriptor parent_;
    FileDescriptor folder_;  // held open, and locked, until the folder goes
};

// Removes the pass folders in `parent` that no running converter holds:
// only folders named as ours and owned by this user, and only the files in
// them, in a parent that is itself a folder of this user's. Returns how many
// went.
int sweepPassFolders(const std::string& parent);

}  // namespace vidmill
