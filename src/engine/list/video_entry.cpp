#include "engine/list/video_entry.h"

#include "storage/record_file.h"

namespace vidmill {
namespace {

constexpr int kReservedRecordBytes = 12;

EntryStatus storedStatus(EntryStatus status) {
    return status == EntryStatus::Pending || status == EntryStatus::Skipped ? EntryStatus::Cancelled
                                                                            : status;
}

}  // namespace

uint64_t newEntryId() {
    static std::atomic<uint64_t> last{0};
    return last.fetch_add(1, std::memory_order_relaxed) + 1;
}

EntryView viewOf(const VideoEntry& entry) {
    EntryView view;
    static_cast<EntryFacts&>(view) = entry;
    view.id = entry.id;
    view.status = entry.status.load();
    view.paused = entry.paused.load();
    view.reachedSeconds = entry.reachedSeconds.load();
    return view;
}

std::shared_ptr<VideoEntry> createEntry(const std::string& sourcePath) {
    auto entry = std::make_shared<VideoEntry>();
    entry->sourcePath = sourcePath;
    return entry;
}

void writeEntry(RecordFile& file, VideoEntry& entry) {
    EntryStatus status = storedStatus(entry.status.load(std::memory_order_relaxed));
    entry.status.store(status, std::memory_order_relaxed);

    const uint8_t reserved[kReservedRecordBytes] = {};
    file.writeBytes(reserved, kReservedRecordBytes);
    file.writeUInt16(uint16_t(entry.kind));
    file.writeUInt16(uint16_t(entry.presetId));
    file.writeText32(entry.sourcePath);
    file.writeText32(entry.name);
    file.writeText32(entry.outputPath);
    file.writeUInt16(uint16_t(status));
    file.writeUInt16(uint16_t(entry.transferState));
    file.writeUInt32(uint32_t(entry.size));
    file.writeUInt32(uint32_t(entry.size >> 32));
    file.writeUInt32(uint32_t(entry.duration));
}

std::shared_ptr<VideoEntry> readEntry(RecordFile& file, int historyVersion) {
    uint8_t reserved[kReservedRecordBytes];
    if (file.readBytes(reserved, kReservedRecordBytes) != kReservedRecordBytes) {
        return nullptr;
    }
    auto entry = createEntry({});
    uint16_t kind = 0;
    uint16_t presetId = 0;
    file.readUInt16(kind);
    file.readUInt16(presetId);
    entry->kind = int16_t(kind);
    entry->presetId = int16_t(presetId);
    entry->sourcePath = file.readText32(kStoredSourcePathCapacity);
    entry->name = file.readText32(kStoredNameCapacity);
    entry->outputPath = file.readText32(kStoredOutputPathCapacity);

    uint16_t status = 0;
    uint16_t transferState = 0;
    uint32_t sizeLow = 0;
    uint32_t sizeHigh = 0;
    uint32_t duration = 0;
    bool complete = file.readUInt16(status) == 2 && file.readUInt16(transferState) == 2 &&
                    file.readUInt32(sizeLow) == 4;
    if (complete && historyVersion >= 2) {
        complete = file.readUInt32(sizeHigh) == 4;
    } else if (complete) {
        // The first version kept the size as a signed 32-bit number.
        sizeHigh = (sizeLow & 0x80000000u) != 0 ? 0xFFFFFFFFu : 0;
    }
    complete = complete && file.readUInt32(duration) == 4;
    if (!complete) {
        return nullptr;
    }
    entry->status.store(storedStatus(EntryStatus(int16_t(status))), std::memory_order_relaxed);
    entry->transferState = int16_t(transferState);
    entry->size = uint64_t(sizeHigh) << 32 | sizeLow;
    entry->duration = int32_t(duration);
    // No conversion of this run holds a slot for it: a stop must reach nobody.
    entry->progressSlot = -1;
    return entry;
}

}  // namespace vidmill
