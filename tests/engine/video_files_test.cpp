#include "engine/video_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace vidmill {
namespace {

TEST(VideoFilesTest, ExtensionsMatchWholeTokensWhateverTheCase) {
    EXPECT_TRUE(IsSupportedExtension(".AVI", kAllSupportedExtensions));
    EXPECT_TRUE(IsSupportedExtension("mkv", kAllSupportedExtensions));
    EXPECT_TRUE(IsSupportedExtension(".mpeg", "avi mpeg"));
    EXPECT_FALSE(IsSupportedExtension(".mpg", "avi mpeg"));
    EXPECT_FALSE(IsSupportedExtension(".mpe", "avi mpeg"));
    EXPECT_FALSE(IsSupportedExtension("", kAllSupportedExtensions));
    EXPECT_FALSE(IsSupportedExtension(".", kAllSupportedExtensions));
    EXPECT_FALSE(IsSupportedExtension(".txt", kAllSupportedExtensions));
    EXPECT_TRUE(IsSupportedExtension("wmv", " \twmv\n"));
}

TEST(VideoFilesTest, EveryGroupExtensionIsAccepted) {
    for (std::string_view list : {kVideoExtensions, kWindowsMediaExtensions, kDvdExtensions,
                                  kAudioExtensions, kRealMediaExtensions}) {
        size_t start = 0;
        while (start < list.size()) {
            size_t end = list.find(' ', start);
            end = end == std::string_view::npos ? list.size() : end;
            std::string token(list.substr(start, end - start));
            EXPECT_TRUE(IsSupportedExtension(token, kAllSupportedExtensions)) << token;
            start = end + 1;
        }
    }
}

TEST(VideoFilesTest, FilterHasDescriptionsInLowerAndPatternsInUpperCase) {
    std::string filter = BuildVideoFilter();
    EXPECT_EQ(filter.rfind("All supported files|*.AVI;*.MPG;", 0), 0u);
    EXPECT_NE(filter.find("|Windows Media Files (*.wmv;*.asf)|*.WMV;*.ASF|"), std::string::npos);
    EXPECT_NE(filter.find("|Real Media Files (*.rm;*.rmvb)|*.RM;*.RMVB|"), std::string::npos);
    EXPECT_EQ(filter.substr(filter.size() - 20), "All Files (*.*)|*.*|");
    EXPECT_EQ(BuildVideoFilter(30).size(), 30u);
}

class FolderWalkTest : public ::testing::Test {
  protected:
    void touch(const std::string& relative) { std::ofstream(dir.file(relative)) << "x"; }
    void folder(const std::string& relative) { mkdir(dir.file(relative).c_str(), 0755); }
    std::vector<std::string> walk(const std::string& start) {
        std::vector<std::string> found;
        AddFolder(start, [&](const std::string& path) {
            found.push_back(path.substr(dir.path().size() + 1));
        });
        return found;
    }
    TempDir dir;
};

TEST_F(FolderWalkTest, NestedFoldersAreSearchedDepthFirstInNameOrder) {
    folder("b");
    folder("b/inner");
    folder("c");
    touch("a.avi");
    touch("b/inner/deep.MKV");
    touch("b/z.mp4");
    touch("c/notes.txt");
    touch("d.mpg");
    touch("e");
    EXPECT_EQ(walk(dir.path()),
              (std::vector<std::string>{"a.avi", "b/inner/deep.MKV", "b/z.mp4", "d.mpg"}));
    EXPECT_EQ(walk(dir.path() + "/"),
              (std::vector<std::string>{"a.avi", "b/inner/deep.MKV", "b/z.mp4", "d.mpg"}));
}

TEST_F(FolderWalkTest, LinkLoopsAreSearchedOnceAndMissingFoldersGiveNothing) {
    folder("a");
    touch("a/clip.avi");
    ASSERT_EQ(symlink(dir.path().c_str(), dir.file("a/loop").c_str()), 0);
    EXPECT_EQ(walk(dir.path()), std::vector<std::string>{"a/clip.avi"});
    EXPECT_EQ(AddFolder(dir.file("missing"), [](const std::string&) {}), 0);
}

TEST_F(FolderWalkTest, DroppedNamesAreFilteredByExtension) {
    touch("clip.avi");
    touch("readme.txt");
    std::vector<std::string> admitted;
    auto admit = [&](const std::string& path) { admitted.push_back(path); };
    EXPECT_TRUE(AddDroppedName(dir.file("clip.avi"), admit));
    EXPECT_FALSE(AddDroppedName(dir.file("readme.txt"), admit));
    EXPECT_FALSE(AddDroppedName(dir.file("gone.avi"), admit));
    EXPECT_TRUE(AddDroppedName(dir.path(), admit));
    EXPECT_EQ(admitted.size(), 2u);
}

}  // namespace
}  // namespace vidmill
