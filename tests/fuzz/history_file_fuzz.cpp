// Feeds arbitrary bytes to the history reader and checks the list it leaves.

#include <cstdint>
#include <cstdlib>

#include "engine/list/entry_list.h"
#include "engine/list/history_file.h"
#include "memory_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vidmill;
    static MemoryFile file;
    file.assign(data, size);

    EntryList list;
    const int recognised = loadHistoryFile(list, file.path());
    if (!recognised && list.count() != 0) {
        std::abort();
    }
    for (int i = 0; i < list.count(); ++i) {
        const VideoEntry& entry = *list.at(i);
        if (entry.row != i || entry.status == EntryStatus::Pending || entry.duration < 0 ||
            entry.sourcePath.size() >= size_t(kStoredSourcePathCapacity) ||
            entry.name.size() >= size_t(kStoredNameCapacity) ||
            entry.outputPath.size() >= size_t(kStoredOutputPathCapacity)) {
            std::abort();
        }
    }
    return 0;
}
