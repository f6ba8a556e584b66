#include "cli/watch_loop.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "support/file_bytes.h"
#include "support/temp_dir.h"

namespace vidmill {
namespace {

using namespace std::chrono_literals;

TEST(WatchLoopTest, AKeptTreeTakesTheSubfolderBelowTheFolderThatHoldsTheFile) {
    const std::vector<std::string> tops = {"/w/in2", "/w/in"};
    const std::vector<WatchedFile> files = {
        {"/w/in/a.avi", {1, 11, 0, 0}},
        {"/w/in/x/y/b.avi", {1, 12, 0, 0}},
        {"/w/in2/z/c.avi", {1, 13, 0, 0}},
    };
    for (const bool keepTree : {true, false}) {
        const WatchBatch batch = makeWatchBatch(files, tops, keepTree);
        EXPECT_EQ(batch.paths,
                  (std::vector<std::string>{"/w/in/a.avi", "/w/in/x/y/b.avi", "/w/in2/z/c.avi"}));
        const std::vector<std::string> subfolders = {"", "x/y", "z"};
        EXPECT_EQ(batch.subfolders, keepTree ? subfolders : std::vector<std::string>(3));
        ASSERT_EQ(batch.identities.size(), 3u);
        EXPECT_EQ(batch.identities[1].inode, 12u);
    }
    // The root holds every file: its tree is kept too.
    EXPECT_EQ(makeWatchBatch({{"/a/b/c.avi", {}}}, {"/"}, true).subfolders,
              std::vector<std::string>{"a/b"});
}

// Admits what it is given and stops the watch at its first conversion.
class StoppingRun : public WatchRun {
  public:
    bool interrupted() override {
        askedAfterStop = askedAfterStop || converted > 0;
        return converted > 0 || std::chrono::steady_clock::now() > limit_;
    }
    void pauseWhenAsked() override {}
    bool admit(const WatchBatch& batch) override {
        admitted.push_back(batch);
        return true;
    }
    bool convert(const std::function<void()>&) override {
        ++converted;
        return false;
    }

    std::vector<WatchBatch> admitted;
    int converted = 0;
    bool askedAfterStop = false;

  private:
    const std::chrono::steady_clock::time_point limit_ = std::chrono::steady_clock::now() + 60s;
};

TEST(WatchLoopTest, WhatIsCompleteIsAdmittedAsOneBatchAndAStoppedBatchEndsTheWatch) {
    TempDir dir;
    const std::string top = std::filesystem::canonical(dir.path()).string() + "/in";
    std::filesystem::create_directories(top + "/sub");
    writeBytes(top + "/a.avi", "x");
    writeBytes(top + "/sub/b.avi", "x");
    FolderWatch watch({top}, dir.file("out"), FolderWatchTiming{0ms, 60s});
    StoppingRun run;
    runWatchLoop(watch, {top}, true, run);
    ASSERT_EQ(run.admitted.size(), 1u);
    EXPECT_EQ(run.admitted[0].paths,
              (std::vector<std::string>{top + "/a.avi", top + "/sub/b.avi"}));
    EXPECT_EQ(run.admitted[0].subfolders, (std::vector<std::string>{"", "sub"}));
    EXPECT_EQ(run.converted, 1);
    EXPECT_FALSE(run.askedAfterStop);
}

}  // namespace
}  // namespace vidmill
