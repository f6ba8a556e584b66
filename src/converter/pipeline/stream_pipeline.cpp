#include "converter/pipeline/stream_pipeline.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libavutil/samplefmt.h>
}

#include "converter/convert_error.h"
#include "converter/output/source_description.h"
#include "converter/pipeline/codec_setup.h"
#include "converter/pipeline/encoder_params.h"

namespace vidmill {

namespace {

class AudioPipeline final : public StreamPipeline {
  public:
    AudioPipeline(const ConverterOptions& options, AVFormatContext* input, int streamIndex,
                  OutputFile& output, const PipelineWatch& watch)
        : StreamPipeline(input->streams[streamIndex], output, watch), volume_(options.volume) {
        openDecoder(input);
        const AVCodec* codec =
            findEncoder(options.audioCodec, AVMEDIA_TYPE_AUDIO, output.format()->audio_codec);
        // A value that was asked for and cannot be made sends the engine
        // back without the audio options; anything else is a plain failure.
        const int refusedCode =
            options.audioOptionsRequested() ? exit_code::kAudioRefused : exit_code::kEncoderFailed;
        const std::vector<int> containerRates = containerSampleRates(output.format(), codec->id);
        int rate = 0;
        if (options.sampleRate) {
            rate = *options.sampleRate;
            if (!sampleRateAccepted(rate, codec, containerRates)) {
                throw ConvertError(refusedCode, std::string("the audio encoder ") + codec->name +
                                                    " cannot make " + std::to_string(rate) +
                                                    " Hz in " + output.format()->name);
            }
        } else {
            rate = nearestSampleRate(decoder_->sample_rate, codec, containerRates);
        }
        if (options.channels && !channelCountAccepted(*options.channels, codec)) {
            throw ConvertError(refusedCode, std::string("the audio encoder ") + codec->name +
                                                " cannot make " +
                                                std::to_string(*options.channels) + " channels");
        }

        AVCodecContext* encoder = avcodec_alloc_context3(codec);
        if (encoder == nullptr) {
            throw std::bad_alloc();
        }
        encoder_.reset(encoder);
        chooseChannelLayout(codec, decoder_->ch_layout, options.channels, &encoder->ch_layout);
        encoder->sample_fmt = chooseSampleFormat(codec, decoder_->sample_fmt);
        encoder->sample_rate = rate;
        encoder->time_base = AVRational{1, rate};
        if (options.audioBitrate) {
            encoder->bit_rate = *options.audioBitrate;
        }
        encoder->thread_count = 0;
        if (wantsGlobalHeader()) {
            encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        }
        DictionaryPtr tuning = encoderOptions(codec);
        const int opened = openEncoder(codec, tuning);
        if (opened < 0) {
            throw ConvertError(refusedCode,
                               describeFailure(std::string("the audio encoder ") + codec->name +
                                                   " refused the settings",
                                               opened));
        }
        if ((codec->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE) == 0) {
            frameSize_ = encoder->frame_size;
        }
    }

  private:
    FilterChain makeChain(const AVFrame& frame) override {
        std::string filters;
        if (volume_ != 256) {
            char volume[64];
            std::snprintf(volume, sizeof volume, "volume=%.6f,", volume_ / 256.0);
            filters += volume;
        }
        char layout[256] = {};
        av_channel_layout_describe(&encoder_->ch_layout, layout, sizeof layout);
        filters +=
            std::string("aformat=sample_fmts=") + av_get_sample_fmt_name(encoder_->sample_fmt) +
            ":sample_rates=" + std::to_string(encoder_->sample_rate) + ":channel_layouts=" + layout;
        return FilterChain::forAudio(frame, input_->time_base, filters, frameSize_);
    }

