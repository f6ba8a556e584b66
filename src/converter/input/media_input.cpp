#include "converter/input/media_input.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "converter/convert_error.h"
#include "converter/input/live_playlist.h"

namespace vidmill {

namespace {

int interruptCallback(void* opaque) {
    const auto* stopCheck = static_cast<const FileSource::StopCheck*>(opaque);
    return *stopCheck && (*stopCheck)() ? 1 : 0;
}

// Local files only: "crypto" decrypts a local segment, "data" reads a data:
// URI written in a playlist; nothing here reaches the network.
constexpr const char* kInputProtocols = "file,crypto,data";

bool isDecodable(const AVStream* stream) {
    const AVCodecParameters* par = stream->codecpar;
    if (avcodec_find_decoder(par->codec_id) == nullptr) {
        return false;
    }
    if (par->codec_type == AVMEDIA_TYPE_VIDEO) {
        // A cover picture in a music file is no video.
        return (stream->disposition & AV_DISPOSITION_ATTACHED_PIC) == 0 && par->width > 0 &&
               par->height > 0;
    }
    if (par->codec_type == AVMEDIA_TYPE_AUDIO) {
        return par->sample_rate > 0 && par->ch_layout.nb_channels > 0;
    }
    return false;
}

// The stream av_find_best_stream likes best among the decodable ones.
int bestStream(AVFormatContext* context, AVMediaType type) {
    int best = av_find_best_stream(context, type, -1, -1, nullptr, 0);
    if (best >= 0 && isDecodable(context->streams[best])) {
        return best;
    }
    for (unsigned i = 0; i < context->nb_streams; ++i) {
        if (context->streams[i]->codecpar->codec_type == type && isDecodable(context->streams[i])) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

// A live stream's playlist would have the demuxer wait for new segments for
// minutes; it is told by its text before the demuxer opens it. The format is
// probed here the way avformat_open_input probes it, which then finds the
// data read for this in the I/O context's buffer.
void refuseLivePlaylist(const FileSource& source, const std::string& path) {
    const AVInputFormat* format = nullptr;
    if (av_probe_input_buffer2(source.io(), &format, path.c_str(), nullptr, 0, 0) < 0 ||
        !readsStreamingPlaylists(format)) {
        return;  // avformat_open_input probes again and says what is wrong
    }
    if (!source.seekable()) {
        throw ConvertError(exit_code::kUnusableMedia,
                           "a streaming playlist is read from a file only, not from a pipe");
    }
    if (isLivePlaylist(format, path)) {
        throw ConvertError(exit_code::kUnusableMedia,
                           "the input is the playlist of a live stream, which has no end");
    }
}

}  // namespace

bool headerDescribesMedia(const AVFormatContext* context) {
    if ((context->ctx_flags & AVFMTCTX_NOHEADER) != 0 || context->duration == AV_NOPTS_VALUE ||
        context->duration <= 0) {
        return false;
    }
    bool any = false;
    for (unsigned i = 0; i < context->nb_streams; ++i) {
        const AVStream* stream = context->streams[i];
        const AVMediaType type = stream->codecpar->codec_type;
        if ((type != AVMEDIA_TYPE_VIDEO && type != AVMEDIA_TYPE_AUDIO) ||
            (stream->disposition & AV_DISPOSITION_ATTACHED_PIC) != 0) {
            continue;
        }
        if (!isDecodable(stream)) {
            return false;
        }
        any = true;
    }
    return any;
}

std::optional<MediaInput> MediaInput::open(const std::string& path, const ConversionStop& stop,
                                           Examination examination, int sameFile) {
    MediaInput input;
    input.source_ = FileSource::open(
        path, [&stop] { return stop.asked(); }, FileSource::kStallTimeout, sameFile);
    // Before the context exists: nothing is left to free when it refuses.
    refuseLivePlaylist(*input.source_, path);

    AVFormatContext* raw = avformat_alloc_context();
    if (raw == nullptr) {
        throw std::bad_alloc();
    }
    raw->pb = input.source_->io();
    raw->flags |= AVFMT_FLAG_CUSTOM_IO;
    // The check is owned by the source, which lives as long as the context.
    raw->interrupt_callback.callback = interruptCallback;
    raw->interrupt_callback.opaque =
        const_cast<FileSource::StopCheck*>(&input.source_->stopCheck());
    // A playlist or reference file inside the input may point at other local
    // files (encrypted ones, or data: URIs inline), never at the network.
    AVDictionary* rawOptions = nullptr;
    av_dict_set(&rawOptions, "protocol_whitelist", kInputProtocols, 0);
    DictionaryPtr options(rawOptions);

    rawOptions = options.release();
    const int opened = avformat_open_input(&raw, path.c_str(), nullptr, &rawOptions);
    options.reset(rawOptions);
    if (opened < 0) {  // avformat_open_input freed the context
        if (input.source_->stopped() || opened == AVERROR_EXIT) {
            return std::nullopt;  // stopped before the input was open
        }
        if (input.source_->readErrno() != 0) {
            throw ConvertError(
                exit_code::kInputFailed,
                "cannot read the input: " + std::string(std::strerror(input.source_->readErrno())));
        }
        if (input.source_->stalled()) {
            throw ConvertError(exit_code::kInputStalled,
                               "the input delivered no data for too long");
        }
        throw ConvertError(exit_code::kUnusableMedia,
                           describeFailure("not a media file that can be read", opened));
    }
    input.context_.reset(raw);

    const bool headerWillDo =
        examination == Examination::HeaderWhenEnough && headerDescribesMedia(raw);
    const int found = headerWillDo ? 0 : avformat_find_stream_info(raw, nullptr);
    if (input.source_->stalled()) {
        throw ConvertError(exit_code::kInputStalled, "the input delivered no data for too long");
    }
    if (input.source_->stopped() || stop.asked()) {
        return std::nullopt;  // stopped while the input was examined
    }
    if (found < 0) {
        throw ConvertError(exit_code::kUnusableMedia,
                           describeFailure("cannot find the streams of the input", found));
    }
    input.pickStreams();
    if (input.videoStream_ < 0 && input.audioStream_ < 0) {
        throw ConvertError(exit_code::kUnusableMedia,
                           "the input holds no video or audio stream that can be decoded");
    }
    return input;
}

void MediaInput::pickStreams() {
    videoStream_ = bestStream(context_.get(), AVMEDIA_TYPE_VIDEO);
    audioStream_ = bestStream(context_.get(), AVMEDIA_TYPE_AUDIO);
}

std::vector<int> MediaInput::audioStreams() const {
    std::vector<int> streams;
    for (unsigned i = 0; i < context_->nb_streams; ++i) {
        const AVStream* stream = context_->streams[i];
        if (stream->codecpar->codec_type == AVMEDIA_TYPE_AUDIO && isDecodable(stream)) {
            streams.push_back(static_cast<int>(i));
        }
    }
    return streams;
}

std::vector<int> MediaInput::subtitleStreams() const {
    std::vector<int> streams;
    for (unsigned i = 0; i < context_->nb_streams; ++i) {
        if (context_->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_SUBTITLE) {
            streams.push_back(static_cast<int>(i));
        }
    }
    return streams;
}

double MediaInput::durationSeconds() const {
    const AVFormatContext* context = context_.get();
    if (context->duration != AV_NOPTS_VALUE && context->duration > 0) {
        return static_cast<double>(context->duration) / AV_TIME_BASE;
    }
    double longest = 0.0;
    for (int index : {videoStream_, audioStream_}) {
        if (index < 0) {
            continue;
        }
        const AVStream* stream = context->streams[index];
        if (stream->duration != AV_NOPTS_VALUE && stream->duration > 0) {
            longest = std::max(longest,
                               static_cast<double>(stream->duration) * av_q2d(stream->time_base));
        }
    }
    return longest;
}

std::int64_t MediaInput::startTime() const {
    const std::int64_t start = context_->start_time;
    return start == AV_NOPTS_VALUE ? 0 : start;
}

}  // namespace vidmill
