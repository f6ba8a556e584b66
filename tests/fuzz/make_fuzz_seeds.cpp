// Writes the seed files of the fuzz targets: settings and history files as
// the program writes them, an old-version history, and cut-off copies.
//
//   make_fuzz_seeds <settings folder> <history folder>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "engine/list/entry_list.h"
#include "engine/list/history_file.h"
#include "formats/format_preset.h"
#include "storage/record_file.h"
#include "storage/settings_file.h"

namespace {

using namespace vidmill;

bool cutCopy(const std::string& path, double share) {
    std::string bytes;
    {
        std::ifstream in(path, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), {});
    }
    std::ofstream out(path + "-cut", std::ios::binary);
    out << bytes.substr(0, size_t(double(bytes.size()) * share));
    return bool(out);
}

bool writeSettingsSeeds(const std::string& folder) {
    ConversionSettings settings;
    bool ok = saveSettingsFile(settings, folder + "/default");
    storeText(settings.destinationFolder, "/home/me/Videos/Vidmill");
    storeText(settings.lastAddFolder, "/home/me/Downloads");
    applyPreset(settings, findPresetById(800));
    settings.frameRate = 14.985f;
    settings.aspect = 2;
    settings.volume = 150;
    settings.converterPriority = 4;
    ok = saveSettingsFile(settings, folder + "/changed") && ok;
    return cutCopy(folder + "/changed", 0.6) && ok;
}

void addEntry(EntryList& list, const char* source, EntryStatus status, uint64_t size) {
    auto entry = createEntry(source);
    entry->kind = kLocalFileKind;
    entry->presetId = 100;
    entry->name = std::filesystem::path(source).stem();
    entry->outputPath = "/out/" + entry->name + ".mp4";
    entry->status = status;
    entry->size = size;
    entry->duration = 120;
    list.entries().append(entry);
}

bool writeVersion1(const std::string& path) {
    auto file = openRecordFile(path, true);
    if (!file) {
        return false;
    }
    file->writeRaw(kHistorySignatureV1);
    file->writeUInt32(0);
    file->writeUInt16(2);
    for (uint32_t size : {0xFFFFFFFFu, 1234u}) {
        const uint8_t reserved[12] = {};
        file->writeBytes(reserved, 12);
        file->writeUInt16(1);
        file->writeUInt16(5000);
        file->writeText32("/in/song.wav");
        file->writeText32("song");
        file->writeText32("/out/song.mp3");
        file->writeUInt16(uint16_t(EntryStatus::Pending));
        file->writeUInt16(0);
        file->writeUInt32(size);
        file->writeUInt32(61);
    }
    return file->close();
}

bool writeHistorySeeds(const std::string& folder) {
    EntryList list;
    addEntry(list, "/in/a.avi", EntryStatus::Ok, 5'000'000'000ull);
    addEntry(list, "/in/b.mkv", EntryStatus::Pending, 0);
    addEntry(list, "/in/c.mov", EntryStatus::ConversionError, 0);
    bool ok = saveHistoryFile(list, folder + "/three") == 1;
    ok = cutCopy(folder + "/three", 0.7) && ok;
    EntryList empty;
    ok = saveHistoryFile(empty, folder + "/empty") == 1 && ok;
    return writeVersion1(folder + "/version1") && ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <settings folder> <history folder>\n", argv[0]);
        return 2;
    }
    std::filesystem::create_directories(argv[1]);
    std::filesystem::create_directories(argv[2]);
    if (!writeSettingsSeeds(argv[1]) || !writeHistorySeeds(argv[2])) {
        std::fprintf(stderr, "%s: could not write the seed files\n", argv[0]);
        return 1;
    }
    return 0;
}
