#include "storage/conversion_settings.h"

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

}  // namespace vidmill
