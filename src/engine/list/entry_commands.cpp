// The commands that change the list by hand: remove an entry, delete a
// converted video, rename it, drop the entries whose videos are gone.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "engine/batch/output_path.h"
#include "engine/batch/part_file.h"
#include "engine/engine.h"
#include "formats/format_preset.h"
#include "system/path_utils.h"

namespace vidmill {

namespace {

bool isRemovable(EntryStatus status) {
    return isFinished(status) || status == EntryStatus::Ready;
}

bool pathExists(const std::string& path) {
    struct stat info;
    return !path.empty() && stat(path.c_str(), &info) == 0;
}

std::string errorText(int error) {
    return std::strerror(error);
}

// Moves a file within its folder to a name that must not exist, never
// replacing one that appears there meanwhile. Gives 0 or an errno.
int moveWithoutReplacing(const std::string& from, const std::string& to) {
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return 0;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return errno;
    }
    // A file system without the no-replace rename: a hard link cannot
    // replace either.
    if (link(from.c_str(), to.c_str()) == 0) {
        unlink(from.c_str());
        return 0;
    }
    return errno;
}

constexpr const char* kNotOurFile = "it is no longer the file Vidmill wrote";

}  // namespace

void Engine::dropEntryAt(int row) {
    expectLocked();
    if (VideoEntry* entry = list_.at(row); entry && entry->status.load() != EntryStatus::Ok) {
        // Nothing of an unfinished conversion may outlive its entry.
        discardUnfinishedOutput(*entry);
    }
    discardEntryAt(row);
    list_.renumberFrom(row);
    listModified_.store(true);
    ++historyChanges_;
}

Engine::CommandResult Engine::checkRemovable(int row) const {
    expectLocked();
    if (batchState_ != BatchState::Idle) {
        return CommandResult::BatchActive;
    }
    const VideoEntry* entry = list_.at(row);
    if (entry == nullptr) {
        return CommandResult::NoEntry;
    }
    return isRemovable(entry->status.load()) ? CommandResult::Done : CommandResult::WrongStatus;
}

Engine::CommandResult Engine::removeEntryAt(int row) {
    expectInterfaceThread();
    std::lock_guard lock(mutex_);
    const CommandResult allowed = checkRemovable(row);
    if (allowed == CommandResult::Done) {
        dropEntryAt(row);
    }
    return allowed;
}

Engine::CommandResult Engine::deleteVideoAt(int row, std::string* error) {
    expectInterfaceThread();
    std::lock_guard lock(mutex_);
    const CommandResult allowed = checkRemovable(row);
    if (allowed != CommandResult::Done) {
        return allowed;
    }
    const VideoEntry* entry = list_.at(row);
    // Only a converted file is ever deleted, never a source, nor a file that
    // took its name after it was moved away.
    if (entry->status.load() == EntryStatus::Ok && pathExists(entry->outputPath)) {
        if (!isStillTheFile(entry->outputPath, entry->outputIdentity)) {
            if (error != nullptr) {
                *error = kNotOurFile;
            }
            return CommandResult::FileFailed;
        }
        if (unlink(entry->outputPath.c_str()) != 0) {
            if (error != nullptr) {
                *error = errorText(errno);
            }
            return CommandResult::FileFailed;
        }
    }
    dropEntryAt(row);
    return CommandResult::Done;
}

Engine::CommandResult Engine::renameOutput(int row, const std::string& newName,
                                           std::string* error) {
    expectInterfaceThread();
    // The name is the file's, not a path: it must not lead anywhere else.
    if (newName.empty() || newName == "." || newName == ".." ||
        newName.find('/') != std::string::npos || newName.find('\0') != std::string::npos) {
        return CommandResult::BadName;
    }
    auto fail = [error](const std::string& reason) {
        if (error != nullptr) {
            *error = reason;
        }
        return CommandResult::FileFailed;
    };
    std::lock_guard lock(mutex_);
    VideoEntry* entry = list_.at(row);
    if (entry == nullptr) {
        return CommandResult::NoEntry;
    }
    if (entry->status.load() != EntryStatus::Ok) {
        return CommandResult::WrongStatus;
    }
    const std::string from = entry->outputPath;
    if (!isStillTheFile(from, entry->outputIdentity)) {
        return fail(kNotOurFile);
    }
    // The file stays in the folder it is in, whatever the destination (or
    // the subfolder of a kept structure) is now.
    std::string folder;
    splitPath(from, &folder, nullptr, nullptr);
    std::string to;
    const int moved = takeFreeName(
        [&] {
            // The entry's own output counts as taken, as do the workers' choices.
            std::string name;
            makeOutputPath(&name, folder, newName, entry->presetId, list_);
            return name;
        },
        [&](const std::string& name) { return moveWithoutReplacing(from, name); }, &to);
    if (moved == EEXIST) {
        return CommandResult::NoFreeName;
    }
    if (moved != 0) {
        return fail(errorText(moved));
    }
    entry->name = newName;
    entry->outputPath = to;
    listModified_.store(true);
    ++historyChanges_;
    return CommandResult::Done;
}

int Engine::removeEntriesAt(const std::vector<int>& rows, bool deleteVideos,
                            std::vector<std::pair<std::string, std::string>>* failures) {
    expectInterfaceThread();
    if (batchState_ != BatchState::Idle) {
        return -1;
    }
    std::lock_guard lock(mutex_);
    std::vector<bool> chosen(static_cast<std::size_t>(list_.count()), false);
    for (int row : rows) {
        if (checkRemovable(row) != CommandResult::Done) {
            continue;
        }
        VideoEntry& entry = *list_.at(row);
        // Only a converted file is ever deleted, never a source, nor a file
        // that took its name after it was moved away.
        if (deleteVideos && entry.status.load() == EntryStatus::Ok &&
            pathExists(entry.outputPath)) {
            const bool ours = isStillTheFile(entry.outputPath, entry.outputIdentity);
            if (!ours || unlink(entry.outputPath.c_str()) != 0) {
                if (failures != nullptr) {
                    failures->emplace_back(entry.outputPath,
                                           ours ? errorText(errno) : std::string(kNotOurFile));
                }
                continue;
            }
        }
        if (entry.status.load() != EntryStatus::Ok) {
            discardUnfinishedOutput(entry);
        }
        chosen[static_cast<std::size_t>(row)] = true;
    }
    // One pass over the list, however many go: a selection of thousands
    // must not move the rest once per entry.
    const std::size_t count = list_.entries()
                                  .removeWhere([&](const VideoEntry&, int index) {
                                      return chosen[static_cast<std::size_t>(index)];
                                  })
                                  .size();
    if (count > 0) {
        list_.renumberRows();
        listModified_.store(true);
        ++historyChanges_;
    }
    return static_cast<int>(count);
}

int Engine::removeMissingEntries() {
    expectInterfaceThread();
    if (batchState_ != BatchState::Idle) {
        return -1;
    }
    std::lock_guard lock(mutex_);
    int removed = 0;
    for (int row = list_.count() - 1; row >= 0; --row) {
        if (!pathExists(list_.at(row)->outputPath)) {
            discardEntryAt(row);
            ++removed;
        }
    }
    list_.renumberRows();
    listModified_.store(true);
    ++historyChanges_;
    return removed;
}

}  // namespace vidmill
