#pragma once

// The user's settings: where converted files go, the chosen output format
// with its video and audio options, and the general options of the program.
// A plain record with fixed text buffers, copied by value. Below it, every
// field is listed once (forEachSettingsField): the comparison, the batch's
// copy and the settings file go through that list, so that a new setting is
// one member and one row.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>

namespace vidmill {

// Buffer sizes, terminator included: folders keep at most 261 characters,
// codec names 49.
inline constexpr int kFolderTextCapacity = 262;
inline constexpr int kCodecNameCapacity = 50;

// Frame size, frame rate, bitrates, channels and sample rate: keep what the
// source has.
inline constexpr int kOriginalValue = -1;

// The first format of the preset table, whose values a default record holds.
inline constexpr int16_t kDefaultPresetId = 100;

inline constexpr int16_t kDefaultMaxConcurrent = 2;
inline constexpr int16_t kNormalVolume = 100;
inline constexpr uint8_t kNormalConverterPriority = 2;
// Constant quality runs from 1 (best) to this; 0 encodes at the video bitrate.
inline constexpr uint8_t kMaxVideoQuality = 63;
// A cut reaches at most a day into a file, in milliseconds.
inline constexpr uint32_t kMaxCutMs = 24u * 3600u * 1000u;
// Black bars: kept, found in each video, or a fixed rectangle.
inline constexpr uint8_t kCropOff = 0;
inline constexpr uint8_t kCropAuto = 1;
inline constexpr uint8_t kCropFixed = 2;
// Deinterlacing; automatic is 0, so that older files read as automatic.
inline constexpr uint8_t kDeinterlaceAuto = 0;
inline constexpr uint8_t kDeinterlaceOn = 1;
inline constexpr uint8_t kDeinterlaceOff = 2;
// A crop's sides, in pixels.
inline constexpr uint16_t kMinCropSide = 16;
inline constexpr uint16_t kMaxCropSide = 16384;

// The largest size a converted file can be asked to fit in, in kilobytes
// (1000 bytes): a terabyte.
inline constexpr uint32_t kMaxTargetSizeKb = 1'000'000'000;

struct ConversionSettings {
    char destinationFolder[kFolderTextCapacity] = {};
    // Carried through the settings file untouched.
    char reservedText[kFolderTextCapacity] = {};
    char lastAddFolder[kFolderTextCapacity] = {};
    int16_t presetId = kDefaultPresetId;
    bool showToolbar = true;
    // Carried through the settings file untouched.
    bool reservedFlag = true;
    bool showMainSettings = true;
    bool showStatusBar = true;
    // Day number of the last check for a newer version; 0 = never.
    int32_t lastUpdateCheckDay = 0;
    bool showTips = true;
    int16_t maxConcurrent = kDefaultMaxConcurrent;
    bool saveHistory = true;
    // Outputs of entries removed at exit are deleted.
    bool removeStopped = true;
    bool disableVideo = false;
    // The first preset's own values; kOriginalValue keeps the source's.
    int16_t frameWidth = 368;
    int16_t frameHeight = 208;
    float frameRate = 29.976f;
    int16_t videoBitrate = 1500;
    // The encoder's constant quality (CRF) instead of the video bitrate, for
    // codecs that have one; 0 uses the bitrate.
    uint8_t videoQuality = 0;
    // 0 none, 1 = 4:3, 2 = 16:9.
    int16_t aspect = 0;
    bool disableAudio = false;
    int16_t audioBitrate = 128;
    int16_t channels = 2;
    int32_t sampleRate = 24000;
    // Percent, 0 to 500.
    int16_t volume = kNormalVolume;
    // Display names; empty lets the converter choose.
    char videoCodec[kCodecNameCapacity] = {};
    char audioCodec[kCodecNameCapacity] = {};
    bool useInternalPlayer = true;
    bool shutdownAfter = false;
    bool exitAfter = false;
    // 0 Low .. 5 Realtime.
    uint8_t converterPriority = kNormalConverterPriority;
    // A converted file gets its source's modification time.
    bool keepSourceDates = true;
    // Each converted file fits in this many kilobytes (1000 bytes): its video
    // bitrate comes from the size and the length; 0 leaves the size free.
    uint32_t targetSizeKb = 0;
    // The video is encoded in two passes, where its encoder has them.
    bool twoPass = false;
    // The part of each file that is converted, in milliseconds from its
    // start; a `cutToMs` of 0 goes to the end.
    uint32_t cutFromMs = 0;
    uint32_t cutToMs = 0;
    // kCropOff, kCropAuto or kCropFixed, with the rectangle kept for the last.
    uint8_t cropMode = kCropOff;
    uint16_t cropWidth = 0;
    uint16_t cropHeight = 0;
    uint16_t cropX = 0;
    uint16_t cropY = 0;
    uint8_t deinterlace = kDeinterlaceAuto;
};

// Stores at most N - 1 bytes of `text` (up to an embedded NUL) and clears
// the rest of the buffer, so that records compare and copy cleanly.
template <std::size_t N>
void storeText(char (&buffer)[N], std::string_view text) {
    std::size_t length = std::min(text.size(), N - 1);
    if (length > 0) {
        if (const void* nul = std::memchr(text.data(), '\0', length)) {
            length = std::size_t(static_cast<const char*>(nul) - text.data());
        }
        std::memmove(buffer, text.data(), length);
    }
    std::memset(buffer + length, 0, N - length);
}

// The text of a buffer, bounded by the buffer even when its terminator is
// missing.
template <std::size_t N>
std::string_view textOf(const char (&buffer)[N]) {
    return std::string_view(buffer, strnlen(buffer, N));
}

// Field by field, texts up to their terminators.
bool operator==(const ConversionSettings& a, const ConversionSettings& b);

// The values that a batch takes from the settings when it starts (the
// format, its options and where the files go), leaving the window's own.
void copyBatchValues(ConversionSettings& target, const ConversionSettings& source);

// "W:H:X:Y": a fixed crop's rectangle, as the command line and the history
// write it.
std::string cropRectText(const ConversionSettings& s);
// Reads such a rectangle into `s` as its fixed crop; false, with `s` as it
// was, for anything else or a side under kMinCropSide.
bool readCropRect(std::string_view text, ConversionSettings& s);

// What the program stores: values of the format lists and of the presets,
// "Original" where a list offers it, and the limits of the settings dialog.
// The ranges leave room around the lists, so that only values that no
// version of the program wrote fall outside.
inline constexpr int kMinFrameSide = 16;
inline constexpr int kMaxFrameSide = 8192;
inline constexpr float kMaxFrameRate = 1000.0f;
inline constexpr int kMinVideoBitrate = 8;
inline constexpr int kMinAudioBitrate = 8;
inline constexpr int kMaxAudioBitrate = 640;
inline constexpr int kMinSampleRate = 8000;
inline constexpr int kMaxSampleRate = 192000;
inline constexpr int kMaxVolume = 500;
inline constexpr int kVolumeStep = 25;
inline constexpr int kMinConcurrent = 1;
inline constexpr int kMaxConcurrent = 20;
inline constexpr int kMaxAspect = 2;
inline constexpr uint8_t kMaxConverterPriority = 5;

enum SettingsFieldFlag : unsigned {
    // Kept in the block after the signature rather than in the sequence.
    kInHeaderBlock = 1u << 0,
    // Copied into a batch's own settings when it starts.
    kBatchValue = 1u << 1,
    // A flag written as 0 while it is on, so that the zeros of older files
    // leave it on.
    kStoredCleared = 1u << 2,
    // Carried through untouched: any byte is kept as a flag.
    kCarried = 1u << 3,
    // Files of older versions end before it; nothing may follow it.
    kOptionalLast = 1u << 4,
    // Valid only as the id of a row of the format table.
    kPresetIdValue = 1u << 5,
    // Off whenever a file is not as we wrote it: it acts after a batch.
    kActsAfterBatch = 1u << 6,
};

struct AnySettingsValue {
    template <typename T>
    constexpr bool operator()(const T&) const {
        return true;
    }
};

template <typename T, typename Valid = AnySettingsValue>
struct SettingsField {
    using Type = T;
    T ConversionSettings::*member;
    // As the settings dialog names it.
    const char* name;
    unsigned flags;
    Valid valid{};

