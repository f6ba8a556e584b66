#pragma once

// Keeps the output's timeline tied to the input's when the input's
// timestamps jump, as damaged files' do. Formats whose timestamps may
// legitimately restart (MPEG-TS, MPEG-PS, Ogg) are re-based across a jump,
// as the ffmpeg tool does; in other formats a timestamp that jumps far past
// the known duration, an hour ahead or far back is dropped, and the guess
// from the frames before takes its place. Without that a single bad timestamp
// makes the frame-rate conversion fill the gap with copies of one picture.

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

}  // namespace vidmill
