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
#include <libavutil/cpu.h>
#include <libavutil/display.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libavutil/samplefmt.h>
}

#include "converter/convert_error.h"
#include "converter/output/source_description.h"
#include "converter/pipeline/encoder_params.h"
#include "converter/pipeline/field_detector.h"
#include "converter/process_guard.h"

namespace vidmill {

namespace {

// The pictures held while they are measured for fields: about two seconds,
// fewer where they are large; and the most measured as the video goes on.
constexpr int kMostHeld = 50;
constexpr std::int64_t kMostHeldBytes = std::int64_t(128) << 20;
constexpr int kMostWatched = 750;

// The quantiser used for -sameq by the MPEG family: visually lossless.
constexpr int kSameQuantiser = 2;
constexpr AVRational kFallbackFrameRate{25, 1};

bool takesFixedQuantiser(AVCodecID id) {
    switch (id) {
        case AV_CODEC_ID_MPEG1VIDEO:
        case AV_CODEC_ID_MPEG2VIDEO:
        case AV_CODEC_ID_MPEG4:
        case AV_CODEC_ID_MSMPEG4V2:
        case AV_CODEC_ID_MSMPEG4V3:
        case AV_CODEC_ID_WMV1:
        case AV_CODEC_ID_WMV2:
        case AV_CODEC_ID_H263:
        case AV_CODEC_ID_H263P:
        case AV_CODEC_ID_FLV1:
        case AV_CODEC_ID_MJPEG:
            return true;
        default:
            return false;
    }
}

// Threads for each decoder and encoder. Alone, a conversion lets libavcodec
// take every core (0), as the ffmpeg tool does; several at once each take
// their share, for threads beyond the cores only add switching, and a
// frame-threaded codec holds a frame in flight for each of them.
int codecThreads() {
    static const int threads = [] {
        const int atOnce = conversionsAtOnce();
        return atOnce <= 1 ? 0 : std::max(1, av_cpu_count() / atOnce);
    }();
    return threads;
}

// The same share for encoders that size their own pools: alone, every core.
int encoderThreadShare() {
    const int threads = codecThreads();
    return threads > 0 ? threads : std::max(1, av_cpu_count());
}

const AVCodec* findEncoder(const std::string& requested, AVMediaType type, AVCodecID fallback) {
    const char* kind = type == AVMEDIA_TYPE_VIDEO ? "video" : "audio";
    const AVCodec* codec = nullptr;
    std::string name;
    if (requested.empty()) {
        codec = avcodec_find_encoder(fallback);
        name = avcodec_get_name(fallback);
    } else {
        name = encoderNameFor(requested);
        codec = avcodec_find_encoder_by_name(name.c_str());
        if (codec == nullptr) {
            // A codec's name rather than an encoder's, e.g. "h264".
            if (const AVCodecDescriptor* descriptor =
                    avcodec_descriptor_get_by_name(name.c_str())) {
                codec = avcodec_find_encoder(descriptor->id);
            }
        }
    }
    if (codec == nullptr || codec->type != type) {
        throw ConvertError(
            exit_code::kEncoderFailed,
            std::string("the ") + kind + " encoder '" + name + "' is not available in this build");
    }
    return codec;
}

// The filters that show the stream as its display matrix asks, as the ffmpeg
// tool's automatic rotation does: a quarter turn either way (mirrored when
// the matrix mirrors), or a half turn. Other angles are left alone.
std::string rotationFilter(const AVStream* stream) {
    const auto* matrix = reinterpret_cast<const std::int32_t*>(
        av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, nullptr));
    if (matrix == nullptr) {
        return {};
    }
    double theta = -std::round(av_display_rotation_get(matrix));
    if (std::isnan(theta)) {
        return {};
    }
    theta -= 360 * std::floor(theta / 360 + 0.9 / 360);
    if (std::fabs(theta - 90) < 1.0) {
        return matrix[3] > 0 ? "transpose=cclock_flip," : "transpose=clock,";
    }
    if (std::fabs(theta - 180) < 1.0) {
        return "hflip,vflip,";
    }
    if (std::fabs(theta - 270) < 1.0) {
        return matrix[3] < 0 ? "transpose=clock_flip," : "transpose=cclock,";
    }
    return {};
}

DictionaryPtr encoderOptions(const AVCodec* codec) {
    AVDictionary* options = nullptr;
    for (const EncoderOption& option : encoderTuning(codec->name, encoderThreadShare())) {
        av_dict_set(&options, option.name.c_str(), option.value.c_str(), 0);
    }
    return DictionaryPtr(options);
}

// A rate as people write it: "15", "23.976", "29.97".
std::string rateShown(AVRational rate) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", av_q2d(rate));
    std::string shown = text;
    shown.erase(shown.find_last_not_of('0') + 1);
    if (shown.back() == '.') {
        shown.pop_back();
    }
    return shown;
}

