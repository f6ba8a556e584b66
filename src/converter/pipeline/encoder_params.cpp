#include "converter/pipeline/encoder_params.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace vidmill {

namespace {

// MPEG-4 part 2 stores the time base in 16 bits; other muxers are happy too.
constexpr int kMaxRateTerm = 65535;
// How far a requested rate may lie from a 1001-based one and still be meant as it.
constexpr double kStandardRateSpread = 0.002;

template <typename T, typename End>
bool listContains(const T* list, T value, End isEnd) {
    if (list == nullptr) {
        return false;
    }
    for (; !isEnd(*list); ++list) {
        if (*list == value) {
            return true;
        }
    }
    return false;
}

}  // namespace

AVRational snapToStandardRate(AVRational wanted) {
    static const AVRational kStandardRates[] = {
        {15000, 1001}, {24000, 1001}, {30000, 1001}, {60000, 1001}};
    // A whole rate (30, 60) is meant as it stands.
    if (wanted.num <= 0 || wanted.den <= 0 || wanted.num % wanted.den == 0) {
        return wanted;
    }
    for (const AVRational standard : kStandardRates) {
        if (std::fabs(av_q2d(wanted) / av_q2d(standard) - 1.0) <= kStandardRateSpread) {
            return standard;
        }
    }
    return wanted;
}

AVRational nearestFrameRate(AVRational wanted, const AVCodec* encoder) {
    // MPEG-2 could also code odd rates through its extension fields, but
    // DVD and set-top players take only the rates MPEG-1 knows, and the
    // MPEG-1 encoder names none of its own. In rising order.
    static const AVRational kStandardMpegRates[] = {{24000, 1001}, {24, 1}, {25, 1},
                                                    {30000, 1001}, {30, 1}, {50, 1},
                                                    {60000, 1001}, {60, 1}, {0, 0}};
    AVRational rate = wanted;
    if (encoder->id == AV_CODEC_ID_MPEG1VIDEO || encoder->id == AV_CODEC_ID_MPEG2VIDEO) {
        // The first rate at or above the one wanted: a picture is shown
        // twice rather than one dropped, so the motion stays whole.
        const AVRational* at = kStandardMpegRates;
        while (at[1].num != 0 && av_q2d(*at) < av_q2d(wanted) * (1.0 - kStandardRateSpread)) {
            ++at;
        }
        rate = *at;
    } else if (encoder->supported_framerates != nullptr) {
        rate = encoder->supported_framerates[av_find_nearest_q_idx(wanted,
                                                                   encoder->supported_framerates)];
    }
    if (rate.num > kMaxRateTerm || rate.den > kMaxRateTerm) {
        av_reduce(&rate.num, &rate.den, rate.num, rate.den, kMaxRateTerm);
    }
    return rate;
}

AVPixelFormat choosePixelFormat(const AVCodec* encoder, AVPixelFormat source, bool fullRange) {
    const AVPixelFormat* supported = encoder->pix_fmts;
    if (supported == nullptr) {
        return source != AV_PIX_FMT_NONE ? source : AV_PIX_FMT_YUV420P;
    }
    // Encoders without a full-range form (MPEG-1/2, MPEG-4 part 2, ...) cannot
    // say so in their stream, and players read them as limited range.
    if (fullRange && listContains(supported, AV_PIX_FMT_YUVJ420P,
                                  [](AVPixelFormat f) { return f == AV_PIX_FMT_NONE; })) {
        return AV_PIX_FMT_YUVJ420P;
    }
    // The encoder's own order tells which 4:2:0 form it treats as standard
    // (MJPEG: full range).
    for (const AVPixelFormat* format = supported; *format != AV_PIX_FMT_NONE; ++format) {
        if (*format == AV_PIX_FMT_YUV420P || *format == AV_PIX_FMT_YUVJ420P) {
            return *format;
        }
    }
    if (source != AV_PIX_FMT_NONE) {
        const AVPixelFormat best = avcodec_find_best_pix_fmt_of_list(supported, source, 0, nullptr);
        if (best != AV_PIX_FMT_NONE) {
            return best;
        }
    }
    return supported[0];
}

bool isFullRange(AVPixelFormat format, AVColorRange range) {
    switch (format) {
        case AV_PIX_FMT_YUVJ420P:
        case AV_PIX_FMT_YUVJ422P:
        case AV_PIX_FMT_YUVJ444P:
        case AV_PIX_FMT_YUVJ440P:
        case AV_PIX_FMT_YUVJ411P:
            return true;
        default: {
            // RGB pictures are full range by nature; what matters here is
            // whether luma and chroma values are.
            const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(format);
            return range == AVCOL_RANGE_JPEG && descriptor != nullptr &&
                   (descriptor->flags & AV_PIX_FMT_FLAG_RGB) == 0;
        }
    }
}

