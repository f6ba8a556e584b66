#pragma once

// One video of the list: its source, the chosen output format and file, the
// live status, and the sizes and times that the list shows.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "engine/batch/part_file.h"
#include "system/thread_contract.h"

namespace vidmill {

class RecordFile;

enum class EntryStatus : int16_t {
    Starting = 0,
    GetVideoInfo = 1,
    Downloading = 2,
    NotFound = 3,
    Converting = 4,
    Ok = 5,
    Cancelled = 6,
    CancelledNotFound = 7,
    ConversionError = 8,
    Pending = 14,
    Ready = 15,
    // Not converted: a file already holds its output name. The history
    // stores it as Cancelled.
    Skipped = 16,
};

// Only these can be stopped.
constexpr bool isInProgress(EntryStatus status) {
    return (status >= EntryStatus::Starting && status <= EntryStatus::Converting) ||
           status == EntryStatus::Pending;
}

constexpr bool isFinished(EntryStatus status) {
    return (status >= EntryStatus::Ok && status <= EntryStatus::ConversionError) ||
           status == EntryStatus::Skipped;
}

// The output path of such an entry counts as taken when a new one is chosen.
constexpr bool isOutputClaiming(EntryStatus status) {
    return status >= EntryStatus::Starting && status <= EntryStatus::Ok;
}

// The only kind of source this program makes.
inline constexpr int16_t kLocalFileKind = 1;

// Read limits of the texts of a stored entry (buffer sizes, terminator
// included).
inline constexpr int kStoredSourcePathCapacity = 2002;
inline constexpr int kStoredNameCapacity = 258;
inline constexpr int kStoredOutputPathCapacity = 1002;

// A number no entry of this process had before.
uint64_t newEntryId();

// What an entry is and shows, as plain values: a view copies them whole.
struct EntryFacts {
    int16_t kind = 0;
    int16_t presetId = 0;
    std::string sourcePath;
    std::string name;
    std::string outputPath;
    int16_t transferState = 0;
    uint64_t size = 0;
    int32_t duration = 0;
    uint64_t transferred = 0;
    uint32_t startTick = 0;
    int32_t row = 0;
    // -1: no slot. A probe leaves its slot number here until a worker starts.
    int32_t progressSlot = 0;
    uint64_t sourceSize = 0;
    // Where below the destination folder the output goes: a relative path,
    // empty for the folder itself. Kept in memory only, like the reason.
    std::string outputSubfolder;
    // Why the last conversion failed or stopped, in one line; empty
    // otherwise. Kept in memory only: the history file has no room for it.
    std::string failureReason;
    // What the converter noted about a conversion that went well (a source
    // shorter than its header declares), in one line; memory only.
    std::string note;
    // What Vidmill published under `outputPath`, so that a file someone else
    // put under that name later is never deleted or renamed as ours. Kept
    // beside the history; unknown for entries of older versions.
    FileIdentity outputIdentity;
    // What the source was when a watched folder found it complete: the
    // conversion reads that file or none. Unknown for files added by hand,
    // whose name is what the person chose. Memory only.
    FileIdentity sourceIdentity;
    // editsRecord() of the size, cut and picture choices that its output was
    // converted with. Kept beside the history, like the identity.
    std::string edits;
};

// The fields of EntryFacts are written by a conversion worker only with the
// engine's lock held, and read by the interface thread under the same lock
// while a batch runs.
struct VideoEntry : EntryFacts {
    // Tells entries apart for as long as the program runs: never given to
    // another entry, unlike a row or an address.
    const uint64_t id = newEntryId();
    // Workers and the GUI thread both write these two without the lock.
    std::atomic<EntryStatus> status{EntryStatus::Starting};
    std::atomic<bool> cancelRequested{false};
    // Its converter is to be held stopped (a paused batch); the runner reads
    // it when the converter starts.
    std::atomic<bool> paused{false};
    // Wakes the entry's worker while it waits to be admitted.
    CheckedCondition admission;
    // How far into the source the running conversion has got, in seconds,
    // as its converter last reported; written by its worker, read by anyone.
    std::atomic<double> reachedSeconds{0};
    // The part file that the running conversion writes into, reserved while
    // it runs. Memory only; guarded by the engine's lock.
    PartFile part;
};

// What the window and the terminal see of an entry: a copy, taken under the
// engine's lock, that they may keep and read as they like.
struct EntryView : EntryFacts {
    uint64_t id = 0;
    EntryStatus status = EntryStatus::Starting;
    bool paused = false;
    double reachedSeconds = 0;
};

// With the engine's lock held.
EntryView viewOf(const VideoEntry& entry);

std::shared_ptr<VideoEntry> createEntry(const std::string& sourcePath);

// The history record of one entry. A Pending entry is turned into a
// Cancelled one first, in memory as well.
void writeEntry(RecordFile& file, VideoEntry& entry);

// Reads one history record; `historyVersion` 1 stores the size in 4 bytes,
// version 2 in 8. Gives none when the file ends before the record does.
std::shared_ptr<VideoEntry> readEntry(RecordFile& file, int historyVersion);

}  // namespace vidmill