std::string rateText(AVRational rate) {
    return std::to_string(rate.num) + "/" + std::to_string(rate.den);
}

class VideoPipeline final : public StreamPipeline {
  public:
    VideoPipeline(const ConverterOptions& options, AVFormatContext* input, int streamIndex,
                  OutputFile& output, const PipelineWatch& watch, PassPlan* passes)
        : StreamPipeline(input->streams[streamIndex], output, watch) {
        openDecoder(input);
        const AVCodec* codec =
            findEncoder(options.videoCodec, AVMEDIA_TYPE_VIDEO, output.format()->video_codec);

        sourceRate_ = av_guess_frame_rate(input, input_, nullptr);
        if (sourceRate_.num <= 0 || sourceRate_.den <= 0) {
            sourceRate_ = kFallbackFrameRate;
        }
        const AVRational wanted =
            options.frameRate
                ? snapToStandardRate(AVRational{options.frameRate->num, options.frameRate->den})
                : sourceRate_;
        rate_ = nearestFrameRate(wanted, codec);
        if (std::fabs(av_q2d(rate_) / av_q2d(wanted) - 1.0) > 0.002) {
            std::fprintf(stderr,
                         "vidmill-convert: note: %s takes no %s fps; the video is made at %s fps\n",
                         codec->name, rateShown(wanted).c_str(), rateShown(rate_).c_str());
        }
        sourceFullRange_ = isFullRange(decoder_->pix_fmt, decoder_->color_range);
        format_ = choosePixelFormat(codec, decoder_->pix_fmt, sourceFullRange_);
        fullRange_ = isFullRange(format_, AVCOL_RANGE_UNSPECIFIED) ||
                     (codec->pix_fmts == nullptr && sourceFullRange_);
        // A phone's upright video is stored lying down, with a turn to apply
        // on showing it: the output is turned once and for all, and keeps
        // the source's size only as the picture is then seen.
        rotation_ = rotationFilter(input_);
        sideways_ = rotation_.find("transpose") != std::string::npos;
        // Fields are woven into frames first, and the bars go before the
        // picture is turned and scaled: the size asked for is the picture's.
        if (options.deinterlace == PictureChoice::On) {
            deinterlaceAs(options.fieldOrder);
        } else if (options.deinterlace == PictureChoice::Auto) {
            if (const auto order = fieldOrderByHeader(*input_->codecpar)) {
                if (!order->empty()) {
                    deinterlaceAs(*order);
                }
            } else {
                fields_.emplace(input_->time_base);
            }
        }
        int pictureWidth = decoder_->width;
        int pictureHeight = decoder_->height;
        if (options.crop == PictureChoice::On) {
            const CropRect& rect = options.cropRect;
            if (rect.x + rect.width > pictureWidth || rect.y + rect.height > pictureHeight) {
                throw ConvertError(exit_code::kEncoderFailed,
                                   "the crop " + std::to_string(rect.width) + "x" +
                                       std::to_string(rect.height) + " at " +
                                       std::to_string(rect.x) + "," + std::to_string(rect.y) +
                                       " does not fit in the " + std::to_string(pictureWidth) +
                                       "x" + std::to_string(pictureHeight) + " picture");
            }
            crop_ = "crop=" + std::to_string(rect.width) + ":" + std::to_string(rect.height) + ":" +
                    std::to_string(rect.x) + ":" + std::to_string(rect.y) + ",";
            pictureWidth = rect.width;
            pictureHeight = rect.height;
        }
        sourceWidth_ = sideways_ ? pictureHeight : pictureWidth;
        sourceHeight_ = sideways_ ? pictureWidth : pictureHeight;
        size_ = outputFrameSize(options.frameSize, sourceWidth_, sourceHeight_, format_);

        AVCodecContext* encoder = avcodec_alloc_context3(codec);
        if (encoder == nullptr) {
            throw std::bad_alloc();
        }
        encoder_.reset(encoder);
        encoder->width = size_.width;
        encoder->height = size_.height;
        encoder->pix_fmt = format_;
        encoder->framerate = rate_;
        encoder->time_base = av_inv_q(rate_);
        encoder->sample_aspect_ratio = sampleAspect(options);
        describeColours(encoder);
        encoder->thread_count = codecThreads();
        if (wantsGlobalHeader()) {
            encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        }
        if (!options.videoTag.empty()) {
            encoder->codec_tag = fourccFor(options.videoTag);
        }
        setQuality(options, codec);

        DictionaryPtr tuning = encoderOptions(codec);
        if (passes != nullptr && passes->pass != EncodePass::Only) {
            preparePass(*passes, codec, tuning);
        }
        const int opened = openEncoder(codec, tuning);
        if (opened < 0) {
            throw ConvertError(exit_code::kEncoderFailed,
                               describeFailure(std::string("the video encoder ") + codec->name +
                                                   " refused the settings",
                                               opened));
        }
    }

