#include "converter/pipeline/picture_survey.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "converter/av_handles.h"
#include "converter/pipeline/filter_chain.h"

namespace vidmill {

namespace {

// Where the survey looks, as shares of the length.
constexpr double kPoints[] = {0.1, 0.3, 0.5, 0.7, 0.9};
constexpr int kFramesPerPoint = 8;
// Decoded pictures before a point that are passed over when reading on to
// it; beyond that they are taken.
constexpr int kMostSkipped = 300;
constexpr int kMostPackets = 4000;
// Rows and columns are judged by their average brightness in full range,
// where the bars of limited-range video sit at 0. A bar is dark in every
// picture measured: a little noise and its soft inner edge stay under this.
constexpr long kDarkLimit = 32;
// And it is black in most of them, as ffmpeg's cropdetect takes black (24
// in limited range): a dark colour at the picture's edge is no bar.
constexpr long kBlackLimit = 9;
// Thinner bars than this, or than a fiftieth of the side, are left: an edge
// of dark pixels is no bar.
constexpr int kLeastBar = 4;

// The part of the picture that is not black, over every picture measured.
struct Content {
    int width = 0;
    int height = 0;
    int top = -1;  // -1: nothing measured yet
    int bottom = 0;
    int left = 0;
    int right = 0;
    // Per row and column: in how many of the pictures measured it was black.
    int pictures = 0;
    std::vector<int> blackRows;
    std::vector<int> blackColumns;

    void add(const AVFrame& gray) {
        const int w = gray.width;
        const int h = gray.height;
        if (width != w || height != h) {
            *this = Content{};  // the picture changed size: only the last size counts
            width = w;
            height = h;
            blackRows.assign(std::size_t(h), 0);
            blackColumns.assign(std::size_t(w), 0);
        }
        std::vector<long> rows(static_cast<std::size_t>(h), 0);
        for (int y = 0; y < h; ++y) {
            const std::uint8_t* line = gray.data[0] + std::ptrdiff_t(y) * gray.linesize[0];
            for (int x = 0; x < w; ++x) {
                rows[std::size_t(y)] += line[x];
            }
        }
        int first = 0;
        while (first < h && rows[std::size_t(first)] <= kDarkLimit * w) {
            ++first;
        }
        if (first == h) {
            return;  // a dark picture tells nothing
        }
        int last = h - 1;
        while (last > first && rows[std::size_t(last)] <= kDarkLimit * w) {
            --last;
        }
        std::vector<long> columns(static_cast<std::size_t>(w), 0);
        for (int y = first; y <= last; ++y) {
            const std::uint8_t* line = gray.data[0] + std::ptrdiff_t(y) * gray.linesize[0];
            for (int x = 0; x < w; ++x) {
                columns[std::size_t(x)] += line[x];
            }
        }
        const int tall = last - first + 1;
        int firstColumn = 0;
        while (firstColumn < w && columns[std::size_t(firstColumn)] <= kDarkLimit * tall) {
            ++firstColumn;
        }
        int lastColumn = w - 1;
        while (lastColumn > firstColumn && columns[std::size_t(lastColumn)] <= kDarkLimit * tall) {
            --lastColumn;
        }
        ++pictures;
        for (int y = 0; y < h; ++y) {
            blackRows[std::size_t(y)] += rows[std::size_t(y)] <= kBlackLimit * w;
        }
        for (int x = 0; x < w; ++x) {
            blackColumns[std::size_t(x)] += columns[std::size_t(x)] <= kBlackLimit * tall;
        }
        if (top < 0) {
            top = first;
            bottom = last;
            left = firstColumn;
            right = lastColumn;
            return;
        }
        // A picture that shows more decides: the largest one is kept.
        top = std::min(top, first);
        bottom = std::max(bottom, last);
        left = std::min(left, firstColumn);
        right = std::max(right, lastColumn);
    }

    // The bar of the `dark` lines at one edge, as far as most pictures find
    // its lines black; none when it is too thin to be one.
    int bar(int dark, const std::vector<int>& black, bool fromEnd) const {
        const int side = int(black.size());
        int size = 0;
        while (size < dark && 2 * black[std::size_t(fromEnd ? side - 1 - size : size)] > pictures) {
            ++size;
        }
        return size < std::max(kLeastBar, side / 50) ? 0 : size;
    }

