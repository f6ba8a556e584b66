// What a run leaves on disk for the next one: the history saved while a
// batch runs, the entries and part files that a crash left unfinished, and
// the sweep of unfinished outputs at exit.

#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "engine/batch/part_file.h"
#include "engine/engine.h"
#include "engine/list/history_file.h"
#include "system/path_utils.h"
#include "system/user_folders.h"

namespace vidmill {

void Engine::deleteUnfinishedOutputs() {
    std::lock_guard lock(mutex_);
    for (const auto& entry : list_.entries()) {
        if (entry->status.load() != EntryStatus::Ok) {
            discardUnfinishedOutput(*entry);
        }
    }
}

void Engine::exitSweep() {
    expectInterfaceThread();
    // Entries are freed below: every worker must have ended first.
    stopEverything(std::chrono::seconds(15));

    // Unfinished conversions never wrote under their final names: only their
    // part files go.
    std::lock_guard lock(mutex_);
    for (int i = 0; i < list_.count();) {
        VideoEntry& entry = *list_.at(i);
        if (entry.status.load() != EntryStatus::Ok) {
            entry.status.store(EntryStatus::Cancelled);
            discardUnfinishedOutput(entry);
        }
        const EntryStatus status = entry.status.load();
        if (status == EntryStatus::Cancelled || status == EntryStatus::CancelledNotFound ||
            status == EntryStatus::ConversionError) {
            // A worker that outlived every wait keeps its entry alive.
            discardEntryAt(i);
            continue;
        }
        ++i;
    }
    list_.renumberRows();
    ++historyChanges_;
}

bool Engine::saveHistorySnapshot(const std::string& path) {
    // The entries are copied under the lock, and the records built and
    // written after it is free: the window and the workers wait meanwhile.
    std::vector<EntryView> views = entryViews();
    EntryList copy;
    {
        std::lock_guard lock(mutex_);
        copy.reserved = list_.reserved;
    }
    for (EntryView& view : views) {
        auto stored = createEntry(view.sourcePath);
        stored->status.store(isInProgress(view.status) ? EntryStatus::Cancelled : view.status);
        static_cast<EntryFacts&>(*stored) = std::move(view);
        copy.entries().append(stored);
    }
    return saveHistoryFile(copy, path) != 0;
}

int Engine::recoverUnfinishedEntries() {
    std::lock_guard lock(mutex_);
    int recovered = 0;
    for (const auto& entry : list_.entries()) {
        if (isInProgress(entry->status.load())) {
            entry->status.store(EntryStatus::Cancelled);
        }
    }
    // What a crashed run left half written is a part file; whatever lies
    // under a final name stays, whoever wrote it.
    for (const auto& entry : list_.entries()) {
        const EntryStatus status = entry->status.load();
        if (status != EntryStatus::Ok && status != EntryStatus::Ready &&
            !entry->outputPath.empty()) {
            removeLeftoverPart(entry->outputPath);
            entry->outputPath.clear();
            ++recovered;
        }
    }
    return recovered;
}

}  // namespace vidmill
