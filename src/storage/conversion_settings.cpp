#include "storage/conversion_settings.h"

#include <cerrno>
#include <cstdlib>
#include <type_traits>

namespace vidmill {

bool operator==(const ConversionSettings& a, const ConversionSettings& b) {
    bool same = true;
    forEachSettingsField([&](const auto& field) {
        if constexpr (std::decay_t<decltype(field)>::isText) {
            same = same && textOf(a.*field.member) == textOf(b.*field.member);
        } else {
            same = same && a.*field.member == b.*field.member;
        }
    });
    return same;
}

void copyBatchValues(ConversionSettings& target, const ConversionSettings& source) {
    forEachSettingsField([&](const auto& field) {
        if (!field.has(kBatchValue)) {
            return;
        }
        if constexpr (std::decay_t<decltype(field)>::isText) {
            storeText(target.*field.member, textOf(source.*field.member));
        } else {
            target.*field.member = source.*field.member;
        }
    });
}

std::string cropRectText(const ConversionSettings& s) {
    return std::to_string(s.cropWidth) + ":" + std::to_string(s.cropHeight) + ":" +
           std::to_string(s.cropX) + ":" + std::to_string(s.cropY);
}

bool readCropRect(std::string_view text, ConversionSettings& s) {
    long values[4] = {};
    for (int i = 0; i < 4; ++i) {
        const std::size_t end = i < 3 ? text.find(':') : text.size();
        if (end == std::string_view::npos || end == 0) {
            return false;
        }
        const std::string number(text.substr(0, end));
        char* stop = nullptr;
        errno = 0;
        values[i] = std::strtol(number.c_str(), &stop, 10);
        if (errno != 0 || *stop != '\0' || values[i] < (i < 2 ? kMinCropSide : 0) ||
            values[i] > kMaxCropSide) {
            return false;
        }
        text.remove_prefix(i < 3 ? end + 1 : end);
    }
    s.cropMode = kCropFixed;
    s.cropWidth = uint16_t(values[0]);
    s.cropHeight = uint16_t(values[1]);
    s.cropX = uint16_t(values[2]);
    s.cropY = uint16_t(values[3]);
    return true;
}

}  // namespace vidmill
