#pragma once

// Whether a video stream's coding can hold fields at all, from what its
// header says: a stream that cannot needs no look at its pictures to know
// that it is not interlaced.

extern "C" {
#include <libavcodec/codec_par.h>
}

namespace vidmill {

// True when the stream's coding has frames only: VP8, VP9, AV1 and the
// still-picture and screen codecs always; H.264 whose sequence header says
// frame_mbs_only; H.265 whose header sets its frame-only constraint. False
// where fields are possible or the header does not tell.
bool codingIsFrameOnly(const AVCodecParameters& stream);

}  // namespace vidmill
