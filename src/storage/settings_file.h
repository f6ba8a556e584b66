#pragma once

// The settings file: the whole settings record after a fixed signature,
// field by field, little-endian.

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "storage/conversion_settings.h"

namespace vidmill {

inline constexpr std::string_view kSettingsSignature = "VidmillSettings/1";

// The block after the signature. Its first byte holds the constant quality,
// its second 1 when converted files do not take their sources' dates, the
// next four the size to fit in (kilobytes, little-endian), the seventh 1 for
// two passes, then the cut's start and end (4 bytes each, milliseconds), the
// crop's mode (1 byte) and rectangle (width, height, x, y: 2 bytes each) and
// the deinterlacing (1 byte); the rest are zeros, kept for later use. Files
// of older versions hold zeros throughout, which read as the bitrate, kept
// dates, no size, one pass, no cut, no crop and automatic deinterlacing.
inline constexpr int kSettingsReservedBytes = 100;

enum class SettingsFileState {
    // Missing or unreadable: the record is as it was.
    NotRead,
    // Every value as stored.
    Read,
    // The layout holds, but some values were out of range (or both streams
    // were off): those settings are back at their defaults.
    ValuesReset,
    // The layout does not hold (a text longer than its buffer, the file ends
    // inside a field, bytes follow the last one): every setting is back at
    // its default.
    Damaged,
    // A file is there, but it does not start as ours (a damaged signature,
    // or a file shorter than it): the record is as it was.
    NotOurs,
};

struct SettingsLoad {
    SettingsFileState state = SettingsFileState::NotRead;
    // ValuesReset: the settings that were reset, by the names the user sees.
    std::vector<std::string> reset;
    // Damaged or NotOurs, at start-up: the name (without its folder) the file
    // was kept aside under; empty when it could not be moved.
    std::string keptAs;

    bool recognised() const {
        return state != SettingsFileState::NotRead && state != SettingsFileState::NotOurs;
    }
    bool damaged() const {
        return state == SettingsFileState::Damaged || state == SettingsFileState::NotOurs;
    }
};

// Whether a preset id names a row of the format table; the table lives
// above this layer.
using PresetIdCheck = std::function<bool(int presetId)>;

// Reads the settings file over the record. A missing file, or one that does
// not start as ours, leaves the record as it was. A file that is not as this program writes it
// never switches the computer off or closes the program after a batch: whenever a value is reset,
// those two actions are off as well. A file of an older version that ends right before the
// converter priority gets the normal one. Without `isPresetId` the preset id is taken as stored.
SettingsLoad loadSettingsFile(ConversionSettings& settings, const std::string& path,
                              const PresetIdCheck& isPresetId = {});

// Loads the settings at start-up: a damaged file is kept aside (as
// keepDamagedFile does), so that the next save cannot replace its bytes.
SettingsLoad loadSettingsAtStart(ConversionSettings& settings, const std::string& path,
                                 const PresetIdCheck& isPresetId, std::time_t now);

// The one message for the user about what the load reset; empty when
// nothing was.
std::string settingsLoadMessage(const SettingsLoad& load);

// Writes the whole record, replacing the file only once the new one is
// complete on the disk. True when it was saved; otherwise the old file stays.
bool saveSettingsFile(const ConversionSettings& settings, const std::string& path);

}  // namespace vidmill
