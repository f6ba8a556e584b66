#include "system/size_time_text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <vector>

#include "system/file_descriptor.h"
#include "system/tick_count.h"

namespace vidmill {

namespace {

template <typename... Args>
std::string format(const char* pattern, Args... args) {
    char text[64];
    std::snprintf(text, sizeof(text), pattern, args...);
    return text;
}

std::string formatSize(uint64_t size, const char* bytePattern) {
    // The unit follows the decimal digit count, so it changes at powers of ten while the
    // divisor is a power of 1024 ("0.95 MB" for a million bytes).
    const int digits = std::snprintf(nullptr, 0, "%" PRIu64, size);
    const double value = static_cast<double>(size);
    if (digits >= 10) {
        return format("%.2f GB", value / (1u << 30));
    }
    if (digits >= 7) {
        return format("%.2f MB", value / (1u << 20));
    }
    if (size < 1024) {
        return format(bytePattern, size);
    }
    return format("%.2f KB", value / (1u << 10));
}

std::optional<uint64_t> regularFileSize(const std::string& path) {
    // O_NONBLOCK so that a named pipe cannot hang the caller waiting for a writer.
    FileDescriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (file.get() < 0) {
        return std::nullopt;
    }
    struct stat status {};
    if (fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return std::nullopt;
    }
    return static_cast<uint64_t>(status.st_size);
}

}  // namespace

std::string formatByteSize(uint64_t size) {
    return formatSize(size, "%" PRIu64 " Bytes");
}

std::string formatTransferSize(uint64_t received, uint64_t total) {
    std::string text = formatSize(received, "%" PRIu64 " B");
    if (total != 0) {
        // 128-bit product: received * 100 must not wrap for any 64-bit size.
        const auto percent =
            static_cast<uint64_t>(static_cast<unsigned __int128>(received) * 100u / total);
        text += format(" - %" PRIu64 "%%", percent);
    }
    return text;
}

std::string formatTimeLeft(uint32_t startTick, double percent) {
    return formatTimeLeftAt(tickCount(), startTick, percent);
}

std::string formatTimeLeftAt(uint32_t nowTick, uint32_t startTick, double percent) {
    if (!(percent > 0)) {
        return {};
    }
    // Unsigned difference: right across a wrap of the 32-bit counter.
    const uint32_t elapsed = static_cast<uint32_t>(nowTick - startTick) / 1000u;
    if (elapsed == 0) {
        return {};
    }
    // Anything from 100 hours on reads as 99:00:00, so the estimate is capped there before it
    // becomes an int (a tiny percentage would otherwise overflow it); a percentage above 100
    // means nothing is left.
    constexpr double kCap = 100.0 * 3600.0;
    double left = elapsed * (100.0 - percent) / percent;
    if (!(left > 0)) {
        left = 0;
    } else if (left > kCap) {
        left = kCap;
    }
    int hours = 0;
    int minutes = 0;
    int seconds = 0;
    splitSeconds(static_cast<int>(left), hours, minutes, seconds);
    if (hours == 0 && minutes == 0) {
        return format(" %d sec left", seconds);
    }
    if (hours >= 100) {
        return format(" %02d:%02d:%02d left", 99, 0, 0);
    }
    if (hours >= 1) {
        return format(" %02d:%02d:%02d left", hours, minutes, seconds);
    }
    return format(" %02d:%02d left", minutes, seconds);
}

void splitSeconds(int seconds, int& hours, int& minutes, int& secs) {
    hours = seconds / 3600;
    minutes = seconds % 3600 / 60;
    secs = seconds % 60;
}

uint64_t fileSize64(const std::string& path) {
    return regularFileSize(path).value_or(0);
}

bool parseClockTime(const std::string& text, uint32_t& ms) {
    constexpr double kDayMs = 24.0 * 3600 * 1000;
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t colon = text.find(':', start);
        parts.push_back(text.substr(start, colon == std::string::npos ? colon : colon - start));
        if (colon == std::string::npos) {
            break;
        }
        start = colon + 1;
    }
    if (parts.size() > 3) {
        return false;
    }
    double total = 0;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const std::string& part = parts[i];
        const bool last = i + 1 == parts.size();
        const auto digitOrDot = [](char c) {
            return std::isdigit(static_cast<unsigned char>(c)) != 0 || c == '.';
        };
        if (part.empty() || part.front() == '.' ||
            !std::all_of(part.begin(), part.end(), digitOrDot) ||
            std::count(part.begin(), part.end(), '.') > (last ? 1 : 0)) {
            return false;
        }
        const double value = std::strtod(part.c_str(), nullptr);
        // Minutes and seconds after the first part stay below 60.
        if (i > 0 && value >= 60) {
            return false;
        }
        total = total * 60 + value;
    }
    const double value = std::round(total * 1000);
    if (!(value >= 0) || value >= kDayMs) {
        return false;
    }
    ms = uint32_t(value);
    return true;
}

std::string clockTimeText(uint32_t ms) {
    int hours = 0;
    int minutes = 0;
    int secs = 0;
    splitSeconds(int(ms / 1000), hours, minutes, secs);
    char text[64];
    if (hours > 0) {
        std::snprintf(text, sizeof text, "%d:%02d:%02d", hours, minutes, secs);
    } else {
        std::snprintf(text, sizeof text, "%d:%02d", minutes, secs);
    }
    std::string result = text;
    if (const uint32_t rest = ms % 1000; rest != 0) {
        char fraction[8];
        std::snprintf(fraction, sizeof fraction, ".%03u", rest);
        std::string digits = fraction;
        while (digits.back() == '0') {
            digits.pop_back();
        }
        result += digits;
    }
    return result;
}

}  // namespace vidmill
