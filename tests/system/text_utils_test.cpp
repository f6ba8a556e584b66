#include "system/text_utils.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

namespace vidmill {
namespace {

TEST(BoundedText, CopyKeepsOneCharacterMoreThanAppend) {
    const std::string source(300, 'x');
    char buffer[262 + 1];
    buffer[262] = '#';  // guard byte just past the capacity
    EXPECT_EQ(CopyText(buffer, source.c_str(), 262), 261);
    EXPECT_EQ(std::strlen(buffer), 261u);

    buffer[0] = '\0';
    EXPECT_EQ(AppendText(buffer, "ab", 262), 2);
    EXPECT_EQ(AppendText(buffer, source.c_str(), 262), 260);
    EXPECT_EQ(std::string(buffer), "ab" + source.substr(0, 258));
    // A full destination does not change.
    EXPECT_EQ(AppendText(buffer, "more", 262), 260);
    EXPECT_EQ(std::strlen(buffer), 260u);
    EXPECT_EQ(buffer[262], '#');
}

TEST(BoundedText, NullAndEmptyBuffers) {
    EXPECT_EQ(CopyText(nullptr, "hello", 4), 3);  // measures the bounded length
    EXPECT_EQ(CopyText(nullptr, "hello", 100), 5);
    EXPECT_EQ(AppendText(nullptr, "hello", 100), 0);

    // A buffer without room for a terminator is never written.
    char guard = '#';
    int position = 0;
    EXPECT_EQ(CopyText(&guard, "hello", 0), 0);
    EXPECT_EQ(NextToken(&guard, 0, "abc", position, ";"), '\0');
    EXPECT_EQ(guard, '#');

    char small[4] = "ab";
    EXPECT_EQ(AppendText(small, "cd", 2), 2);
    EXPECT_STREQ(small, "ab");
}

TEST(BoundedText, CopyPrefixAlwaysTerminates) {
    char buffer[8];
    std::memset(buffer, '#', sizeof(buffer));
    CopyPrefix(buffer, "abcdef", 3);
    EXPECT_STREQ(buffer, "abc");
    CopyPrefix(buffer, "ab", 5);
    EXPECT_STREQ(buffer, "ab");
    CopyPrefix(buffer, "ab", 0);
    EXPECT_STREQ(buffer, "");
}

std::vector<std::string> tokens(const char* text, const char* delimiters, int capacity = 64) {
    std::vector<std::string> result;
    std::vector<char> token(capacity);
    int position = 0;
    while (NextToken(token.data(), capacity, text, position, delimiters) != '\0') {
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
    EXPECT_EQ(NextToken(token, 8, "  mp4;avi", position, ";"), 'm');
    EXPECT_EQ(position, 6);  // just past the delimiter
    EXPECT_EQ(NextToken(token, 8, "  mp4;avi", position, ";"), 'a');
    EXPECT_EQ(position, 9);  // on the terminator
    EXPECT_EQ(NextToken(token, 8, "  mp4;avi", position, ";"), '\0');
    EXPECT_EQ(position, 9);
}

TEST(ReplaceCharTest, WalksTheWholeOriginalText) {
    char text[] = "a.b.c";
    EXPECT_EQ(ReplaceChar(text, '.', '\0'), 5);
    EXPECT_EQ(std::memcmp(text, "a\0b\0c", 6), 0);

    char path[] = "C:\\a\\b";
    EXPECT_EQ(ReplaceChar(path, '\\', '/'), 6);
    EXPECT_STREQ(path, "C:/a/b");
}

TEST(ClampIndexTest, KeepsSelectionInsideTheList) {
    int index = 3;
    EXPECT_TRUE(ClampIndex(index, 0, 2, 0));
    EXPECT_EQ(index, 0);
    EXPECT_FALSE(ClampIndex(index, -1, 2, 0));

    index = 7;
    EXPECT_TRUE(ClampIndex(index, 5, 2, 0));
    EXPECT_EQ(index, 4);
    EXPECT_FALSE(ClampIndex(index, 5, 2, 0));

    index = 2;
    EXPECT_TRUE(ClampIndex(index, 5, 0, 0));
    EXPECT_EQ(index, 0);
    EXPECT_TRUE(ClampIndex(index, 5, 1, 0));
    EXPECT_EQ(index, 4);

    index = -3;
    EXPECT_TRUE(ClampIndex(index, 5, 2, 1));
    EXPECT_EQ(index, 1);
    index = 4;
    EXPECT_FALSE(ClampIndex(index, 5, 2, INT_MAX));
    EXPECT_EQ(index, 4);
    index = 0;
    EXPECT_FALSE(ClampIndex(index, 5, 2, INT_MIN));
}

TEST(ClampToRangeTest, LimitsToLowThroughLowPlusCountMinusOne) {
    EXPECT_EQ(ClampToRange(50, 1, 20), 20);
    EXPECT_EQ(ClampToRange(-5, 1, 20), 1);
    EXPECT_EQ(ClampToRange(7, 1, 20), 7);
    EXPECT_EQ(ClampToRange(7, 3, 0), 3);
    EXPECT_EQ(ClampToRange(INT_MAX, INT_MAX - 1, INT_MAX), INT_MAX);
}

TEST(DayNumberTest, KnownDates) {
    EXPECT_EQ(DayNumber(0, 0, 0), 0);
    EXPECT_EQ(DayNumber(1, 1, 0), 1);
    EXPECT_EQ(DayNumber(1, 1, 2000), 730486);
    EXPECT_EQ(DayNumber(29, 2, 2000), 730545);
    EXPECT_EQ(DayNumber(1, 3, 2000), 730546);
    EXPECT_EQ(DayNumber(1, 3, 1900) - DayNumber(28, 2, 1900), 1);  // not a leap year
}

TEST(DayNumberTest, AgreesWithTheStandardCalendar) {
    using namespace std::chrono;
    const sys_days first = year{1899} / January / 1;
    const sys_days last = year{2101} / December / 31;
    const int base = DayNumber(1, 1, 1899);
    for (sys_days day = first; day <= last; day += days{1}) {
        const year_month_day date{day};
        const int number = DayNumber(static_cast<int>(static_cast<unsigned>(date.day())),
                                     static_cast<int>(static_cast<unsigned>(date.month())),
                                     static_cast<int>(date.year()));
        ASSERT_EQ(number - base, (day - first).count()) << static_cast<int>(date.year());
    }
}

TEST(DayNumberTest, TodayIsWithinADayOfTheUtcDate) {
    using namespace std::chrono;
    const year_month_day utc{floor<days>(system_clock::now())};
    const int utcNumber = DayNumber(static_cast<int>(static_cast<unsigned>(utc.day())),
                                    static_cast<int>(static_cast<unsigned>(utc.month())),
                                    static_cast<int>(utc.year()));
    EXPECT_NEAR(TodayNumber(), utcNumber, 1);
}

}  // namespace
}  // namespace vidmill
