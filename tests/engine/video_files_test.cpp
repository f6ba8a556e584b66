#include "engine/adding/video_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace vidmill {
namespace {

TEST(VideoFilesTest, ExtensionsMatchWholeTokensWhateverTheCase) {
    EXPECT_TRUE(isSupportedExtension(".AVI", kAllSupportedExtensions));
    EXPECT_TRUE(isSupportedExtension("mkv", kAllSupportedExtensions));
    EXPECT_TRUE(isSupportedExtension(".mpeg", "avi mpeg"));
    EXPECT_FALSE(isSupportedExtension(".mpg", "avi mpeg"));
    EXPECT_FALSE(isSupportedExtension(".mpe", "avi mpeg"));
    EXPECT_FALSE(isSupportedExtension("", kAllSupportedExtensions));
    EXPECT_FALSE(isSupportedExtension(".", kAllSupportedExtensions));
    EXPECT_FALSE(isSupportedExtension(".txt", kAllSupportedExtensions));
    EXPECT_TRUE(isSupportedExtension("wmv", " \twmv\n"));
}

TEST(VideoFilesTest, EveryGroupExtensionIsAccepted) {
    for (std::string_view list : {kVideoExtensions, kWindowsMediaExtensions, kDvdExtensions,
                                  kAudioExtensions, kRealMediaExtensions}) {
        size_t start = 0;
        while (start < list.size()) {
            size_t end = list.find(' ', start);
            end = end == std::string_view::npos ? list.size() : end;
            std::string token(list.substr(start, end - start));
            EXPECT_TRUE(isSupportedExtension(token, kAllSupportedExtensions)) << token;
            start = end + 1;
        }
    }
}

TEST(VideoFilesTest, FilterHasDescriptionsInLowerAndPatternsInUpperCase) {
    std::string filter = buildVideoFilter();
    EXPECT_EQ(filter.rfind("All supported files|*.AVI;*.MPG;", 0), 0u);
    EXPECT_NE(filter.find("|Windows Media Files (*.wmv;*.asf)|*.WMV;*.ASF|"), std::string::npos);
    EXPECT_NE(filter.find("|Real Media Files (*.rm;*.rmvb)|*.RM;*.RMVB|"), std::string::npos);
    EXPECT_EQ(filter.substr(filter.size() - 20), "All Files (*.*)|*.*|");
    EXPECT_EQ(buildVideoFilter(30).size(), 30u);
}

class FolderWalkTest : public ::testing::Test {
  protected:
    void touch(const std::string& relative) { std::ofstream(dir.file(relative)) << "x"; }
    void folder(const std::string& relative) { mkdir(dir.file(relative).c_str(), 0755); }
    void link(const std::string& target, const std::string& relative) {
        ASSERT_EQ(symlink(target.c_str(), dir.file(relative).c_str()), 0) << relative;
    }
    std::vector<std::string> walk(const std::string& start) {
        std::vector<std::string> found;
        skipped.clear();
        addFolder(
            start, [&](const std::string& path) { found.push_back(relative(path)); }, {},
            [&](const std::string& path, const std::string& reason) {
                skipped.push_back(relative(path) + ": " + reason);
            });
        return found;
    }
    std::string relative(const std::string& path) const {
        return path.rfind(dir.path() + "/", 0) == 0 ? path.substr(dir.path().size() + 1) : path;
    }
    TempDir dir;
    std::vector<std::string> skipped;
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
    EXPECT_TRUE(skipped.empty());
}

TEST_F(FolderWalkTest, FoldersReachedTwiceAreSearchedOnceAndMissingFoldersGiveNothing) {
    folder("a");
    touch("a/clip.avi");
    link(dir.file("a"), "b");
    EXPECT_EQ(walk(dir.path()), std::vector<std::string>{"a/clip.avi"});
    EXPECT_TRUE(skipped.empty()) << skipped[0];
    EXPECT_EQ(addFolder(dir.file("missing"), [](const std::string&) {}), 0);
}

// Each item that cannot be taken is reported with its reason, and the walk
// goes on to the files after it.
TEST_F(FolderWalkTest, ItemsThatCannotBeExaminedAreReportedWithTheReason) {
    struct Case {
        const char* reason;
        // Makes the bad item and gives its path as reported; may move the
        // start of the walk.
        std::function<std::string(std::string& start)> make;
    } cases[] = {
        {"broken link",
         [&](std::string&) {
             link(dir.file("gone.avi"), "a.avi");
             return dir.file("a.avi");
         }},
        {"link loop",
         [&](std::string&) {
             link(dir.file("a"), "a");
             return dir.file("a");
         }},
        {"link loop",
         [&](std::string&) {
             folder("a");
             link("..", "a/up");
             return dir.file("a/up");
         }},
        {"link out of the folder",
         [&](std::string& start) {
             // Links to a folder and to a file outside the folder searched.
             folder("in");
             folder("out");
             touch("out/x.avi");
             touch("in/z.avi");
             link(dir.file("out"), "in/a");
             start = dir.file("in");
             return dir.file("in/a");
         }},
        {"link out of the folder",
         [&](std::string& start) {
             folder("in");
             touch("out.avi");
             touch("in/z.avi");
             link("../out.avi", "in/a.avi");
             start = dir.file("in");
             return dir.file("in/a.avi");
         }},
        {"not a regular file",
         [&](std::string&) {
             mkfifo(dir.file("a.mkv").c_str(), 0644);
             return dir.file("a.mkv");
         }},
        {"path too long",
         [&](std::string& start) {
             // A start path that leaves no room for the names below it.
             folder("a");
             touch("a/clip.avi");
             start = dir.file("a");
             while (start.size() < PATH_MAX - 9) {
                 start += "/.";
             }
             return start + "/clip.avi";
         }},
    };
    for (const Case& c : cases) {
        std::vector<std::filesystem::path> items(std::filesystem::directory_iterator(dir.path()),
                                                 {});
        for (const auto& item : items) {
            std::filesystem::remove_all(item);
        }
        touch("z.avi");
        std::string start = dir.path();
        const std::string bad = c.make(start);
        const std::vector<std::string> found = walk(start);
        EXPECT_EQ(skipped, std::vector<std::string>{relative(bad) + ": " + c.reason}) << bad;
        if (start == dir.path()) {
            EXPECT_EQ(found, std::vector<std::string>{"z.avi"}) << bad;
        } else if (start == dir.file("in")) {
            EXPECT_EQ(found, std::vector<std::string>{"in/z.avi"}) << bad;
        }
    }
}

TEST_F(FolderWalkTest, UnreadableFoldersAndFilesAreReported) {
    if (geteuid() == 0) {
        GTEST_SKIP() << "running as root, which may read everything";
    }
    folder("locked");
    touch("locked/clip.avi");
    touch("secret.mp4");
    touch("z.avi");
    chmod(dir.file("locked").c_str(), 0);
    chmod(dir.file("secret.mp4").c_str(), 0);
    EXPECT_EQ(walk(dir.path()), std::vector<std::string>{"z.avi"});
    EXPECT_EQ(skipped, (std::vector<std::string>{"locked: permission denied",
                                                 "secret.mp4: permission denied"}));
    chmod(dir.file("locked").c_str(), 0755);
}

TEST_F(FolderWalkTest, DroppedNamesAreFilteredByExtension) {
    touch("clip.avi");
    touch("readme.txt");
    std::vector<std::string> admitted;
    auto admit = [&](const std::string& path) { admitted.push_back(path); };
    EXPECT_TRUE(addDroppedName(dir.file("clip.avi"), admit));
    EXPECT_FALSE(addDroppedName(dir.file("readme.txt"), admit));
    EXPECT_FALSE(addDroppedName(dir.file("gone.avi"), admit));
    EXPECT_TRUE(addDroppedName(dir.path(), admit));
    EXPECT_EQ(admitted.size(), 2u);
}

}  // namespace
}  // namespace vidmill
