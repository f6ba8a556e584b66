#pragma once

// The commands that change the list by hand: remove an entry, delete a
// converted video, rename it, drop the entries whose videos are gone. Each
// refuses while a batch is active (except the rename, which chooses its path
// under the lock as the workers do), takes the engine's lock itself, and
// never asks or shows anything: the caller does, before or after.

#include <atomic>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "engine/list/entry_list.h"
#include "system/thread_contract.h"

namespace vidmill {

enum class BatchState { Idle, Running };

enum class CommandResult {
    Done,
    BatchActive,   // refused while a batch is active
    NoEntry,       // no entry at that row
    WrongStatus,   // the entry's status does not allow it
    BadName,       // a name that is empty, ".", "..", or holds a "/"
    NoFreeName,    // the destination folder has no room for the name
    FileFailed,    // a file or folder could not be used; see `why`
    NothingReady,  // a batch with no Ready entry
};

// How a command on the list or the batch ended: done, or refused with the
// reason.
struct CommandOutcome {
    CommandOutcome() = default;
    CommandOutcome(CommandResult result, std::string why = {})
        : result(result), why(std::move(why)) {}

    CommandResult result = CommandResult::Done;
    // FileFailed: why, for the person ("Permission denied", ...).
    std::string why;
    // Entries that left the list.
    int removed = 0;
    // A command on many rows: the converted files that could not be
    // deleted, each with why; their entries stay.
    std::vector<std::pair<std::string, std::string>> failures;

    bool done() const { return result == CommandResult::Done; }
    bool operator==(CommandResult other) const { return result == other; }
};

// Removes what the entry's unfinished conversion wrote (its part file), never
// a file under a final name. With the engine's lock held.
void discardUnfinishedOutput(VideoEntry& entry);

class ListCommands {
  public:
    // What the commands share with the rest of the engine.
    struct Shared {
        EntryList& list;
        CheckedMutex& mutex;
        const BatchState& batchState;
        std::atomic<bool>& listModified;
        std::uint64_t& historyChanges;
        const OwnerThread& interfaceThread;
    };
    explicit ListCommands(Shared shared) : s_(shared) {}

    // Takes the entry out of the list (finished or Ready ones only); its
    // files stay.
    CommandOutcome removeEntryAt(int row);
    // The same, deleting first the converted file of an Ok entry; when that
    // fails the entry stays, and the outcome says why.
    CommandOutcome deleteVideoAt(int row);
    // Gives an Ok entry's converted file a free name made of `newName` in
    // the folder it is in, never replacing a file; the entry's name and
    // output path change only once the file has its new name.
    CommandOutcome renameOutput(int row, const std::string& newName);
    // Removes every entry whose output is not there (never-converted ones
    // included).
    CommandOutcome removeMissingEntries();
    // The same as removeEntryAt, or deleteVideoAt with `deleteVideos`, for
    // every row given, in one step: rows that may not go are left, and a
    // converted file that cannot be deleted keeps its entry and is named in
    // the outcome's failures.
    CommandOutcome removeEntriesAt(const std::vector<int>& rows, bool deleteVideos);

  private:
    void expectInterfaceThread() const {
        VIDMILL_EXPECT(s_.interfaceThread.isCurrent(), "the interface thread only");
    }
    void expectLocked() const {
        VIDMILL_EXPECT(s_.mutex.heldHere(), "with the engine's lock held");
    }
    // With the lock held: whether the entry at `row` may be removed by hand.
    CommandResult checkRemovable(int row) const;
    // With the lock held: the entry at `row` leaves the list and the change
    // is noted.
    void dropEntryAt(int row);
    void noteChange();

    Shared s_;
};

}  // namespace vidmill
