// Admission of a file: the probe asks the converter for the duration, and the
// file enters the list as Ready, or is rejected.

#include <chrono>

#include "engine/converter_command.h"
#include "engine/converter_runner.h"
#include "engine/engine.h"
#include "engine/engine_host.h"
#include "system/path_utils.h"
#include "system/size_time_text.h"

namespace vidmill {

int Engine::admitFile(const std::string& path) {
    auto entry = createEntry(path);
    entry->kind = kLocalFileKind;
    entry->presetId = settings_.presetId;
    entry->status.store(EntryStatus::Ready);
    entry->sourceSize = FileSize64(path);
    if (!probeMedia(path, *entry)) {
        return 1;
    }
    SplitPath(path, nullptr, nullptr, &entry->name, nullptr);

    int row;
    {
        std::lock_guard lock(mutex_);
        list_.entries().append(entry);
        listModified_.store(true);
        bool dropped = false;
        while (list_.count() > kMaxEntries) {
            list_.entries().removeAt(0);
            dropped = true;
        }
        if (dropped) {
            list_.renumberRows();
        }
        row = list_.count() - 1;
        list_.at(row)->row = row;
    }
    ++historyChanges_;
    host_.RefreshEntryList();
    host_.ShowEntryCount();
    host_.lvdGoto(row);
    return 1;
}

bool Engine::probeMedia(const std::string& path, VideoEntry& entry) {
    const int slot = channel_.allocateSlot();
    entry.progressSlot = slot;
    int exitCode = kConverterNotStarted;
    ConverterCommand command =
        buildProbeCommand(converterPath_, path, channel_.channelName(), entry);

    // A converter that hangs on a file must not block admission for ever:
    // past the time limit it gets the stop byte, and a little later it is
    // ended.
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const auto stopAt = start + std::chrono::milliseconds(timing_.probeTimeoutMs);
    const auto killAt = stopAt + std::chrono::milliseconds(timing_.probeGraceMs);
    bool timedOut = false;
    bool interrupted = false;
    const int started =
        runConverterWatched(command.args, &exitCode, kKeepPriority, timing_.probePollMs, [&] {
            if (probeInterrupt_ != nullptr && probeInterrupt_->load() != 0) {
                interrupted = true;
                return false;
            }
            const auto now = Clock::now();
            if (now >= stopAt && !timedOut) {
                timedOut = true;
                channel_.requestStop(slot);
            }
            return now < killAt;
        });
    bool result = false;
    if (started && !timedOut && !interrupted) {
        if (exitCode == kInvalidMedia) {
            char text[4096];
            snprintf(text, sizeof text, "%s Invalid video", path.c_str());
            host_.AppMessageBox(kPlainMessage, text);
        } else {
            double seconds = 0;
            if (channel_.readDuration(slot, seconds) != 0) {
                entry.duration = seconds > 0 && seconds < 2147483647.0 ? int32_t(seconds) : 0;
                result = true;
            }
        }
    }
    channel_.releaseSlot(slot);
    return result;
}

}  // namespace vidmill
