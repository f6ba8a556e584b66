#include "system/update_check.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vidmill {
namespace {

TEST(compareVersions, ComparesPartByPartThenByCount) {
    const struct {
        const char* a;
        const char* b;
        int expected;
    } cases[] = {
        {"1.10", "1.9", 1},
        {"2", "1.9.9.9", 1},
        {"1.3", "1.3.0", -1},
        {"1.3.8.1", "1.3.8", 1},
        {"1.3.9", "1.3.8.2", 1},
        {"1.3.8.2", "1.3.8.2", 0},
        {"1..4", "1.4", 0},           // an empty part is skipped
        {"1.2.3.4.5", "1.2.3.4", 0},  // a fifth part is not read
        {"", "0", -1},
        {"0.1.0", "0.1.0", 0},
        // Digits beyond what a part holds: the largest part, never a wrap.
        {"99999999999", "4294967294", 1},
        {"1.99999999999999999999", "1.4294967295", 0},
        {"99999999999", "99999999998", 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(compareVersions(c.a, c.b), c.expected) << c.a << " vs " << c.b;
        EXPECT_EQ(compareVersions(c.b, c.a), -c.expected) << c.b << " vs " << c.a;
    }
}

TEST(keepVersionChars, KeepsDigitsAndDotsUpToTheCapacity) {
    char out[8];
    const std::string answer = "version 1.4\r\n";
    EXPECT_EQ(keepVersionChars(out, 7, answer.data(), int(answer.size())), 3);
    EXPECT_STREQ(out, "1.4");
    const std::string longer = "v12.34.56.78";
    EXPECT_EQ(keepVersionChars(out, 7, longer.data(), int(longer.size())), 7);
    EXPECT_STREQ(out, "12.34.5");
    // The length counts, not a terminator: bytes past it are not read.
    EXPECT_EQ(keepVersionChars(out, 7,
                               "1.2\0"
                               "3.4",
                               6),
              5);
    EXPECT_STREQ(out, "1.23.");
}

class CheckForUpdateTest : public ::testing::Test {
  protected:
    static constexpr int kToday = 739000;

    UpdateCheckResult check(std::int32_t& lastDay) {
        UpdateCheckIo io;
        io.get = [this](const std::string& url, std::size_t capacity) {
            requests.push_back(url);
            capacities.push_back(capacity);
            return reply;
        };
        io.ask = [this](const std::string& version) {
            asked.push_back(version);
            return agree;
        };
        io.openUrl = [this](const std::string& url) { opened.push_back(url); };
        UpdateCheckRequest request;
        request.versionUrl = "http://example.invalid/version.txt";
        request.ownVersion = "1.3.8.2";
        request.downloadUrl = "http://example.invalid/download";
        return runUpdateCheck(request, lastDay, kUpdateCheckIntervalDays, kToday, io);
    }

    HttpReply reply{true, "1.3.9"};
    bool agree = true;
    std::vector<std::string> requests;
    std::vector<std::size_t> capacities;
    std::vector<std::string> asked;
    std::vector<std::string> opened;
};

TEST_F(CheckForUpdateTest, AsksAtMostEveryTwoDays) {
    const struct {
        std::int32_t lastDay;
        bool requested;
        std::int32_t lastDayAfter;
    } cases[] = {
        {0, true, kToday},                // never checked
        {kToday - 1, false, kToday - 1},  // yesterday
        {kToday - 2, true, kToday},       // two days ago
        {kToday + 5, false, kToday},      // the clock was set back
    };
    for (const auto& c : cases) {
        requests.clear();
        std::int32_t lastDay = c.lastDay;
        check(lastDay);
        EXPECT_EQ(requests.size(), c.requested ? 1u : 0u) << c.lastDay;
        EXPECT_EQ(lastDay, c.lastDayAfter) << c.lastDay;
    }
    EXPECT_EQ(capacities.front(), 1000u);
}

TEST_F(CheckForUpdateTest, OnlyAUsableAnswerRecordsTheDay) {
    const struct {
        HttpReply reply;
        UpdateCheckResult result;
        std::int32_t lastDayAfter;
    } cases[] = {
        {{true, "1.3.8.2"}, UpdateCheckResult::Current, kToday},
        {{true, "1.3.8"}, UpdateCheckResult::Current, kToday},
        {{false, "1.4"}, UpdateCheckResult::Failed, 1},  // an error status or no connection
        {{true, "version 1.4\r\n"}, UpdateCheckResult::Newer, kToday},  // declined
        {{true, std::string(49, '9')}, UpdateCheckResult::Newer, kToday},
        {{true, std::string(50, '9')}, UpdateCheckResult::Failed, 1},
        {{true, "<html>" + std::string(54, '1')}, UpdateCheckResult::Failed, 1},
    };
    agree = false;
    for (const auto& c : cases) {
        reply = c.reply;
        std::int32_t lastDay = 1;
        EXPECT_EQ(check(lastDay), c.result) << c.reply.body;
        EXPECT_EQ(lastDay, c.lastDayAfter) << c.reply.body;
    }
    EXPECT_EQ(asked, (std::vector<std::string>{"1.4", std::string(49, '9')}));
    EXPECT_TRUE(opened.empty());
}

}  // namespace
}  // namespace vidmill
