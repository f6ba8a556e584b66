#pragma once

// Part files: a conversion writes into a hidden file of its own beside the
// final name, and the file takes the final name only once it is complete.
// So nothing under a final name is ever half written, and nothing that
// Vidmill did not write is ever removed as "unfinished".
//
// A part file is reserved by creating it exclusively and holding an
// exclusive flock on it for as long as its conversion runs: another Vidmill
// (a second terminal job, a window recovering from a crash) sees the lock and
// leaves the file alone, and sees the name taken when it chooses its own.

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "system/file_descriptor.h"

namespace vidmill {

// What a part file's name starts with; the final name follows it.
inline constexpr std::string_view kPartPrefix = ".vidmill-part-";

// The extended attribute that marks a file as a part file made by Vidmill;
// its value is the user id of the one who made it.
inline constexpr const char* kPartMark = "user.vidmill.part";

// The extended attribute that names the source a published output was made
// from (sourceMarkText), so that a later run finds it under whatever name it
// took and converts that source no second time.
inline constexpr const char* kSourceMark = "user.vidmill.source";

// The part file of a final output path: ".vidmill-part-<name>" in the same
// folder. Empty for an empty path.
std::string partPathFor(std::string_view outputPath);

// Whether `path` names a part file (by its name alone).
bool isPartPath(std::string_view path);

// What tells a file Vidmill wrote from another under the same name: its
// place on the disk, its size and its modification time.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t size = 0;
    std::int64_t modifiedNs = 0;
    bool known() const { return inode != 0; }
    bool operator==(const FileIdentity&) const = default;
    // "device inode size modified", and back; a text that is not one reads
    // as unknown.
    std::string text() const;
    static FileIdentity fromText(const std::string& text);
};

// The identity of the file open as `fd`; unknown when it cannot be read.
FileIdentity fileIdentityOf(int fd);

// Whether `path` (not followed if a link) is still the file of `identity`;
// true when the identity is not known, as for entries of older versions.
bool isStillTheFile(const std::string& path, const FileIdentity& identity);

// The source mark of an output made from `sourcePath`, as that file is now
// (`source`: its identity; unknown reads it by name): its size, its time and
// its path. Empty when the source cannot be read.
std::string sourceMarkText(const std::string& sourcePath, FileIdentity source = {});

// Whether the file at `path` (never through a link) carries the source mark
// `mark`, or, with `mark` empty, any source mark.
bool carriesSourceMark(const std::string& path, const std::string& mark);

// Whether the part file of `outputPath` is held locked: a conversion that
// runs now, in this program or another, writes that name.
bool partIsHeld(const std::string& outputPath);

// Opens `path` for reading, without following a link at its end, when it is
// still the file of `identity` (place, size and time alike); invalid when it
// is not, or cannot be opened.
FileDescriptor openSameFile(const std::string& path, const FileIdentity& identity);

class PartFile {
  public:
    PartFile() = default;
    PartFile(const PartFile&) = delete;
    PartFile& operator=(const PartFile&) = delete;
    PartFile(PartFile&& other) noexcept;
    PartFile& operator=(PartFile&& other) noexcept;
    // A reserved part that was neither published nor discarded goes.
    ~PartFile();

    // Creates the part file of `outputPath` exclusively and locks it. 0 on
    // success, otherwise the errno value (EEXIST: the name is taken).
    int reserve(const std::string& outputPath);
    bool reserved() const { return fd_ >= 0; }
    // The open part file, while reserved; -1 otherwise.
    int fd() const { return fd_; }
    // The reserved file's identity as it is now (unknown when none is).
    FileIdentity identity() const;
    const std::string& path() const { return path_; }

    // Gives the part file the name `outputPath`, never replacing a file:
    // 0 on success, EEXIST when that name is taken, ESTALE when the part's
    // name no longer leads to the reserved file and it cannot be published
    // without it, another errno value otherwise. The part stays reserved
    // unless it succeeded. The final name always leads to the reserved file.
    int publish(const std::string& outputPath);

    // Marks the reserved file as made from the source of `mark`
    // (sourceMarkText); a file system without extended attributes takes
    // none, which costs only the finding of it by a later run.
    void markSource(const std::string& mark);

    // Gives the part file the access and modification times of `sourcePath`,
    // as a copy that keeps its dates would have. 0 or the errno value.
    int takeTimesOf(const std::string& sourcePath);

    // Removes the part file and gives up the reservation.
    void discard();

  private:
    // Whether the part's name still leads to the reserved file.
    bool nameLeadsHere() const;
    void release();
    void finishPublishing();

    int fd_ = -1;
    std::string path_;
};

// Removes the part file of `outputPath` left by a run that ended without
// cleaning up: only a regular file of this user under the part name that no
// running Vidmill holds locked. True when one was removed.
bool removeLeftoverPart(const std::string& outputPath);

// The same for every part file in `folder` that nothing has changed for
// `minimumAge`: what a killed run left there, whatever its name. A part that
// another Vidmill has just created and not yet locked, or that the
// converter of a run that has just died still writes, is never among them.
// Gives how many were removed.
int removeLeftoverParts(const std::string& folder, std::chrono::seconds minimumAge);

// 0 when a new file can be made in `folder`: a part file is made there and
// removed again, as a conversion would. Otherwise the errno value (EACCES,
// EROFS, ENOENT, ...).
int checkFolderTakesFiles(const std::string& folder);

// Takes the first name that is free: `take` is tried on the names that
// `nextName` gives, one after the other, while it answers EEXIST (another
// process took that name between the look and the take), at most
// kNameAttempts times. `nextName` gives an empty name when it has none left.
// 0 with the name taken in *taken, another errno value when `take` failed
// otherwise, or EEXIST when no free name was found.
inline constexpr int kNameAttempts = 100;
int takeFreeName(const std::function<std::string()>& nextName,
                 const std::function<int(const std::string&)>& take, std::string* taken);

}  // namespace vidmill
