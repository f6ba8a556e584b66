#include "engine/list/history_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>

#include "engine/list/entry_list.h"
#include "storage/record_file.h"
#include "support/file_bytes.h"
#include "support/temp_dir.h"

namespace vidmill {
namespace {

namespace fs = std::filesystem;

class HistoryFileTest : public ::testing::Test {
  protected:
    VideoEntry& add(EntryList& list, const std::string& source, EntryStatus status, uint64_t size) {
        auto entry = createEntry(source);
        entry->kind = kLocalFileKind;
        entry->presetId = 960;
        entry->name = std::filesystem::path(source).stem();
        entry->outputPath = "/out/" + entry->name + ".avi";
        entry->status = status;
        entry->size = size;
        entry->duration = 95;
        VideoEntry& added = *entry;
        list.entries().append(entry);
        return added;
    }

    // A version 1 file: 4-byte sizes.
    void writeVersion1(const std::string& path, std::initializer_list<uint32_t> sizes) {
        auto file = openRecordFile(path, true);
        file->writeRaw(kHistorySignatureV1);
        file->writeUInt32(0);
        file->writeUInt16(uint16_t(sizes.size()));
        for (uint32_t size : sizes) {
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
    }

    TempDir dir;
    std::string path = dir.file("history");
};

TEST_F(HistoryFileTest, EntriesComeBackInOrderWithPendingAsCancelled) {
    EntryList saved;
    saved.reserved = 0x12345678;
    add(saved, "/in/a.avi", EntryStatus::Ok, 5'000'000'000ull);
    add(saved, "/in/b \xc3\xa9.avi", EntryStatus::Pending, 0);
    add(saved, "/in/c.avi", EntryStatus::ConversionError, 7);
    ASSERT_EQ(saveHistoryFile(saved, path), 1);
    EXPECT_EQ(saved.at(1)->status, EntryStatus::Cancelled);
    EXPECT_TRUE(fileBytes(path).starts_with(kHistorySignatureV2));

    EntryList loaded;
    ASSERT_EQ(loadHistoryFile(loaded, path), 1);
    EXPECT_EQ(loaded.reserved, 0x12345678);
    ASSERT_EQ(loaded.count(), 3);
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        const VideoEntry& a = *saved.at(i);
        const VideoEntry& b = *loaded.at(i);
        EXPECT_EQ(b.row, i);
        EXPECT_EQ(b.sourcePath, a.sourcePath);
        EXPECT_EQ(b.name, a.name);
        EXPECT_EQ(b.outputPath, a.outputPath);
        EXPECT_EQ(b.status, a.status);
        EXPECT_EQ(b.size, a.size);
        EXPECT_EQ(b.duration, 95);
        EXPECT_EQ(b.presetId, 960);
        EXPECT_EQ(b.kind, kLocalFileKind);
    }
    EXPECT_EQ(loaded.at(1)->status, EntryStatus::Cancelled);

    // Saved again over the old file, an empty list leaves an empty history.
    EntryList empty;
    ASSERT_EQ(saveHistoryFile(empty, path), 1);
    EntryList reloaded;
    EXPECT_EQ(loadHistoryFile(reloaded, path), 1);
    EXPECT_EQ(reloaded.count(), 0);
    EXPECT_EQ(fileBytes(path).size(), kHistorySignatureV2.size() + 4 + 2);
}

TEST_F(HistoryFileTest, OutputSubfoldersComeBackFromBesideTheHistory) {
    EntryList saved;
    add(saved, "/in/a.avi", EntryStatus::Ready, 0).outputSubfolder = "2023/june";
    add(saved, "/in/b.avi", EntryStatus::Ready, 0);
    add(saved, "/in/a.avi", EntryStatus::Ready, 0).outputSubfolder = "again";
    saved.at(2)->edits = "from=2000";
    ASSERT_EQ(saveHistoryFile(saved, path), 1);
    const std::string history = fileBytes(path);

    // Without its extras, the same history file as before they existed.
    EntryList plain;
    add(plain, "/in/a.avi", EntryStatus::Ready, 0);
    add(plain, "/in/b.avi", EntryStatus::Ready, 0);
    add(plain, "/in/a.avi", EntryStatus::Ready, 0);
    const std::string other = dir.file("plain");
    ASSERT_EQ(saveHistoryFile(plain, other), 1);
    EXPECT_EQ(fileBytes(other), history);
    EXPECT_FALSE(fs::exists(historyExtraPath(other)));

    EntryList loaded;
    ASSERT_EQ(loadHistoryFile(loaded, path), 1);
    ASSERT_EQ(loaded.count(), 3);
    EXPECT_EQ(loaded.at(0)->outputSubfolder, "2023/june");
    EXPECT_EQ(loaded.at(1)->outputSubfolder, "");
    EXPECT_EQ(loaded.at(2)->outputSubfolder, "again");
    EXPECT_EQ(loaded.at(2)->edits, "from=2000");
    EXPECT_EQ(loaded.at(0)->edits, "");

    // A damaged extra file costs the extras, never the history.
    const std::string extras = fileBytes(historyExtraPath(path));
    std::ofstream(historyExtraPath(path), std::ios::binary | std::ios::trunc)
        << extras.substr(0, extras.size() - 6);
    EntryList cut;
    const HistoryLoad load = loadHistoryAtStart(cut, path);
    EXPECT_FALSE(load.damaged);
    ASSERT_EQ(cut.count(), 3);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(cut.at(i)->outputSubfolder, "");
        EXPECT_EQ(cut.at(i)->edits, "");
    }
}

TEST_F(HistoryFileTest, VersionOneSizesAreSignExtended) {
    writeVersion1(path, {0xFFFFFFFFu, 2147483647u, 1234u});
    EntryList list;
    ASSERT_EQ(loadHistoryFile(list, path), 1);
    ASSERT_EQ(list.count(), 3);
    EXPECT_EQ(list.at(0)->size, ~uint64_t(0));
    EXPECT_EQ(list.at(1)->size, 2147483647u);
    EXPECT_EQ(list.at(2)->size, 1234u);
    EXPECT_EQ(list.at(2)->duration, 61);
    EXPECT_EQ(list.at(2)->status, EntryStatus::Cancelled);
    EXPECT_EQ(list.at(2)->row, 2);

    // Written back, it becomes a version 2 file with the same values.
    ASSERT_EQ(saveHistoryFile(list, path), 1);
    EntryList again;
    ASSERT_EQ(loadHistoryFile(again, path), 1);
    ASSERT_EQ(again.count(), 3);
    EXPECT_EQ(again.at(0)->size, ~uint64_t(0));
}

TEST_F(HistoryFileTest, ForeignMissingOrCutSignaturesLeaveTheListEmpty) {
    EntryList list;
    EXPECT_EQ(loadHistoryFile(list, dir.file("missing")), 0);
    EXPECT_EQ(loadHistoryFile(list, dir.path()), 0);
    writeBytes(path, "SomethingElse/2 and more bytes after it");
    EXPECT_EQ(loadHistoryFile(list, path), 0);
    writeBytes(path, std::string(kHistorySignatureV2.substr(0, 10)));
    EXPECT_EQ(loadHistoryFile(list, path), 0);
    EXPECT_EQ(list.count(), 0);
}

TEST_F(HistoryFileTest, DamagedFilesKeepTheCompleteEntriesOnly) {
    EntryList saved;
    for (const char* source : {"/in/a.avi", "/in/b.avi", "/in/c.avi"}) {
        add(saved, source, EntryStatus::Ok, 10);
    }
    ASSERT_EQ(saveHistoryFile(saved, path), 1);
    const std::string bytes = fileBytes(path);

    // Cut inside the last record.
    writeBytes(path, bytes.substr(0, bytes.size() - 3));
    EntryList cut;
    EXPECT_EQ(loadHistoryFile(cut, path), 1);
    EXPECT_EQ(cut.count(), 2);

    // A count far beyond the records, and one below zero.
    const size_t countAt = kHistorySignatureV2.size() + 4;
    for (std::string count : {std::string("\xff\x7f", 2), std::string("\x00\x80", 2)}) {
        std::string damaged = bytes;
        damaged.replace(countAt, 2, count);
        writeBytes(path, damaged);
        EntryList list;
        EXPECT_EQ(loadHistoryFile(list, path), 1);
        EXPECT_LE(list.count(), 3);
    }

    // A text length that claims gigabytes is cut to its limit.
    std::string huge = bytes;
    huge.replace(countAt + 2 + 16, 4, "\xff\xff\xff\x7f");
    writeBytes(path, huge);
    EntryList list;
    EXPECT_EQ(loadHistoryFile(list, path), 1);
    ASSERT_LE(list.count(), 1);
    if (list.count() == 1) {
        EXPECT_LE(list.at(0)->sourcePath.size(), size_t(kStoredSourcePathCapacity - 1));
    }
}

TEST_F(HistoryFileTest, AFailedSaveReportsItAndKeepsTheOldFile) {
    EntryList saved;
    add(saved, "/in/a.avi", EntryStatus::Ok, 10);
    EXPECT_EQ(saveHistoryFile(saved, dir.file("no/such/folder/history")), 0);

    // A folder where the file should be cannot be replaced.
    std::filesystem::create_directory(path);
    EXPECT_EQ(saveHistoryFile(saved, path), 0);
    EXPECT_TRUE(std::filesystem::is_directory(path));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

// At start-up a damaged file is kept aside under a dated name, the entries
// before the damage stay and become the new history.
TEST_F(HistoryFileTest, ADamagedHistoryIsKeptAsideWithTheEntriesThatCouldBeRead) {
    EntryList saved;
    for (const char* source : {"/in/a.avi", "/in/b.avi", "/in/c.avi"}) {
        add(saved, source, EntryStatus::Ok, 10);
    }
    ASSERT_EQ(saveHistoryFile(saved, path), 1);
    const std::string bytes = fileBytes(path);
    const size_t recordSize = (bytes.size() - kHistorySignatureV2.size() - 6) / 3;
    const size_t secondStatusAt = bytes.size() - 2 * recordSize + recordSize - 16;
    struct Case {
        std::string content;
        bool damaged;
        int read;
    };
    std::string badStatus = bytes;
    badStatus[secondStatusAt] = 9;
    const Case cases[] = {
        {bytes, false, 3},
        {bytes.substr(0, bytes.size() - 3), true, 2},
        {bytes + "\x01", true, 3},
        {badStatus, true, 1},
        {bytes.substr(0, 10) + "x" + bytes.substr(10), true, 0},
    };
    const std::time_t now = 1'800'000'000;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.read);
        fs::remove_all(dir.path());
        fs::create_directory(dir.path());
        writeBytes(path, c.content);

        EntryList list;
        const HistoryLoad load = loadHistoryAtStart(list, path, now);
        EXPECT_EQ(load.damaged, c.damaged);
        EXPECT_EQ(load.entriesRead, c.read);
        ASSERT_EQ(list.count(), c.read);
        if (!c.damaged) {
            EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), 1);
            EXPECT_EQ(startupFilesMessage({}, load), "");
            continue;
        }
        EXPECT_TRUE(std::regex_match(load.keptAs, std::regex(R"(history\.damaged-\d{8}-\d{6})")))
            << load.keptAs;
        EXPECT_EQ(fileBytes(dir.file(load.keptAs)), c.content);
        EntryList again;
        EXPECT_FALSE(loadHistoryAtStart(again, path, now).damaged);
        EXPECT_EQ(again.count(), c.read);
        if (c.read > 0) {
            EXPECT_EQ(again.at(c.read - 1)->sourcePath, saved.at(c.read - 1)->sourcePath);
        }
    }
}

