#pragma once

// What the video and the audio pipeline set up alike: their encoder, found
// by name, and the threads each codec may take.

#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "converter/av_handles.h"

namespace vidmill {

// Threads for each decoder and encoder: 0 (libavcodec's own choice) for a
// conversion alone, its share of the cores when several run at once.
int codecThreads();

// The encoder that `requested` names (an encoder's or a codec's name, or a
// legacy one), or the container's own for `type` when it names none. Throws
// ConvertError(kEncoderFailed) when this build has none.
const AVCodec* findEncoder(const std::string& requested, AVMediaType type, AVCodecID fallback);

// The private options that tune the encoder, with its share of threads.
DictionaryPtr encoderOptions(const AVCodec* codec);

}  // namespace vidmill
