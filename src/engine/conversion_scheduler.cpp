// Batches of conversions: one worker per entry, admitted in list order while
// fewer than the chosen number of converters run.

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <thread>
#include <utility>

#include "engine/conversion_run.h"
#include "engine/engine.h"
#include "engine/engine_host.h"
#include "engine/gui_call.h"
#include "engine/history_file.h"
#include "engine/output_path.h"
#include "engine/part_file.h"
#include "formats/converter_command.h"
#include "formats/format_preset.h"
#include "process/converter_runner.h"
#include "system/file_descriptor.h"
#include "system/path_utils.h"
#include "system/size_time_text.h"
#include "system/tick_count.h"
#include "system/user_folders.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>

namespace vidmill {
namespace {

// An entry waits while one of this many entries before it still waits.
constexpr int kOrderWindow = 50;

constexpr const char* kDestinationRemoved =
    "the destination folder was removed during the conversion";
constexpr const char* kNoFreeName = "no free output name in the destination folder";
constexpr const char* kPartReplaced =
    "the unfinished file was replaced or removed during the conversion, so it was not published";

// Why a file or folder could not be made in the destination, in one line.
std::string folderErrorText(int error, const char* otherwise) {
    return error == ENOSPC                     ? "disk full"
           : error == EACCES || error == EROFS ? "output folder is not writable"
                                               : otherwise;
}

}  // namespace

void Engine::startConversions() {
    if (converting_) {
        return;
    }
    int cancelled = 0;
    int ready = list_.countReady(&cancelled);
    if (ready == 0 && cancelled >= 1) {
        char text[200];
        snprintf(text, sizeof text,
                 "No video is ready to convert. Convert the %d stopped videos again?", cancelled);
        if (host_.showMessage(kQuestionMessage, text) == 1) {
            ready = list_.requeueCancelled();
            host_.refreshEntryList();
            host_.showEntryCount();
            host_.gotoRow(list_.count() - 1);
        }
    }
    if (ready == 0) {
        host_.openAddVideos();
    }
    startBatch();
}

void Engine::startBatch() {
    // A batch starts only from the idle state: its counters and settings
    // copy may change only while no worker lives.
    if (converting_ || threadsAlive_ > 0) {
        return;
    }
    const int ready = list_.countReady();
    if (ready <= 0) {
        return;
    }
    if (settings_.shutdownAfter && !host_.confirmShutdown()) {
        return;
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
    shutdownPending_ = false;
    killConverters_.store(false);
    if (!host_.editBatchSettings(ready)) {
        return;
    }
    host_.saveSettings();
    host_.showSettingsStrip();
    copyConversionValues(batchSettings_, settings_);
    // A destination removed since it was chosen is made again; one that
    // cannot be made is said plainly, rather than failing every conversion.
    const std::string destination(textOf(batchSettings_.destinationFolder));
    if (!isFolder(destination) && !makeFolders(destination)) {
        const int error = errno;
        host_.showMessage(kInformationMessage, "The destination folder " + destination +
                                                   " is missing and could not be made (" +
                                                   std::strerror(error) +
                                                   "). Please choose another folder.");
        return;
    }
    // A folder that cannot take a file is said once, now, rather than by
    // every conversion of the batch one after another.
    if (const int error = checkFolderTakesFiles(destination); error != 0) {
        host_.showMessage(kInformationMessage,
                          "The destination folder " + destination + " cannot take new files (" +
                              std::strerror(error) + "). Please choose another folder.");
        return;
    }
    // What a run killed with its converters (a power cut, kill -9 on the
    // whole group) left half written; no history names it when that run
    // was a terminal job's.
    removeLeftoverParts(destination, kLeftoverPartAge);
    host_.setBatchControls(true);
    for (const auto& entry : list_.entries()) {
        if (entry->status.load() == EntryStatus::Ready) {
            // The slot number left by the probe belongs to nobody now: a stop
            // must not reach whoever holds that slot next.
            entry->progressSlot = -1;
            entry->cancelRequested.store(false);
            entry->status.store(EntryStatus::Pending);
            awaitingWorker_.push_back(entry.get());
        }
    }
    launchWaitingWorkers();
    finishBatchWhenIdle();
}

bool Engine::launchWorker(VideoEntry& entry) {
    ++threadsAlive_;
    const int started = startWorker(
        entry.worker, true,
        [this](WorkerThread& block) { conversionWorker(*static_cast<VideoEntry*>(block.data)); },
        &entry,
        [this](WorkerThread& block) { completeWorker(*static_cast<VideoEntry*>(block.data)); },
        gui_);
    if (started == 0) {
        --threadsAlive_;
        return false;
    }
    return true;
}

void Engine::launchWaitingWorkers() {
    while (!awaitingWorker_.empty() && threadsAlive_ < timing_.maxLiveWorkers) {
        VideoEntry& entry = *awaitingWorker_.front();
        awaitingWorker_.pop_front();
        if (entry.status.load() != EntryStatus::Pending) {
            // Stopped before its worker came: done without converting.
            ++finishedCount_;
            ++batchFailed_;
            continue;
        }
        if (!launchWorker(entry)) {
            // It must not hold back the entries behind it.
            entry.status.store(EntryStatus::ConversionError);
            ++finishedCount_;
            ++batchFailed_;
            std::lock_guard lock(mutex_);
            entry.failureReason = "no thread could be started for it";
            host_.updateRow(entry.row);
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
        splitPath(entry.sourcePath, nullptr, nullptr, &entry.name, nullptr);
    }
    if (!entry.cancelRequested.load()) {
        entry.status.store(EntryStatus::Pending);
    }
    // Each trip to the interface thread costs a switch there and back, and
    // for a short conversion those add up: calls that follow one another
    // with nothing in between go as one.
    gui_.guiCall([this, &entry] {
        setConvertingState(true);
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
            } else if (runningCount_ < settings_.maxConcurrent &&
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
    if (!waitingRows_.empty()) {
        if (VideoEntry* first = list_.at(*waitingRows_.begin())) {
            first->admission.notify_one();
        }
    }
}

void Engine::cancelEntry(VideoEntry& entry) {
    // The request comes first: a converter that stops at once must find its
    // entry cancelled, not finished.
    entry.cancelRequested.store(true);
    entry.status.store(EntryStatus::Cancelled);
    channel_.requestStop(entry.progressSlot);
    cancelWaiting(entry);
}

void Engine::cancelWaiting(VideoEntry& entry) {
    entry.admission.notify_one();
    wakeFollowers(entry.row);
}

bool Engine::waitsForEarlierEntry(int row) const {
    for (int i = row - 1; i >= 0 && i >= row - kOrderWindow; --i) {
        const VideoEntry* earlier = list_.at(i);
        if (earlier != nullptr && earlier->status.load() == EntryStatus::Pending) {
            return true;
        }
    }
    return false;
}

void Engine::convertEntry(VideoEntry& entry) {
    const std::string folder(textOf(batchSettings_.destinationFolder));
    entry.status.store(EntryStatus::Converting);
    gui_.guiCall([this, &entry] { refreshEntry(entry); });

    std::string outputPath;
    std::string partPath;
    // The converter writes through this: a name can be swapped meanwhile by
    // anyone who may rename entries in the folder, the open file cannot.
    FileDescriptor partFile;
    std::string folderProblem;
    {
        // The folder is made, the name chosen and its part file reserved in
        // one go, so that two workers never pick the same name; the part
        // file keeps other processes off it too.
        std::lock_guard lock(mutex_);
        std::string target;
        if (!joinOutputSubfolder(folder, entry.outputSubfolder, &target)) {
            folderProblem = "the output subfolder leads out of the destination folder";
        } else if (!isFolder(folder)) {
            // Made again with a subfolder, it would hide that it went.
            folderProblem = kDestinationRemoved;
        } else if (target != folder && !makeFolders(target)) {
            folderProblem = folderErrorText(errno, "cannot create the output folder");
        } else {
            folderProblem = reserveOutput(entry, target);
            outputPath = entry.outputPath;
            partPath = entry.part.path();
            if (folderProblem.empty()) {
                // A copy of its own: a quit that gives up waiting may discard the part meanwhile.
                partFile.reset(::fcntl(entry.part.fd(), F_DUPFD_CLOEXEC, 0));
                if (partFile.get() < 0) {
                    folderProblem = folderErrorText(errno, "cannot create the output file");
                }
            }
        }
    }
    int result = kConverterNotStarted;
    if (!folderProblem.empty()) {
        setFailureReason(entry, folderProblem);
    } else {
        ConversionJob job;
        {
            std::lock_guard lock(mutex_);
            job = {converterPath_, entry.sourcePath, outputPath, partPath, partFile.get(),
                   entry.progressSlot, priorityClassFor(settings_.converterPriority),
                   // Those running and those still to come, up to the limit: a
                   // batch's last conversion that runs alone has every core.
                   std::min<int>(settings_.maxConcurrent,
                                 runningCount_ + std::max(batchAwaitingAdmission_, 0))};
        }
        ConversionRun run(std::move(job), batchSettings_, channel_, timing_, killConverters_,
                          [this, &entry](double reached) {
                              reportProgress(entry);
                              if (reached >= 0) {
                                  entry.reachedSeconds.store(reached, std::memory_order_relaxed);
                              }
                          });
        result = run.run();
        if (result == 0) {
            setNote(entry, run.note());
        } else {
            setFailureReason(entry, run.failureReason());
        }
    }
    if (result == 0 && !entry.cancelRequested.load()) {
        result = publishOutput(entry);
    }
    // A stopped conversion closes its file properly: when the user keeps
    // stopped videos, it is kept under a name that says where it stops.
    std::string keptCut;
    if (result == 0 && entry.cancelRequested.load()) {
        keptCut = keepStoppedOutput(entry);
    }
    {
        std::lock_guard lock(mutex_);
        if (entry.status.load() != EntryStatus::Ok) {
            // Stopped or failed: what it wrote never gets a final name.
            entry.part.discard();
        }
    }
    if (result != 0) {
        // Whatever step it broke, the folder going is the reason to tell.
        if (!isFolder(folder)) {
            setFailureReason(entry, kDestinationRemoved);
        }
        entry.status.store(EntryStatus::ConversionError);
    } else if (entry.status.load() != EntryStatus::Ok) {
        setFailureReason(entry, keptCut.empty()
                                    ? std::string("stopped")
                                    : "stopped; what was converted is kept as " + keptCut);
        entry.status.store(EntryStatus::Cancelled);
    }
    gui_.guiCall([this, &entry] { refreshEntry(entry); });
}

std::string Engine::keepStoppedOutput(VideoEntry& entry) {
    std::lock_guard lock(mutex_);
    if (settings_.removeStopped || !entry.part.reserved() || entry.part.identity().size == 0) {
        return {};
    }
    const auto seconds = static_cast<long>(entry.reachedSeconds.load(std::memory_order_relaxed));
    char at[32];
    if (seconds >= 3600) {
        snprintf(at, sizeof at, "%ld:%02ld:%02ld", seconds / 3600, seconds / 60 % 60, seconds % 60);
    } else {
        snprintf(at, sizeof at, "%ld:%02ld", seconds / 60, seconds % 60);
    }
    // Never the plain output name: that one stands for a whole conversion.
    const std::string name = entry.name + " (stopped at " + at + ")";
    std::string folder;
    splitPath(entry.outputPath, nullptr, &folder, nullptr, nullptr);
    std::string kept;
    takeFreeName(
        [&] {
            std::string target;
            makeOutputPath(&target, folder, name, entry.presetId, list_);
            return target;
        },
        [&](const std::string& target) { return entry.part.publish(target); }, &kept);
    return kept;
}

std::string Engine::reserveOutput(VideoEntry& entry, const std::string& folder) {
    // A name chosen by an earlier, stopped run must not count against this one.
    entry.outputPath.clear();
    entry.outputIdentity = {};
    std::string chosen;
    const int error = takeFreeName(
        [&] {
            // The entry's own path counts as taken while the next is chosen.
            makeOutputPath(&entry.outputPath, folder, entry.name, entry.presetId, list_);
            return entry.outputPath;
        },
        [&](const std::string& path) { return entry.part.reserve(path); }, &chosen);
    if (error == EEXIST) {
        // A folder with no room for any name gives none either.
        return kNoFreeName;
    }
    if (error != 0) {
        return folderErrorText(error, "cannot create the output file");
    }
    return {};
}

int Engine::publishOutput(VideoEntry& entry) {
    std::lock_guard lock(mutex_);
    if (!entry.part.reserved()) {
        // Removed meanwhile by a quit that gave up waiting.
        entry.failureReason = "stopped";
        return kOutputMissing;
    }
    const uint64_t size = entry.part.identity().size;
    if (batchSettings_.keepSourceDates) {
        // A file system that keeps no such times costs the dates, not the file.
        entry.part.takeTimesOf(entry.sourcePath);
    }
    // Its dates are set and the converter is gone: this is the file as it stays.
    const FileIdentity identity = entry.part.identity();
    std::string folder;
    splitPath(entry.outputPath, nullptr, &folder, nullptr, nullptr);
    bool first = true;
    std::string published;
    const int error = takeFreeName(
        [&] {
            // Someone may have written a file under the chosen name meanwhile:
            // it stays, and this one takes the next free name.
            std::string target = entry.outputPath;
            if (!std::exchange(first, false)) {
                makeOutputPath(&target, folder, entry.name, entry.presetId, list_);
            }
            return target;
        },
        [&](const std::string& target) { return entry.part.publish(target); }, &published);
    if (error == 0) {
        entry.outputPath = std::move(published);
        entry.outputIdentity = identity;
        entry.size = size;
        entry.status.store(EntryStatus::Ok);
        return 0;
    }
    if (error == ESTALE) {
        entry.failureReason = kPartReplaced;
    } else if (error == EEXIST) {
        entry.failureReason = kNoFreeName;
    } else {
        entry.failureReason = "the finished file could not be given its name: ";
        entry.failureReason += std::strerror(error);
    }
    return kOutputMissing;
}

void Engine::setNote(VideoEntry& entry, std::string note) {
    std::lock_guard lock(mutex_);
    entry.note = std::move(note);
}

void Engine::setFailureReason(VideoEntry& entry, std::string reason) {
    std::lock_guard lock(mutex_);
    entry.failureReason = std::move(reason);
}

int Engine::reportProgress(VideoEntry& entry) {
    entry.status.store(EntryStatus::Converting);
    gui_.guiCall([this, &entry] { refreshEntry(entry); });
    return 1;
}

void Engine::refreshEntry(VideoEntry& entry) {
    if (host_.closing()) {
        return;
    }
    ++historyChanges_;
    std::lock_guard lock(mutex_);
    if (converting_) {
        double average = 0;
        const int inUse = channel_.readOverall(average);
        const double done = inUse * average + finishedCount_ * 100.0;
        const double whole = batchTotal_ * 100.0;
        const int percent = whole != 0 ? int(done * 100.0 / whole) : 0;
        char text[64];
        snprintf(text, sizeof text, "%d / %d  %d%%", runningCount_, workerCount_, percent);
        host_.showBatchProgress(percent, text);
    }
    host_.updateRow(entry.row);
}

void Engine::completeWorker(VideoEntry& entry) {
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
    if (host_.closing()) {
        return;
    }
    launchWaitingWorkers();
    finishBatchWhenIdle();
    host_.updateCommandStates();
}

void Engine::finishBatchWhenIdle() {
    // Counted here on the interface thread, so the batch ends exactly once,
    // after the last completion, and never while a new worker starts up.
    if (threadsAlive_ > 0 || !awaitingWorker_.empty()) {
        return;
    }
    if (converting_) {
        setConvertingState(false);
    }
    channel_.resetSlots();
    host_.setBatchControls(false);
    if (settings_.shutdownAfter && !stopAllFlag_) {
        shutdownPending_ = true;
        host_.closeMainWindow();
    } else if (settings_.exitAfter && !stopAllFlag_) {
        host_.closeMainWindow();
    }
}

void Engine::stopEntry() {
    VideoEntry* entry = list_.at(host_.focusedRow());
    if (entry == nullptr || !isInProgress(entry->status.load())) {
        return;
    }
    char text[4200];
    snprintf(text, sizeof text, "Stop the conversion of %s?", entry->sourcePath.c_str());
    if (host_.showMessage(kQuestionMessage, text) != 1) {
        return;
    }
    std::lock_guard lock(mutex_);
    // It may have ended while the question was open.
    if (isInProgress(entry->status.load())) {
        cancelEntry(*entry);
    }
}

void Engine::stopAll() {
    if (liveWorkers() == 0 && threadsAlive_ == 0 && awaitingWorker_.empty()) {
        return;
    }
    if (host_.showMessage(kQuestionMessage, "Stop all conversions?") == 1) {
        std::lock_guard lock(mutex_);
        for (const auto& entry : list_.entries()) {
            if (isInProgress(entry->status.load())) {
                cancelEntry(*entry);
            }
        }
    }
    stopAllFlag_ = true;
}

void Engine::stopEverything(std::chrono::milliseconds limit) {
    {
        std::lock_guard lock(mutex_);
        for (const auto& entry : list_.entries()) {
            if (isInProgress(entry->status.load())) {
                // The status stays: the exit sweep judges it.
                entry->cancelRequested.store(true);
                channel_.requestStop(entry->progressSlot);
                cancelWaiting(*entry);
            }
        }
    }
    awaitingWorker_.clear();
    waitForWorkers(limit);
}

void Engine::discardUnfinishedOutput(VideoEntry& entry) {
    entry.part.discard();
    // One left by an earlier run that ended without cleaning up.
    removeLeftoverPart(entry.outputPath);
}

void Engine::deleteUnfinishedOutputs() {
    for (const auto& entry : list_.entries()) {
        if (entry->status.load() != EntryStatus::Ok) {
            discardUnfinishedOutput(*entry);
        }
    }
}

void Engine::exitSweep() {
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

void Engine::discardEntryAt(int row) {
    retireEntry(list_.entries().removeAt(row));
}

void Engine::retireEntry(std::unique_ptr<VideoEntry> removed) {
    if (removed && removed->worker.started && !removed->worker.exited()) {
        abandoned_.push_back(std::move(removed));
    }
}

bool Engine::saveHistorySnapshot(const std::string& path) {
    // Only the stored fields are copied under the lock, into plain records:
    // the window waits for the lock meanwhile, so the entries are built and
    // written after it is free.
    struct Stored {
        int16_t kind;
        int16_t presetId;
        std::string sourcePath;
        std::string name;
        std::string outputPath;
        EntryStatus status;
        int16_t transferState;
        uint64_t size;
        int32_t duration;
        std::string outputSubfolder;
        FileIdentity outputIdentity;
    };
    std::vector<Stored> records;
    EntryList copy;
    {
        std::lock_guard lock(mutex_);
        copy.reserved = list_.reserved;
        records.reserve(static_cast<std::size_t>(list_.count()));
        for (const auto& entry : list_.entries()) {
            const EntryStatus status = entry->status.load();
            records.push_back(
                {entry->kind, entry->presetId, entry->sourcePath, entry->name, entry->outputPath,
                 isInProgress(status) ? EntryStatus::Cancelled : status, entry->transferState,
                 entry->size, entry->duration, entry->outputSubfolder, entry->outputIdentity});
        }
    }
    for (Stored& record : records) {
        auto stored = createEntry(std::move(record.sourcePath));
        stored->kind = record.kind;
        stored->presetId = record.presetId;
        stored->name = std::move(record.name);
        stored->outputPath = std::move(record.outputPath);
        stored->status.store(record.status);
        stored->transferState = record.transferState;
        stored->size = record.size;
        stored->duration = record.duration;
        stored->outputSubfolder = std::move(record.outputSubfolder);
        stored->outputIdentity = record.outputIdentity;
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
