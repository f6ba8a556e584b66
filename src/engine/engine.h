#pragma once

// The conversion engine: the list of videos, the settings, the progress
// channel, admission of new files, and the batches of conversions that run
// on worker threads. It knows nothing of windows: it reaches whoever shows it
// through an EngineHost, and its workers reach that host only through
// GuiCall.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/adding/admission.h"
#include "engine/batch/worker_thread.h"
#include "engine/engine_timing.h"
#include "engine/list/entry_list.h"
#include "engine/list/history_file.h"
#include "engine/list/list_commands.h"
#include "process/progress_channel.h"
#include "storage/conversion_settings.h"
#include "system/thread_contract.h"

namespace vidmill {

class EngineHost;
class GuiCall;

class Engine {
  public:
    Engine(EngineHost& host, GuiCall& gui, std::string converterPath, EngineTiming timing = {});
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;
    // Stops and waits for whatever still runs, then closes the channel.
    ~Engine();

    // The settings: a copy, and changes, each under the engine's lock (a
    // running batch's workers read `presetId`, `destinationFolder`,
    // `maxConcurrent` and `converterPriority` of them).
    ConversionSettings settings() const;
    void setSettings(const ConversionSettings& settings);
    template <typename Change>
    void changeSettings(Change&& change) {
        std::lock_guard lock(mutex_);
        change(settings_);
    }

    // The list as the window and the terminal see it: copies, taken under
    // the lock, that stay as they were when taken.
    // Only the interface thread adds or removes entries, so it may count
    // them without the lock.
    int entryCount() const {
        expectInterfaceThread();
        return list_.count();
    }
    std::optional<EntryView> entryAt(int row) const;
    // Every entry, or those that `keep` takes by their status and id: a
    // caller that looks often copies only what it shows.
    std::vector<EntryView> entryViews(
        const std::function<bool(EntryStatus, std::uint64_t id)>& keep = {}) const;
    // Reads the history file into the list at start-up (see
    // loadHistoryAtStart).
    HistoryLoad loadHistory(const std::string& path);
    ProgressChannel& channel() { return channel_; }
    const std::string& converterPath() const { return converterPath_; }

    bool listModified() const { return listModified_.load(); }
    void setListModified(bool modified) { listModified_.store(modified); }
    // Whether a batch runs: from its start until the completion of its last
    // worker has been handled, on the interface thread. Every "while
    // converting" rule goes by it.
    BatchState batchState() const { return batchState_; }
    // Entries of the current or last batch that ended Ok, and that ended
    // otherwise (stopped ones included).
    int batchConverted() const { return batchConverted_; }
    int batchFailed() const { return batchFailed_; }

    // Counts changes to what the history holds (interface thread), so that
    // the owner can save it soon after each.
    std::uint64_t historyChanges() const { return historyChanges_; }
    // Saves the history from a copy of the list taken under the lock, so a
    // running batch goes on meanwhile. Entries still on their way are written
    // Cancelled with their output named: a start after a crash then offers
    // them again and removes the part files they left. True when saved.
    bool saveHistorySnapshot(const std::string& path);
    // After a history has been loaded: entries that a crash left unfinished
    // become Cancelled, and the part files they left are removed (never a
    // file under a final name). Gives the number of entries recovered.
    int recoverUnfinishedEntries();
    // Runs on a worker's thread once its entry has reached its final status,
    // before another conversion may take its place: the window saves the
    // history there, so that a crash loses no finished entry. Set before a
    // batch starts.
    void setFinishedHook(std::function<void()> hook) { finishedHook_ = std::move(hook); }

    // Counters of the running batch. The first takes the lock.
    int liveWorkers();
    int batchTotal() const { return batchTotal_; }
    int finishedCount() const { return finishedCount_; }
    bool stopAllFlag() const { return stopAllFlag_; }