PictureSize outputFrameSize(std::optional<PictureSize> requested, int sourceWidth, int sourceHeight,
                            AVPixelFormat format) {
    PictureSize size = requested.value_or(PictureSize{sourceWidth, sourceHeight});
    const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(format);
    if (descriptor != nullptr) {
        const int xStep = 1 << descriptor->log2_chroma_w;
        const int yStep = 1 << descriptor->log2_chroma_h;
        size.width = std::max(xStep, size.width / xStep * xStep);
        size.height = std::max(yStep, size.height / yStep * yStep);
    }
    return size;
}

AVRational sampleAspectFor(Ratio aspect, int width, int height) {
    AVRational sar{0, 1};
    av_reduce(&sar.num, &sar.den, static_cast<std::int64_t>(aspect.num) * height,
              static_cast<std::int64_t>(aspect.den) * width, 255);
    return sar;
}

std::vector<int> containerSampleRates(const AVOutputFormat* format, AVCodecID codec) {
    if (format != nullptr && std::strcmp(format->name, "flv") == 0) {
        // FLV flags know only these rates (MP3 at 48 kHz is stored as 44.1).
        if (codec == AV_CODEC_ID_MP3) {
            return {48000, 44100, 22050, 11025};
        }
        return {44100, 22050, 11025};
    }
    return {};
}

bool sampleRateAccepted(int rate, const AVCodec* encoder, const std::vector<int>& containerRates) {
    if (encoder->supported_samplerates != nullptr &&
        !listContains(encoder->supported_samplerates, rate, [](int r) { return r == 0; })) {
        return false;
    }
    if (!containerRates.empty() &&
        std::find(containerRates.begin(), containerRates.end(), rate) == containerRates.end()) {
        return false;
    }
    return true;
}

int nearestSampleRate(int sourceRate, const AVCodec* encoder,
                      const std::vector<int>& containerRates) {
    std::vector<int> candidates;
    if (encoder->supported_samplerates != nullptr) {
        for (const int* rate = encoder->supported_samplerates; *rate != 0; ++rate) {
            candidates.push_back(*rate);
        }
    } else {
        candidates = containerRates;
    }
    if (candidates.empty()) {
        return sourceRate;
    }
    int best = 0;
    for (int rate : candidates) {
        if (!sampleRateAccepted(rate, encoder, containerRates)) {
            continue;
        }
        const long distance = std::labs(static_cast<long>(rate) - sourceRate);
        const long bestDistance = std::labs(static_cast<long>(best) - sourceRate);
        if (best == 0 || distance < bestDistance || (distance == bestDistance && rate > best)) {
            best = rate;
        }
    }
    return best != 0 ? best : candidates.front();
}

bool channelCountAccepted(int channels, const AVCodec* encoder) {
    if (encoder->ch_layouts == nullptr) {
        return true;
    }
    for (const AVChannelLayout* layout = encoder->ch_layouts; layout->nb_channels != 0; ++layout) {
        if (layout->nb_channels == channels) {
            return true;
        }
    }
    return false;
}

void chooseChannelLayout(const AVCodec* encoder, const AVChannelLayout& source,
                         std::optional<int> channels, AVChannelLayout* chosen) {
    const int wanted = channels.value_or(source.nb_channels);
    AVChannelLayout preferred{};
    if (!channels && source.order == AV_CHANNEL_ORDER_NATIVE) {
        av_channel_layout_copy(&preferred, &source);
    } else {
        av_channel_layout_default(&preferred, wanted);
    }
    if (encoder->ch_layouts == nullptr) {
        av_channel_layout_copy(chosen, &preferred);
        av_channel_layout_uninit(&preferred);
        return;
    }
    // The same layout, else the same count, else the most channels below,
    // else the fewest above.
    auto distance = [wanted](int count) {
        return count == wanted ? 0 : count < wanted ? wanted - count : 100 + count - wanted;
    };
    const AVChannelLayout* best = encoder->ch_layouts;
    for (const AVChannelLayout* layout = encoder->ch_layouts; layout->nb_channels != 0; ++layout) {
        if (av_channel_layout_compare(layout, &preferred) == 0) {
            best = layout;
            break;
        }
        if (distance(layout->nb_channels) < distance(best->nb_channels)) {
            best = layout;
        }
    }
    av_channel_layout_copy(chosen, best);
    av_channel_layout_uninit(&preferred);
}

AVSampleFormat chooseSampleFormat(const AVCodec* encoder, AVSampleFormat source) {
    const AVSampleFormat* supported = encoder->sample_fmts;
    if (supported == nullptr) {
        return source;
    }
    auto contains = [supported](AVSampleFormat format) {
        return listContains(supported, format,
                            [](AVSampleFormat f) { return f == AV_SAMPLE_FMT_NONE; });
    };
    if (contains(source)) {
        return source;
    }
    for (AVSampleFormat other :
         {av_get_packed_sample_fmt(source), av_get_planar_sample_fmt(source)}) {
        if (contains(other)) {
            return other;
        }
    }
    const int sourceBytes = av_get_bytes_per_sample(source);
    for (const AVSampleFormat* format = supported; *format != AV_SAMPLE_FMT_NONE; ++format) {
        if (av_get_bytes_per_sample(*format) >= sourceBytes) {
            return *format;
        }
    }
    return supported[0];
}