    // The log is ours, not the encoder's to free.
    ~VideoPipeline() override {
        if (encoder_) {
            encoder_->stats_in = nullptr;
        }
    }

  private:
    // Tells the encoder which pass it runs and where the first one's log is.
    void preparePass(PassPlan& plan, const AVCodec* codec, DictionaryPtr& tuning) {
        const bool first = plan.pass == EncodePass::First;
        encoder_->flags |= first ? AV_CODEC_FLAG_PASS1 : AV_CODEC_FLAG_PASS2;
        const std::string stats = plan.folder + "/stats";
        AVDictionary* options = tuning.release();
        switch (passLogOf(codec->name)) {
            case PassLogKind::OwnFile:
                av_dict_set(&options, "stats", stats.c_str(), 0);
                break;
            case PassLogKind::X265Params: {
                const AVDictionaryEntry* given = av_dict_get(options, "x265-params", nullptr, 0);
                std::string params = given != nullptr ? std::string(given->value) + ":" : "";
                params += std::string("pass=") + (first ? "1" : "2") +
                          ":stats=" + escapedOptionValue(stats);
                av_dict_set(&options, "x265-params", params.c_str(), 0);
                break;
            }
            case PassLogKind::StatsText:
                if (first) {
                    statsLog_ = &plan.log;
                } else if (plan.log.empty()) {
                    tuning.reset(options);
                    throw ConvertError(exit_code::kEncoderFailed,
                                       "the first pass left no log for the second");
                } else {
                    refuseBitrateBelowLog(plan.log);
                    encoder_->stats_in = plan.log.data();
                }
                break;
            case PassLogKind::None:
                break;
        }
        tuning.reset(options);
    }

    // libavcodec's MPEG family cannot go below what its largest quantiser
    // makes of the first pass, and its second pass fails in a way that this
    // FFmpeg cannot clean up after: a bitrate below that is refused here.
    void refuseBitrateBelowLog(const std::string& log) const {
        if (std::strncmp(encoder_->codec->name, "libvpx", 6) == 0 || encoder_->bit_rate <= 0) {
            return;
        }
        const int qmax = encoder_->qmax > 0 ? encoder_->qmax : 31;
        const double least = leastBitsOfLog(log, qmax);
        const double seconds = double(std::count(log.begin(), log.end(), ';')) / av_q2d(rate_);
        if (least <= 0.0 || !(seconds > 0.0)) {
            return;
        }
        // Its curve also needs some room above the very least.
        const double leastRate = least / seconds * 1.1;
        if (double(encoder_->bit_rate) < leastRate) {
            throw ConvertError(exit_code::kEncoderFailed,
                               std::string(encoder_->codec->name) +
                                   " cannot make this video that small: its picture needs at "
                                   "least " +
                                   std::to_string(std::llround(leastRate / 1000)) + " kbit/s");
        }
    }

