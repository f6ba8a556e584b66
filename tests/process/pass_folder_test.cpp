// First passes' folders: one that a run holds survives a sweep, one left by
// a killed run goes with its files, and nothing else in the folder is touched.

#include "process/pass_folder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <utility>

#include "support/temp_dir.h"

namespace vidmill {
namespace {

bool exists(const std::string& path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0;
}

TEST(PassFolderTest, ASweepTakesOnlyTheFoldersOfRunsThatEnded) {
    TempDir dir;
    const std::string parent = dir.file("passes");
    std::string error;
    PassFolder running = PassFolder::create(parent, &error);
    ASSERT_FALSE(running.path().empty()) << error;
    struct stat info {};
    ASSERT_EQ(stat(parent.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    std::ofstream(running.path() + "/stats") << "log";

    // What a killed run leaves: its folder, unlocked, with the encoder's files.
    const std::string left = parent + "/pass-Ab3xYz";
    ASSERT_EQ(mkdir(left.c_str(), 0700), 0);
    std::ofstream(left + "/stats") << "log";
    std::ofstream(left + "/stats.mbtree.temp") << "tree";
    // Names that are not ours, and a link, stay.
    ASSERT_EQ(mkdir((parent + "/pass-mine-too").c_str(), 0700), 0);
    ASSERT_EQ(symlink(dir.path().c_str(), (parent + "/pass-LINKED").c_str()), 0);

    EXPECT_EQ(sweepPassFolders(parent), 1);
    EXPECT_FALSE(exists(left));
    EXPECT_TRUE(exists(running.path() + "/stats"));
    EXPECT_TRUE(exists(parent + "/pass-mine-too"));
    EXPECT_TRUE(exists(parent + "/pass-LINKED"));

    // A run that ends removes its own.
    const std::string path = running.path();
    running = PassFolder();
    EXPECT_FALSE(exists(path));
}

// The folder that holds them is used only as a real folder of this user's,
// private: a link or another user's folder is refused with the reason, and
// nothing in it is swept; one of ours open to others is made private.
TEST(PassFolderTest, OnlyAPrivateFolderOfOursHoldsThem) {
    for (const auto& [planted, refusal] :
         {std::pair<std::string, std::string>{"a link", "it is a link, not a folder"},
          {"another user's folder", "it belongs to another user"},
          {"a folder open to others", ""}}) {
        SCOPED_TRACE(planted);
        if (planted == "another user's folder" && geteuid() != 0) {
            std::printf("skipped another user's folder: giving one away needs root\n");
            continue;
        }
        TempDir dir;
        const std::string parent = dir.file("passes");
        if (planted == "a link") {
            ASSERT_EQ(symlink(dir.path().c_str(), parent.c_str()), 0);
        } else {
            ASSERT_EQ(mkdir(parent.c_str(), 0755), 0);
        }
        ASSERT_TRUE(planted != "another user's folder" || chown(parent.c_str(), 65534, 65534) == 0);
        ASSERT_EQ(mkdir((parent + "/pass-Ab3xYz").c_str(), 0700), 0);  // as a killed run leaves it
        std::string error;
        const PassFolder folder = PassFolder::create(parent, &error);
        struct stat info {};
        ASSERT_EQ(stat(parent.c_str(), &info), 0);
        if (refusal.empty()) {
            ASSERT_FALSE(folder.path().empty()) << error;
            EXPECT_EQ(info.st_mode & 0777, 0700u);
            // The encoder is handed the folder held open: renamed, and a
            // link put in its place, it still takes the log.
            ASSERT_EQ(rename(folder.path().c_str(), (parent + "/moved").c_str()), 0);
            ASSERT_EQ(symlink(dir.path().c_str(), folder.path().c_str()), 0);
            std::ofstream(folder.encoderPath() + "/stats") << "log";
            EXPECT_TRUE(exists(parent + "/moved/stats"));
            continue;
        }
        EXPECT_NE(error.find(parent + "': " + refusal), std::string::npos) << error;
        EXPECT_EQ(sweepPassFolders(parent), 0);
        EXPECT_TRUE(exists(parent + "/pass-Ab3xYz"));
    }
}

}  // namespace
}  // namespace vidmill
