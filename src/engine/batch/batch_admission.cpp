// Batches of conversions: one worker per entry, admitted in list order while
// fewer than the chosen number of converters run; stopping one entry or all.

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <thread>
#include <utility>

#include "engine/batch/part_file.h"
#include "engine/engine.h"
#include "engine/engine_host.h"
#include "engine/gui_call.h"
#include "formats/format_preset.h"
#include "formats/settings_rules.h"
#include "process/converter_runner.h"
#include "process/pass_folder.h"
#include "system/path_utils.h"
#include "system/size_time_text.h"
#include "system/tick_count.h"
#include "system/user_folders.h"

namespace vidmill {
namespace {

// An entry waits while one of this many entries before it still waits.
constexpr int kOrderWindow = 50;

}  // namespace

int Engine::readyCount() const {
    expectInterfaceThread();
    return list_.countReady();
}

int Engine::stoppedCount() const {
    expectInterfaceThread();
    int stopped = 0;
    list_.countReady(&stopped);
    return stopped;
}

int Engine::requeueStopped() {
    expectInterfaceThread();
    if (batchState_ != BatchState::Idle) {
        return 0;
    }
    return list_.requeueCancelled();
}

CommandOutcome Engine::startBatch() {
    expectInterfaceThread();
    // A batch starts only from the idle state: its counters and settings
    // copy may change only while no worker lives.
    if (batchState_ != BatchState::Idle || threadsAlive_ > 0) {
        return {CommandResult::BatchActive};
    }
    const int ready = list_.countReady();
    if (ready <= 0) {
        return {CommandResult::NothingReady};
    }
    batchTotal_ = ready;
    {
        std::lock_guard lock(mutex_);
        batchAwaitingAdmission_ = ready;
    }
    finishedCount_ = 0;
    batchConverted_ = 0;
    batchFailed_ = 0;
    stopAllFlag_ = false;
    killConverters_.store(false);
    copyBatchValues(batchSettings_, settings_);
    batchSkipExisting_ = skipExisting_;
    // A destination removed since it was chosen is made again; one that
    // cannot be made is said plainly, rather than failing every conversion.
    const std::string destination(textOf(batchSettings_.destinationFolder));
    if (!isFolder(destination) && !makeFolders(destination)) {
        const int error = errno;
        host_.message(kInformationMessage, "The destination folder " + destination +
                                               " is missing and could not be made (" +
                                               std::strerror(error) +
                                               "). Please choose another folder.");
        return {CommandResult::FileFailed, "cannot create the output folder"};
    }
    // A folder that cannot take a file is said once, now, rather than by
    // every conversion of the batch one after another.
    if (const int error = checkFolderTakesFiles(destination); error != 0) {
        host_.message(kInformationMessage, "The destination folder " + destination +
                                               " cannot take new files (" + std::strerror(error) +
                                               "). Please choose another folder.");
        return {CommandResult::FileFailed, "output folder is not writable"};
    }
    // What a run killed with its converters (a power cut, kill -9 on the
    // whole group) left half written; no history names it when that run
    // was a terminal job's.
    removeLeftoverParts(destination, timing_.leftoverPartAge);
    // And in the subfolders that this batch writes into.
    std::set<std::string> subfolders;
    for (const auto& entry : list_.entries()) {
        if (entry->status.load() == EntryStatus::Ready && !entry->outputSubfolder.empty()) {
            subfolders.insert(entry->outputSubfolder);
        }
    }
    for (const std::string& subfolder : subfolders) {
        if (std::string folder; joinOutputSubfolder(destination, subfolder, &folder)) {
            removeLeftoverParts(folder, timing_.leftoverPartAge);
        }
    }
    // First passes of converters killed with their run left their logs.
    sweepPassFolders(passFolder_);
    // Made, or found private, now: each converter makes its own folder in it.
    FileDescriptor passes;
    std::string why;
    if (wantsTwoPasses(batchSettings_) && !openPassParent(passFolder_, &passes, &why)) {
        host_.message(kInformationMessage, "The folder " + passFolder_ +
                                               " for the first passes' logs cannot be used (" +
                                               why + ").");
        return {CommandResult::FileFailed,
                std::string(kPassLogsFault) + " cannot be kept in " + passFolder_ + ": " + why};
    }
    batchState_ = BatchState::Running;
    host_.batchStarted();
    for (const auto& entry : list_.entries()) {
        if (entry->status.load() == EntryStatus::Ready) {
            // The slot number left by the probe belongs to nobody now: a stop
            // must not reach whoever holds that slot next.
            entry->progressSlot = -1;
            entry->cancelRequested.store(false);
            entry->status.store(EntryStatus::Pending);
            awaitingWorker_.push_back(entry);
        }
    }
    launchWaitingWorkers();
    finishBatchWhenIdle();
    return {};
}

bool Engine::launchWorker(const std::shared_ptr<VideoEntry>& entry) {
    expectInterfaceThread();
    ++threadsAlive_;
    if (!workers_.start([this, entry] { conversionWorker(*entry); },
                        [this, entry] { completeWorker(*entry); }, gui_)) {
        --threadsAlive_;
        return false;
    }
    return true;
}

void Engine::launchWaitingWorkers() {
    expectInterfaceThread();
    while (!awaitingWorker_.empty() && threadsAlive_ < timing_.maxLiveWorkers) {
        const std::shared_ptr<VideoEntry> owner = std::move(awaitingWorker_.front());
        awaitingWorker_.pop_front();
        VideoEntry& entry = *owner;
        if (entry.status.load() != EntryStatus::Pending) {
            // Stopped before its worker came: done without converting.
            ++finishedCount_;
            ++batchFailed_;
            continue;
        }
        if (!launchWorker(owner)) {
            // It must not hold back the entries behind it.
            entry.status.store(EntryStatus::ConversionError);
            ++finishedCount_;
            ++batchFailed_;
            std::lock_guard lock(mutex_);
            entry.failureReason = "no thread could be started for it";
            host_.entryChanged(entry.row);
        }
    }
}

void Engine::conversionWorker(VideoEntry& entry) {
    // The stop request was cleared when the batch started, so a stop that
    // comes before this thread runs still counts.
    {
        std::lock_guard lock(mutex_);
        entry.progressSlot = -1;
        // What shapes an output comes from the batch's copy: settings
        // changed meanwhile wait for the next batch.
        entry.presetId = batchSettings_.presetId;
        entry.failureReason.clear();
        entry.note.clear();
        entry.reachedSeconds.store(0, std::memory_order_relaxed);
        ++workerCount_;
        splitPath(entry.sourcePath, nullptr, &entry.name, nullptr);
    }
    if (!entry.cancelRequested.load()) {
        entry.status.store(EntryStatus::Pending);
    }
    // Each trip to the interface thread costs a switch there and back, and
    // for a short conversion those add up: calls that follow one another
    // with nothing in between go as one.
    gui_.guiCall([this, &entry] {
        if (!hostClosing_) {
            host_.workerStarted();
        }
        refreshEntry(entry);
    });

    {
        std::unique_lock lock(mutex_);
        waitingRows_.insert(entry.row);
        for (bool first = true;; first = false) {
            if (!first) {
                // A worker behind an earlier waiting entry cannot start before
                // that one leaves, and is woken when it does; it checks only
                // now and then besides. The others check every poll period,
                // and at once when a converter ends. A worker that may start
                // at once, or was stopped before it got here, does not wait.
                const int period = waitsForEarlierEntry(entry.row) ? timing_.admissionPollMs * 10
                                                                   : timing_.admissionPollMs;
                entry.admission.wait_for(lock, std::chrono::milliseconds(period));
            }
            bool leave = false;
            if (entry.cancelRequested.load()) {
                entry.status.store(EntryStatus::Cancelled);
                entry.failureReason = "stopped";
                leave = true;
            } else if (!paused_.load() && runningCount_ < settings_.maxConcurrent &&
                       !waitsForEarlierEntry(entry.row)) {
                leave = true;
            }
            if (leave) {
                ++runningCount_;
                --batchAwaitingAdmission_;
                if (!entry.cancelRequested.load()) {
                    entry.progressSlot = channel_.allocateSlot();
                }
                waitingRows_.erase(entry.row);
                if (entry.cancelRequested.load()) {
                    wakeFollowers(entry.row);
                }
                break;
            }
        }
    }
    if (entry.cancelRequested.load()) {
        gui_.guiCall([this, &entry] { refreshEntry(entry); });
    } else {
        {
            std::lock_guard lock(mutex_);
            listModified_.store(true);
            entry.status.store(EntryStatus::Starting);
            // A pause that came since it left the queue holds it too.
            entry.paused.store(paused_.load());
            entry.transferState = 0;
            entry.transferred = 0;
            entry.size = 0;
            entry.startTick = tickCount();
            // No longer Pending: the entries behind may go now.
            wakeFollowers(entry.row);
        }
        // Shown as Converting an instant later, in convertEntry's first call.
        convertEntry(entry);
    }
    // On record before the next conversion takes this one's place.
    if (finishedHook_) {
        finishedHook_();
    }
    std::lock_guard lock(mutex_);
    --runningCount_;
    --workerCount_;
    wakeFirstWaiting();
}

void Engine::wakeFollowers(int row) {
    expectLocked();
    // Only the first waiting worker behind `row` can have been freed: every
    // later one still has that one waiting ahead of it.
    auto next = waitingRows_.upper_bound(row);
    if (next != waitingRows_.end() && *next <= row + kOrderWindow) {
        if (VideoEntry* follower = list_.at(*next)) {
            follower->admission.notify_one();
        }
    }
}

void Engine::wakeFirstWaiting() {
    expectLocked();
    if (!waitingRows_.empty()) {
        if (VideoEntry* first = list_.at(*waitingRows_.begin())) {
            first->admission.notify_one();
        }
    }
}

void Engine::cancelEntry(VideoEntry& entry) {
    expectLocked();
    // The request comes first: a converter that stops at once must find its
    // entry cancelled, not finished.
    entry.cancelRequested.store(true);
    entry.status.store(EntryStatus::Cancelled);
    requestEntryStop(entry);
    cancelWaiting(entry);
}

void Engine::requestEntryStop(VideoEntry& entry) {
    expectLocked();
    channel_.requestStop(entry.progressSlot);
    // A converter held stopped would never read its stop byte.
    if (entry.paused.exchange(false)) {
        applyConverterPauses();
    }
}

bool Engine::pauseBatch() {
    expectInterfaceThread();
    if (batchState_ == BatchState::Idle || paused_.load()) {
        return false;
    }
    std::vector<VideoEntry*> held;
    {
        std::lock_guard lock(mutex_);
        paused_.store(true);
        pausedAtTick_ = tickCount();
        for (const auto& entry : list_.entries()) {
            const EntryStatus status = entry->status.load();
            if ((status == EntryStatus::Starting || status == EntryStatus::Converting) &&
                !entry->cancelRequested.load()) {
                entry->paused.store(true);
                held.push_back(entry.get());
            }
        }
        applyConverterPauses();
    }
    for (VideoEntry* entry : held) {
        refreshEntry(*entry);
    }
    return true;
}

void Engine::resumeBatch() {
    expectInterfaceThread();
    if (!paused_.load()) {
        return;
    }
    std::vector<VideoEntry*> held;
    {
        std::lock_guard lock(mutex_);
        // The time left counts conversion time only: the pause is taken off.
        const uint32_t pause = tickCount() - pausedAtTick_;
        for (const auto& entry : list_.entries()) {
            if (entry->paused.exchange(false)) {
                entry->startTick += pause;
                held.push_back(entry.get());
            }
        }
        paused_.store(false);
        applyConverterPauses();
        wakeFirstWaiting();
    }
    for (VideoEntry* entry : held) {
        refreshEntry(*entry);
    }
}

void Engine::cancelWaiting(VideoEntry& entry) {
    expectLocked();
    entry.admission.notify_one();
    wakeFollowers(entry.row);
}

bool Engine::waitsForEarlierEntry(int row) const {
    expectLocked();
    for (int i = row - 1; i >= 0 && i >= row - kOrderWindow; --i) {
        const VideoEntry* earlier = list_.at(i);
        if (earlier != nullptr && earlier->status.load() == EntryStatus::Pending) {
            return true;
        }
    }
    return false;
}

int Engine::reportProgress(VideoEntry& entry) {
    entry.status.store(EntryStatus::Converting);
    gui_.guiCall([this, &entry] { refreshEntry(entry); });
    return 1;
}

void Engine::refreshEntry(VideoEntry& entry) {
    if (hostClosing_) {
        return;
    }
    ++historyChanges_;
    std::lock_guard lock(mutex_);
    if (batchState_ != BatchState::Idle) {
        double average = 0;
        const int inUse = channel_.readOverall(average);
        const double done = inUse * average + finishedCount_ * 100.0;
        const double whole = batchTotal_ * 100.0;
        const int percent = whole != 0 ? int(done * 100.0 / whole) : 0;
        char text[64];
        snprintf(text, sizeof text, "%d / %d  %d%%%s", runningCount_, workerCount_, percent,
                 paused_.load() ? "  paused" : "");
        host_.batchProgress(percent, text);
    }
    host_.entryChanged(entry.row);
}

void Engine::completeWorker(VideoEntry& entry) {
    expectInterfaceThread();
    int slot;
    {
        std::lock_guard lock(mutex_);
        slot = entry.progressSlot;
    }
    channel_.releaseSlot(slot);
    ++finishedCount_;
    --threadsAlive_;
    ++historyChanges_;
    if (entry.status.load() == EntryStatus::Ok) {
        ++batchConverted_;
    } else {
        ++batchFailed_;
    }
    if (hostClosing_) {
        // Nobody is to hear of it, but the batch is over all the same.
        if (threadsAlive_ == 0 && awaitingWorker_.empty()) {
            batchState_ = BatchState::Idle;
        }
        return;
    }
    launchWaitingWorkers();
    finishBatchWhenIdle();
    host_.workerEnded();
}

void Engine::finishBatchWhenIdle() {
    expectInterfaceThread();
    // Counted here on the interface thread, so the batch ends exactly once,
    // after the last completion, and never while a new worker starts up.
    if (threadsAlive_ > 0 || !awaitingWorker_.empty()) {
        return;
    }
    channel_.resetSlots();
    paused_.store(false);
    if (batchState_ == BatchState::Running) {
        batchState_ = BatchState::Idle;
        // What follows the batch (power-off, exit) is the host's to decide.
        host_.batchEnded(stopAllFlag_);
    }
}

void Engine::hostClosing() {
    expectInterfaceThread();
    hostClosing_ = true;
}

int Engine::stopEntries(const std::vector<std::uint64_t>& ids) {
    expectInterfaceThread();
    const std::set<std::uint64_t> chosen(ids.begin(), ids.end());
    std::lock_guard lock(mutex_);
    int stopped = 0;
    for (const auto& entry : list_.entries()) {
        if (chosen.count(entry->id) != 0 && isInProgress(entry->status.load())) {
            cancelEntry(*entry);
            ++stopped;
        }
    }
    return stopped;
}

void Engine::stopAll() {
    expectInterfaceThread();
    if (batchState_ == BatchState::Idle) {
        return;
    }
    {
        std::lock_guard lock(mutex_);
        for (const auto& entry : list_.entries()) {
            if (isInProgress(entry->status.load())) {
                cancelEntry(*entry);
            }
        }
    }
    stopAllFlag_ = true;
}

void Engine::markBatchStopped() {
    expectInterfaceThread();
    stopAllFlag_ = true;
}

void Engine::stopEverything(std::chrono::milliseconds limit) {
    {
        std::lock_guard lock(mutex_);
        for (const auto& entry : list_.entries()) {
            if (isInProgress(entry->status.load())) {
                // The status stays: the exit sweep judges it.
                entry->cancelRequested.store(true);
                requestEntryStop(*entry);
                cancelWaiting(*entry);
            }
        }
    }
    awaitingWorker_.clear();
    if (waitForWorkers(limit)) {
        batchState_ = BatchState::Idle;
    }
}

}  // namespace vidmill
