#include "engine/list/entry_list.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

#include "storage/record_file.h"
#include "support/temp_dir.h"

namespace vidmill {
namespace {

std::vector<int> values(const OwnerList<int>& list) {
    std::vector<int> out;
    for (const auto& item : list) {
        out.push_back(*item);
    }
    return out;
}

TEST(OwnerListTest, InsertRemoveAndBadIndexesLeaveTheListUnchanged) {
    OwnerList<int> list;
    EXPECT_EQ(list.at(0), nullptr);

    EXPECT_EQ(list.append(std::make_shared<int>(1)), 0);
    EXPECT_EQ(list.append(std::make_shared<int>(3)), 1);
    EXPECT_EQ(list.insertAt(1, std::make_shared<int>(2)), 1);
    EXPECT_EQ(list.insertAt(0, std::make_shared<int>(0)), 0);
    EXPECT_EQ(values(list), (std::vector<int>{0, 1, 2, 3}));

    auto rejected = std::make_shared<int>(9);
    EXPECT_EQ(list.insertAt(list.count() + 1, rejected), -1);
    EXPECT_EQ(list.insertAt(-1, rejected), -1);
    EXPECT_EQ(list.append(nullptr), -1);
    EXPECT_EQ(rejected.use_count(), 1);  // the list kept nothing of it
    EXPECT_EQ(list.insertAt(list.count(), rejected), 4);
    EXPECT_EQ(rejected.use_count(), 2);

    EXPECT_EQ(list.removeAt(5), nullptr);
    EXPECT_EQ(list.removeAt(-1), nullptr);
    auto last = list.removeAt(4);
    EXPECT_EQ(last, rejected);
    auto middle = list.removeAt(1);
    EXPECT_EQ(*middle, 1);
    EXPECT_EQ(values(list), (std::vector<int>{0, 2, 3}));
    EXPECT_EQ(list.owner(1).use_count(), 2);  // the list's and this copy

    OwnerList<int> empty;
    EXPECT_EQ(empty.removeAt(0), nullptr);
}

class EntryListTest : public ::testing::Test {
  protected:
    VideoEntry& add(EntryList& list, const std::string& path, EntryStatus status) {
        auto entry = createEntry(path);
        entry->status = status;
        VideoEntry& ref = *entry;
        list.entries().append(entry);
        return ref;
    }
    TempDir dir;
    std::string path = dir.file("history.bin");
};

TEST_F(EntryListTest, NewEntryWaitsForAdmission) {
    auto entry = createEntry("/videos/clip.avi");
    EXPECT_EQ(entry->sourcePath, "/videos/clip.avi");
    EXPECT_EQ(entry->status, EntryStatus::Starting);
    EXPECT_TRUE(entry->name.empty());
    EXPECT_TRUE(entry->outputPath.empty());
    EXPECT_EQ(entry->progressSlot, 0);
    EXPECT_EQ(entry->kind, 0);
    EXPECT_FALSE(entry->cancelRequested);
}

TEST_F(EntryListTest, StatusGroups) {
    using S = EntryStatus;
    for (S s :
         {S::Starting, S::GetVideoInfo, S::Downloading, S::NotFound, S::Converting, S::Pending}) {
        EXPECT_TRUE(isInProgress(s));
        EXPECT_FALSE(isFinished(s));
    }
    for (S s : {S::Ok, S::Cancelled, S::CancelledNotFound, S::ConversionError}) {
        EXPECT_TRUE(isFinished(s));
        EXPECT_FALSE(isInProgress(s));
    }
    EXPECT_FALSE(isInProgress(S::Ready));
    EXPECT_FALSE(isFinished(S::Ready));
    EXPECT_TRUE(isOutputClaiming(S::Ok));
    EXPECT_TRUE(isOutputClaiming(S::Starting));
    EXPECT_FALSE(isOutputClaiming(S::Cancelled));
    EXPECT_FALSE(isOutputClaiming(S::Pending));
    EXPECT_FALSE(isOutputClaiming(S::Ready));
}

TEST_F(EntryListTest, RemovingFromTheMiddleAndRenumberingKeepsRowsEqualToIndexes) {
    EntryList list;
    for (int i = 0; i < 6; ++i) {
        add(list, "/v/" + std::to_string(i), EntryStatus::Ready);
    }
    list.renumberRows();
    auto removed = list.entries().removeAt(2);
    list.renumberFrom(2);
    ASSERT_EQ(list.count(), 5);
    for (int i = 0; i < list.count(); ++i) {
        EXPECT_EQ(list.at(i)->row, i);
    }
    EXPECT_EQ(list.at(2)->sourcePath, "/v/3");
}

TEST_F(EntryListTest, CountsReadyAndRequeuesCancelled) {
    EntryList list;
    add(list, "a", EntryStatus::Ready);
    add(list, "b", EntryStatus::Cancelled);
    add(list, "c", EntryStatus::Ok);
    add(list, "d", EntryStatus::Cancelled);
    add(list, "e", EntryStatus::ConversionError);
    int cancelled = -1;
    EXPECT_EQ(list.countReady(&cancelled), 1);
    EXPECT_EQ(cancelled, 2);
    EXPECT_EQ(list.countReady(), 1);
    EXPECT_EQ(list.requeueCancelled(), 3);
    EXPECT_EQ(list.at(1)->status, EntryStatus::Ready);
    EXPECT_EQ(list.at(2)->status, EntryStatus::Ok);
    EXPECT_EQ(list.at(4)->status, EntryStatus::ConversionError);
}

TEST_F(EntryListTest, HistoryRoundTripKeepsOrderAndTurnsPendingIntoCancelled) {
    {
        EntryList list;
        list.reserved = 0;
        VideoEntry& a = add(list, "/videos/a clip.avi", EntryStatus::Ok);
        a.kind = kLocalFileKind;
        a.presetId = 210;
        a.name = "a clip";
        a.outputPath = "/out/a clip.mp4";
        a.size = 5'000'000'000ull;
        a.duration = 3723;
        a.transferState = 0;
        VideoEntry& b = add(list, "/videos/b.mkv", EntryStatus::Pending);
        add(list, "/videos/c.mpg", EntryStatus::ConversionError).presetId = -1;
        auto file = openRecordFile(path, true);
        EXPECT_EQ(list.writeAll(*file), 3);
        EXPECT_EQ(b.status, EntryStatus::Cancelled);  // changed in memory too
    }
    EntryList list;
    auto file = openRecordFile(path, false);
    EXPECT_EQ(list.readAll(*file), 3);
    list.renumberRows();
    ASSERT_EQ(list.count(), 3);
    const VideoEntry& a = *list.at(0);
    EXPECT_EQ(a.sourcePath, "/videos/a clip.avi");
    EXPECT_EQ(a.kind, kLocalFileKind);
    EXPECT_EQ(a.presetId, 210);
    EXPECT_EQ(a.name, "a clip");
    EXPECT_EQ(a.outputPath, "/out/a clip.mp4");
    EXPECT_EQ(a.status, EntryStatus::Ok);
    EXPECT_EQ(a.size, 5'000'000'000ull);
    EXPECT_EQ(a.duration, 3723);
    EXPECT_EQ(list.at(1)->status, EntryStatus::Cancelled);
    EXPECT_EQ(list.at(2)->presetId, -1);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(list.at(i)->row, i);
        EXPECT_EQ(list.at(i)->progressSlot, -1);
        EXPECT_EQ(list.at(i)->sourceSize, 0u);
    }
}

TEST_F(EntryListTest, StoredPendingIsReadAsCancelledAndRecordBytesAreExact) {
    {
        auto file = openRecordFile(path, true);
        EntryList list;
        VideoEntry& e = add(list, "ab", EntryStatus::Ok);
        e.status.store(EntryStatus::Ok);
        e.name = "n";
        e.duration = 7;
        e.size = 0x0102030405060708ull;
        writeEntry(*file, e);
    }
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), {});
    ASSERT_EQ(bytes.size(), 12u + 2 + 2 + (4 + 2) + (4 + 1) + 4 + 2 + 2 + 8 + 4);
    EXPECT_EQ(bytes.substr(0, 12), std::string(12, '\0'));
    EXPECT_EQ(bytes.substr(16, 6), std::string("\x02\x00\x00\x00"
                                               "ab",
                                               6));
    // status 5, transfer state 0, then the size low byte first
    EXPECT_EQ(bytes.substr(31, 12), std::string("\x05\x00\x00\x00"
                                                "\x08\x07\x06\x05\x04\x03\x02\x01",
                                                12));

