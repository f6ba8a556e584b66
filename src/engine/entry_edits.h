#pragma once

// What was asked of a converted entry beyond its format: a size to fit in,
// two passes, a cut, a crop, deinterlacing. Kept beside the history, so that
// a past conversion still says how it was made.

#include <cstdint>
#include <string>
#include <string_view>

#include "storage/conversion_settings.h"

namespace vidmill {

struct EntryEdits {
    uint32_t targetSizeKb = 0;
    bool twoPass = false;
    uint32_t cutFromMs = 0;
    uint32_t cutToMs = 0;
    uint8_t cropMode = kCropOff;
    uint16_t cropWidth = 0;
    uint16_t cropHeight = 0;
    uint16_t cropX = 0;
    uint16_t cropY = 0;
    uint8_t deinterlace = kDeinterlaceAuto;

    bool operator==(const EntryEdits&) const = default;
    // Anything but a plain conversion.
    bool any() const { return *this != EntryEdits{}; }
};

EntryEdits editsOf(const ConversionSettings& settings);

// "size=25000 twopass from=10000 to=150000 crop=auto deint=on": the stored
// form, only what differs from a plain conversion.
std::string editsRecord(const EntryEdits& edits);
// Reads a stored form back; words it does not know are skipped. False, with
// `edits` plain, for a value that no version writes.
bool readEditsRecord(std::string_view record, EntryEdits& edits);

// "fit in 25 MB, from 0:10 to 2:30, black bars removed"; empty for none.
std::string editsText(const EntryEdits& edits);

}  // namespace vidmill
