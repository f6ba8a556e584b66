#pragma once

// Keeps the output's timeline tied to the input's when the input's
// timestamps jump, as damaged files' do. Formats whose timestamps may
// legitimately restart (MPEG-TS, MPEG-PS, Ogg) are re-based across a jump,
// as the ffmpeg tool does; in other formats a timestamp that jumps far past
// the known duration, an hour ahead or far back is dropped, and the guess
// from the frames before takes its place. Without that a single bad timestamp
// makes the frame-rate conversion fill the gap with copies of one picture.
//
// What gets past it is caught on the frames: FrameGuard ends a conversion
// whose timestamps run far past the input's duration, or claim far more time
// than the decoded pictures and sound can fill.

#include <cstdint>
#include <limits>
#include <vector>

#include "converter/av_handles.h"

namespace vidmill {

class TimestampGuard {
  public:
    // A jump larger than this is a discontinuity (the ffmpeg tool's default).
    static constexpr std::int64_t kJumpThreshold = 10 * AV_TIME_BASE;
    // The output may run this far past the known duration: twice it plus this.
    static constexpr double kSpareSeconds = 10.0;
    // A jump ahead this far is damage even within the duration, which a
    // container may have taken from that very timestamp.
    static constexpr std::int64_t kFarJump = 3600LL * AV_TIME_BASE;

    // `durationSeconds` is the input's duration, 0 when unknown.
    TimestampGuard(const AVFormatContext* input, double durationSeconds);

    // Takes a packet of `stream` whose timestamps start at zero (in the
    // stream's time base) and re-bases or drops them as needed.
    void adjust(AVPacket* packet, const AVStream* stream);
    // For a sparse stream (subtitles), whose gaps say nothing of the
    // timeline: only the re-basing that the other streams' jumps brought.
    void follow(AVPacket* packet, const AVStream* stream) const;

    // Output time past which the timeline has left the input's behind: the
    // timestamps are damaged beyond repair. Infinite when the duration is
    // unknown or guessed from the bitrate, and once a discontinuity was
    // re-based (the container's duration then no longer covers the content).
    double outputLimitSeconds() const { return outputLimit_; }

  private:
    struct StreamState {
        std::int64_t nextDts = AV_NOPTS_VALUE;  // expected dts of the next packet, microseconds
    };

    static std::int64_t packetDuration(const AVPacket* packet, const AVStream* stream);

    bool discontinuous_ = false;
    std::int64_t rangeEnd_ = AV_NOPTS_VALUE;  // microseconds; no timestamp leaps beyond it
    double outputLimit_ = std::numeric_limits<double>::infinity();
    std::int64_t offset_ = 0;               // microseconds added to every timestamp
    std::int64_t lastTs_ = AV_NOPTS_VALUE;  // the last packet's, any stream, microseconds
    std::vector<StreamState> streams_;
};

// The output may last as long as the sound decoded so far, or this long for
// every picture decoded, whichever is more. A slide of a slideshow without
// sound rarely stays a minute; a header whose frame rate was tampered with
// makes each picture last for hours, and the frame-rate conversion would
// repeat it until the disk is full. The bound builds up over the whole run,
// so a long pause after many pictures passes.
inline constexpr double kSecondsPerPicture = 60.0;
// Room for sound that trails the pictures in a loosely interleaved file, or
// starts a little after them. A header that makes pictures last hours is
// caught at its second picture, whose time passes 2 * 60 + 30 s, before the
// first copy is encoded.
inline constexpr double kContentSpareSeconds = 30.0;

// How long a stream (from its first frame on) may last for what the input's
// decoders have delivered: `soundSeconds` of sound (the most of any stream)
// and `pictures` pictures.
double contentLimitSeconds(double soundSeconds, std::int64_t pictures);

// One stream's checks on its frames; both throw ConvertError(kInputFailed).
class FrameGuard {
  public:
    // On each decoded frame (`pts` in the input stream's `timeBase`), before
    // the frame-rate filter repeats a picture up to its timestamp: a lie is
    // found before a single copy is encoded. Measured from the stream's first
    // frame, as the filter does not fill the time before it.
    void checkDecoded(std::int64_t pts, AVRational timeBase, double limitSeconds);
    // On each frame about to be encoded (`pts` in the encoder's `timeBase`).
    static void checkEncoded(std::int64_t pts, AVRational timeBase, double limitSeconds);

  private:
    std::int64_t firstPts_ = AV_NOPTS_VALUE;  // the first decoded frame's
};

}  // namespace vidmill
