// Bounded text operations over caller-owned C-string buffers, and small number helpers.
//
// A capacity is the size of the destination buffer in bytes, terminator included. Every
// operation truncates silently at its limit; none allocates or throws.
#pragma once

#include <string_view>

namespace vidmill {

// Reads the next token of text from position on: leading white space and delimiters are
// skipped, then characters are taken up to a delimiter, the end, or capacity-1 characters.
// Position moves past the delimiter that ended the token; a token cut by the capacity goes on
// at the next call. Returns the token's first character, 0 when there is no more token.
char nextToken(char* token, int capacity, const char* text, int& position, const char* delimiters);

// Day count of a proleptic Gregorian date, 1 January of year 0 being day 1; 0 for (0, 0, 0).
int dayNumber(int day, int month, int year);

// dayNumber of today's local date.
int todayNumber();

// Whether two texts are equal when ASCII letters are compared without regard
// to case (file names and codec names; other bytes must match exactly).
bool equalsIgnoringCase(std::string_view a, std::string_view b);

}  // namespace vidmill