    // The picture keeps the source's colours: its primaries, transfer and
    // matrix go into the stream and the container as they came, and the
    // range is the one written.
    void describeColours(AVCodecContext* encoder) const {
        encoder->color_range = fullRange_ ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
        encoder->color_primaries = decoder_->color_primaries;
        encoder->color_trc = decoder_->color_trc;
        // An RGB source's matrix is none; the one used to make YUV of it is
        // the scaler's default, which players assume anyway.
        const AVPixFmtDescriptor* source = av_pix_fmt_desc_get(decoder_->pix_fmt);
        if (source != nullptr && (source->flags & AV_PIX_FMT_FLAG_RGB) == 0 &&
            decoder_->colorspace != AVCOL_SPC_RGB) {
            encoder->colorspace = decoder_->colorspace;
        }
    }

    AVRational sampleAspect(const ConverterOptions& options) const {
        if (options.aspect) {
            return sampleAspectFor(*options.aspect, size_.width, size_.height);
        }
        // Scaling keeps the picture's shape, as the scale filter does.
        AVRational source = av_guess_sample_aspect_ratio(nullptr, input_, nullptr);
        if (source.num <= 0 || source.den <= 0) {
            return AVRational{0, 1};
        }
        if (sideways_) {
            source = av_inv_q(source);  // turned a quarter: the pixels' shape turns too
        }
        AVRational sar{0, 1};
        av_reduce(&sar.num, &sar.den,
                  static_cast<std::int64_t>(source.num) * size_.height * sourceWidth_,
                  static_cast<std::int64_t>(source.den) * size_.width * sourceHeight_, 255);
        return sar;
    }

    void setQuality(const ConverterOptions& options, const AVCodec* codec) {
        AVCodecContext* encoder = encoder_.get();
        if (options.constantQuality) {
            const auto setting = constantQualityFor(codec->name, *options.constantQuality);
            if (!setting) {
                throw ConvertError(exit_code::kEncoderFailed,
                                   std::string("the video encoder ") + codec->name +
                                       " has no constant-quality mode for -crf");
            }
            setConstantQuality(*setting);
            return;
        }
        std::int64_t bitrate = options.videoBitrate.value_or(0);
        if (bitrate == 0 && !options.sameQuality) {
            bitrate = input_->codecpar->bit_rate;  // no bitrate asked for: keep the source's
        }
        if (bitrate > 0) {
            encoder->bit_rate = bitrate;
            return;
        }
        if (const auto crf = sameQualityCrf(codec->name)) {
            setConstantQuality(*constantQualityFor(codec->name, *crf));
        } else if (takesFixedQuantiser(codec->id)) {
            encoder->flags |= AV_CODEC_FLAG_QSCALE;
            encoder->global_quality = FF_QP2LAMBDA * kSameQuantiser;
        }
    }

    // With a bitrate the encoders below would aim at it instead (VP9 would
    // cap its quality by it).
    void setConstantQuality(const EncoderOption& setting) {
        encoder_->bit_rate = 0;
        const int set =
            av_opt_set(encoder_->priv_data, setting.name.c_str(), setting.value.c_str(), 0);
        if (set < 0) {
            throw ConvertError(exit_code::kEncoderFailed,
                               describeFailure(std::string("the video encoder ") +
                                                   encoder_->codec->name + " refused its quality",
                                               set));
        }
    }

    void deinterlaceAs(const std::string& order) {
        deinterlace_ = "bwdif=mode=send_frame:parity=" + order + ":deint=all,";
    }

    // While the pictures have not yet said whether they are woven fields,
    // the first of them wait here, measured, until they have (or until
    // about two seconds of them are held): then they all go through the
    // filters that they need. A video whose first pictures
    // do not move says nothing; it is measured on as it is converted, and
    // its filters change when its pictures tell (those before were still).
    void admit(AVFrame* frame) override {
        if (!fields_) {
            filter(frame);
            return;
        }
        if (frame == nullptr) {
            if (holding_) {
                settleFields();
            }
            filter(nullptr);
            return;
        }
        fields_->add(*frame);
        if (holding_) {
            FramePtr kept(av_frame_clone(frame));
            if (!kept) {
                throw std::bad_alloc();
            }
            for (const AVBufferRef* buffer : kept->buf) {
                heldBytes_ += buffer != nullptr ? buffer->size : 0;
            }
            held_.push_back(std::move(kept));
            if (fields_->clearVerdict() != FieldDetector::Verdict::Unknown ||
                int(held_.size()) >= kMostHeld || heldBytes_ >= kMostHeldBytes) {
                settleFields();
            }
            return;
        }
        const FieldDetector::Verdict verdict = fields_->verdict();
        if (verdict == FieldDetector::Verdict::Interlaced) {
            deinterlaceAs(fields_->order());
            remakeChain();
            fields_.reset();
        } else if (verdict == FieldDetector::Verdict::Progressive ||
                   fields_->measured() >= kMostWatched) {
            fields_.reset();
        }
        filter(frame);
    }

