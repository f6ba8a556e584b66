#include "engine/list/history_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>

#include "engine/list/entry_edits.h"
#include "engine/list/entry_list.h"
#include "storage/record_file.h"
#include "storage/safe_save.h"

namespace vidmill {
namespace {

// Gives the version whose signature opens the file, or 0.
int readHistoryVersion(RecordFile& file) {
    const int64_t start = file.tell();
    if (file.readSignature(kHistorySignatureV2)) {
        return 2;
    }
    file.seek(start);
    return file.readSignature(kHistorySignatureV1) ? 1 : 0;
}

// Values that this program writes; a record holding others was read from
// the wrong place, and so would every record after it be.
bool isStoredEntry(const VideoEntry& entry) {
    const int status = int(entry.status.load(std::memory_order_relaxed));
    const bool knownStatus =
        (status >= int(EntryStatus::Starting) && status <= int(EntryStatus::ConversionError)) ||
        status == int(EntryStatus::Ready);
    return knownStatus && (entry.kind == 0 || entry.kind == kLocalFileKind) &&
           entry.transferState >= 0 && entry.transferState <= 2 && entry.duration >= 0;
}

struct HistoryRead {
    // 0 when the file could not be opened or has no history signature.
    int version = 0;
    bool damaged = false;
};

HistoryRead readHistory(EntryList& list, const std::string& path) {
    HistoryRead read;
    std::unique_ptr<RecordFile> file = openRecordFile(path, false);
    if (!file) {
        return read;
    }
    read.version = readHistoryVersion(*file);
    if (read.version == 0) {
        read.damaged = true;
        return read;
    }
    uint32_t reserved = 0;
    uint16_t stored = 0;
    if (file->readUInt32(reserved) != 4 || file->readUInt16(stored) != 2 || int16_t(stored) < 0) {
        read.damaged = true;
        return read;
    }
    list.reserved = int32_t(reserved);
    for (int i = 0; i < int16_t(stored); ++i) {
        std::shared_ptr<VideoEntry> entry = readEntry(*file, read.version);
        if (!entry || !isStoredEntry(*entry) || list.entries().append(entry) < 0) {
            read.damaged = true;
            break;
        }
    }
    uint8_t more = 0;
    read.damaged = read.damaged || file->readBytes(&more, 1) != 0;
    list.renumberRows();
    return read;
}

// The fields of the extra file's records; a reader skips those it does
// not know.
enum ExtraField : uint16_t {
    kOutputSubfolderField = 1,
    // FileIdentity::text() of the published output.
    kOutputIdentityField = 2,
    // editsRecord() of what the output was converted with.
    kEntryEditsField = 3,
};

constexpr std::string_view kHistoryExtraEnd = "end";

// The longest field kept; a subfolder is a path below the destination.
constexpr int kExtraFieldCapacity = 4096 + 2;

bool hasExtras(const VideoEntry& entry) {
    return !entry.outputSubfolder.empty() || entry.outputIdentity.known() || !entry.edits.empty();
}

// Written first, so that every entry of a history on the disk has its
// extras on the disk as well.
bool saveHistoryExtras(EntryList& list, const std::string& historyPath) {
    const std::string path = historyExtraPath(historyPath);
    int count = 0;
    for (const auto& entry : list.entries()) {
        count += hasExtras(*entry) ? 1 : 0;
    }
    if (count == 0 && access(path.c_str(), F_OK) != 0) {
        return true;
    }
    return saveFileSafely(path, [&](RecordFile& file) {
        file.writeRaw(kHistoryExtraSignature);
        file.writeUInt32(uint32_t(count));
        for (const auto& entry : list.entries()) {
            if (hasExtras(*entry)) {
                file.writeText32(entry->sourcePath);
                const bool edited = !entry->edits.empty();
                file.writeUInt16(edited ? 3 : 2);
                file.writeUInt16(kOutputSubfolderField);
                file.writeText32(entry->outputSubfolder);
                file.writeUInt16(kOutputIdentityField);
                file.writeText32(entry->outputIdentity.known() ? entry->outputIdentity.text()
                                                               : std::string());
                if (edited) {
                    file.writeUInt16(kEntryEditsField);
                    file.writeText32(entry->edits);
                }
            }
        }
        file.writeRaw(kHistoryExtraEnd);
    });
}

// Gives each entry the extras recorded for its source, in order: the same
// source listed twice takes the first record, then the second.
void loadHistoryExtras(EntryList& list, const std::string& historyPath) {
    std::unique_ptr<RecordFile> file = openRecordFile(historyExtraPath(historyPath), false);
    uint32_t count = 0;
    if (!file || !file->readSignature(kHistoryExtraSignature) || file->readUInt32(count) != 4 ||
        count > uint32_t(kMaxEntries)) {
        return;
    }
    struct Extras {
        std::string subfolder;
        FileIdentity identity;
        std::string edits;
    };
    std::multimap<std::string, Extras> records;
    for (uint32_t i = 0; i < count; ++i) {
        std::string source = file->readText32(kStoredSourcePathCapacity);
        uint16_t fields = 0;
        if (file->readUInt16(fields) != 2) {
            return;
        }
        Extras extras;
        for (uint16_t f = 0; f < fields; ++f) {
            uint16_t tag = 0;
            if (file->readUInt16(tag) != 2) {
                return;
            }
            std::string value = file->readText32(kExtraFieldCapacity);
            if (tag == kOutputSubfolderField) {
                extras.subfolder = std::move(value);
            } else if (tag == kOutputIdentityField) {
                extras.identity = FileIdentity::fromText(value);
            } else if (tag == kEntryEditsField) {
                // One that no version wrote tells nothing: the entry stays plain.
                ConversionSettings edits;
                if (readEditsRecord(value, edits)) {
                    extras.edits = editsRecord(edits);
                }
            }
        }
        records.emplace(std::move(source), std::move(extras));
    }
    // A text cut short reads as a shorter one: only a whole file counts.
    if (!file->readSignature(kHistoryExtraEnd)) {
        return;
    }
    for (const auto& entry : list.entries()) {
        const auto found = records.find(entry->sourcePath);
        if (found != records.end()) {
            entry->outputSubfolder = std::move(found->second.subfolder);
            entry->outputIdentity = found->second.identity;
            entry->edits = std::move(found->second.edits);
            records.erase(found);
        }
    }
}

std::string historyLoadMessage(const HistoryLoad& load) {
    if (!load.damaged) {
        return {};
    }
    std::string text = "The history file was damaged. ";
    if (load.entriesRead == 0) {
        text += "No entries could be read";
    } else if (load.entriesRead == 1) {
        text += "1 entry could be read";
    } else {
        text += std::to_string(load.entriesRead) + " entries could be read";
    }
    if (load.keptAs.empty()) {
        return text +
               "; the damaged file could not be kept aside and will be replaced when the history "
               "is next saved.";
    }
    return text + "; the damaged file was kept as " + load.keptAs + ".";
}

}  // namespace

std::string historyExtraPath(const std::string& historyPath) {
    return historyPath + ".extra";
}

int loadHistoryFile(EntryList& list, const std::string& path) {
    const HistoryRead read = readHistory(list, path);
    loadHistoryExtras(list, path);
    return read.version != 0 ? 1 : 0;
}

HistoryLoad loadHistoryAtStart(EntryList& list, const std::string& path, std::time_t now) {
    const HistoryRead read = readHistory(list, path);
    loadHistoryExtras(list, path);
    HistoryLoad load;
    load.recognised = read.version != 0;
    load.damaged = read.damaged;
    load.entriesRead = list.count();
    if (load.damaged) {
        load.keptAs = keepDamagedFile(path, now);
        // Otherwise a run that changes nothing would leave no history at all.
        if (!load.keptAs.empty()) {
            saveHistoryFile(list, path);
        }
    }
    return load;
}

std::string startupFilesMessage(const SettingsLoad& settings, const HistoryLoad& history) {
    const std::string first = settingsLoadMessage(settings);
    const std::string second = historyLoadMessage(history);
    return first.empty() || second.empty() ? first + second : first + "\n\n" + second;
}

int saveHistoryFile(EntryList& list, const std::string& path) {
    // Without its extras an entry would still convert, only into the top of
    // the destination: the history goes on.
    saveHistoryExtras(list, path);
    const bool saved = saveFileSafely(path, [&](RecordFile& file) {
        file.writeRaw(kHistorySignatureV2);
        file.writeUInt32(uint32_t(list.reserved));
        list.writeAll(file);
    });
    return saved ? 1 : 0;
}

}  // namespace vidmill
