#include "converter/output_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "converter/convert_error.h"
#include "converter/process_guard.h"

namespace vidmill {

OutputFile::OutputFile(std::string path, const std::string& container) : path_(std::move(path)) {
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
    if (!overwrite && ::stat(path_.c_str(), &info) == 0) {
        throw ConvertError(exit_code::kOutputFailed,
                           "the output '" + path_ + "' exists (-y allows replacing it)");
    }
    // The "file:" prefix keeps names such as "clip:1.avi" from being read as a protocol.
    const std::string url = "file:" + path_;
    const int opened = avio_open2(&context_->pb, url.c_str(), AVIO_FLAG_WRITE, nullptr, nullptr);
    if (opened < 0) {
        throw ConvertError(exit_code::kOutputFailed,
                           "cannot create the output '" + path_ + "': " + avErrorText(opened));
    }
    created_ = true;
    armOutputRemoval(path_.c_str());
}

int OutputFile::writeHeader() {
    const int written = avformat_write_header(context_.get(), nullptr);
    headerWritten_ = written >= 0;
    return written;
}

void OutputFile::writePacket(AVPacket* packet) {
    const AVStream* stream = context_->streams[packet->stream_index];
    const std::int64_t stamp = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
    if (stamp != AV_NOPTS_VALUE) {
        const double end =
            static_cast<double>(stamp + std::max<std::int64_t>(packet->duration, 0)) *
            av_q2d(stream->time_base);
        writtenSeconds_ = std::max(writtenSeconds_, end);
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
    kept_ = true;
    disarmOutputRemoval();
}

std::int64_t OutputFile::bytesWritten() const {
    return context_->pb != nullptr ? avio_tell(context_->pb) : closedSize_;
}

void OutputFile::discard() {
    if (context_->pb != nullptr) {
        avio_closep(&context_->pb);
    }
    ::unlink(path_.c_str());
    disarmOutputRemoval();
}

}  // namespace vidmill
