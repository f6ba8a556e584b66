#include "engine/adding/folder_watch.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "support/file_bytes.h"
#include "support/temp_dir.h"

namespace vidmill {
namespace {

using namespace std::chrono_literals;

class FolderWatchTest : public ::testing::Test {
  protected:
    FolderWatchTest() {
        top = dir.file("watched");
        out = top + "/out";
        std::filesystem::create_directories(out);
    }

    // Polls until `done` holds for what has been handed out so far, or the
    // limit has passed.
    template <typename Predicate>
    bool pollUntil(FolderWatch& watch, Predicate done, std::chrono::seconds limit = 30s) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            if (std::chrono::steady_clock::now() > end) {
                return false;
            }
            for (WatchedFile& file : watch.poll(&notices)) {
                given.push_back(file.path.substr(top.size() + 1));
                identities.push_back(file.identity);
            }
            std::this_thread::sleep_for(20ms);
        }
        return true;
    }
    bool wasGiven(const std::string& name) const {
        return std::count(given.begin(), given.end(), name) == 1;
    }

    TempDir dir;
    std::string top;
    std::string out;
    std::vector<std::string> given;
    std::vector<FileIdentity> identities;
    std::vector<WatchNotice> notices;
    const FolderWatchTiming quick{300ms, 60s};
};

TEST_F(FolderWatchTest, AFileIsTakenOnceWhenClosedAndSettledAndNeverWhileWritten) {
    writeBytes(top + "/before.avi", "x");
    FolderWatch watch({top}, out, quick);
    ASSERT_TRUE(pollUntil(watch, [&] { return wasGiven("before.avi"); }));

    // Written slowly, with pauses longer than the settling time: not taken
    // while it is open.
    const int slow = ::open((top + "/slow.mkv").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(slow, 0);
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(::write(slow, "data", 4), 4);
        const auto paused = std::chrono::steady_clock::now() + 500ms;
        pollUntil(watch, [&] { return std::chrono::steady_clock::now() > paused; });
        EXPECT_FALSE(wasGiven("slow.mkv")) << "after write " << i;
    }
    ::close(slow);
    ASSERT_TRUE(pollUntil(watch, [&] { return wasGiven("slow.mkv"); }));

    // Fifty at once, in a new subfolder; nothing that is ours or no video.
    std::filesystem::create_directories(top + "/new/deeper");
    for (int i = 0; i < 50; ++i) {
        writeBytes(top + "/new/deeper/" + std::to_string(i) + ".mp4", "v");
    }
    writeBytes(top + "/notes.txt", "t");
    writeBytes(top + "/.vidmill-part-x.mp4", "p");
    writeBytes(out + "/converted.mp4", "c");
    ASSERT_TRUE(pollUntil(watch, [&] { return given.size() == 52; })) << given.size();
    for (int i = 0; i < 50; ++i) {
        EXPECT_TRUE(wasGiven("new/deeper/" + std::to_string(i) + ".mp4")) << i;
    }
    // A file given before comes again only as a new file of that name.
    writeBytes(top + "/before.avi", "changed");
    ASSERT_EQ(::unlink((top + "/slow.mkv").c_str()), 0);
    writeBytes(top + "/slow.mkv", "again");
    ASSERT_TRUE(pollUntil(watch, [&] { return given.size() == 53; }));
    EXPECT_EQ(given.back(), "slow.mkv");
    EXPECT_TRUE(wasGiven("before.avi"));
    EXPECT_TRUE(notices.empty());
}

TEST_F(FolderWatchTest, AWatchedFolderThatGoesIsWatchedAgainWhenItComesBack) {
    FolderWatch watch({top}, out, quick);
    std::filesystem::remove_all(top);
    ASSERT_TRUE(pollUntil(watch, [&] { return notices.size() == 1; }));
    EXPECT_EQ(notices[0].kind, WatchNotice::Kind::FolderGone);
    EXPECT_EQ(notices[0].text,
              top + ": the watched folder is gone; it is watched again when it comes back");
    std::filesystem::create_directories(top + "/sub");
    writeBytes(top + "/sub/back.avi", "b");
    ASSERT_TRUE(pollUntil(watch, [&] { return wasGiven("sub/back.avi"); }));
    ASSERT_EQ(notices.size(), 2u);
    EXPECT_EQ(notices[1].kind, WatchNotice::Kind::FolderBack);
    EXPECT_EQ(notices[1].text, top + ": the watched folder is back");
    writeBytes(top + "/sub/later.avi", "l");
    ASSERT_TRUE(pollUntil(watch, [&] { return wasGiven("sub/later.avi"); }));
    // A folder made, then renamed, as a file manager's "New Folder" is.
    std::filesystem::create_directories(top + "/New Folder");
    pollUntil(watch, [] { return true; });
    std::filesystem::rename(top + "/New Folder", top + "/Trip");
    writeBytes(top + "/Trip/day1.avi", "d");
    ASSERT_TRUE(pollUntil(watch, [&] { return wasGiven("Trip/day1.avi"); }));
}

