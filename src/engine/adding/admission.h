#pragma once

// Admission of files: the probe asks the converter for the duration, and the
// file enters the list as Ready, or is rejected. Many files are probed a few
// at a time, on the probe servers of a pool, and still enter the list in the
// order given.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/adding/probe_pool.h"
#include "engine/engine_timing.h"
#include "engine/list/entry_list.h"
#include "engine/list/list_commands.h"
#include "process/progress_channel.h"
#include "storage/conversion_settings.h"
#include "system/thread_contract.h"

namespace vidmill {

class EngineHost;

// How the admission of one file ended.
enum class AdmitOutcome {
    Admitted,
    // The converter found nothing usable in it ("... Invalid video" shown).
    InvalidMedia,
    // The probe failed otherwise: no converter, a crash, a hang.
    Unreadable,
    // The list holds its most entries and none of them could make room:
    // every one is part of the running batch.
    ListFull,
};

// Probes at once when the caller does not choose: the number of cores, at
// most this many. More would only make the disk seek.
inline constexpr int kMaxParallelProbes = 4;

struct AdmitOptions {
    // Probes at once, 1 to kMaxParallelProbes; 0 chooses.
    int maxProbes = 0;
    // Empty, or one output subfolder per path (see joinOutputSubfolder).
    std::vector<std::string> outputSubfolders;
    // Empty, or per path what the file was when it was found: the
    // conversion then reads that very file, or fails.
    std::vector<FileIdentity> sourceIdentities;
    // Runs on the calling thread, for each file in the order given, once its
    // outcome is known (after its "Invalid video" message, if any). Files
    // left out after an interruption get no call.
    std::function<void(std::size_t index, AdmitOutcome outcome)> onResult;
    // Runs on the calling thread now and then while it waits for probes, so
    // that a window stays responsive.
    std::function<void()> pump;
    // Whether each file found to be no usable video gets its own "Invalid
    // video" message; a caller that lists the rejected files itself turns it
    // off.
    bool reportInvalid = true;
    // Whether the files go to the probe servers; without them each file gets
    // a converter of its own.
    bool probeServers = true;
};

// The folder for an output: `subfolder` (relative, may be empty) below
// `destination`. False for an absolute subfolder or one with a ".."
// component, which could lead out of the destination.
bool joinOutputSubfolder(std::string_view destination, std::string_view subfolder,
                         std::string* folder);

class Admission {
  public:
    // What admission shares with the rest of the engine.
    struct Shared {
        EngineHost& host;
        // Read on the interface thread only, for the format of new entries.
        const ConversionSettings& settings;
        EntryList& list;
        CheckedMutex& mutex;
        const BatchState& batchState;
        std::atomic<bool>& listModified;
        std::uint64_t& historyChanges;
        ProgressChannel& channel;
        const std::string& converterPath;
        const EngineTiming& timing;
        const OwnerThread& interfaceThread;
    };
    explicit Admission(Shared shared) : s_(shared) {}

    // Starts the pool of probe servers, once the channel is open; without it
    // each probe runs a converter of its own.
    void openProbePool();
    // Ends the probe servers and their threads.
    void closeProbePool();

    // Admission of one file: probes it and appends it as Ready, or rejects
    // it. Always gives 1.
    int admitFile(const std::string& path);
    // Admission of many files with several probes at once. The entries are
    // appended, and rejections reported, in the order given, with the same
    // results as admitFile one by one. The calling thread (the interface
    // thread) waits meanwhile; the host hears of the new entries once per
    // group appended together. Once the probe interrupt is set, the files not
    // yet appended are left out without a word. Gives the number admitted.
    int admitFiles(const std::vector<std::string>& paths, const AdmitOptions& options = {});
    // Runs the probe; true when the duration was read.
    bool probeMedia(const std::string& path, VideoEntry& entry);
    // The pids of the probe servers that run now: while files are being
    // added, and for a few idle seconds after.
    std::vector<pid_t> probeServerIds() const;
    // Lets the owner cut a running probe short: while *flag is not 0, a
    // probe is ended and its file not admitted.
    void setProbeInterrupt(const std::atomic<int>* flag) { probeInterrupt_ = flag; }

    // Runs the probe in `slot` without reporting anything; any thread may call
    // it. `cancel` (when given) ends the probe like the interrupt does. With a
    // server the file goes to it; when the server dies on the file, the file
    // is probed once more alone, in a fresh slot left in `slot`.
    enum class ProbeResult { Read, InvalidMedia, Failed, Interrupted };
    ProbeResult runProbe(const std::string& path, VideoEntry& entry, int& slot,
                         const std::atomic<bool>* cancel = nullptr, ProbeServer* server = nullptr);

  private:
    void expectInterfaceThread() const {
        VIDMILL_EXPECT(s_.interfaceThread.isCurrent(), "the interface thread only");
    }
    // A new entry for `path`, before its probe.
    std::shared_ptr<VideoEntry> newEntry(const std::string& path) const;
    std::vector<std::string> probeServerCommand() const;
    bool probeInterrupted() const;
    void reportInvalidMedia(const std::string& path);
    void reportListFull();
    // Appends a probed entry; gives its row, or -1 when the list is full.
    // At the limit the oldest entry goes to make room, unless a batch is
    // active: its entries are held by workers and rows, so then nothing goes
    // and the new entry is refused.
    int appendAdmitted(std::shared_ptr<VideoEntry> entry);

    Shared s_;
    const std::atomic<int>* probeInterrupt_ = nullptr;
    // Absent while the channel is: probes then run one program each.
    std::unique_ptr<ProbePool> probePool_;
};

}  // namespace vidmill