    bool has(unsigned flag) const { return (flags & flag) != 0; }
    static constexpr bool isText = std::is_array_v<T>;
};

template <typename T, typename Valid = AnySettingsValue>
constexpr SettingsField<T, Valid> settingsField(T ConversionSettings::*member, const char* name,
                                                unsigned flags, Valid valid = {}) {
    return {member, name, flags, valid};
}

inline constexpr bool isOriginalOr(int value, int low, int high) {
    return value == kOriginalValue || (value >= low && value <= high);
}

// Calls visit(field) for every field, in the order of the settings file.
template <typename Visit>
void forEachSettingsField(Visit&& visit) {
    using S = ConversionSettings;
    constexpr unsigned kBlock = kInHeaderBlock | kBatchValue;
    constexpr unsigned kBatch = kBatchValue;
    visit(settingsField(&S::videoQuality, "Quality", kBlock,
                        [](uint8_t quality) { return quality <= kMaxVideoQuality; }));
    visit(settingsField(&S::keepSourceDates, "Keep the dates of the source files",
                        kBlock | kStoredCleared));
    visit(settingsField(&S::targetSizeKb, "Fit in a size", kBlock,
                        [](uint32_t size) { return size <= kMaxTargetSizeKb; }));
    visit(settingsField(&S::twoPass, "Two passes", kBlock));
    visit(settingsField(&S::cutFromMs, "From", kBlock, [](uint32_t ms) { return ms < kMaxCutMs; }));
    visit(settingsField(&S::cutToMs, "To", kBlock, [](uint32_t ms) { return ms <= kMaxCutMs; }));
    visit(settingsField(&S::cropMode, "Remove black bars", kBlock,
                        [](uint8_t mode) { return mode <= kCropFixed; }));
    for (uint16_t S::*side : {&S::cropWidth, &S::cropHeight, &S::cropX, &S::cropY}) {
        visit(settingsField(side, "Crop", kBlock,
                            [](uint16_t pixels) { return pixels <= kMaxCropSide; }));
    }
    visit(settingsField(&S::deinterlace, "Deinterlace", kBlock,
                        [](uint8_t choice) { return choice <= kDeinterlaceOff; }));

    visit(settingsField(&S::destinationFolder, "Destination", kBatch));
    visit(settingsField(&S::reservedText, "", kBatch));
    visit(settingsField(&S::lastAddFolder, "", kBatch));
    visit(settingsField(&S::presetId, "Video Format", kBatch | kPresetIdValue));
    visit(settingsField(&S::showToolbar, "Show Toolbar", 0));
    visit(settingsField(&S::reservedFlag, "", kCarried));
    visit(settingsField(&S::showMainSettings, "Show Main Settings", 0));
    visit(settingsField(&S::showStatusBar, "Show Status Bar", 0));
    // A day in the future is mended by the update check itself.
    visit(settingsField(&S::lastUpdateCheckDay, "Last update check", 0,
                        [](int32_t day) { return day >= 0; }));
    visit(settingsField(&S::showTips, "Show tips at startup", 0));
    visit(settingsField(&S::maxConcurrent, "Max concurrent conversions", 0, [](int16_t count) {
        return count >= kMinConcurrent && count <= kMaxConcurrent;
    }));
    visit(settingsField(&S::saveHistory, "Save History", 0));
    visit(settingsField(&S::removeStopped, "Remove stopped videos", 0));
    visit(settingsField(&S::disableVideo, "Disable Video", kBatch));
    // A size is a pair: "Original" for both or a size for both (see
    // frameSizeIsValid).
    for (int16_t S::*side : {&S::frameWidth, &S::frameHeight}) {
        visit(settingsField(side, "Frame Size", kBatch, [](int16_t pixels) {
            return isOriginalOr(pixels, kMinFrameSide, kMaxFrameSide);
        }));
    }
    visit(settingsField(&S::frameRate, "Frame Rate", kBatch, [](float rate) {
        return rate == float(kOriginalValue) || (rate > 0.0f && rate <= kMaxFrameRate);
    }));
    visit(settingsField(&S::videoBitrate, "Video Bitrate", kBatch, [](int16_t rate) {
        return isOriginalOr(rate, kMinVideoBitrate, INT16_MAX);
    }));
    visit(settingsField(&S::aspect, "Aspect Ratio", kBatch,
                        [](int16_t aspect) { return aspect >= 0 && aspect <= kMaxAspect; }));
    visit(settingsField(&S::disableAudio, "Disable Audio", kBatch));
    visit(settingsField(&S::audioBitrate, "Audio Bitrate", kBatch, [](int16_t rate) {
        return isOriginalOr(rate, kMinAudioBitrate, kMaxAudioBitrate);
    }));
    visit(settingsField(&S::channels, "Channels", kBatch,
                        [](int16_t count) { return isOriginalOr(count, 1, 2); }));
    visit(settingsField(&S::sampleRate, "Sample Rate", kBatch, [](int32_t rate) {
        return isOriginalOr(rate, kMinSampleRate, kMaxSampleRate);
    }));
    visit(settingsField(&S::volume, "Volume", kBatch, [](int16_t volume) {
        return volume >= 0 && volume <= kMaxVolume && volume % kVolumeStep == 0;
    }));
    visit(settingsField(&S::videoCodec, "Video Codec", kBatch));
    visit(settingsField(&S::audioCodec, "Audio Codec", kBatch));
    visit(settingsField(&S::useInternalPlayer, "Use Internal video player", 0));
    visit(
        settingsField(&S::shutdownAfter, "Shutdown computer after conversion(s)", kActsAfterBatch));
    visit(settingsField(&S::exitAfter, "Exit program after conversion(s)", kActsAfterBatch));
    visit(settingsField(&S::converterPriority, "Converter Process Priority", kBatch | kOptionalLast,
                        [](uint8_t priority) { return priority <= kMaxConverterPriority; }));
}

// The rules between fields that any record must keep, whoever made it.
// A cut ends after it starts (an end of 0 is the end of the video).
inline bool cutIsOrdered(const ConversionSettings& s) {
    return s.cutToMs == 0 || s.cutToMs > s.cutFromMs;
}
// A fixed crop keeps a picture.
inline bool cropKeepsAPicture(const ConversionSettings& s) {
    return s.cropMode != kCropFixed ||
           (s.cropWidth >= kMinCropSide && s.cropHeight >= kMinCropSide);
}
// Something is converted: the picture, the sound or both.
inline bool keepsAStream(const ConversionSettings& s) {
    return !(s.disableVideo && s.disableAudio);
}
// A frame size is "Original" on both sides or a size on both.
inline bool frameSizeIsPaired(const ConversionSettings& s) {
    return (s.frameWidth == kOriginalValue) == (s.frameHeight == kOriginalValue);
}

}  // namespace vidmill
