#include "engine/list/entry_status_text.h"

#include <cstdio>

#include "engine/list/entry_edits.h"
#include "engine/list/video_entry.h"
#include "formats/format_preset.h"
#include "process/progress_channel.h"
#include "system/size_time_text.h"

namespace vidmill {
namespace {

std::string transferText(const EntryView& entry) {
    return entry.transferState == 2 ? formatTransferSize(entry.transferred, entry.size) : "";
}

}  // namespace

std::string entryStatusText(const EntryView& entry, const ProgressChannel& channel) {
    switch (entry.status) {
        case EntryStatus::Pending:
            return "Pending";
        case EntryStatus::Ready:
            return "Ready  (" + formatByteSize(entry.sourceSize) + ")";
        case EntryStatus::Starting:
            return entry.paused ? "Paused" : "Starting";
        case EntryStatus::GetVideoInfo:
            return "Get Video Info  " + transferText(entry);
        case EntryStatus::Downloading:
            return "Downloading  " + transferText(entry);
        case EntryStatus::NotFound:
            return "Not found";
        case EntryStatus::Converting: {
            double percent = 0;
            if (channel.readProgress(entry.progressSlot, percent) == 0) {
                return entry.paused ? "Paused" : "Converting";
            }
            char text[64];
            if (entry.paused) {
                snprintf(text, sizeof text, "Paused %.1f%%", percent);
                return text;
            }
            snprintf(text, sizeof text, "Convert %.1f%% ", percent);
            return text + formatTimeLeft(entry.startTick, percent);
        }
        case EntryStatus::Ok:
            return "OK     (" + formatByteSize(entry.size) + ")";
        case EntryStatus::Cancelled:
            return "Cancelled";
        case EntryStatus::CancelledNotFound:
            return "Cancelled (not found)";
        case EntryStatus::ConversionError:
            return "Conversion Error";
        case EntryStatus::Skipped:
            return "Skipped (exists)";
    }
    return {};
}

std::string entryDurationText(const EntryView& entry) {
    int hours = 0;
    int minutes = 0;
    int seconds = 0;
    splitSeconds(entry.duration, hours, minutes, seconds);
    char text[48];
    snprintf(text, sizeof text, "%02d:%02d:%02d", hours, minutes, seconds);
    return text;
}

std::string entryNameText(const EntryView& entry, int readyPresetId) {
    if (entry.name.empty()) {
        return "NoName";
    }
    const int presetId =
        readyPresetId >= 0 && entry.status == EntryStatus::Ready ? readyPresetId : entry.presetId;
    return entry.name + " (" + presetRow(findPresetById(presetId)).extension + ")";
}

std::string convertedEntryTip(const EntryView& entry) {
    std::string tip = entry.note;
    const std::string edits = editsText(entry.edits);
    if (!edits.empty()) {
        tip += tip.empty() ? "" : "\n";
        tip += "Converted with: " + edits;
    }
    return tip;
}

}  // namespace vidmill
