#pragma once

// The two things the converter does: probe an input (report its duration)
// and convert it. Both report through `progress` and throw ConvertError on
// failure.

#include "converter/converter_options.h"
#include "converter/progress_reporter.h"

namespace vidmill {

// Opens the input and reports its duration.
void probeInput(const ConverterOptions& options, ProgressReporter& progress);

// Converts the input into the output. A stop request ends the conversion
// early with the output closed properly, which counts as success.
void convertInput(const ConverterOptions& options, ProgressReporter& progress);

}  // namespace vidmill
