// Bounded text operations over caller-owned C-string buffers, and small number helpers.
//
// A capacity is the size of the destination buffer in bytes, terminator included. Every
// operation truncates silently at its limit; none allocates or throws.
#pragma once

#include <string_view>

namespace vidmill {

// Copies at most capacity-1 characters of src and terminates dst. A null dst only measures
// the bounded length. A capacity of 0 or less leaves dst untouched. Returns the characters taken.
int CopyText(char* dst, const char* src, int capacity);

// Appends src while dst is shorter than capacity-2 characters, so one byte stays spare for a
// separator. A null dst does nothing and returns 0. Returns the new length of dst.
int AppendText(char* dst, const char* src, int capacity);

// Copies at most count characters and always terminates: dst must hold count+1 bytes.
void CopyPrefix(char* dst, const char* src, int count);

// Reads the next token of text from position on: leading white space and delimiters are
// skipped, then characters are taken up to a delimiter, the end, or capacity-1 characters.
// Position moves past the delimiter that ended the token; a token cut by the capacity goes on
// at the next call. Returns the token's first character, 0 when there is no more token.
char NextToken(char* token, int capacity, const char* text, int& position, const char* delimiters);

// Replaces every `from` in the text as it stood on entry (a replacement by the terminator does
// not shorten the walk). Returns the length on entry.
int ReplaceChar(char* text, char from, char to);

// Keeps a list index valid: with count <= 0 the index becomes 0; otherwise mode 0 selects the
// first row, mode 1 the last, and any other mode moves the (limited) index by step, limited to
// 0 .. count-1. Returns whether the index changed.
bool ClampIndex(int& index, int count, int mode, int step);

// Limits value to low .. low+count-1; gives low when count <= 0.
int ClampToRange(int value, int low, int count);

// Day count of a proleptic Gregorian date, 1 January of year 0 being day 1; 0 for (0, 0, 0).
int DayNumber(int day, int month, int year);

// DayNumber of today's local date.
int TodayNumber();

// Whether two texts are equal when ASCII letters are compared without regard
// to case (file names and codec names; other bytes must match exactly).
bool equalsIgnoringCase(std::string_view a, std::string_view b);

}  // namespace vidmill
