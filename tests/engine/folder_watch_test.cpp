#include "engine/folder_watch.h"

#include <fcntl.h>
#include <gtest/gtest.h>
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
            for (std::string& path : watch.poll(&notices)) {
                given.push_back(path.substr(top.size() + 1));
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
    std::vector<std::string> notices;
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
    EXPECT_NE(notices[0].find("is gone"), std::string::npos) << notices[0];
    std::filesystem::create_directories(top + "/sub");
    writeBytes(top + "/sub/back.avi", "b");
    ASSERT_TRUE(pollUntil(watch, [&] { return wasGiven("sub/back.avi"); }));
    ASSERT_EQ(notices.size(), 2u);
    EXPECT_NE(notices[1].find("is back"), std::string::npos) << notices[1];
    writeBytes(top + "/sub/later.avi", "l");
    ASSERT_TRUE(pollUntil(watch, [&] { return wasGiven("sub/later.avi"); }));
    // A folder made, then renamed, as a file manager's "New Folder" is.
    std::filesystem::create_directories(top + "/New Folder");
    pollUntil(watch, [] { return true; });
    std::filesystem::rename(top + "/New Folder", top + "/Trip");
    writeBytes(top + "/Trip/day1.avi", "d");
    ASSERT_TRUE(pollUntil(watch, [&] { return wasGiven("Trip/day1.avi"); }));
}

}  // namespace
}  // namespace vidmill
