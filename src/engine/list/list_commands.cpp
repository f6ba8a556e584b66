// The commands that change the list by hand.

#include "engine/list/list_commands.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "engine/batch/output_path.h"
#include "engine/batch/part_file.h"
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

void discardUnfinishedOutput(VideoEntry& entry) {
    entry.part.discard();
    // One left by an earlier run that ended without cleaning up.
    removeLeftoverPart(entry.outputPath);
}

void ListCommands::noteChange() {
    s_.listModified.store(true);
    ++s_.historyChanges;
}

void ListCommands::dropEntryAt(int row) {
    expectLocked();
    if (VideoEntry* entry = s_.list.at(row); entry && entry->status.load() != EntryStatus::Ok) {
        // Nothing of an unfinished conversion may outlive its entry.
        discardUnfinishedOutput(*entry);
    }
    (void)s_.list.entries().removeAt(row);
    s_.list.renumberFrom(row);
    noteChange();
}

CommandResult ListCommands::checkRemovable(int row) const {
    expectLocked();
    if (s_.batchState != BatchState::Idle) {
        return CommandResult::BatchActive;
    }
    const VideoEntry* entry = s_.list.at(row);
    if (entry == nullptr) {
        return CommandResult::NoEntry;
    }
    return isRemovable(entry->status.load()) ? CommandResult::Done : CommandResult::WrongStatus;
}

CommandOutcome ListCommands::removeEntryAt(int row) {
    expectInterfaceThread();
    std::lock_guard lock(s_.mutex);
    CommandOutcome outcome{checkRemovable(row)};
    if (outcome.done()) {
        dropEntryAt(row);
        outcome.removed = 1;
    }
    return outcome;
}

CommandOutcome ListCommands::deleteVideoAt(int row) {
    expectInterfaceThread();
    std::lock_guard lock(s_.mutex);
    CommandOutcome outcome{checkRemovable(row)};
    if (!outcome.done()) {
        return outcome;
    }
    const VideoEntry* entry = s_.list.at(row);
    // Only a converted file is ever deleted, never a source, nor a file that
    // took its name after it was moved away.
    if (entry->status.load() == EntryStatus::Ok && pathExists(entry->outputPath)) {
        if (!isStillTheFile(entry->outputPath, entry->outputIdentity)) {
            return {CommandResult::FileFailed, kNotOurFile};
        }
        if (unlink(entry->outputPath.c_str()) != 0) {
            return {CommandResult::FileFailed, errorText(errno)};
        }
    }
    dropEntryAt(row);
    outcome.removed = 1;
    return outcome;
}

CommandOutcome ListCommands::renameOutput(int row, const std::string& newName) {
    expectInterfaceThread();
    // The name is the file's, not a path: it must not lead anywhere else.
    if (newName.empty() || newName == "." || newName == ".." ||
        newName.find('/') != std::string::npos || newName.find('\0') != std::string::npos) {
        return {CommandResult::BadName};
    }
    std::lock_guard lock(s_.mutex);
    VideoEntry* entry = s_.list.at(row);
    if (entry == nullptr) {
        return {CommandResult::NoEntry};
    }
    if (entry->status.load() != EntryStatus::Ok) {
        return {CommandResult::WrongStatus};
    }
    const std::string from = entry->outputPath;
    if (!isStillTheFile(from, entry->outputIdentity)) {
        return {CommandResult::FileFailed, kNotOurFile};
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
            makeOutputPath(&name, folder, newName, entry->presetId, s_.list);
            return name;
        },
        [&](const std::string& name) { return moveWithoutReplacing(from, name); }, &to);
    if (moved == EEXIST) {
        return {CommandResult::NoFreeName};
    }
    if (moved != 0) {
        return {CommandResult::FileFailed, errorText(moved)};
    }
    entry->name = newName;
    entry->outputPath = to;
    noteChange();
    return {};
}

CommandOutcome ListCommands::removeEntriesAt(const std::vector<int>& rows, bool deleteVideos) {
    expectInterfaceThread();
    if (s_.batchState != BatchState::Idle) {
        return {CommandResult::BatchActive};
    }
    CommandOutcome outcome;
    std::lock_guard lock(s_.mutex);
    std::vector<bool> chosen(static_cast<std::size_t>(s_.list.count()), false);
    for (int row : rows) {
        if (checkRemovable(row) != CommandResult::Done) {
            continue;
        }
        VideoEntry& entry = *s_.list.at(row);
        // Only a converted file is ever deleted, never a source, nor a file
        // that took its name after it was moved away.
        if (deleteVideos && entry.status.load() == EntryStatus::Ok &&
            pathExists(entry.outputPath)) {
            const bool ours = isStillTheFile(entry.outputPath, entry.outputIdentity);
            if (!ours || unlink(entry.outputPath.c_str()) != 0) {
                outcome.failures.emplace_back(entry.outputPath,
                                              ours ? errorText(errno) : std::string(kNotOurFile));
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
    outcome.removed = int(s_.list.entries()
                              .removeWhere([&](const VideoEntry&, int index) {
                                  return chosen[static_cast<std::size_t>(index)];
                              })
                              .size());
    if (outcome.removed > 0) {
        s_.list.renumberRows();
        noteChange();
    }
    return outcome;
}

CommandOutcome ListCommands::removeMissingEntries() {
    expectInterfaceThread();
    if (s_.batchState != BatchState::Idle) {
        return {CommandResult::BatchActive};
    }
    CommandOutcome outcome;
    std::lock_guard lock(s_.mutex);
    for (int row = s_.list.count() - 1; row >= 0; --row) {
        if (!pathExists(s_.list.at(row)->outputPath)) {
            (void)s_.list.entries().removeAt(row);
            ++outcome.removed;
        }
    }
    s_.list.renumberRows();
    noteChange();
    return outcome;
}

}  // namespace vidmill
