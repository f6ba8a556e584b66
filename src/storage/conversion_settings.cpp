#include "storage/conversion_settings.h"

#include <cerrno>
#include <cstdlib>

namespace vidmill {

bool operator==(const ConversionSettings& a, const ConversionSettings& b) {
    return textOf(a.destinationFolder) == textOf(b.destinationFolder) &&
           textOf(a.reservedText) == textOf(b.reservedText) &&
           textOf(a.lastAddFolder) == textOf(b.lastAddFolder) && a.presetId == b.presetId &&
           a.showToolbar == b.showToolbar && a.reservedFlag == b.reservedFlag &&
           a.showMainSettings == b.showMainSettings && a.showStatusBar == b.showStatusBar &&
           a.lastUpdateCheckDay == b.lastUpdateCheckDay && a.showTips == b.showTips &&
           a.maxConcurrent == b.maxConcurrent && a.saveHistory == b.saveHistory &&
           a.removeStopped == b.removeStopped && a.disableVideo == b.disableVideo &&
           a.frameWidth == b.frameWidth && a.frameHeight == b.frameHeight &&
           a.frameRate == b.frameRate && a.videoBitrate == b.videoBitrate &&
           a.videoQuality == b.videoQuality && a.aspect == b.aspect &&
           a.disableAudio == b.disableAudio && a.audioBitrate == b.audioBitrate &&
           a.channels == b.channels && a.sampleRate == b.sampleRate && a.volume == b.volume &&
           textOf(a.videoCodec) == textOf(b.videoCodec) &&
           textOf(a.audioCodec) == textOf(b.audioCodec) &&
           a.useInternalPlayer == b.useInternalPlayer && a.shutdownAfter == b.shutdownAfter &&
           a.exitAfter == b.exitAfter && a.converterPriority == b.converterPriority &&
           a.keepSourceDates == b.keepSourceDates && a.targetSizeKb == b.targetSizeKb &&
           a.twoPass == b.twoPass && a.cutFromMs == b.cutFromMs && a.cutToMs == b.cutToMs &&
           a.cropMode == b.cropMode && a.cropWidth == b.cropWidth && a.cropHeight == b.cropHeight &&
           a.cropX == b.cropX && a.cropY == b.cropY && a.deinterlace == b.deinterlace;
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
