#include "engine/adding/admission.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <system_error>
#include <thread>

#include "engine/engine_host.h"
#include "formats/converter_command.h"
#include "process/converter_runner.h"
#include "process/converter_words.h"
#include "process/probe_protocol.h"
#include "system/path_utils.h"
#include "system/size_time_text.h"

namespace vidmill {

bool joinOutputSubfolder(std::string_view destination, std::string_view subfolder,
                         std::string* folder) {
    if (!subfolder.empty() && subfolder.front() == '/') {
        return false;
    }
    std::string joined(destination);
    std::size_t start = 0;
    while (start <= subfolder.size()) {
        std::size_t end = subfolder.find('/', start);
        if (end == std::string_view::npos) {
            end = subfolder.size();
        }
        const std::string_view part = subfolder.substr(start, end - start);
        if (part == "..") {
            return false;
        }
        if (!part.empty() && part != ".") {
            if (joined.empty() || joined.back() != '/') {
                joined += '/';
            }
            joined += part;
        }
        start = end + 1;
    }
    if (folder != nullptr) {
        *folder = std::move(joined);
    }
    return true;
}

std::shared_ptr<VideoEntry> Admission::newEntry(const std::string& path) const {
    auto entry = createEntry(path);
    entry->kind = kLocalFileKind;
    entry->presetId = s_.settings.presetId;
    entry->status.store(EntryStatus::Ready);
    return entry;
}

int Admission::admitFile(const std::string& path) {
    expectInterfaceThread();
    auto entry = newEntry(path);
    entry->sourceSize = fileSize64(path);
    if (!probeMedia(path, *entry)) {
        return 1;
    }
    splitPath(path, nullptr, &entry->name, nullptr);
    if (const int row = appendAdmitted(std::move(entry)); row >= 0) {
        s_.host.entriesAdded(row);
    } else {
        reportListFull();
    }
    return 1;
}

int Admission::appendAdmitted(std::shared_ptr<VideoEntry> entry) {
    const bool active = s_.batchState != BatchState::Idle;
    std::lock_guard lock(s_.mutex);
    if (s_.list.count() >= kMaxEntries) {
        if (active) {
            return -1;
        }
        while (s_.list.count() >= kMaxEntries) {
            if (s_.list.at(0)->status.load() != EntryStatus::Ok) {
                discardUnfinishedOutput(*s_.list.at(0));
            }
            // Freed only once a worker thread that is still ending is done.
            (void)s_.list.entries().removeAt(0);
        }
        s_.list.renumberRows();
    }
    s_.list.entries().append(std::move(entry));
    s_.listModified.store(true);
    const int row = s_.list.count() - 1;
    s_.list.at(row)->row = row;
    ++s_.historyChanges;
    return row;
}

void Admission::reportInvalidMedia(const std::string& path) {
    s_.host.message(kPlainMessage, path + " Invalid video");
}

void Admission::reportListFull() {
    char text[200];
    snprintf(text, sizeof text,
             "The list holds %d videos, the most it can; remove some entries to add more.",
             kMaxEntries);
    s_.host.message(kInformationMessage, text);
}

bool Admission::probeInterrupted() const {
    return probeInterrupt_ != nullptr && probeInterrupt_->load() != 0;
}

bool Admission::probeMedia(const std::string& path, VideoEntry& entry) {
    int slot = s_.channel.allocateSlot();
    const ProbeResult result = runProbe(path, entry, slot);
    s_.channel.releaseSlot(slot);
    if (result == ProbeResult::InvalidMedia) {
        reportInvalidMedia(path);
    }
    return result == ProbeResult::Read;
}

Admission::ProbeResult Admission::runProbe(const std::string& path, VideoEntry& entry, int& slot,
                                           const std::atomic<bool>* cancel, ProbeServer* server) {
    // A converter that hangs on a file must not block admission for ever:
    // past the time limit it gets the stop byte, and a little later it is
    // ended.
    using Clock = std::chrono::steady_clock;
    auto stopAt = Clock::now() + std::chrono::milliseconds(s_.timing.probeTimeoutMs);
    auto killAt = stopAt + std::chrono::milliseconds(s_.timing.probeGraceMs);
    bool timedOut = false;
    bool interrupted = false;
    auto watch = [&] {
        if (probeInterrupted() || (cancel != nullptr && cancel->load())) {
            interrupted = true;
            return false;
        }
        const auto now = Clock::now();
        if (now >= stopAt && !timedOut) {
            timedOut = true;
            s_.channel.requestStop(slot);
        }
        return now < killAt;
    };

    int exitCode = kConverterNotStarted;
    bool answered = false;
    if (server != nullptr) {
        answered = server->probe(slot, path, &exitCode, s_.timing.probePollMs, watch) ==
                   ProbeServer::Outcome::Answered;
        // A server ended by whoever ends our converters (a second Ctrl+C)
        // says nothing of the file, and nothing more starts then.
        if (!answered && (probeInterrupted() || (cancel != nullptr && cancel->load()))) {
            interrupted = true;
        }
        if (!answered && !interrupted && !timedOut) {
            // The server died on this file, or could not start: the file is
            // probed once more alone, in a fresh slot, so that a bad file is
            // told apart from a bad server and nothing the server left counts.
            s_.channel.releaseSlot(slot);
            slot = s_.channel.allocateSlot();
            stopAt = Clock::now() + std::chrono::milliseconds(s_.timing.probeTimeoutMs);
            killAt = stopAt + std::chrono::milliseconds(s_.timing.probeGraceMs);
        }
    }
    if (!answered && !interrupted && !timedOut) {
        entry.progressSlot = slot;
        const ConverterCommand command =
            buildProbeCommand(s_.converterPath, path, s_.channel.channelName(), slot);
        answered = runConverterWatched(command.args, &exitCode, kKeepPriority,
                                       s_.timing.probePollMs, watch) != 0;
    }
    entry.progressSlot = slot;
    if (interrupted) {
        return ProbeResult::Interrupted;
    }
    if (!answered || timedOut) {
        return ProbeResult::Failed;
    }
    if (exitCode == kInvalidMedia) {
        return ProbeResult::InvalidMedia;
    }
    // A probe that crashed on the file (alone, after its server did too)
    // read nothing from it, whatever the slot holds.
    if (exitCode < kSignalExitBase && exitCode >= kSignalExitBase - 64) {
        return ProbeResult::Failed;
    }
    double seconds = 0;
    if (s_.channel.readDuration(slot, seconds) == 0) {
        return ProbeResult::Failed;
    }
    entry.duration = seconds > 0 && seconds < 2147483647.0 ? int32_t(seconds) : 0;
    return ProbeResult::Read;
}

namespace {

// The probes of one admitFiles call: pool threads take the next file in turn
// and leave the result in its place; the caller collects them in order.
struct ProbeBatch {
    struct Job {
        std::shared_ptr<VideoEntry> entry;
        int result = 0;  // an Admission::ProbeResult
        bool done = false;
    };