    std::optional<CropRect> crop() const {
        if (top < 0) {
            return std::nullopt;
        }
        const int x0 = bar(left, blackColumns, false) / 2 * 2;
        const int y0 = bar(top, blackRows, false) / 2 * 2;
        const int x1 = (width - bar(width - 1 - right, blackColumns, true) + 1) / 2 * 2;
        const int y1 = (height - bar(height - 1 - bottom, blackRows, true) + 1) / 2 * 2;
        if (x0 == 0 && y0 == 0 && x1 >= width && y1 >= height) {
            return std::nullopt;
        }
        return CropRect{std::min(x1, width) - x0, std::min(y1, height) - y0, x0, y0};
    }
};

}  // namespace

std::optional<CropRect> findBars(const MediaInput& source, const std::string& path,
                                 const ConversionStop& stop) {
    if (source.videoStream() < 0) {
        return std::nullopt;
    }
    // A pipe read a second time would lose its data for the conversion.
    if (!source.source().seekable()) {
        return std::nullopt;
    }
    std::optional<MediaInput> input = MediaInput::open(
        path, stop, MediaInput::Examination::HeaderWhenEnough, source.source().descriptor());
    if (!input) {
        return std::nullopt;
    }
    AVFormatContext* context = input->context();
    const int index = input->videoStream();
    AVStream* stream = context->streams[index];
    for (unsigned i = 0; i < context->nb_streams; ++i) {
        context->streams[i]->discard = int(i) == index ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
    }
    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    CodecContextPtr decoder(avcodec_alloc_context3(codec));
    if (codec == nullptr || !decoder ||
        avcodec_parameters_to_context(decoder.get(), stream->codecpar) < 0) {
        return std::nullopt;
    }
    decoder->pkt_timebase = stream->time_base;
    if (avcodec_open2(decoder.get(), codec, nullptr) < 0) {
        return std::nullopt;
    }

    Content content;
    std::optional<FilterChain> chain;
    FramePtr decoded = makeFrame();
    FramePtr measured = makeFrame();
    PacketPtr packet = makePacket();
    auto measure = [&](AVFrame* frame) {
        if (chain && !chain->accepts(*frame)) {
            chain.reset();
        }
        if (!chain) {
            chain.emplace(FilterChain::forVideo(*frame, stream->time_base, "format=gray"));
        }
        if (chain->push(frame) < 0) {
            return;
        }
        while (chain->pull(measured.get()) >= 0) {
            content.add(*measured);
            av_frame_unref(measured.get());
        }
    };

    const double seconds = input->durationSeconds();
    const bool spread = seconds > 0.0 && input->source().seekable();
    std::vector<double> points = {0.0};
    if (spread) {
        points.clear();
        for (const double share : kPoints) {
            points.push_back(share * seconds);
        }
    }
    // Where the last picture decoded lies, in the stream's time base.
    std::int64_t reached = AV_NOPTS_VALUE;
    for (const double point : points) {
        if (stop.asked()) {
            break;
        }
        const std::int64_t wanted =
            av_rescale_q(std::int64_t(point * AV_TIME_BASE), AV_TIME_BASE_Q, stream->time_base) +
            (stream->start_time != AV_NOPTS_VALUE ? stream->start_time : 0);
        // A seek lands on the key frame before the point, which may lie 10 s
        // before it: the pictures from there on are taken, as decoding all
        // the way to each point would cost a fifth of a minute's conversion.
        // When that key frame lies before where the last point ended, the
        // same pictures would come again: reading on to the point costs less.
        const int key = av_index_search_timestamp(stream, wanted, AVSEEK_FLAG_BACKWARD);
        const bool readOn = reached != AV_NOPTS_VALUE && reached <= wanted && key >= 0 &&
                            avformat_index_get_entry(stream, key)->timestamp <= reached;
        const int mostSkipped = point > 0.0 && !readOn ? 0 : kMostSkipped;
        if (point > 0.0 && !readOn) {
            const std::int64_t at = input->startTime() + std::int64_t(point * AV_TIME_BASE);
            if (av_seek_frame(context, -1, at, AVSEEK_FLAG_BACKWARD) < 0) {
                continue;
            }
            avcodec_flush_buffers(decoder.get());
        }
        int taken = 0;
        int skipped = 0;
        for (int packets = 0; taken < kFramesPerPoint && packets < kMostPackets; ++packets) {
            const bool more = av_read_frame(context, packet.get()) >= 0;
            if (more && packet->stream_index != index) {
                av_packet_unref(packet.get());
                continue;
            }
            // Pictures that nothing refers to are left undecoded on the way.
            decoder->skip_frame = more && skipped < mostSkipped && packet->pts != AV_NOPTS_VALUE &&
                                          packet->pts < wanted
                                      ? AVDISCARD_NONREF
                                      : AVDISCARD_DEFAULT;
            avcodec_send_packet(decoder.get(), more ? packet.get() : nullptr);
            av_packet_unref(packet.get());
            while (taken < kFramesPerPoint &&
                   avcodec_receive_frame(decoder.get(), decoded.get()) >= 0) {
                const std::int64_t pts = decoded->best_effort_timestamp;
                reached = pts;
                if (pts != AV_NOPTS_VALUE && pts < wanted && skipped < mostSkipped) {
                    ++skipped;
                } else {
                    measure(decoded.get());
                    ++taken;
                }
                av_frame_unref(decoded.get());
            }
            if (!more) {
                break;
            }
        }
    }
    return content.crop();
}

}  // namespace vidmill
