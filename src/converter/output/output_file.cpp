#include "converter/output/output_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

#include "converter/convert_error.h"
#include "converter/input/media_input.h"
#include "converter/output/quicktime_location.h"
#include "converter/process_guard.h"

namespace vidmill {

namespace {

// How far the read-back length may stray from the written one: containers
// round, pad and add their own delays (an MPEG program stream's preload,
// AAC's priming, ASF's preroll), but a file cut short or a lost stream
// misses far more.
constexpr double kLengthSpareSeconds = 2.0;
constexpr double kLengthSpareShare = 0.25;

const char* kindOf(AVMediaType type) {
    const char* name = av_get_media_type_string(type);
    return name != nullptr ? name : "unknown";
}

}  // namespace

OutputFile::OutputFile(std::string path, const std::string& container, int descriptor)
    : path_(std::move(path)),
      openPath_(descriptor >= 0 ? "/proc/self/fd/" + std::to_string(descriptor) : path_),
      descriptor_(descriptor) {
    AVFormatContext* raw = nullptr;
    const int made = avformat_alloc_output_context2(
        &raw, nullptr, container.empty() ? nullptr : container.c_str(), path_.c_str());
    if (made < 0 || raw == nullptr) {
        if (made == AVERROR(ENOMEM)) {
            throw std::bad_alloc();
        }
        throw ConvertError(exit_code::kOutputFailed,
                           container.empty()
                               ? "no output format is known for the name '" + path_ + "'"
                               : "unknown output format '" + container + "'");
    }
    context_.reset(raw);
}

OutputFile::~OutputFile() {
    if (created_ && !kept_) {
        discard();
    }
}

AVStream* OutputFile::addStream() {
    AVStream* stream = avformat_new_stream(context_.get(), nullptr);
    if (stream == nullptr) {
        throw std::bad_alloc();
    }
    return stream;
}

void OutputFile::create(bool overwrite) {
    if ((format()->flags & AVFMT_NOFILE) != 0) {
        throw ConvertError(
            exit_code::kOutputFailed,
            std::string("the output format '") + format()->name + "' does not write a file");
    }
    struct stat info {};
    if (descriptor_ >= 0) {
        // Whoever opened it made it for us: it must be a file, and it is ours to fill.
        if (::fstat(descriptor_, &info) != 0 || !S_ISREG(info.st_mode)) {
            throw ConvertError(exit_code::kOutputFailed,
                               "the output '" + path_ + "' was not handed over as an open file");
        }
    } else if (!overwrite && ::stat(path_.c_str(), &info) == 0) {
        throw ConvertError(exit_code::kOutputFailed,
                           "the output '" + path_ + "' exists (-y allows replacing it)");
    }
    // The "file:" prefix keeps names such as "clip:1.avi" from being read as a protocol.
    const std::string url = "file:" + openPath_;
    const int opened = avio_open2(&context_->pb, url.c_str(), AVIO_FLAG_WRITE, nullptr, nullptr);
    if (opened < 0) {
        throw ConvertError(exit_code::kOutputFailed,
                           "cannot create the output '" + path_ + "': " + avErrorText(opened));
    }
    created_ = true;
    armOutputRemoval(path_.c_str(), descriptor_);
}

int OutputFile::writeHeader() {
    const int written = avformat_write_header(context_.get(), nullptr);
    headerWritten_ = written >= 0;
    return written;
}

void OutputFile::writePacket(AVPacket* packet) {
    const AVStream* stream = context_->streams[packet->stream_index];
    const auto index = static_cast<std::size_t>(packet->stream_index);
    if (packetsWritten_.size() <= index) {
        packetsWritten_.resize(index + 1, 0);
    }
    ++packetsWritten_[index];
    const std::int64_t stamp = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
    if (stamp != AV_NOPTS_VALUE) {
        const double end =
            static_cast<double>(stamp + std::max<std::int64_t>(packet->duration, 0)) *
            av_q2d(stream->time_base);
        // A subtitle tells nothing of how far the conversion has come: it
        // comes early and may stay on screen past the last picture.
        double& reached = stream->codecpar->codec_type == AVMEDIA_TYPE_SUBTITLE
                              ? subtitlesEndSeconds_
                              : writtenSeconds_;
        reached = std::max(reached, end);
    }
    if (discarding_) {
        ++discarded_.packets;
        if (stream->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
            discarded_.soundBytes += packet->size;
        }
        av_packet_unref(packet);
        return;
    }
    const LibavLogMark mark = libavLogMark();
    const int written = av_interleaved_write_frame(context_.get(), packet);
    if (written < 0) {
        // The system's reason ("No space left on device") is what the user needs to read.
        throw ConvertError(
            exit_code::kOutputFailed,
            describeFailure("cannot write the output '" + path_ + "'", written, mark));
    }
}

void OutputFile::close() {
    if (!headerWritten_) {
        throw ConvertError(exit_code::kOutputFailed, "the output '" + path_ + "' was never begun");
    }
    const LibavLogMark mark = libavLogMark();
    int result = av_write_trailer(context_.get());
    if (context_->pb != nullptr) {
        avio_flush(context_->pb);
        closedSize_ = avio_size(context_->pb);
        if (result >= 0 && context_->pb->error < 0) {
            result = context_->pb->error;
        }
        const int closed = avio_closep(&context_->pb);
        if (result >= 0 && closed < 0) {
            result = closed;
        }
    }
    if (result < 0) {
        throw ConvertError(
            exit_code::kOutputFailed,
            describeFailure("cannot finish the output '" + path_ + "'", result, mark));
    }
    // The MP4 muxers leave the place out; QuickTime's own writes it.
    if (std::strcmp(format()->name, "mp4") == 0 || std::strcmp(format()->name, "psp") == 0) {
        if (const AVDictionaryEntry* place =
                av_dict_get(context_->metadata, "location", nullptr, 0)) {
            addQuickTimeLocation(openPath_, path_, place->value);
        }
    }
    checkReadBack();
    kept_ = true;
    disarmOutputRemoval();
}

void OutputFile::checkReadBack() const {
    std::int64_t packets = 0;
    for (std::int64_t count : packetsWritten_) {
        packets += count;
    }
    if (packets == 0) {
        return;  // stopped before the first frame: there is nothing to find
    }
    const LibavLogMark mark = libavLogMark();
    AVDictionary* rawOptions = nullptr;
    av_dict_set(&rawOptions, "protocol_whitelist", "file", 0);
    AVFormatContext* raw = nullptr;
    const std::string url = "file:" + openPath_;
    const int opened = avformat_open_input(&raw, url.c_str(), nullptr, &rawOptions);
    av_dict_free(&rawOptions);
    const std::string what = "the finished output '" + path_ + "'";
    if (opened < 0) {
        throw ConvertError(exit_code::kOutputFailed,
                           describeFailure(what + " cannot be read back", opened, mark));
    }
    const InputFormatPtr input(raw);
    // Decoding the first pictures would prove nothing more: the search
    // does not fail on data it cannot decode.
    const int found = headerDescribesMedia(raw) ? 0 : avformat_find_stream_info(raw, nullptr);
    if (found < 0) {
        throw ConvertError(exit_code::kOutputFailed,
                           describeFailure(what + " cannot be read back", found, mark));
    }
    // A kind of stream that was written to and is not found: none, or
    // AVMEDIA_TYPE_UNKNOWN.
    auto missingKind = [this, raw] {
        for (const AVMediaType type :
             {AVMEDIA_TYPE_VIDEO, AVMEDIA_TYPE_AUDIO, AVMEDIA_TYPE_SUBTITLE}) {
            int written = 0;
            for (std::size_t i = 0; i < packetsWritten_.size(); ++i) {
                written +=
                    packetsWritten_[i] > 0 && context_->streams[i]->codecpar->codec_type == type;
            }
            int present = 0;
            for (unsigned i = 0; i < raw->nb_streams; ++i) {
                present += raw->streams[i]->codecpar->codec_type == type;
            }
            if (present < written) {
                return type;
            }
        }
        return AVMEDIA_TYPE_UNKNOWN;
    };
    // Some containers (FLV, MPEG program streams) show a stream only with its
    // first packet, which may come late: a picture held over a long sound
    // is written once the next picture tells how long it lasts.
    if (missingKind() != AVMEDIA_TYPE_UNKNOWN && (raw->ctx_flags & AVFMTCTX_NOHEADER) != 0) {
        const PacketPtr packet = makePacket();
        while (missingKind() != AVMEDIA_TYPE_UNKNOWN && av_read_frame(raw, packet.get()) >= 0) {
            av_packet_unref(packet.get());
        }
    }
    if (const AVMediaType missing = missingKind(); missing != AVMEDIA_TYPE_UNKNOWN) {
        throw ConvertError(exit_code::kOutputFailed,
                           what + " lacks the " + kindOf(missing) + " stream written into it");
    }
    // Some containers (raw streams) keep no length: the demuxer guesses one
    // from the bitrate, which says nothing about the file's health.
    if (raw->duration == AV_NOPTS_VALUE || raw->duration <= 0 ||
        raw->duration_estimation_method == AVFMT_DURATION_FROM_BITRATE) {
        return;
    }
    const std::int64_t start = raw->start_time == AV_NOPTS_VALUE ? 0 : raw->start_time;
    const double end = static_cast<double>(start + raw->duration) / AV_TIME_BASE;
    const double spare = std::max(kLengthSpareSeconds, kLengthSpareShare * writtenSeconds_);
    // Containers that count the subtitles into their length may last until the last one ends.
    const double longest = std::max(writtenSeconds_, subtitlesEndSeconds_);
    if (std::abs(end - writtenSeconds_) > spare && std::abs(end - longest) > spare) {
        char text[160];
        std::snprintf(text, sizeof text, " lasts %.1f s instead of the %.1f s written", end,
                      writtenSeconds_);
        throw ConvertError(exit_code::kOutputFailed, what + text);
    }
}

std::int64_t OutputFile::bytesWritten() const {
    return context_->pb != nullptr ? avio_tell(context_->pb) : closedSize_;
}

void OutputFile::remove() {
    removeOutput(path_.c_str(), descriptor_);
}

void OutputFile::discard() {
    if (context_->pb != nullptr) {
        avio_closep(&context_->pb);
    }
    removeOutput(path_.c_str(), descriptor_);
    disarmOutputRemoval();
}

}  // namespace vidmill
