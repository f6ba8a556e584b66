#include "engine/history_file.h"

#include <cstdint>
#include <memory>

#include "engine/entry_list.h"
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

}  // namespace

int loadHistoryFile(EntryList& list, const std::string& path) {
    std::unique_ptr<RecordFile> file = openRecordFile(path, false);
    if (!file) {
        return 0;
    }
    const int version = readHistoryVersion(*file);
    if (version == 0) {
        return 0;
    }
    uint32_t reserved = 0;
    if (file->readUInt32(reserved) == 4) {
        list.reserved = int32_t(reserved);
    }
    list.readAll(*file, version);
    list.renumberRows();
    return 1;
}

int saveHistoryFile(EntryList& list, const std::string& path) {
    const bool saved = saveFileSafely(path, [&](RecordFile& file) {
        file.writeRaw(kHistorySignatureV2);
        file.writeUInt32(uint32_t(list.reserved));
        list.writeAll(file);
    });
    return saved ? 1 : 0;
}

}  // namespace vidmill
