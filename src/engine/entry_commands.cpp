// The commands that change the list by hand: remove an entry, delete a
// converted video, rename it, drop the entries whose videos are gone.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "engine/engine.h"
#include "engine/output_path.h"
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

// Copies a file that cannot be renamed (another file system) into `to`,
// which the caller has created empty and exclusively. Gives 0 or an errno.
int copyFile(const std::string& from, const std::string& to) {
    const int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        return errno;
    }
    const int out = open(to.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (out < 0) {
        const int error = errno;
        close(in);
        return error;
    }
    int error = 0;
    char buffer[1 << 16];
    for (;;) {
        const ssize_t got = read(in, buffer, sizeof buffer);
        if (got == 0) {
            break;
        }
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            error = errno;
            break;
        }
        for (ssize_t done = 0; done < got;) {
            const ssize_t put = write(out, buffer + done, static_cast<size_t>(got - done));
            if (put < 0 && errno == EINTR) {
                continue;
            }
            if (put <= 0) {
                error = put < 0 ? errno : EIO;
                break;
            }
            done += put;
        }
        if (error != 0) {
            break;
        }
    }
    if (error == 0 && fsync(out) != 0) {
        error = errno;
    }
    close(in);
    if (close(out) != 0 && error == 0) {
        error = errno;
    }
    return error;
}

// Moves a file to a path that must not exist, never replacing one that
// appears there meanwhile. Gives 0 or an errno.
int moveWithoutReplacing(const std::string& from, const std::string& to) {
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return 0;
    }
    if (errno == EEXIST || errno == ENOENT) {
        return errno;
    }
    // A file system without the no-replace rename: a hard link cannot
    // replace either.
    if (errno == EINVAL || errno == ENOSYS) {
        if (link(from.c_str(), to.c_str()) == 0) {
            unlink(from.c_str());
            return 0;
        }
        if (errno != EXDEV && errno != EPERM) {
            return errno;
        }
    } else if (errno != EXDEV) {
        return errno;
    }
    // Another file system: a copy into a file made exclusively, then the
    // original goes.
    const int made = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (made < 0) {
        return errno;
    }
    close(made);
    const int error = copyFile(from, to);
    if (error != 0) {
        unlink(to.c_str());
        return error;
    }
    unlink(from.c_str());
    return 0;
}

}  // namespace

void Engine::dropEntryAt(int row) {
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
    if (batchActive()) {
        return CommandResult::BatchActive;
    }
    const VideoEntry* entry = list_.at(row);
    if (entry == nullptr) {
        return CommandResult::NoEntry;
    }
    return isRemovable(entry->status.load()) ? CommandResult::Done : CommandResult::WrongStatus;
}

Engine::CommandResult Engine::removeEntryAt(int row) {
    std::lock_guard lock(mutex_);
    const CommandResult allowed = checkRemovable(row);
    if (allowed == CommandResult::Done) {
        dropEntryAt(row);
    }
    return allowed;
}

Engine::CommandResult Engine::deleteVideoAt(int row, std::string* error) {
    std::lock_guard lock(mutex_);
    const CommandResult allowed = checkRemovable(row);
    if (allowed != CommandResult::Done) {
        return allowed;
    }
    const VideoEntry* entry = list_.at(row);
    // Only a converted file is ever deleted, never a source.
    if (entry->status.load() == EntryStatus::Ok && pathExists(entry->outputPath) &&
        unlink(entry->outputPath.c_str()) != 0) {
        if (error != nullptr) {
            *error = errorText(errno);
        }
        return CommandResult::FileFailed;
    }
    dropEntryAt(row);
    return CommandResult::Done;
}

Engine::CommandResult Engine::renameOutput(int row, const std::string& newName,
                                           std::string* error) {
    // The name is the file's, not a path: it must not lead anywhere else.
    if (newName.empty() || newName == "." || newName == ".." ||
        newName.find('/') != std::string::npos || newName.find('\0') != std::string::npos) {
        return CommandResult::BadName;
    }
    std::string from;
    std::string to;
    {
        std::lock_guard lock(mutex_);
        VideoEntry* entry = list_.at(row);
        if (entry == nullptr) {
            return CommandResult::NoEntry;
        }
        if (entry->status.load() != EntryStatus::Ok) {
            return CommandResult::WrongStatus;
        }
        // The entry's own output counts as taken, as do the workers' choices.
        if (makeOutputPath(&to, settings_.destinationFolder, newName, entry->presetId, list_) < 0 ||
            to.empty()) {
            return CommandResult::NoFreeName;
        }
        from = entry->outputPath;
        const int moved = moveWithoutReplacing(from, to);
        if (moved != 0) {
            if (error != nullptr) {
                *error = errorText(moved);
            }
            return CommandResult::FileFailed;
        }
        entry->name = newName;
        entry->outputPath = to;
        listModified_.store(true);
        ++historyChanges_;
    }
    return CommandResult::Done;
}

int Engine::removeMissingEntries() {
    if (batchActive()) {
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
