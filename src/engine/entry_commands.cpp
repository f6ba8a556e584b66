// The commands that change the list by hand: remove an entry, delete a
// converted video, rename it, drop the entries whose videos are gone.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <thread>
#include <type_traits>
#include <utility>

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

// Copies the file at `from`, when it is still the file of `identity`, into
// the open file `out`, which the caller has created empty and exclusively.
// Gives 0 or an errno (ESTALE: `from` leads to another file now).
int copyFile(const std::string& from, const FileIdentity& identity, int out) {
    const int in = open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (in < 0) {
        return errno == ELOOP ? ESTALE : errno;
    }
    struct stat info {};
    if (fstat(in, &info) != 0 || !S_ISREG(info.st_mode) ||
        (identity.known() && !(fileIdentityOf(in) == identity))) {
        close(in);
        return ESTALE;
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
    return error;
}

// Moves a file within its file system to a path that must not exist,
// never replacing one that appears there meanwhile. Gives 0 or an errno;
// EXDEV when the two lie on different file systems.
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
    return errno == EPERM ? EXDEV : errno;
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

Engine::CommandResult Engine::renameOutput(int row, const std::string& newName, std::string* error,
                                           const std::function<void()>& pump) {
    expectInterfaceThread();
    // The name is the file's, not a path: it must not lead anywhere else.
    if (newName.empty() || newName == "." || newName == ".." ||
        newName.find('/') != std::string::npos || newName.find('\0') != std::string::npos) {
        return CommandResult::BadName;
    }
    auto fail = [error](auto reason) {
        if (error != nullptr) {
            if constexpr (std::is_same_v<decltype(reason), int>) {
                *error = errorText(reason);
            } else {
                *error = reason;
            }
        }
        return CommandResult::FileFailed;
    };
    std::string from;
    FileIdentity identity;
    std::string to;
    PartFile copy;
    {
        std::lock_guard lock(mutex_);
        VideoEntry* entry = list_.at(row);
        if (entry == nullptr) {
            return CommandResult::NoEntry;
        }
        if (entry->status.load() != EntryStatus::Ok) {
            return CommandResult::WrongStatus;
        }
        from = entry->outputPath;
        identity = entry->outputIdentity;
        if (!isStillTheFile(from, entry->outputIdentity)) {
            return fail(kNotOurFile);
        }
        // The entry's own output counts as taken, as do the workers' choices.
        if (makeOutputPath(&to, settings_.destinationFolder, newName, entry->presetId, list_) < 0 ||
            to.empty()) {
            return CommandResult::NoFreeName;
        }
        const int moved = moveWithoutReplacing(from, to);
        if (moved == 0) {
            entry->name = newName;
            entry->outputPath = to;
            listModified_.store(true);
            ++historyChanges_;
            return CommandResult::Done;
        }
        if (moved != EXDEV) {
            return fail(moved);
        }
        // Another file system: the copy goes into a part file of the new
        // name, made now so that nobody else takes the name meanwhile.
        if (const int reserved = copy.reserve(to); reserved != 0) {
            return fail(reserved);
        }
    }
    // The copy may take long: neither the workers nor the window wait for it
    // under the lock. The caller keeps the list still meanwhile.
    int copied = 0;
    if (pump) {
        std::atomic<bool> done{false};
        std::thread copier([&] {
            copied = copyFile(from, identity, copy.fd());
            done.store(true);
        });
        for (;;) {
            pump();
            if (done.load()) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        copier.join();
    } else {
        copied = copyFile(from, identity, copy.fd());
    }
    if (copied == ESTALE) {
        return fail(kNotOurFile);  // the part file goes with `copy`
    }
    if (copied != 0) {
        return fail(copied);
    }
    // A renamed file keeps its dates, as a move within one file system does.
    copy.takeTimesOf(from);
    std::lock_guard lock(mutex_);
    VideoEntry* entry = list_.at(row);
    if (entry == nullptr || entry->outputPath != from) {
        return fail(ESTALE);
    }
    const FileIdentity copyIdentity = copy.identity();
    bool first = true;
    std::string published;
    const int taken = takeFreeName(
        [&] {
            // Someone else may have written that name meanwhile: it stays,
            // and the next is tried.
            std::string name = to;
            if (!std::exchange(first, false) &&
                makeOutputPath(&name, settings_.destinationFolder, newName, entry->presetId,
                               list_) < 0) {
                name.clear();
            }
            return name;
        },
        [&](const std::string& name) { return copy.publish(name); }, &published);
    if (taken == EEXIST) {
        return CommandResult::NoFreeName;
    }
    if (taken != 0) {
        return fail(taken);
    }
    to = published;
    if (isStillTheFile(from, entry->outputIdentity)) {
        unlink(from.c_str());
    }
    entry->name = newName;
    entry->outputPath = to;
    entry->outputIdentity = copyIdentity;
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
