#include "converter/input/silence_source.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>

#include "converter/convert_error.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace vidmill {

namespace {

constexpr int kRate = 48000;
constexpr int kChannels = 2;

// A 16-bit stereo WAV header whose sizes say "as long as it goes on".
std::array<std::uint8_t, 44> wavHeader() {
    std::array<std::uint8_t, 44> header{};
    auto put = [&](std::size_t at, const char* text) { std::memcpy(&header[at], text, 4); };
    auto number = [&](std::size_t at, std::uint32_t value, int bytes) {
        for (int i = 0; i < bytes; ++i) {
            header[at + std::size_t(i)] = std::uint8_t(value >> (8 * i));
        }
    };
    put(0, "RIFF");
    number(4, 0xFFFFFFFFu, 4);
    put(8, "WAVE");
    put(12, "fmt ");
    number(16, 16, 4);
    number(20, 1, 2);  // PCM
    number(22, kChannels, 2);
    number(24, kRate, 4);
    number(28, kRate * kChannels * 2, 4);
    number(32, kChannels * 2, 2);
    number(34, 16, 2);
    put(36, "data");
    number(40, 0xFFFFFFFFu, 4);
    return header;
}

}  // namespace

SilenceSource::SilenceSource() {
    const AVInputFormat* wav = av_find_input_format("wav");
    if (wav == nullptr) {
        throw ConvertError(exit_code::kEncoderFailed, "the WAV demuxer is missing");
    }
    constexpr int kBufferSize = 16 * 1024;
    auto* buffer = static_cast<unsigned char*>(av_malloc(kBufferSize));
    if (buffer == nullptr) {
        throw std::bad_alloc();
    }
    io_.reset(avio_alloc_context(buffer, kBufferSize, 0, this, &SilenceSource::readBytes, nullptr,
                                 nullptr));
    if (!io_) {
        av_free(buffer);
        throw std::bad_alloc();
    }
    io_->seekable = 0;
    AVFormatContext* raw = avformat_alloc_context();
    if (raw == nullptr) {
        throw std::bad_alloc();
    }
    raw->pb = io_.get();
    raw->flags |= AVFMT_FLAG_CUSTOM_IO;
    // The header's 4 GB would end the silence after six hours.
    AVDictionary* rawOptions = nullptr;
    av_dict_set(&rawOptions, "ignore_length", "1", 0);
    const int opened = avformat_open_input(&raw, nullptr, wav, &rawOptions);
    av_dict_free(&rawOptions);
    if (opened < 0) {  // avformat_open_input freed the context
        throw ConvertError(exit_code::kEncoderFailed,
                           describeFailure("cannot make silence", opened));
    }
    context_.reset(raw);
}

int SilenceSource::readBytes(void* opaque, std::uint8_t* buffer, int size) {
    auto* self = static_cast<SilenceSource*>(opaque);
    static const std::array<std::uint8_t, 44> header = wavHeader();
    std::memset(buffer, 0, std::size_t(size));
    if (self->offset_ < std::int64_t(header.size())) {
        const std::size_t from = std::size_t(self->offset_);
        std::memcpy(buffer, header.data() + from,
                    std::min(std::size_t(size), header.size() - from));
    }
    self->offset_ += size;
    return size;
}

void SilenceSource::read(AVPacket* packet) {
    if (av_read_frame(context_.get(), packet) < 0) {
        throw ConvertError(exit_code::kEncoderFailed, "cannot make silence");
    }
    const AVStream* stream = context_->streams[packet->stream_index];
    if (packet->pts == AV_NOPTS_VALUE) {
        throw ConvertError(exit_code::kEncoderFailed, "cannot make silence");
    }
    endSeconds_ = double(packet->pts + packet->duration) * av_q2d(stream->time_base);
}

}  // namespace vidmill
