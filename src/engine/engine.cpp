#include "engine/engine.h"

#include <algorithm>

#include "engine/engine_host.h"
#include "engine/gui_call.h"
#include "formats/format_preset.h"
#include "process/size_budget.h"
#include "system/user_folders.h"

namespace vidmill {
namespace {

// How long the engine waits at its end for workers that still run.
constexpr std::chrono::seconds kFinalWait{20};

}  // namespace

Engine::Engine(EngineHost& host, GuiCall& gui, std::string converterPath, EngineTiming timing)
    : host_(host),
      gui_(gui),
      converterPath_(std::move(converterPath)),
      passFolder_(cacheFolder() + "/passes"),
      timing_(timing) {
    setDefaultSettings(settings_);
    channel_.openChannel();
    adding_.openProbePool();
}

ConversionSettings Engine::settings() const {
    std::lock_guard lock(mutex_);
    return settings_;
}

void Engine::setSettings(const ConversionSettings& settings) {
    std::lock_guard lock(mutex_);
    settings_ = settings;
}

std::optional<EntryView> Engine::entryAt(int row) const {
    std::lock_guard lock(mutex_);
    const VideoEntry* entry = list_.at(row);
    return entry != nullptr ? std::optional(viewOf(*entry)) : std::nullopt;
}

std::vector<EntryView> Engine::entryViews(
    const std::function<bool(EntryStatus, std::uint64_t)>& keep) const {
    std::vector<EntryView> views;
    std::lock_guard lock(mutex_);
    for (const auto& entry : list_.entries()) {
        if (!keep || keep(entry->status.load(), entry->id)) {
            views.push_back(viewOf(*entry));
        }
    }
    return views;
}

HistoryLoad Engine::loadHistory(const std::string& path) {
    expectInterfaceThread();
    std::lock_guard lock(mutex_);
    return loadHistoryAtStart(list_, path);
}

int Engine::failReadyEntries(const std::string& reason) {
    expectInterfaceThread();
    std::lock_guard lock(mutex_);
    int failed = 0;
    for (const auto& entry : list_.entries()) {
        if (entry->status.load() == EntryStatus::Ready) {
            entry->status.store(EntryStatus::ConversionError);
            entry->failureReason = reason;
            ++failed;
        }
    }
    return failed;
}

std::vector<Engine::SizeRefusal> Engine::sizeRefusals() const {
    std::lock_guard lock(mutex_);
    const ConversionSettings& settings = settings_;
    std::vector<SizeRefusal> refusals;
    if (settings.targetSizeKb == 0) {
        return refusals;
    }
    const FormatPreset& row = presetRow(findPresetById(settings.presetId));
    const bool video = !settings.disableVideo && !row.audioOnly;
    const bool sound = !settings.disableAudio;
    const std::int64_t audioBitrate = !sound || !video ? 0
                                      : settings.audioBitrate == kOriginalValue
                                          ? kAssumedAudioBitrate
                                          : std::int64_t(settings.audioBitrate) * 1000;
    const std::int64_t bytes = std::int64_t(settings.targetSizeKb) * 1000;
    // Sound kept whole has no bitrate to bring down.
    const std::string audioCodec =
        converterCodecName(settings.audioCodec[0] != '\0'
                               ? std::string(textOf(settings.audioCodec))
                               : std::string(row.audioCodec != nullptr ? row.audioCodec : ""));
    const bool uncompressed = audioCodec.rfind("pcm", 0) == 0 || audioCodec == "flac";
    for (const auto& entry : list_.entries()) {
        if (entry->status.load() != EntryStatus::Ready || entry->duration <= 0) {
            continue;
        }
        // Only the cut is converted; a cut that starts past the end fails on its own.
        double seconds = entry->duration;
        if (settings.cutToMs > 0) {
            seconds = std::min(seconds, settings.cutToMs / 1000.0);
        }
        seconds -= settings.cutFromMs / 1000.0;
        if (seconds <= 0.0) {
            continue;
        }
        if (!video && sound && uncompressed) {
            refusals.push_back({entry->sourcePath,
                                "the sound of this format is not compressed to a bitrate, so no "
                                "size can be chosen for it",
                                SizeRefusal::Remedy::OtherFormat});
        } else if (std::string reason = sizeRefusal(bytes, seconds, video, audioBitrate, 1);
                   !reason.empty()) {
            refusals.push_back({entry->sourcePath, std::move(reason),
                                audioBitrate > 0 ? SizeRefusal::Remedy::LargerSizeOrLessSound
                                                 : SizeRefusal::Remedy::LargerSize});
        }
    }
    return refusals;
}

Engine::~Engine() {
    adding_.closeProbePool();
    // No worker may outlive the engine it works for. One stuck beyond every
    // wait (a converter that even SIGKILL cannot end) keeps at least its
    // entry; the process is ending.
    if (workers_.alive() > 0) {
        stopEverything(kFinalWait);
    }
    channel_.closeChannel();
}

int Engine::liveWorkers() {
    std::lock_guard lock(mutex_);
    return workerCount_;
}

bool Engine::waitForWorkers(std::chrono::milliseconds limit) {
    expectInterfaceThread();
    auto end = std::chrono::steady_clock::now() + limit;
    while (workers_.alive() > 0) {
        if (std::chrono::steady_clock::now() >= end) {
            if (killConverters_.load()) {
                return false;
            }
            // The converters had their stop byte and still run: end them,
            // and give their workers time to notice.
            killConverters_.store(true);
            end = std::chrono::steady_clock::now() +
                  std::chrono::milliseconds(2 * timing_.progressPollMs + 2000);
        }
        gui_.pump(std::chrono::milliseconds(20));
    }
    return true;
}

void Engine::discardEntryAt(int row) {
    expectLocked();
    (void)list_.entries().removeAt(row);
}

}  // namespace vidmill