    // Timestamps count samples, so that rounding in a coarse input time base
    // leaves no gaps; a real jump ahead in the input (over 0.1 s) is
    // followed. One back cannot be: the muxer refuses time running backwards.
    void prepareForEncoder(AVFrame* frame) override {
        const AVRational from = chain_->outputTimeBase();
        const std::int64_t given = frame->pts == AV_NOPTS_VALUE
                                       ? AV_NOPTS_VALUE
                                       : av_rescale_q(frame->pts, from, encoder_->time_base);
        if (nextSample_ == AV_NOPTS_VALUE) {
            nextSample_ = given != AV_NOPTS_VALUE ? given : 0;
        } else if (given != AV_NOPTS_VALUE && given - nextSample_ > encoder_->sample_rate / 10) {
            nextSample_ = given;
        }
        frame->pts = nextSample_;
        nextSample_ += frame->nb_samples;
    }

    int volume_;
    int frameSize_ = 0;
    std::int64_t nextSample_ = AV_NOPTS_VALUE;
};

}  // namespace

StreamPipeline::StreamPipeline(AVStream* input, OutputFile& output, const PipelineWatch& watch)
    : input_(input), output_(output), watch_(watch) {}

// An encoder that was opened and never got a frame (the conversion failed
// while the other streams were set up, or at the header, or nothing was
// decoded) is ended before it is freed: SVT-AV1's teardown waits for an end
// of stream, and it cannot take one before a picture has gone through it. It
// gets a black one, whose packet is thrown away with the rest. One that got
// frames is let go as it stands, for draining it would encode all it holds.
StreamPipeline::~StreamPipeline() {
    AVCodecContext* encoder = encoder_.get();
    if (encoder == nullptr || avcodec_is_open(encoder) == 0 || encoderEnded_ ||
        framesEncoded_ > 0) {
        return;
    }
    if (std::strcmp(encoder->codec->name, "libsvtav1") == 0) {
        FramePtr black(av_frame_alloc());
        if (!black) {
            return;  // left to the watchdog
        }
        black->format = encoder->pix_fmt;
        black->width = encoder->width;
        black->height = encoder->height;
        black->pts = 0;
        if (av_frame_get_buffer(black.get(), 0) < 0) {
            return;
        }
        const std::ptrdiff_t linesize[4] = {black->linesize[0], black->linesize[1],
                                            black->linesize[2], black->linesize[3]};
        if (av_image_fill_black(black->data, linesize, encoder->pix_fmt, encoder->color_range,
                                encoder->width, encoder->height) < 0 ||
            avcodec_send_frame(encoder, black.get()) < 0) {
            return;
        }
    }
    if (avcodec_send_frame(encoder, nullptr) < 0) {
        return;
    }
    while (avcodec_receive_packet(encoder, encoded_.get()) >= 0) {
        av_packet_unref(encoded_.get());
    }
}

void StreamPipeline::openDecoder(AVFormatContext* inputContext) {
    const AVCodec* codec = avcodec_find_decoder(input_->codecpar->codec_id);
    if (codec == nullptr) {
        throw ConvertError(
            exit_code::kInputFailed,
            std::string("no decoder for ") + avcodec_get_name(input_->codecpar->codec_id));
    }
    AVCodecContext* decoder = avcodec_alloc_context3(codec);
    if (decoder == nullptr) {
        throw std::bad_alloc();
    }
    decoder_.reset(decoder);
    int result = avcodec_parameters_to_context(decoder, input_->codecpar);
    if (result < 0) {
        throw ConvertError(exit_code::kInputFailed,
                           describeFailure("cannot set up the decoder", result));
    }
    decoder->pkt_timebase = input_->time_base;
    if (decoder->codec_type == AVMEDIA_TYPE_VIDEO) {
        decoder->framerate = av_guess_frame_rate(inputContext, input_, nullptr);
    }
    decoder->thread_count = codecThreads();
    result = avcodec_open2(decoder, codec, nullptr);
    if (result < 0) {
        throw ConvertError(
            exit_code::kInputFailed,
            describeFailure(std::string("cannot open the decoder ") + codec->name, result));
    }
}

bool StreamPipeline::wantsGlobalHeader() const {
    return (output_.format()->flags & AVFMT_GLOBALHEADER) != 0;
}

int StreamPipeline::openEncoder(const AVCodec* codec, DictionaryPtr& options) {
    AVDictionary* raw = options.release();
    const int opened = avcodec_open2(encoder_.get(), codec, &raw);
    options.reset(raw);  // what the encoder did not take
    if (opened < 0) {
        return opened;
    }
    stream_ = output_.addStream();
    const int copied = avcodec_parameters_from_context(stream_->codecpar, encoder_.get());
    if (copied < 0) {
        return copied;
    }
    describeStream(input_, stream_);
    stream_->time_base = encoder_->time_base;
    stream_->avg_frame_rate = encoder_->framerate;
    stream_->sample_aspect_ratio = encoder_->sample_aspect_ratio;
    return 0;
}

void StreamPipeline::decode(const AVPacket* packet) {
    // A damaged packet costs its frames, not the conversion: its error is not fatal.
    avcodec_send_packet(decoder_.get(), packet);
    receiveFrames();
}

void StreamPipeline::receiveFrames() {
    while (!watch_.stopNow()) {
        const int got = avcodec_receive_frame(decoder_.get(), decoded_.get());
        if (got < 0) {
            return;  // needs input, at the end, or a broken frame that is skipped
        }
        AVFrame* frame = decoded_.get();
        if (decoder_->codec_type == AVMEDIA_TYPE_VIDEO) {
            ++picturesDecoded_;
        } else if (frame->sample_rate > 0) {
            soundDecodedSeconds_ += static_cast<double>(frame->nb_samples) / frame->sample_rate;
        }
        frame->pts = frame->best_effort_timestamp;
        if (frame->pts == AV_NOPTS_VALUE) {
            frame->pts = nextPts_ != AV_NOPTS_VALUE ? nextPts_ : 0;
        }
        nextPts_ = frame->pts + frameDuration(*frame);
        frameGuard_.checkDecoded(frame->pts, input_->time_base, watch_.contentLimitSeconds());
        if (!keepWithinCut(frame)) {
            av_frame_unref(frame);
            continue;
        }
        admit(frame);
        av_frame_unref(frame);
    }
}

// In the input stream's time base. Frames whose timestamps were dropped as
// damaged follow on from this, so it must be a real frame's length.
std::int64_t StreamPipeline::frameDuration(const AVFrame& frame) const {
    std::int64_t duration = frame.pkt_duration;
    if (duration <= 0 && frame.nb_samples > 0 && frame.sample_rate > 0) {
        duration =
            av_rescale_q(frame.nb_samples, AVRational{1, frame.sample_rate}, input_->time_base);
    } else if (duration <= 0 && decoder_->framerate.num > 0 && decoder_->framerate.den > 0) {
        duration = av_rescale_q(1, av_inv_q(decoder_->framerate), input_->time_base);
    }
    return std::max<std::int64_t>(duration, 1);
}

double StreamPipeline::decodedEndSeconds() const {
    return nextPts_ == AV_NOPTS_VALUE
               ? 0.0
               : static_cast<double>(nextPts_ - cutFrom_) * av_q2d(input_->time_base);
}

void StreamPipeline::setCut(double fromSeconds, double toSeconds) {
    const AVRational seconds{1, 1000};
    cutFrom_ = av_rescale_q(std::llround(fromSeconds * 1000), seconds, input_->time_base);
    cutTo_ = toSeconds > fromSeconds
                 ? av_rescale_q(std::llround(toSeconds * 1000), seconds, input_->time_base)
                 : AV_NOPTS_VALUE;
}

// False for a frame wholly outside the cut. A picture that is showing when
// the cut starts is moved to its start; sound that crosses either end is
// cut there (`frame` then points at the shorter copy).
bool StreamPipeline::keepWithinCut(AVFrame*& frame) {
    if (cutFrom_ == 0 && cutTo_ == AV_NOPTS_VALUE) {
        return true;
    }
    const std::int64_t start = frame->pts;
    const std::int64_t end = start + frameDuration(*frame);
    if (end <= cutFrom_ || (cutTo_ != AV_NOPTS_VALUE && start >= cutTo_)) {
        return false;
    }
    if (decoder_->codec_type != AVMEDIA_TYPE_AUDIO || frame->sample_rate <= 0) {
        frame->pts = std::max<std::int64_t>(start - cutFrom_, 0);
        return true;
    }
    const AVRational sampleTime{1, frame->sample_rate};
    const int skip =
        start < cutFrom_ ? int(av_rescale_q(cutFrom_ - start, input_->time_base, sampleTime)) : 0;
    int keep = frame->nb_samples - skip;
    if (cutTo_ != AV_NOPTS_VALUE && end > cutTo_) {
        keep =
            std::min(keep, int(av_rescale_q(cutTo_ - start, input_->time_base, sampleTime)) - skip);
    }
    if (keep <= 0) {
        return false;
    }
    if (skip > 0 || keep < frame->nb_samples) {
        AVFrame* part = trimmed_.get();
        av_frame_unref(part);
        part->format = frame->format;
        part->sample_rate = frame->sample_rate;
        part->nb_samples = keep;
        if (av_channel_layout_copy(&part->ch_layout, &frame->ch_layout) < 0 ||
            av_frame_get_buffer(part, 0) < 0) {
            throw std::bad_alloc();
        }
        av_frame_copy_props(part, frame);
        av_samples_copy(part->extended_data, frame->extended_data, 0, skip, keep,
                        frame->ch_layout.nb_channels, static_cast<AVSampleFormat>(frame->format));
        part->pts = start + av_rescale_q(skip, sampleTime, input_->time_base);
        part->pkt_duration = av_rescale_q(keep, sampleTime, input_->time_base);
        av_frame_unref(frame);
        frame = part;
    }
    frame->pts -= cutFrom_;
    return true;
}

void StreamPipeline::filter(AVFrame* frame) {
    if (frame == nullptr) {
        endChain(lastPictureEnd());
        return;
    }
    if (chain_ && (remakeChain_ || !chain_->accepts(*frame))) {
        // The stream changed shape, or the filters it needs did: the old
        // chain's last frame lasts to its own end, or to this frame's start
        // when that comes first (two chains must not make frames for the
        // same moment); a new chain takes over.
        const bool overlaps = frame->pts > chainLastPts_ && frame->pts < chainEnd_;
        endChain(overlaps ? frame->pts : chainEnd_);
        chain_.reset();
    }
    remakeChain_ = false;
    if (!chain_) {
        chain_.emplace(makeChain(*frame));
    }
    const std::int64_t start = frame->pts;
    std::int64_t end = start + frameDuration(*frame);
    if (cutTo_ != AV_NOPTS_VALUE) {
        end = std::min(end, cutTo_ - cutFrom_);  // the last picture ends with the cut
    }
    const LibavLogMark mark = libavLogMark();
    const int pushed = chain_->push(frame);
    if (pushed < 0 && pushed != AVERROR_EOF) {
        throw ConvertError(exit_code::kEncoderFailed,
                           describeFailure("filtering failed", pushed, mark));
    }
    chainLastPts_ = start;
    chainEnd_ = end;
    drainChain();
}

// The last picture lasts its full length, except that a length guessed from
// a slow frame rate (a still held over a sound) must not carry the video far
// past the sound: it then ends with the sound, yet is shown at least once.
std::int64_t StreamPipeline::lastPictureEnd() const {
    const double sound = watch_.soundEndSeconds();
    if (decoder_->codec_type != AVMEDIA_TYPE_VIDEO || sound <= 0.0 ||
        chainLastPts_ == AV_NOPTS_VALUE) {
        return chainEnd_;
    }
    const std::int64_t soundEnd = std::llround(sound / av_q2d(input_->time_base));
    const std::int64_t shownOnce =
        chainLastPts_ +
        std::max<std::int64_t>(av_rescale_q(1, encoder_->time_base, input_->time_base), 1);
    return std::min(chainEnd_, std::max(shownOnce, soundEnd));
}

// A chain is ended at a timestamp, not with an empty frame: ended at the
// last frame's start, the frame-rate filter would drop that frame's length
// and, with it, the last picture.
void StreamPipeline::endChain(std::int64_t endPts) {
    if (!chain_) {
        return;
    }
    const LibavLogMark mark = libavLogMark();
    const int closed = chain_->close(endPts);
    if (closed < 0 && closed != AVERROR_EOF) {
        throw ConvertError(exit_code::kEncoderFailed,
                           describeFailure("filtering failed", closed, mark));
    }
    drainChain();
}

void StreamPipeline::drainChain() {
    // A gap in the timestamps comes out of the frame-rate filter as one copy
    // after another: the stop request is looked at for each of them.
    while (!watch_.stopNow()) {
        const LibavLogMark mark = libavLogMark();
        const int pulled = chain_->pull(filtered_.get());
        if (pulled == AVERROR(EAGAIN) || pulled == AVERROR_EOF) {
            return;
        }
        if (pulled < 0) {
            throw ConvertError(exit_code::kEncoderFailed,
                               describeFailure("filtering failed", pulled, mark));
        }
        prepareForEncoder(filtered_.get());
        FrameGuard::checkEncoded(filtered_->pts, encoder_->time_base, watch_.outputLimitSeconds());
        encode(filtered_.get());
        av_frame_unref(filtered_.get());
    }
}

void StreamPipeline::encode(AVFrame* frame) {
    // A damaged input logs plenty; only what the encoder says now is its reason.
    const LibavLogMark mark = libavLogMark();
    const int sent = avcodec_send_frame(encoder_.get(), frame);
    if (sent < 0 && !(frame == nullptr && sent == AVERROR_EOF)) {
        throw ConvertError(
            exit_code::kEncoderFailed,
            describeFailure(std::string("encoding with ") + encoder_->codec->name + " failed", sent,
                            mark));
    }
    if (frame != nullptr) {
        ++framesEncoded_;
    } else {
        encoderEnded_ = true;
    }
    for (;;) {
        AVPacket* packet = encoded_.get();
        const int got = avcodec_receive_packet(encoder_.get(), packet);
        // A first pass's log grows with each packet; libvpx gives it all at the end.
        if (statsLog_ != nullptr && (got >= 0 || got == AVERROR_EOF) &&
            encoder_->stats_out != nullptr) {
            *statsLog_ += encoder_->stats_out;
        }
        if (got == AVERROR(EAGAIN) || got == AVERROR_EOF) {
            return;
        }
        if (got < 0) {
            throw ConvertError(
                exit_code::kEncoderFailed,
                describeFailure(std::string("encoding with ") + encoder_->codec->name + " failed",
                                got, mark));
        }
        packet->stream_index = stream_->index;
        av_packet_rescale_ts(packet, encoder_->time_base, stream_->time_base);
        output_.writePacket(packet);
    }
}

void StreamPipeline::finish() {
    // Once the watch says stop, only what the encoder holds is written: the
    // decoder and the filters may hold far more, a gap being filled for one.
    if (!watch_.stopNow()) {
        decode(nullptr);
    }
    if (!watch_.stopNow()) {
        admit(nullptr);
    }
    // One that never got a frame has nothing to give, and is ended as it is freed.
    if (framesEncoded_ > 0) {
        encode(nullptr);
    }
}

std::unique_ptr<StreamPipeline> makeAudioPipeline(const ConverterOptions& options,
                                                  AVFormatContext* input, int streamIndex,
                                                  OutputFile& output, const PipelineWatch& watch) {
    return std::make_unique<AudioPipeline>(options, input, streamIndex, output, watch);
}

}  // namespace vidmill
