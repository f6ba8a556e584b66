#pragma once

// The settings file: the whole settings record after a fixed signature,
// field by field, little-endian.

#include <string>
#include <string_view>

#include "storage/conversion_settings.h"

namespace vidmill {

inline constexpr std::string_view kSettingsSignature = "VidmillSettings/1";

// Bytes of zeros after the signature, kept for later use.
inline constexpr int kSettingsReservedBytes = 100;

// Reads the settings file over the record. A missing or foreign file leaves
// the record as it was; a short one leaves the fields that it does not reach,
// except that a missing last byte gives the normal converter priority.
// Values are taken as stored. True when the file was recognised.
bool loadSettingsFile(ConversionSettings& settings, const std::string& path);

// Writes the whole record, replacing the file only once the new one is
// complete on the disk. True when it was saved; otherwise the old file stays.
bool saveSettingsFile(const ConversionSettings& settings, const std::string& path);

}  // namespace vidmill
