#include "system/text_utils.h"

#include <algorithm>
#include <cstring>
#include <ctime>

namespace vidmill {

namespace {

// The C locale's white space, without isspace()'s dependence on locale and on char signedness.
bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// strchr() finds the terminator of the set too, so it must be excluded explicitly.
bool isDelimiter(char c, const char* delimiters) {
    return c != '\0' && delimiters != nullptr && std::strchr(delimiters, c) != nullptr;
}

}  // namespace

char nextToken(char* token, int capacity, const char* text, int& position, const char* delimiters) {
    if (token == nullptr || capacity <= 0) {
        return '\0';
    }
    token[0] = '\0';
    if (text == nullptr || text[position] == '\0') {
        return '\0';
    }
    int pos = position;
    while (isBlank(text[pos]) || isDelimiter(text[pos], delimiters)) {
        ++pos;
    }
    int length = 0;
    while (text[pos] != '\0' && !isDelimiter(text[pos], delimiters) && length < capacity - 1) {
        token[length++] = text[pos++];
    }
    token[length] = '\0';
    if (isDelimiter(text[pos], delimiters)) {
        ++pos;
    }
    position = pos;
    return token[0];
}

int dayNumber(int day, int month, int year) {
    if (day == 0 && month == 0 && year == 0) {
        return 0;
    }
    // March-based year, so that the leap day is the last day of the counted year.
    const long long y = static_cast<long long>(year) + (month + 9LL) / 12 + 399;
    const long long days =
        365 * y + y / 4 - y / 100 + y / 400 + (((month + 9LL) % 12) * 153 + 2) / 5 + day - 146037;
    return static_cast<int>(days);
}

int todayNumber() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (localtime_r(&now, &local) == nullptr) {
        return 0;
    }
    return dayNumber(local.tm_mday, local.tm_mon + 1, local.tm_year + 1900);
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

}  // namespace vidmill