    // Entries that a batch would convert now, and stopped ones that Convert
    // may offer to convert again.
    int readyCount() const;
    int stoppedCount() const;
    // Every stopped entry becomes Ready again; gives the number of Ready
    // entries. Nothing while a batch is active (gives 0 then).
    int requeueStopped();
    // Starts a batch of every Ready entry, without asking: the caller has
    // asked whatever it asks first. Does nothing while a batch is active or
    // nothing is Ready (BatchActive, NothingReady). A destination, or a
    // folder for the first passes' logs, that cannot be made or used is said
    // as a message and starts nothing: the entries stay Ready, and the
    // outcome is FileFailed with the reason as a failed entry would give it.
    CommandOutcome startBatch();
    // The Ready entries that the settings' size to fit in cannot hold: each
    // with the reason, for the user, before a batch starts. Sound is taken
    // at the settings' bitrate, or a usual one where they keep the source's.
    struct SizeRefusal {
        // What the person can do about it, besides leaving the video out.
        enum class Remedy {
            LargerSize,
            LargerSizeOrLessSound,  // the sound's bitrate takes from the picture's
            OtherFormat,            // this format's sound has no bitrate
        };
        std::string sourcePath;  // as the list and the command line name the video
        std::string reason;
        Remedy remedy = Remedy::LargerSize;
    };
    std::vector<SizeRefusal> sizeRefusals() const;
    // Where first passes keep their logs; swept at each batch's start.
    const std::string& passFolder() const { return passFolder_; }
    // Stops every entry among `ids` (VideoEntry::id) that is still listed
    // and in progress, without asking; gives how many were stopped. Entries
    // are named by id, so that an answer reaches the entries its question
    // was about, wherever they are in the list by then.
    int stopEntries(const std::vector<std::uint64_t>& ids);
    // Stops every entry in progress, without asking, and marks the batch
    // stopped. Nothing while no batch is active.
    void stopAll();
    // Pauses the running batch: its converters are held stopped where they
    // are (their whole process group), no conversion starts, and the stall
    // watch and the time left wait. False while no batch runs.
    bool pauseBatch();
    // Continues a paused batch where it stopped.
    void resumeBatch();
    bool batchPaused() const { return paused_.load(); }
    // Whether the next batch leaves out a video converted already (it ends
    // Skipped, naming that file) instead of choosing the next free name: its
    // own earlier output is found by the mark Vidmill leaves on it, or by
    // this list's record, under whatever name it took; a file that Vidmill
    // did not make counts under the plain name when it reads as a whole
    // video. Another run converting it now counts too.
    void setSkipExisting(bool skip) { skipExisting_ = skip; }
    bool skipExisting() const { return skipExisting_; }
    // Marks the batch stopped: nothing follows its end (no power-off, no
    // exit), though its conversions go on. Stop All marks it whatever the
    // answer to its question.
    void markBatchStopped();
    // The host is going away (the window closes): the workers' events no
    // longer reach it, and a worker that ends starts no other.
    void hostClosing();
    // At exit: stops what runs, waits for the workers, deletes unfinished
    // outputs and drops every entry that did not end Ok.
    void exitSweep();
    // Removes what every entry that did not end Ok left unfinished (part
    // files only).
    void deleteUnfinishedOutputs();
    // Every Ready entry ends failed with `reason`, as when each conversion
    // meets it: for a batch that the machine refused as a whole. Gives how
    // many.
    int failReadyEntries(const std::string& reason);
    // Runs the workers' calls until every worker has ended or `limit` has
    // passed; true when none is left.
    bool waitForWorkers(std::chrono::milliseconds limit);

    // Adding files (see Admission).
    int admitFile(const std::string& path) { return adding_.admitFile(path); }
    int admitFiles(const std::vector<std::string>& paths, const AdmitOptions& options = {}) {
        return adding_.admitFiles(paths, options);
    }
    bool probeMedia(const std::string& path, VideoEntry& entry) {
        return adding_.probeMedia(path, entry);
    }
    std::vector<pid_t> probeServerIds() const { return adding_.probeServerIds(); }
    void setProbeInterrupt(const std::atomic<int>* flag) { adding_.setProbeInterrupt(flag); }

    // The list commands (see ListCommands).
    using CommandResult = vidmill::CommandResult;
    CommandOutcome removeEntryAt(int row) { return commands_.removeEntryAt(row); }
    CommandOutcome deleteVideoAt(int row) { return commands_.deleteVideoAt(row); }
    CommandOutcome renameOutput(int row, const std::string& newName) {
        return commands_.renameOutput(row, newName);
    }
    CommandOutcome removeMissingEntries() { return commands_.removeMissingEntries(); }
    CommandOutcome removeEntriesAt(const std::vector<int>& rows, bool deleteVideos) {
        return commands_.removeEntriesAt(rows, deleteVideos);
    }

  private:
    // True when one of the 50 entries before `row` is still Pending. Takes
    // no lock: the caller holds it.
    bool waitsForEarlierEntry(int row) const;