    std::mutex mutex;
    std::condition_variable finished;
    std::vector<Job> jobs;
    // Set when the caller leaves early: probes still running are ended.
    std::atomic<bool> cancel{false};
};

// However the caller leaves, the probes of its files end before it does.
class PostedProbes {
  public:
    PostedProbes(ProbePool* pool, ProbeBatch& batch) : pool_(pool), batch_(batch) {}
    PostedProbes(const PostedProbes&) = delete;
    PostedProbes& operator=(const PostedProbes&) = delete;
    ~PostedProbes() {
        batch_.cancel.store(true);
        if (pool_ != nullptr) {
            pool_->withdraw(work_);
        }
    }
    // False when the pool has no thread to spare.
    bool post(std::size_t count, int atOnce, ProbePool::Task task) {
        if (pool_ != nullptr) {
            work_ = pool_->post(count, atOnce, std::move(task));
        }
        return work_ != nullptr;
    }

  private:
    ProbePool* pool_;
    ProbeBatch& batch_;
    std::shared_ptr<ProbePool::Work> work_;
};

int defaultProbeCount() {
    const unsigned cores = std::thread::hardware_concurrency();
    return std::clamp(int(cores), 1, kMaxParallelProbes);
}

}  // namespace

std::vector<std::string> Admission::probeServerCommand() const {
    return {s_.converterPath, converter_word::kProbeServer, converter_word::kChannel,
            s_.channel.channelName()};
}

void Admission::openProbePool() {
    if (s_.channel.isOpen()) {
        probePool_ = std::make_unique<ProbePool>(probeServerCommand(),
                                                 std::chrono::milliseconds(s_.timing.probeIdleMs));
    }
}

void Admission::closeProbePool() {
    probePool_.reset();
}

std::vector<pid_t> Admission::probeServerIds() const {
    return probePool_ ? probePool_->serverIds() : std::vector<pid_t>{};
}

int Admission::admitFiles(const std::vector<std::string>& paths, const AdmitOptions& options) {
    expectInterfaceThread();
    const std::size_t total = paths.size();
    if (total == 0) {
        return 0;
    }
    ProbeBatch batch;
    batch.jobs.resize(total);
    for (std::size_t i = 0; i < total; ++i) {
        batch.jobs[i].entry = newEntry(paths[i]);
        if (i < options.outputSubfolders.size()) {
            batch.jobs[i].entry->outputSubfolder = options.outputSubfolders[i];
        }
        if (i < options.sourceIdentities.size()) {
            batch.jobs[i].entry->sourceIdentity = options.sourceIdentities[i];
        }
    }

    auto probe = [this, &batch, &paths](std::size_t i, ProbeServer* server) {
        ProbeResult result = ProbeResult::Interrupted;
        VideoEntry& entry = *batch.jobs[i].entry;
        if (!batch.cancel.load() && !probeInterrupted()) {
            entry.sourceSize = fileSize64(paths[i]);
            int slot = s_.channel.allocateSlot();
            result = runProbe(paths[i], entry, slot, &batch.cancel, server);
            s_.channel.releaseSlot(slot);
            if (result == ProbeResult::Read) {
                splitPath(paths[i], nullptr, &entry.name, nullptr);
            }
        }
        std::lock_guard lock(batch.mutex);
        batch.jobs[i].result = int(result);
        batch.jobs[i].done = true;
        batch.finished.notify_one();
    };

    const int probes = options.maxProbes > 0 ? std::min(options.maxProbes, kMaxParallelProbes)
                                             : defaultProbeCount();
    const bool servers = options.probeServers;
    PostedProbes posted(probePool_.get(), batch);
    const bool pooled =
        posted.post(total, probes, [&probe, servers](std::size_t i, ProbeServer& server) {
            probe(i, servers ? &server : nullptr);
        });

    int admitted = 0;
    std::size_t collected = 0;
    while (collected < total && !probeInterrupted()) {
        // The finished results at the front, in order.
        std::vector<ProbeBatch::Job> ready;
        if (!pooled) {
            // No thread to spare: probe here, one by one.
            probe(collected, nullptr);
        }
        {
            std::unique_lock lock(batch.mutex);
            auto front = [&] { return collected + ready.size(); };
            while (front() < total && batch.jobs[front()].done) {
                ready.push_back(std::move(batch.jobs[front()]));
            }
            if (ready.empty()) {
                batch.finished.wait_for(lock, std::chrono::milliseconds(20));
            }
        }
        int lastRow = -1;
        bool interrupted = false;
        for (ProbeBatch::Job& job : ready) {
            const std::size_t index = collected++;
            const auto result = ProbeResult(job.result);
            if (result == ProbeResult::Interrupted || probeInterrupted()) {
                interrupted = true;
                break;
            }
            AdmitOutcome outcome = AdmitOutcome::Unreadable;
            if (result == ProbeResult::Read) {
                if (const int row = appendAdmitted(std::move(job.entry)); row >= 0) {
                    lastRow = row;
                    ++admitted;
                    outcome = AdmitOutcome::Admitted;
                } else {
                    outcome = AdmitOutcome::ListFull;
                }
            } else if (result == ProbeResult::InvalidMedia) {
                if (options.reportInvalid) {
                    reportInvalidMedia(paths[index]);
                }
                outcome = AdmitOutcome::InvalidMedia;
            }
            if (options.onResult) {
                options.onResult(index, outcome);
            }
        }
        if (lastRow >= 0) {
            s_.host.entriesAdded(lastRow);
        }
        if (interrupted) {
            break;
        }
        if (options.pump && collected < total) {
            options.pump();
        }
    }
    return admitted;
}

}  // namespace vidmill
