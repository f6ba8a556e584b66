#pragma once

// The user's settings: where converted files go, the chosen output format
// with its video and audio options, and the general options of the program.
// A plain record with fixed text buffers, copied by value; the settings file
// stores it field by field.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

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

// "W:H:X:Y": a fixed crop's rectangle, as the command line and the history
// write it.
std::string cropRectText(const ConversionSettings& s);
// Reads such a rectangle into `s` as its fixed crop; false, with `s` as it
// was, for anything else or a side under kMinCropSide.
bool readCropRect(std::string_view text, ConversionSettings& s);

}  // namespace vidmill