TEST_F(HistoryFileTest, AnEarlierDamagedCopyIsNeverReplaced) {
    const std::time_t now = 1'800'000'000;
    writeBytes(path, "not a history");
    EntryList first;
    const HistoryLoad one = loadHistoryAtStart(first, path, now);
    EXPECT_FALSE(one.recognised);
    writeBytes(path, std::string(kHistorySignatureV2) + "short");
    EntryList second;
    const HistoryLoad two = loadHistoryAtStart(second, path, now);
    EXPECT_TRUE(two.recognised);
    EXPECT_EQ(two.keptAs, one.keptAs + "-1");
    EXPECT_EQ(fileBytes(dir.file(one.keptAs)), "not a history");
    EXPECT_EQ(fileBytes(dir.file(two.keptAs)), std::string(kHistorySignatureV2) + "short");
    EXPECT_EQ(startupFilesMessage({}, two),
              "The history file was damaged. No entries could be read; "
              "the damaged file was kept as " +
                  two.keptAs + ".");

    // Where nothing can be moved, the user hears that the file goes on the next save.
    writeBytes(path, "damaged again");
    chmod(dir.path().c_str(), 0500);
    EntryList third;
    const HistoryLoad three = loadHistoryAtStart(third, path, now);
    chmod(dir.path().c_str(), 0700);
    if (geteuid() != 0) {
        EXPECT_EQ(three.keptAs, "");
        EXPECT_EQ(fileBytes(path), "damaged again");
    }
}

}  // namespace
}  // namespace vidmill