    // The same record with status Pending, as another program might have
    // stored it.
    bytes[31] = 14;
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    auto file = openRecordFile(path, false);
    auto entry = readEntry(*file, 2);
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->status, EntryStatus::Cancelled);
    EXPECT_EQ(entry->size, 0x0102030405060708ull);
}

TEST_F(EntryListTest, FirstVersionSizesAreSignExtended) {
    auto record = [](uint32_t size) {
        std::string r(12, '\0');
        r += std::string("\x01\x00\x64\x00", 4);  // kind 1, preset 100
        r += std::string("\x01\x00\x00\x00x\x00\x00\x00\x00\x00\x00\x00\x00", 13);  // "x", "", ""
        r += std::string("\x05\x00\x00\x00", 4);                                    // Ok, 0
        for (int i = 0; i < 4; ++i) {
            r += char(size >> (8 * i));
        }
        r += std::string("\x0A\x00\x00\x00", 4);  // duration 10
        return r;
    };
    std::ofstream(path, std::ios::binary)
        << std::string("\x02\x00", 2) << record(0xFFFFFFFFu) << record(2147483647u);
    EntryList list;
    auto file = openRecordFile(path, false);
    EXPECT_EQ(list.readAll(*file, 1), 2);
    ASSERT_EQ(list.count(), 2);
    EXPECT_EQ(list.at(0)->size, 0xFFFFFFFFFFFFFFFFull);
    EXPECT_EQ(list.at(1)->size, 2147483647u);
    EXPECT_EQ(list.at(1)->duration, 10);
    EXPECT_EQ(list.at(1)->sourcePath, "x");
}