// Whatever is linked into a watched folder, or put where it was, nothing
// outside the tree it was given is handed out, and what is handed out is
// named by what it was when found.
TEST_F(FolderWatchTest, NoLinkLeadsOutOfTheWatchedTree) {
    const std::string privateFolder = dir.file("private");
    std::filesystem::create_directories(privateFolder);
    writeBytes(privateFolder + "/secret.mp4", "s");
    ASSERT_EQ(::symlink("..", (top + "/up").c_str()), 0);
    ASSERT_EQ(::symlink(privateFolder.c_str(), (top + "/evil").c_str()), 0);
    ASSERT_EQ(::symlink((privateFolder + "/secret.mp4").c_str(), (top + "/x.mp4").c_str()), 0);
    writeBytes(top + "/first.mp4", "f");
    FolderWatch watch({top}, out, quick);
    ASSERT_TRUE(pollUntil(watch, [&] { return wasGiven("first.mp4"); }));

    // A folder moved in with a link inside, and a link made while it runs.
    const std::string moved = dir.file("moved");
    std::filesystem::create_directories(moved);
    ASSERT_EQ(::symlink(privateFolder.c_str(), (moved + "/evil").c_str()), 0);
    writeBytes(moved + "/own.mp4", "o");
    std::filesystem::rename(moved, top + "/moved");
    ASSERT_EQ(::symlink(privateFolder.c_str(), (top + "/later").c_str()), 0);
    ASSERT_TRUE(pollUntil(watch, [&] { return wasGiven("moved/own.mp4"); }));
    struct stat info {};
    ASSERT_EQ(::stat((top + "/first.mp4").c_str(), &info), 0);
    EXPECT_EQ(identities.front().inode, info.st_ino);
    EXPECT_EQ(identities.front().size, 1u);

    // The watched folder itself replaced by a link: not back until it is a
    // folder again.
    std::filesystem::remove_all(top);
    ASSERT_TRUE(pollUntil(watch, [&] { return notices.size() == 1; }));
    ASSERT_EQ(::symlink(privateFolder.c_str(), top.c_str()), 0);
    ASSERT_TRUE(pollUntil(watch, [&] { return notices.size() == 2; }));
    EXPECT_EQ(notices[1].kind, WatchNotice::Kind::LinkInPlace);
    EXPECT_NE(notices[1].text.find("a link stands"), std::string::npos) << notices[1].text;
    ASSERT_EQ(::unlink(top.c_str()), 0);
    std::filesystem::create_directories(top);
    writeBytes(top + "/again.mp4", "a");
    ASSERT_TRUE(pollUntil(watch, [&] { return wasGiven("again.mp4"); }));
    EXPECT_EQ(given, (std::vector<std::string>{"first.mp4", "moved/own.mp4", "again.mp4"}));
}

// The destination is left out by what it is, whatever name leads to it:
// mounted inside the watched tree, it is still the destination.
TEST_F(FolderWatchTest, TheDestinationIsLeftOutUnderAnyName) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "mounting a folder takes root";
    }
    const std::string destination = dir.file("destination");
    std::filesystem::create_directories(destination + "/deeper");
    writeBytes(destination + "/deeper/made.mp4", "m");
    std::filesystem::create_directories(top + "/mounted");
    ASSERT_EQ(::mount(destination.c_str(), (top + "/mounted").c_str(), nullptr, MS_BIND, nullptr),
              0);
    struct Unmount {
        std::string at;
        ~Unmount() { ::umount2(at.c_str(), MNT_DETACH); }
    } unmount{top + "/mounted"};
    writeBytes(top + "/own.mp4", "o");
    FolderWatch watch({top}, destination, quick);
    ASSERT_TRUE(pollUntil(watch, [&] { return wasGiven("own.mp4"); }));
    writeBytes(destination + "/deeper/later.mp4", "l");
    writeBytes(top + "/last.mp4", "l");
    ASSERT_TRUE(pollUntil(watch, [&] { return wasGiven("last.mp4"); }));
    EXPECT_EQ(given, (std::vector<std::string>{"own.mp4", "last.mp4"}));
}

// Files that stay empty are told of once, and wait, unlooked at, until they
// change.
TEST_F(FolderWatchTest, EmptyFilesAreToldOnceAndWaitForContent) {
    for (int i = 0; i < 200; ++i) {
        writeBytes(top + "/" + std::to_string(i) + ".mp4", "");
    }
    FolderWatch watch({top}, out, quick);
    ASSERT_TRUE(pollUntil(watch, [&] { return !notices.empty(); }));
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].kind, WatchNotice::Kind::EmptyFiles);
    EXPECT_NE(notices[0].text.find("200 files are empty"), std::string::npos) << notices[0].text;
    writeBytes(top + "/7.mp4", "now a video");
    ASSERT_TRUE(pollUntil(watch, [&] { return wasGiven("7.mp4"); }));
    EXPECT_EQ(given.size(), 1u);
    EXPECT_EQ(notices.size(), 1u);
}

}  // namespace
}  // namespace vidmill
