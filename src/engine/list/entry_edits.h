#pragma once

// What was asked of a converted entry beyond its format: a size to fit in,
// two passes, a cut, a crop, deinterlacing. Kept beside the history, so that
// a past conversion still says how it was made.

#include <string>
#include <string_view>

#include "storage/conversion_settings.h"

namespace vidmill {

// "size=25000 twopass from=10000 to=150000 crop=auto deint=on": the stored
// form of those choices in `settings`, only what differs from a plain
// conversion; empty for a plain one.
std::string editsRecord(const ConversionSettings& settings);
// Reads a stored form back into those fields of `settings`; words it does not
// know are skipped. False, with the fields as a plain conversion has them,
// for a value that no version writes.
bool readEditsRecord(std::string_view record, ConversionSettings& settings);

// "fit in 25 MB, from 0:10 to 2:30, black bars removed" for a stored form;
// empty for none.
std::string editsText(std::string_view record);

}  // namespace vidmill
