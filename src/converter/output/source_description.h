#pragma once

// What a source says about itself, kept in the output: its descriptive tags
// (creation time, place, title and the like), each kept stream's language and
// title, and its chapters. The container's own bookkeeping (brands, the
// writing library) is the output's business and stays behind.

#include <cstdint>

#include "converter/av_handles.h"

namespace vidmill {

// The stream's language and title onto the stream that carries it on.
void describeStream(const AVStream* source, AVStream* output);

// The source's tags and chapters onto the output, once its streams are all
// added and before its header is written. `startTime` (AV_TIME_BASE units)
// is where the input's timeline starts, which the output's starts at 0;
// chapters that begin at or past `durationSeconds` (when known, > 0) are left
// out and the last one ends there. Containers that keep tags only per stream
// (Ogg) get the source's tags on every stream, and FLAC, which has no
// chapters of its own, gets them as the Vorbis comments that readers take
// for chapters.
void keepSourceDescription(const AVFormatContext* input, AVFormatContext* output,
                           std::int64_t startTime, double durationSeconds);

}  // namespace vidmill
