#include "system/size_time_text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>

#include "system/tick_count.h"

namespace vidmill {
namespace {

TEST(FormatByteSizeTest, UnitFollowsDigitCountDivisorFollows1024) {
    EXPECT_EQ(formatByteSize(0), "0 Bytes");
    EXPECT_EQ(formatByteSize(1023), "1023 Bytes");
    EXPECT_EQ(formatByteSize(1024), "1.00 KB");
    EXPECT_EQ(formatByteSize(999'999), "976.56 KB");
    EXPECT_EQ(formatByteSize(1'000'000), "0.95 MB");
    EXPECT_EQ(formatByteSize(999'999'999), "953.67 MB");
    EXPECT_EQ(formatByteSize(1'000'000'000), "0.93 GB");
    EXPECT_EQ(formatByteSize(5'000'000'000), "4.66 GB");
    // Beyond the signed range the size still reads as positive.
    EXPECT_EQ(formatByteSize(UINT64_MAX), "17179869184.00 GB");
}

TEST(FormatTransferSizeTest, ShortByteUnitAndPercentOfTotal) {
    EXPECT_EQ(formatTransferSize(512, 0), "512 B");
    EXPECT_EQ(formatTransferSize(1'048'576, 2'097'152), "1.00 MB - 50%");
    EXPECT_EQ(formatTransferSize(2, 3), "2 B - 66%");  // truncated, not rounded
    EXPECT_EQ(formatTransferSize(UINT64_MAX, UINT64_MAX), "17179869184.00 GB - 100%");
}

TEST(FormatTimeLeftTest, ChoosesFormatByMagnitude) {
    const uint32_t start = 1'000'000;
    auto at = [&](uint32_t seconds, double percent) {
        return formatTimeLeftAt(start + seconds * 1000, start, percent);
    };
    EXPECT_EQ(at(30, 50), " 30 sec left");
    EXPECT_EQ(at(90, 50), " 01:30 left");
    EXPECT_EQ(at(3600, 50), " 01:00:00 left");
    EXPECT_EQ(at(3600 * 99, 50), " 99:00:00 left");
    EXPECT_EQ(at(400'000, 0.1), " 99:00:00 left");
    EXPECT_EQ(at(1, 100), " 0 sec left");
    EXPECT_EQ(at(10, 25), " 30 sec left");
}

TEST(FormatTimeLeftTest, EmptyUntilAnEstimateExists) {
    const uint32_t start = 5000;
    EXPECT_EQ(formatTimeLeftAt(start + 60'000, start, 0), "");
    EXPECT_EQ(formatTimeLeftAt(start + 60'000, start, -3), "");
    EXPECT_EQ(formatTimeLeftAt(start + 999, start, 50), "");
    EXPECT_EQ(formatTimeLeftAt(start + 1000, start, 50), " 1 sec left");
}

TEST(FormatTimeLeftTest, SurvivesTickWrapAround) {
    const uint32_t start = UINT32_MAX - 9'999;  // 10 s before the counter wraps
    const uint32_t now = start + 30'000;        // wrapped: now < start
    ASSERT_LT(now, start);
    EXPECT_EQ(formatTimeLeftAt(now, start, 50), " 30 sec left");
}

TEST(FormatTimeLeftTest, ExtremePercentagesStayInRange) {
    const uint32_t start = 0;
    const uint32_t now = 4'000'000'000u;
    EXPECT_EQ(formatTimeLeftAt(now, start, 1e-300), " 99:00:00 left");
    EXPECT_EQ(formatTimeLeftAt(now, start, 150), " 0 sec left");
}

TEST(FormatTimeLeftTest, ReadsTheRunningTick) {
    EXPECT_EQ(formatTimeLeft(tickCount() - 30'000, 50), " 30 sec left");
    EXPECT_EQ(formatTimeLeft(tickCount(), 50), "");
}

TEST(SplitSecondsTest, HoursMinutesSeconds) {
    int h = -1;
    int m = -1;
    int s = -1;
    splitSeconds(3 * 3600 + 25 * 60 + 7, h, m, s);
    EXPECT_EQ(h, 3);
    EXPECT_EQ(m, 25);
    EXPECT_EQ(s, 7);
    splitSeconds(59, h, m, s);
    EXPECT_EQ(h, 0);
    EXPECT_EQ(m, 0);
    EXPECT_EQ(s, 59);
}

TEST(TickCountTest, AdvancesInMilliseconds) {
    const uint32_t before = tickCount();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    const uint32_t elapsed = tickCount() - before;
    EXPECT_GE(elapsed, 29u);
    EXPECT_LT(elapsed, 5000u);
}

class FileSizeTest : public testing::Test {
  protected:
    void SetUp() override {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "vidmill-size-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    std::string file(const char* name, off_t size) const {
        const std::string path = (dir_ / name).string();
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(ftruncate(fd, size), 0);
        close(fd);
        return path;
    }
    std::filesystem::path dir_;
};

TEST_F(FileSizeTest, SparseFileBeyondFourGiB) {
    const uint64_t size = (5ull << 30) + 123;
    const std::string path = file("big.avi", static_cast<off_t>(size));
    EXPECT_EQ(fileSize64(path), size);
}

TEST_F(FileSizeTest, EmptyAndOrdinaryFiles) {
    EXPECT_EQ(fileSize64(file("empty.avi", 0)), 0u);
    EXPECT_EQ(fileSize64(file("small.avi", 1500)), 1500u);
}

TEST_F(FileSizeTest, WhatCannotBeReadGivesZeroOrMinusOne) {
    const std::string missing = (dir_ / "missing.avi").string();
    EXPECT_EQ(fileSize64(missing), 0u);
    EXPECT_EQ(fileSize64(dir_.string()), 0u);
    EXPECT_EQ(fileSize64(""), 0u);

    // A named pipe without a writer must neither block nor count as a file.
    const std::string pipe = (dir_ / "pipe").string();
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    EXPECT_EQ(fileSize64(pipe), 0u);

    const std::string unreadable = file("locked.avi", 10);
    chmod(unreadable.c_str(), 0);
    if (geteuid() != 0) {  // root reads it anyway
        EXPECT_EQ(fileSize64(unreadable), 0u);
    }
}

}  // namespace
}  // namespace vidmill