    // Decides on what has been measured, and lets the pictures held go on.
    void settleFields() {
        const FieldDetector::Verdict verdict = fields_->verdict();
        if (verdict == FieldDetector::Verdict::Interlaced) {
            deinterlaceAs(fields_->order());
        }
        if (verdict != FieldDetector::Verdict::Unknown) {
            fields_.reset();
        }
        holding_ = false;
        std::vector<FramePtr> held = std::move(held_);
        held_.clear();
        heldBytes_ = 0;
        for (FramePtr& frame : held) {
            if (watch_.stopNow()) {
                return;
            }
            filter(frame.get());
        }
    }

    FilterChain makeChain(const AVFrame& frame) override {
        char scale[200];
        // Named only where the range changes: otherwise a picture of the
        // right size and format passes the scaler untouched.
        const char* range =
            sourceFullRange_ && !fullRange_ ? ":in_range=full:out_range=limited" : "";
        std::snprintf(scale, sizeof scale, "scale=%d:%d:flags=bicubic%s,format=pix_fmts=%s",
                      size_.width, size_.height, range, av_get_pix_fmt_name(format_));
        const std::string fps = "fps=" + rateText(rate_);
        // Drop frames before scaling them, and repeat them only once scaled.
        const bool fewerFrames = av_cmp_q(rate_, sourceRate_) < 0;
        const std::string filters =
            deinterlace_ + crop_ + rotation_ +
            (fewerFrames ? fps + "," + scale : std::string(scale) + "," + fps);
        return FilterChain::forVideo(frame, input_->time_base, filters);
    }

    void prepareForEncoder(AVFrame* frame) override {
        const AVRational from = chain_->outputTimeBase();
        if (frame->pts != AV_NOPTS_VALUE && av_cmp_q(from, encoder_->time_base) != 0) {
            frame->pts = av_rescale_q(frame->pts, from, encoder_->time_base);
        }
        frame->pict_type = AV_PICTURE_TYPE_NONE;
        frame->color_range = encoder_->color_range;
        frame->color_primaries = encoder_->color_primaries;
        frame->color_trc = encoder_->color_trc;
        frame->colorspace = encoder_->colorspace;
        if ((encoder_->flags & AV_CODEC_FLAG_QSCALE) != 0) {
            frame->quality = encoder_->global_quality;
        }
    }

    AVRational sourceRate_{};
    AVRational rate_{};
    std::string rotation_;  // filters that turn the picture upright, each followed by ","
    bool sideways_ = false;
    std::string deinterlace_;  // the same, for interlaced frames
    // While the pictures are measured for fields: the measure, and the
    // pictures held until it has told.
    std::optional<FieldDetector> fields_;
    bool holding_ = true;
    std::vector<FramePtr> held_;
    std::int64_t heldBytes_ = 0;
    std::string crop_;     // and for the bars
    int sourceWidth_ = 0;  // the source's size as shown, after the crop and the turn
    int sourceHeight_ = 0;
    AVPixelFormat format_ = AV_PIX_FMT_NONE;
    bool sourceFullRange_ = false;
    bool fullRange_ = false;  // what is written
    PictureSize size_;
};

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

std::unique_ptr<StreamPipeline> makeVideoPipeline(const ConverterOptions& options,
                                                  AVFormatContext* input, int streamIndex,
                                                  OutputFile& output, const PipelineWatch& watch,
                                                  PassPlan* passes) {
    return std::make_unique<VideoPipeline>(options, input, streamIndex, output, watch, passes);
}

std::string videoEncoderName(const ConverterOptions& options, const AVOutputFormat* format) {
    return findEncoder(options.videoCodec, AVMEDIA_TYPE_VIDEO, format->video_codec)->name;
}

std::unique_ptr<StreamPipeline> makeAudioPipeline(const ConverterOptions& options,
                                                  AVFormatContext* input, int streamIndex,
                                                  OutputFile& output, const PipelineWatch& watch) {
    return std::make_unique<AudioPipeline>(options, input, streamIndex, output, watch);
}

}  // namespace vidmill
