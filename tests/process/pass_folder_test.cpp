// First passes' folders: one that a run holds survives a sweep, one left by
// a killed run goes with its files, and nothing else in the folder is touched.

#include "process/pass_folder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

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

}  // namespace
}  // namespace vidmill
