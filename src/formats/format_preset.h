#pragma once

// The built-in output formats with the values that the settings dialog offers
// for each, the settings operations that work from them, and the choice of a
// free output file name.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "storage/conversion_settings.h"

namespace vidmill {

struct FrameSize {
    int16_t width;
    int16_t height;
};

// One output format. Texts may be absent (null); an absent or empty codec
// means no codec option. An empty value list stands for the shared default
// list (codec lists: only the row's own codec); the accessors below resolve
// that.
struct FormatPreset {
    int16_t id;
    const char* name;
    int16_t width;
    int16_t height;
    float frameRate;
    int16_t videoBitrate;
    int16_t audioBitrate;
    int16_t channels;
    int32_t sampleRate;
    const char* videoCodec;
    const char* audioCodec;
    // Given to the converter with -f; absent lets it follow the extension.
    const char* container;
    // Without the dot.
    const char* extension;
    // Converter options inserted as they stand.
    const char* extraOptions;
    bool customisable;
    bool audioOnly;
    // The encoder's constant quality the row starts with; 0: it starts at
    // its video bitrate.
    uint8_t quality;
    std::span<const FrameSize> frameSizes;
    std::span<const float> frameRates;
    std::span<const int16_t> videoBitrates;
    std::span<const char* const> videoCodecs;
    std::span<const int16_t> audioBitrates;
    std::span<const int32_t> sampleRates;
    std::span<const char* const> audioCodecs;
    std::span<const int16_t> channelCounts;
};

inline constexpr int kPresetCount = 38;

// Every row, in the order of the format lists.
std::span<const FormatPreset> formatPresets();

// Index of the first row with this id; 0 when there is none.
int findPresetById(int id);
// The index itself when it names a row, otherwise 0.
int presetAt(int index);
const FormatPreset& presetRow(int index);
// "." and the extension of the row with this id (".mp4" for an unknown id).
std::string presetExtension(int presetId);

// The lists the settings dialog offers for a row: its own, or the defaults.
std::span<const FrameSize> frameSizesOf(const FormatPreset& row);
std::span<const float> frameRatesOf(const FormatPreset& row);
std::span<const int16_t> videoBitratesOf(const FormatPreset& row);
std::span<const int16_t> audioBitratesOf(const FormatPreset& row);
std::span<const int32_t> sampleRatesOf(const FormatPreset& row);
// Channel counts offered: the row's own, or those of every row that names none.
std::span<const int16_t> channelChoicesOf(const FormatPreset& row);

// Index of the first entry equal to the value, or 0 when none is; `found`,
// when given, gets the index or -1.
int indexOfInt16(std::span<const int16_t> list, int value, int* found = nullptr);
int indexOfInt32(std::span<const int32_t> list, int32_t value, int* found = nullptr);
// Exact float equality: 29.976f is found only as that very float.
int indexOfFloat(std::span<const float> list, float value, int* found = nullptr);
int indexOfSize(std::span<const FrameSize> list, int width, int height, int* found = nullptr);
// Ignores letter case; an empty name is never found.
int indexOfName(std::span<const char* const> list, std::string_view name, int* found = nullptr);

// Every field to its default: the first format's values, empty codec names.
void setDefaultSettings(ConversionSettings& settings);
// The values of the row at presetAt(rowIndex); also clears both disable
// flags and the aspect and sets the volume to normal.
void applyPreset(ConversionSettings& settings, int rowIndex);

// Whether the video codec of this display name can encode at a constant
// quality (H.264, H.265, AV1, VP9), and the last value of its scale, which
// runs from 1, the best.
bool hasConstantQuality(std::string_view videoCodec);
int maxQualityOf(std::string_view videoCodec);

// The converter's name for a codec display name, lower-cased; a name that is
// not in the table passes through (at most 49 characters).
std::string converterCodecName(std::string_view displayName);
// The codec's entry in a drop-down list: upper-cased, "(Default)" for none.
std::string codecLabel(std::string_view codec);
// The same for the texts of a preset row, which may be absent.
std::string converterCodecName(const char* displayName);
std::string codecLabel(const char* codec);
// "29.976", "25": three decimals only for a rate with a fraction.
std::string frameRateLabel(float rate);

}  // namespace vidmill
