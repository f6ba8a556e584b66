#include "engine/batch/output_path.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <string>

#include "engine/batch/part_file.h"
#include "engine/list/entry_list.h"
#include "support/temp_dir.h"

namespace vidmill {
namespace {

class OutputPathTest : public ::testing::Test {
  protected:
    void touch(const std::string& path) { std::ofstream(path) << "x"; }

    VideoEntry& addEntry(const std::string& outputPath, EntryStatus status) {
        auto entry = createEntry("/in/clip.avi");
        entry->outputPath = outputPath;
        entry->status = status;
        VideoEntry& added = *entry;
        list.entries().append(entry);
        return added;
    }

    TempDir dir;
    EntryList list;
    std::string out;
};

TEST_F(OutputPathTest, AnExistingFileGetsTheNextSuffix) {
    EXPECT_EQ(makeOutputPath(&out, dir.path(), "clip", 100, list), 0);
    EXPECT_EQ(out, dir.file("clip.mp4"));

    touch(dir.file("clip.mp4"));
    touch(dir.file("clip(1).mp4"));
    EXPECT_EQ(makeOutputPath(&out, dir.path() + "/", "clip", 100, list), 2);
    EXPECT_EQ(out, dir.file("clip(2).mp4"));

    // A folder, or a link pointing nowhere, takes the name as well.
    std::filesystem::create_directory(dir.file("song.mp3"));
    std::filesystem::create_symlink(dir.file("gone"), dir.file("song(1).mp3"));
    EXPECT_EQ(makeOutputPath(&out, dir.path(), "song", 5000, list), 2);
    EXPECT_EQ(out, dir.file("song(2).mp3"));
}

TEST_F(OutputPathTest, UnfinishedEntriesClaimTheirPathInAnyLetterCase) {
    addEntry("/out/CLIP.MP4", EntryStatus::Converting);
    EXPECT_EQ(isOutputPathFree(list, "/out/clip.mp4"), 0);
    EXPECT_EQ(makeOutputPath(&out, "/out", "clip", 100, list), 1);
    EXPECT_EQ(out, "/out/clip(1).mp4");

    // Finished without output: the path is free again.
    addEntry("/out/other.mp4", EntryStatus::Cancelled);
    addEntry("/out/third.mp4", EntryStatus::ConversionError);
    EXPECT_EQ(makeOutputPath(&out, "/out", "other", 100, list), 0);
    EXPECT_EQ(makeOutputPath(&out, "/out", "third", 100, list), 0);

    // An entry converted again still holds its last path, which stays taken.
    addEntry("/out/again.mp4", EntryStatus::Ok);
    EXPECT_EQ(makeOutputPath(&out, "/out", "again", 100, list), 1);
}

TEST_F(OutputPathTest, OverlongNamesAreShortenedSoTheSuffixAlwaysFits) {
    const std::string name(400, 'n');
    ASSERT_EQ(makeOutputPath(&out, dir.path(), name, 100, list), 0);
    // The part file, the longer name, must fit as well.
    const std::size_t longest = NAME_MAX - kPartPrefix.size();
    const std::string plain = out.substr(dir.path().size() + 1);
    EXPECT_EQ(plain.size(), longest);
    EXPECT_TRUE(plain.ends_with("n.mp4"));
    touch(partPathFor(out));
    touch(out);

    ASSERT_EQ(makeOutputPath(&out, dir.path(), name, 100, list), 1);
    const std::string suffixed = out.substr(dir.path().size() + 1);
    EXPECT_EQ(suffixed.size(), longest);
    EXPECT_TRUE(suffixed.ends_with("n(1).mp4"));
    touch(out);  // the system accepts the name

    // Claimed by entries rather than files, the same holds near the path limit.
    const std::string folder = "/" + std::string(PATH_MAX - 40, 'f');
    for (int n = 0; n < 12; ++n) {
        ASSERT_EQ(makeOutputPath(&out, folder, name, 100, list), n);
        EXPECT_LE(partPathFor(out).size(), size_t(PATH_MAX - 1));
        addEntry(out, EntryStatus::Starting);
    }
    EXPECT_TRUE(out.ends_with("n(11).mp4"));
}

TEST_F(OutputPathTest, ShorteningNeverSplitsACharacter) {
    std::string name;
    while (name.size() < 300) {
        name += "\xe6\x97\xa5";  // three bytes per character
    }
    ASSERT_EQ(makeOutputPath(&out, dir.path(), name, 100, list), 0);
    const std::string base = out.substr(dir.path().size() + 1);
    EXPECT_EQ(base.size() - 4, (NAME_MAX - kPartPrefix.size() - 4) / 3 * 3);
    touch(out);
    EXPECT_TRUE(std::filesystem::exists(out));
}

TEST_F(OutputPathTest, AFolderWithoutRoomForAnyNameGivesNoPath) {
    out = "old";
    const std::string folder = "/" + std::string(PATH_MAX, 'f');
    EXPECT_EQ(makeOutputPath(&out, folder, "clip", 100, list), -1);
    EXPECT_EQ(out, "");
}

}  // namespace
}  // namespace vidmill