namespace {

// The encoders with a constant-quality mode and the top of their scale.
struct QualityScale {
    std::string_view encoder;
    int highest;
    int sameQuality;  // what -sameq stands for
};

constexpr QualityScale kQualityScales[] = {
    {"libx264", 51, 18},   {"libx264rgb", 51, 18}, {"libx265", 51, 20},
    {"libsvtav1", 63, 24}, {"libvpx-vp9", 63, 20},
};

const QualityScale* qualityScale(std::string_view encoder) {
    for (const QualityScale& scale : kQualityScales) {
        if (scale.encoder == encoder) {
            return &scale;
        }
    }
    return nullptr;
}

}  // namespace

std::optional<EncoderOption> constantQualityFor(std::string_view encoder, int crf) {
    const QualityScale* scale = qualityScale(encoder);
    if (scale == nullptr) {
        return std::nullopt;
    }
    return EncoderOption{"crf", std::to_string(std::clamp(crf, 0, scale->highest))};
}

std::optional<int> sameQualityCrf(std::string_view encoder) {
    const QualityScale* scale = qualityScale(encoder);
    return scale != nullptr ? std::optional<int>(scale->sameQuality) : std::nullopt;
}

std::vector<EncoderOption> encoderTuning(std::string_view encoder, int threads) {
    const std::string share = std::to_string(std::max(threads, 1));
    // Each keeps a 720p picture well above a third of real time on two
    // cores while losing little against the encoder's slower presets.
    if (encoder == "libx265") {
        // x265 writes its banner and statistics straight to stderr, where the
        // engine looks for the reason of a failure; its frame threads follow the pool.
        return {{"preset", "fast"}, {"x265-params", "log-level=error:pools=" + share}};
    }
    if (encoder == "libsvtav1") {
        return {{"preset", "8"}, {"svtav1-params", "lp=" + share}};
    }
    if (encoder == "libvpx-vp9") {
        // "good" with cpu-used 4 is the fastest of the good-quality speeds
        // here; row-mt lets the threads share a tile column.
        return {{"deadline", "good"}, {"cpu-used", "4"}, {"row-mt", "1"}, {"threads", share}};
    }
    return {};
}

PassLogKind passLogOf(std::string_view encoder) {
    if (encoder == "libx264" || encoder == "libx264rgb") {
        return PassLogKind::OwnFile;
    }
    if (encoder == "libx265") {
        return PassLogKind::X265Params;
    }
    // libavcodec's own MPEG family and libvpx keep their log in stats_out.
    for (std::string_view name : {"mpeg4", "mpeg1video", "mpeg2video", "msmpeg4v2", "msmpeg4",
                                  "wmv1", "wmv2", "h263", "h263p", "flv", "libvpx", "libvpx-vp9"}) {
        if (encoder == name) {
            return PassLogKind::StatsText;
        }
    }
    return PassLogKind::None;
}

double leastBitsOfLog(const std::string& log, int qmax) {
    // One picture per entry: "in:N out:N type:T q:LAMBDA itex:B ptex:B mv:B
    // misc:B ...;". The last entry may come twice (once more at the end).
    std::map<long, double> pictures;
    std::size_t start = 0;
    const double lambdaMax = double(qmax) * FF_QP2LAMBDA;
    while (start < log.size()) {
        std::size_t end = log.find(';', start);
        if (end == std::string::npos) {
            end = log.size();
        }
        const std::string entry = log.substr(start, end - start);
        start = end + 1;
        long in = 0;
        long out = 0;
        int type = 0;
        long q = 0;
        long itex = 0;
        long ptex = 0;
        long mv = 0;
        long misc = 0;
        if (std::sscanf(entry.c_str(),
                        " in:%ld out:%ld type:%d q:%ld itex:%ld ptex:%ld mv:%ld misc:%ld", &in,
                        &out, &type, &q, &itex, &ptex, &mv, &misc) != 8) {
            continue;
        }
        pictures[in] = double(itex + ptex) * double(q) / lambdaMax + double(mv + misc);
    }
    double total = 0.0;
    for (const auto& [in, bits] : pictures) {
        total += bits;
    }
    return total;
}

std::string escapedOptionValue(std::string_view text) {
    std::string escaped;
    for (const char c : text) {
        if (c == '\\' || c == '\'' || c == ':' || c == '=') {
            escaped += '\\';
        }
        escaped += c;
    }
    return escaped;
}

}  // namespace vidmill