    // Tests look inside (tests/support/engine_inspector.h).
    friend class EngineInspector;
    // The contracts of the comments below, checked in debug builds.
    void expectInterfaceThread() const {
        VIDMILL_EXPECT(interfaceThread_.isCurrent(), "the interface thread only");
    }
    void expectLocked() const { VIDMILL_EXPECT(mutex_.heldHere(), "with the engine's lock held"); }
    void conversionWorker(VideoEntry& entry);
    void convertEntry(VideoEntry& entry);
    // With the lock held: chooses the entry's output path in `folder` and
    // reserves its part file; gives why it failed, or nothing.
    std::string reserveOutput(VideoEntry& entry, const std::string& folder);
    // Ends the entry Skipped, naming the file that stands for its conversion.
    void markSkipped(VideoEntry& entry, const std::string& path);
    // The same for exactly `path`: *taken when that name is taken already.
    std::string reserveExactly(VideoEntry& entry, const std::string& path, bool* taken);
    // With skipping on, outside the lock: what the entry's conversion into
    // `folder` comes to, its source marked as `mark`.
    struct SkipFinding {
        enum class Kind {
            Convert,         // under the next free name
            ConvertExactly,  // under `path` or not at all
            Skip,            // converted already: `path` stands for it
        };
        Kind kind = Kind::Convert;
        std::string path;
        // Why the file under the plain name does not count, when one is there.
        std::string note;
    };
    SkipFinding lookForConverted(const VideoEntry& entry, const std::string& folder,
                                 const std::string& mark);
    // Whether the file at `path` reads as a video, by a probe of its own.
    bool readsAsWholeVideo(const std::string& path);
    // Gives the finished part file its final name (the next free one when
    // that was taken meanwhile) and makes the entry Ok; 0 on success.
    // Gives a stopped conversion's part file, when the settings keep stopped
    // videos, a name that says where it stops; that path, or empty.
    std::string keepStoppedOutput(VideoEntry& entry);
    // Publishing marks the output with its source's `mark`. With `exactly`,
    // only the name chosen is taken: *takenMeanwhile when another took it.
    int publishOutput(VideoEntry& entry, const std::string& mark, bool exactly,
                      bool* takenMeanwhile);
    void setFailureReason(VideoEntry& entry, std::string reason);
    void setNote(VideoEntry& entry, std::string note);
    int reportProgress(VideoEntry& entry);
    void refreshEntry(VideoEntry& entry);
    void completeWorker(VideoEntry& entry);
    bool launchWorker(const std::shared_ptr<VideoEntry>& entry);
    void launchWaitingWorkers();
    void finishBatchWhenIdle();
    // With the lock held: wake the waiting workers that the change of `row`
    // may let start, the first waiting worker, or a stopped one.
    void wakeFollowers(int row);
    void wakeFirstWaiting();
    void cancelWaiting(VideoEntry& entry);
    // With the lock held: stop request, status Cancelled, stop byte.
    void cancelEntry(VideoEntry& entry);
    // With the lock held: asks the entry's converter to stop, and lets it
    // run to hear it when it is held paused.
    void requestEntryStop(VideoEntry& entry);
    // With the lock held: the entry at `row` leaves the list. A worker
    // thread that has yet to end holds it until then.
    void discardEntryAt(int row);
    // Stops every entry in progress and waits for the workers.
    void stopEverything(std::chrono::milliseconds limit);

    EngineHost& host_;
    GuiCall& gui_;
    std::string converterPath_;
    std::string passFolder_;
    EngineTiming timing_;

    ConversionSettings settings_;
    ConversionSettings batchSettings_{};
    bool skipExisting_ = false;
    bool batchSkipExisting_ = false;
    EntryList list_;
    ProgressChannel channel_;
    mutable CheckedMutex mutex_;
    // The thread that made the engine: the interface thread.
    OwnerThread interfaceThread_;
    // Rows of the workers that wait to be admitted.
    std::set<int> waitingRows_;

    // Guarded by mutex_.
    int runningCount_ = 0;
    int workerCount_ = 0;
    // Entries of the batch not admitted yet: with the running ones, how many
    // conversions share the processors.
    int batchAwaitingAdmission_ = 0;
    // Interface thread only.
    int batchTotal_ = 0;
    int finishedCount_ = 0;
    int threadsAlive_ = 0;
    bool stopAllFlag_ = false;
    bool hostClosing_ = false;
    int batchConverted_ = 0;
    int batchFailed_ = 0;
    std::uint64_t historyChanges_ = 0;
    BatchState batchState_ = BatchState::Idle;
    std::atomic<bool> listModified_{false};
    // The batch is paused: no conversion starts. Read by waiting workers.
    std::atomic<bool> paused_{false};
    // Interface thread: when the pause began.
    uint32_t pausedAtTick_ = 0;
    // Set at the end when converters ignore their stop byte: workers then
    // end them.
    std::atomic<bool> killConverters_{false};
    // Each holds its entry until it has ended.
    WorkerThreads workers_;
    // The commands on the list, sharing its lock and counters.
    ListCommands commands_{
        {list_, mutex_, batchState_, listModified_, historyChanges_, interfaceThread_}};
    Admission adding_{{host_, settings_, list_, mutex_, batchState_, listModified_, historyChanges_,
                       channel_, converterPath_, timing_, interfaceThread_}};
    std::function<void()> finishedHook_;
    // Entries of the batch still waiting for a worker thread, in list order.
    std::deque<std::shared_ptr<VideoEntry>> awaitingWorker_;
};

}  // namespace vidmill
