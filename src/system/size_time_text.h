// The texts shown for file sizes, transfer amounts and the time left, and file-size queries.
#pragma once

#include <cstdint>
#include <string>

namespace vidmill {

// "1023 Bytes", "1.00 KB", "0.95 MB", "4.66 GB". The unit follows the number of decimal digits
// (up to 6, 7 to 9, 10 or more), the divisor the power of 1024.
std::string formatByteSize(uint64_t size);

// As formatByteSize with "B" for bytes, plus " - 50%" of the total when the total is not 0.
std::string formatTransferSize(uint64_t received, uint64_t total);

// " 30 sec left", " 01:30 left", " 01:00:00 left" (at most " 99:00:00 left"), estimated from
// the time since startTick and the percent done; empty while no estimate can be made (no
// progress yet or less than a second elapsed). Each text starts with a blank so that it can
// follow the percentage directly.
std::string formatTimeLeft(uint32_t startTick, double percent);

// formatTimeLeft at a given current tick.
std::string formatTimeLeftAt(uint32_t nowTick, uint32_t startTick, double percent);

void splitSeconds(int seconds, int& hours, int& minutes, int& secs);

// A time as people write it, "90", "1:30" or "1:02:03.5", in milliseconds;
// false for anything else, or for a day or more.
bool parseClockTime(const std::string& text, uint32_t& ms);
// "1:30", "1:02:03.5": the same time written back (tenths and below only
// when there are any).
std::string clockTimeText(uint32_t ms);

// Size of a regular file; 0 when it cannot be opened or is no regular file.
uint64_t fileSize64(const std::string& path);

}  // namespace vidmill
