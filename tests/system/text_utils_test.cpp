#include "system/text_utils.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

namespace vidmill {
namespace {

TEST(NextTokenTest, ABufferWithoutRoomForATerminatorIsNeverWritten) {
    char guard = '#';
    int position = 0;
    EXPECT_EQ(nextToken(&guard, 0, "abc", position, ";"), '\0');
    EXPECT_EQ(guard, '#');
}

std::vector<std::string> tokens(const char* text, const char* delimiters, int capacity = 64) {
    std::vector<std::string> result;
    std::vector<char> token(capacity);
    int position = 0;
    while (nextToken(token.data(), capacity, text, position, delimiters) != '\0') {
        result.emplace_back(token.data());
        EXPECT_LE(position, static_cast<int>(std::strlen(text)));
    }
    EXPECT_EQ(token[0], '\0');
    return result;
}

TEST(NextTokenTest, SkipsLeadingBlanksKeepsInnerOnes) {
    EXPECT_EQ(tokens(" avi; mpg ;;wmv", ";"), (std::vector<std::string>{"avi", "mpg ", "wmv"}));
    EXPECT_EQ(tokens("a b\tc", ";"), (std::vector<std::string>{"a b\tc"}));
    EXPECT_EQ(tokens("avi;", ";"), (std::vector<std::string>{"avi"}));
    EXPECT_TRUE(tokens("", ";").empty());
    EXPECT_TRUE(tokens(" \t;; \r\n", ";").empty());
    EXPECT_EQ(tokens("a,b;c", ",;"), (std::vector<std::string>{"a", "b", "c"}));
}

TEST(NextTokenTest, TokenCutByCapacityContinuesOnNextCall) {
    EXPECT_EQ(tokens("abcdefg;hi", ";", 4), (std::vector<std::string>{"abc", "def", "g", "hi"}));

    char token[8];
    int position = 0;
    EXPECT_EQ(nextToken(token, 8, "  mp4;avi", position, ";"), 'm');
    EXPECT_EQ(position, 6);  // just past the delimiter
    EXPECT_EQ(nextToken(token, 8, "  mp4;avi", position, ";"), 'a');
    EXPECT_EQ(position, 9);  // on the terminator
    EXPECT_EQ(nextToken(token, 8, "  mp4;avi", position, ";"), '\0');
    EXPECT_EQ(position, 9);
}

TEST(DayNumberTest, KnownDates) {
    EXPECT_EQ(dayNumber(0, 0, 0), 0);
    EXPECT_EQ(dayNumber(1, 1, 0), 1);
    EXPECT_EQ(dayNumber(1, 1, 2000), 730486);
    EXPECT_EQ(dayNumber(29, 2, 2000), 730545);
    EXPECT_EQ(dayNumber(1, 3, 2000), 730546);
    EXPECT_EQ(dayNumber(1, 3, 1900) - dayNumber(28, 2, 1900), 1);  // not a leap year
}

TEST(DayNumberTest, AgreesWithTheStandardCalendar) {
    using namespace std::chrono;
    const sys_days first = year{1899} / January / 1;
    const sys_days last = year{2101} / December / 31;
    const int base = dayNumber(1, 1, 1899);
    for (sys_days day = first; day <= last; day += days{1}) {
        const year_month_day date{day};
        const int number = dayNumber(static_cast<int>(static_cast<unsigned>(date.day())),
                                     static_cast<int>(static_cast<unsigned>(date.month())),
                                     static_cast<int>(date.year()));
        ASSERT_EQ(number - base, (day - first).count()) << static_cast<int>(date.year());
    }
}

TEST(DayNumberTest, TodayIsWithinADayOfTheUtcDate) {
    using namespace std::chrono;
    const year_month_day utc{floor<days>(system_clock::now())};
    const int utcNumber = dayNumber(static_cast<int>(static_cast<unsigned>(utc.day())),
                                    static_cast<int>(static_cast<unsigned>(utc.month())),
                                    static_cast<int>(utc.year()));
    EXPECT_NEAR(todayNumber(), utcNumber, 1);
}

}  // namespace
}  // namespace vidmill