TEST_F(EntryListTest, TruncatedHistoryKeepsTheWholeRecordsOnly) {
    {
        EntryList list;
        for (int i = 0; i < 3; ++i) {
            add(list, "/videos/" + std::to_string(i) + ".avi", EntryStatus::Ok);
        }
        auto file = openRecordFile(path, true);
        list.writeAll(*file);
    }
    // Cut the last record short and claim far more records than there are.
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), {});
    bytes.resize(bytes.size() - 3);
    bytes[0] = char(0xFF);
    bytes[1] = char(0x7F);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;

    EntryList list;
    auto file = openRecordFile(path, false);
    EXPECT_EQ(list.readAll(*file), 32767);
    ASSERT_EQ(list.count(), 2);
    EXPECT_EQ(list.at(1)->sourcePath, "/videos/1.avi");
}

TEST_F(EntryListTest, OverlongStoredTextsAreCutToTheirLimits) {
    {
        EntryList list;
        VideoEntry& e = add(list, std::string(3000, 's'), EntryStatus::Ok);
        e.name = std::string(300, 'n');
        e.outputPath = std::string(1500, 'o');
        e.duration = 99;
        auto file = openRecordFile(path, true);
        list.writeAll(*file);
    }
    EntryList list;
    auto file = openRecordFile(path, false);
    list.readAll(*file);
    ASSERT_EQ(list.count(), 1);
    EXPECT_EQ(list.at(0)->sourcePath.size(), 2001u);
    EXPECT_EQ(list.at(0)->name.size(), 257u);
    EXPECT_EQ(list.at(0)->outputPath.size(), 1001u);
    EXPECT_EQ(list.at(0)->duration, 99);  // the fields after the texts survive
}

}  // namespace
}  // namespace vidmill
