#include "process/size_budget.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace vidmill {

namespace {

constexpr double kMargin = kSizeMargin;
constexpr double kIndexBitrate = 8'000;

// "1:05:00", "2:30", "0:08".
std::string lengthText(double seconds) {
    const long long whole = std::llround(std::max(seconds, 0.0));
    char text[48];
    if (whole >= 3600) {
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", whole / 3600, whole / 60 % 60,
                      whole % 60);
    } else {
        std::snprintf(text, sizeof text, "%lld:%02lld", whole / 60, whole % 60);
    }
    return text;
}

// The least size whose streams get `bitrate` for `seconds`.
std::int64_t leastSizeFor(std::int64_t bitrate, double seconds, double containerShare) {
    const double bits = (double(bitrate) + kIndexBitrate) * seconds;
    return std::int64_t(std::ceil(bits / 8.0 / (1.0 - kMargin - containerShare)));
}

}  // namespace

std::int64_t streamBitrateForSize(std::int64_t bytes, double seconds, double containerShare) {
    if (bytes <= 0 || !(seconds > 0.0)) {
        return 0;
    }
    const double bits = double(bytes) * 8.0 * (1.0 - kMargin - containerShare);
    const double rate = bits / seconds - kIndexBitrate;
    return rate > 0.0 ? std::int64_t(std::floor(rate)) : 0;
}

std::string sizeRefusal(std::int64_t bytes, double seconds, bool video, std::int64_t audioBitrate,
                        int audioTracks, double containerShare) {
    const std::int64_t total = streamBitrateForSize(bytes, seconds, containerShare);
    const std::int64_t needed = video
                                    ? std::max<std::int64_t>(audioBitrate, 0) + kMinFitVideoBitrate
                                    : kMinFitAudioBitrate * std::max(audioTracks, 1);
    if (total >= needed) {
        return {};
    }
    return sizeText(bytes) + " cannot hold " + lengthText(seconds) + " of " +
           (video ? "video" : "sound") + ": it needs at least " +
           sizeText(leastSizeFor(needed, seconds, containerShare), true) +
           (video && audioBitrate > 0
                ? " with " + std::to_string(audioBitrate / 1000) + " kbit/s of sound"
                : "");
}

std::string sizeText(std::int64_t bytes, bool roundUp) {
    struct Unit {
        double size;
        const char* name;
    };
    constexpr Unit kUnits[] = {{1e9, "GB"}, {1e6, "MB"}, {1e3, "KB"}};
    for (const Unit& unit : kUnits) {
        if (double(bytes) >= unit.size) {
            // One decimal, unless it is a whole number.
            const double tenths = double(bytes) / unit.size * 10.0;
            const double value = (roundUp ? std::ceil(tenths) : std::floor(tenths)) / 10.0;
            char text[48];
            if (value == std::floor(value)) {
                std::snprintf(text, sizeof text, "%.0f %s", value, unit.name);
            } else {
                std::snprintf(text, sizeof text, "%.1f %s", value, unit.name);
            }
            return text;
        }
    }
    return std::to_string(std::max<std::int64_t>(bytes, 0)) + " bytes";
}

}  // namespace vidmill
