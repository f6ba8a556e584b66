#pragma once

// A look at pictures spread through the input before it is converted: the
// black bars around the picture, and whether its frames are interlaced.
// Several points are looked at, so that a dark first scene decides nothing.

#include <optional>
#include <string>

#include "converter/conversion_stop.h"
#include "converter/converter_options.h"
#include "converter/input/media_input.h"

namespace vidmill {

struct PictureSurvey {
    // The picture without its bars, in even sizes; none when it has none.
    std::optional<CropRect> crop;
    // "tff" or "bff" when the frames are interlaced; empty when they are not.
    std::string fieldOrder;
};

// Looks for the bars when `findBars`, and for interlacing when `findFields`
// (a stream that names its field order is taken at its word; one whose
// coding holds frames only, H.264 or H.265 said to be so, VP9, AV1, is not
// interlaced; any other is measured, as most encoders write "progressive"
// whatever they were given). The input is opened once more, through the file that
// `input` reads, so that its own reading is not disturbed; an input that
// cannot be read twice (a pipe) is known by its field order alone. A stop
// leaves the survey as far as it got.
PictureSurvey surveyPictures(const MediaInput& input, const std::string& path,
                             const ConversionStop& stop, bool findBars, bool findFields);

}  // namespace vidmill
