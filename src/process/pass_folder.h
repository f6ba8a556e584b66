#pragma once

// Where a converter's first pass keeps what it learnt for the second: a
// private folder of its own under the user's cache, locked for as long as the
// converter runs, and removed with everything in it when the run ends. A run
// killed before it could remove it leaves the folder unlocked; the next batch
// sweeps such folders away.

#include <string>

#include "system/file_descriptor.h"

namespace vidmill {

class PassFolder {
  public:
    // Makes "pass-XXXXXX" under `parent` (which is made, private, when
    // missing) and locks it. Empty (path() == "") when that fails; `error`
    // then says why.
    static PassFolder create(const std::string& parent, std::string* error);

    PassFolder() = default;
    PassFolder(PassFolder&& other) noexcept;
    PassFolder& operator=(PassFolder&& other) noexcept;
    ~PassFolder();

    const std::string& path() const { return path_; }

  private:
    void remove();

    std::string path_;
    FileDescriptor folder_;  // held open, and locked, until the folder goes
};

// Removes the pass folders under `parent` that no running converter holds:
// only folders named as ours and owned by this user, and only the files in
// them. Returns how many went.
int sweepPassFolders(const std::string& parent);

}  // namespace vidmill
