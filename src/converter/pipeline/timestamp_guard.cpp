#include "converter/pipeline/timestamp_guard.h"

#include <algorithm>
#include <cstdlib>

#include "converter/convert_error.h"

namespace vidmill {

namespace {

void shift(AVPacket* packet, std::int64_t amount) {
    if (packet->pts != AV_NOPTS_VALUE) {
        packet->pts += amount;
    }
    if (packet->dts != AV_NOPTS_VALUE) {
        packet->dts += amount;
    }
}

}  // namespace

TimestampGuard::TimestampGuard(const AVFormatContext* input, double durationSeconds)
    : discontinuous_((input->iformat->flags & AVFMT_TS_DISCONT) != 0), streams_(input->nb_streams) {
    // A duration guessed from the bitrate can be far off either way.
    if (durationSeconds > 0 && input->duration_estimation_method != AVFMT_DURATION_FROM_BITRATE) {
        outputLimit_ = 2 * durationSeconds + kSpareSeconds;
        rangeEnd_ = static_cast<std::int64_t>(outputLimit_ * AV_TIME_BASE);
    }
}

std::int64_t TimestampGuard::packetDuration(const AVPacket* packet, const AVStream* stream) {
    if (packet->duration > 0) {
        return av_rescale_q(packet->duration, stream->time_base, AV_TIME_BASE_Q);
    }
    const AVCodecParameters* par = stream->codecpar;
    if (par->codec_type == AVMEDIA_TYPE_AUDIO && par->frame_size > 0 && par->sample_rate > 0) {
        return av_rescale(par->frame_size, AV_TIME_BASE, par->sample_rate);
    }
    const AVRational rate =
        stream->avg_frame_rate.num > 0 ? stream->avg_frame_rate : stream->r_frame_rate;
    if (par->codec_type == AVMEDIA_TYPE_VIDEO && rate.num > 0 && rate.den > 0) {
        return av_rescale(rate.den, AV_TIME_BASE, rate.num);
    }
    return 0;
}

void TimestampGuard::follow(AVPacket* packet, const AVStream* stream) const {
    if (offset_ != 0) {
        shift(packet, av_rescale_q(offset_, AV_TIME_BASE_Q, stream->time_base));
    }
}

void TimestampGuard::adjust(AVPacket* packet, const AVStream* stream) {
    const AVRational timeBase = stream->time_base;
    if (offset_ != 0) {
        shift(packet, av_rescale_q(offset_, AV_TIME_BASE_Q, timeBase));
    }
    // A presentation time far from its decoding time is a damaged one.
    if (packet->pts != AV_NOPTS_VALUE && packet->dts != AV_NOPTS_VALUE &&
        std::llabs(av_rescale_q(packet->pts - packet->dts, timeBase, AV_TIME_BASE_Q)) >
            kJumpThreshold) {
        packet->pts = AV_NOPTS_VALUE;
    }
    if (static_cast<std::size_t>(stream->index) >= streams_.size()) {
        streams_.resize(static_cast<std::size_t>(stream->index) + 1);
    }
    StreamState& state = streams_[static_cast<std::size_t>(stream->index)];
    const std::int64_t duration = packetDuration(packet, stream);
    const std::int64_t stamp = packet->dts != AV_NOPTS_VALUE ? packet->dts : packet->pts;
    if (stamp == AV_NOPTS_VALUE) {
        if (state.nextDts != AV_NOPTS_VALUE) {
            state.nextDts += duration;
        }
        return;
    }
    std::int64_t ts = av_rescale_q(stamp, timeBase, AV_TIME_BASE_Q);
    if (discontinuous_) {
        // A stream's first packet is measured against the other streams'.
        const std::int64_t expected = state.nextDts != AV_NOPTS_VALUE ? state.nextDts : lastTs_;
        const std::int64_t delta = expected != AV_NOPTS_VALUE ? ts - expected : 0;
        if (std::llabs(delta) > kJumpThreshold) {
            offset_ -= delta;
            shift(packet, -av_rescale_q(delta, AV_TIME_BASE_Q, timeBase));
            ts -= delta;
            // The container's duration no longer describes what is in it.
            outputLimit_ = std::numeric_limits<double>::infinity();
        }
    } else {
        // A timeline that runs on past the duration is kept; one that leaps there is not.
        const bool known = state.nextDts != AV_NOPTS_VALUE;
        const std::int64_t delta = known ? ts - state.nextDts : 0;
        const bool farBack = known && delta < -kJumpThreshold;
        // The duration itself may have been read from a damaged timestamp.
        const bool farOut = delta > kFarJump || (rangeEnd_ != AV_NOPTS_VALUE && ts > rangeEnd_ &&
                                                 (!known || delta > kJumpThreshold));
        if (farBack || farOut) {
            packet->pts = AV_NOPTS_VALUE;
            packet->dts = AV_NOPTS_VALUE;
            if (known) {
                state.nextDts += duration;
            }
            return;
        }
    }
    state.nextDts = ts + duration;
    lastTs_ = ts;
}

double contentLimitSeconds(double soundSeconds, std::int64_t pictures) {
    return std::max(soundSeconds, static_cast<double>(pictures) * kSecondsPerPicture) +
           kContentSpareSeconds;
}

void FrameGuard::checkDecoded(std::int64_t pts, AVRational timeBase, double limitSeconds) {
    if (firstPts_ == AV_NOPTS_VALUE) {
        firstPts_ = pts;
    }
    if (static_cast<double>(pts - firstPts_) * av_q2d(timeBase) > limitSeconds) {
        throw ConvertError(exit_code::kInputFailed,
                           "the input's timestamps claim far more time than its pictures and "
                           "sound hold; its header is likely damaged");
    }
}

void FrameGuard::checkEncoded(std::int64_t pts, AVRational timeBase, double limitSeconds) {
    if (pts != AV_NOPTS_VALUE && static_cast<double>(pts) * av_q2d(timeBase) > limitSeconds) {
        throw ConvertError(exit_code::kInputFailed,
                           "the output runs far past the input's duration; the input's "
                           "timestamps are damaged");
    }
}

}  // namespace vidmill
