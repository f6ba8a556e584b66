#pragma once

// The two things the converter does: probe an input (report its duration)
// and convert it. Both report through `progress`, watch its slot's stop byte
// and the process's stop signals, and throw ConvertError on failure.

#include "converter/converter_options.h"
#include "converter/progress_reporter.h"

namespace vidmill {

// Opens the input and reports its duration. Returns the exit code: success,
// or kInterrupted when a signal alone stopped it first.
int probeInput(const ConverterOptions& options, ProgressReporter& progress);

// Converts the input into the output. A stop request ends the conversion
// early with the output closed properly, which counts as success. A signal
// alone gives kInterrupted: returned when it came before the input was open,
// thrown with the unfinished output removed when it came later.
int convertInput(const ConverterOptions& options, ProgressReporter& progress);

}  // namespace vidmill
