#include "converter/pipeline/stream_pipeline.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/display.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

#include "converter/convert_error.h"
#include "converter/pipeline/codec_setup.h"
#include "converter/pipeline/encoder_params.h"
#include "converter/pipeline/field_detector.h"

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

}  // namespace

std::unique_ptr<StreamPipeline> makeVideoPipeline(const ConverterOptions& options,
                                                  AVFormatContext* input, int streamIndex,
                                                  OutputFile& output, const PipelineWatch& watch,
                                                  PassPlan* passes) {
    return std::make_unique<VideoPipeline>(options, input, streamIndex, output, watch, passes);
}

std::string videoEncoderName(const ConverterOptions& options, const AVOutputFormat* format) {
    return findEncoder(options.videoCodec, AVMEDIA_TYPE_VIDEO, format->video_codec)->name;
}

}  // namespace vidmill
