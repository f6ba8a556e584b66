#pragma once

// A look at pictures spread through the input before it is converted, for
// the black bars around the picture. Several points are looked at, so that
// a dark first scene decides nothing.

#include <optional>
#include <string>

#include "converter/conversion_stop.h"
#include "converter/converter_options.h"
#include "converter/input/media_input.h"

namespace vidmill {

// The picture without its bars, in even sizes; none when it has none. The
// input is opened once more, through the file that `input` reads, so that
// its own reading is not disturbed; an input that cannot be read twice (a
// pipe) is taken to have none. A stop leaves the look as far as it got.
std::optional<CropRect> findBars(const MediaInput& input, const std::string& path,
                                 const ConversionStop& stop);

}  // namespace vidmill
