#include "converter/pipeline/subtitle_track.h"

#include <cstring>
#include <new>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/mem.h>
}

#include "converter/convert_error.h"

namespace vidmill {

namespace {

// The text codecs a subtitle may be turned into, the most widely read first.
constexpr AVCodecID kTextCodecs[] = {AV_CODEC_ID_SUBRIP, AV_CODEC_ID_ASS, AV_CODEC_ID_WEBVTT,
                                     AV_CODEC_ID_MOV_TEXT};
// Room for one encoded subtitle, as the ffmpeg tool gives it.
constexpr int kSubtitleBufferSize = 1 << 20;
constexpr AVRational kMilliseconds{1, 1000};

bool containerTakes(const AVOutputFormat* format, AVCodecID codec) {
    return avformat_query_codec(format, codec, FF_COMPLIANCE_NORMAL) == 1;
}

bool isText(AVCodecID codec) {
    const AVCodecDescriptor* descriptor = avcodec_descriptor_get(codec);
    return descriptor != nullptr && (descriptor->props & AV_CODEC_PROP_TEXT_SUB) != 0;
}

struct SubtitleDeleter {
    void operator()(AVSubtitle* subtitle) const { avsubtitle_free(subtitle); }
};

class CopiedSubtitles final : public SubtitleTrack {
  public:
    CopiedSubtitles(AVStream* input, OutputFile& output) : SubtitleTrack(input, output) {
        stream_ = output.addStream();
        if (avcodec_parameters_copy(stream_->codecpar, input->codecpar) < 0) {
            throw std::bad_alloc();
        }
        stream_->codecpar->codec_tag = 0;  // the container's own tag for the codec
        stream_->time_base = input->time_base;
    }

    void write(AVPacket* packet) override {
        if (packet->pts == AV_NOPTS_VALUE) {
            return;
        }
        if (packet->dts == AV_NOPTS_VALUE) {
            packet->dts = packet->pts;
        }
        packet->stream_index = stream_->index;
        packet->pos = -1;
        av_packet_rescale_ts(packet, input_->time_base, stream_->time_base);
        output_.writePacket(packet);
    }
};

class ConvertedSubtitles final : public SubtitleTrack {
  public:
    ConvertedSubtitles(AVStream* input, OutputFile& output, const AVCodec* decoder,
                       const AVCodec* encoder)
        : SubtitleTrack(input, output) {
        openDecoder(decoder);
        openEncoder(encoder);
        stream_ = output.addStream();
        if (avcodec_parameters_from_context(stream_->codecpar, encoder_.get()) < 0) {
            throw std::bad_alloc();
        }
        stream_->time_base = encoder_->time_base;
    }

    void write(AVPacket* packet) override {
        AVSubtitle decoded{};
        int got = 0;
        if (avcodec_decode_subtitle2(decoder_.get(), &decoded, &got, packet) < 0 || got == 0) {
            return;
        }
        const std::unique_ptr<AVSubtitle, SubtitleDeleter> subtitle(&decoded);
        if (decoded.num_rects == 0 || decoded.pts == AV_NOPTS_VALUE) {
            return;  // an empty cue only clears the screen, which the duration does
        }
        // The encoded subtitle shows from its own time on, for its length.
        const std::int64_t start =
            decoded.pts + av_rescale_q(decoded.start_display_time, kMilliseconds, AV_TIME_BASE_Q);
        const std::uint32_t shown = decoded.end_display_time - decoded.start_display_time;
        decoded.pts = start;
        decoded.start_display_time = 0;
        decoded.end_display_time = shown;
        const int size =
            avcodec_encode_subtitle(encoder_.get(), buffer_.data(), kSubtitleBufferSize, &decoded);
        if (size <= 0) {
            return;  // nothing this encoder can say in text
        }
        const PacketPtr encoded = makePacket();
        if (av_new_packet(encoded.get(), size) < 0) {
            throw std::bad_alloc();
        }
        std::memcpy(encoded->data, buffer_.data(), static_cast<std::size_t>(size));
        encoded->stream_index = stream_->index;
        encoded->pts = av_rescale_q(start, AV_TIME_BASE_Q, stream_->time_base);
        encoded->dts = encoded->pts;
        encoded->duration = av_rescale_q(shown, kMilliseconds, stream_->time_base);
        output_.writePacket(encoded.get());
    }

  private:
    void openDecoder(const AVCodec* codec) {
        decoder_.reset(avcodec_alloc_context3(codec));
        if (!decoder_) {
            throw std::bad_alloc();
        }
        int result = avcodec_parameters_to_context(decoder_.get(), input_->codecpar);
        decoder_->pkt_timebase = input_->time_base;
        if (result >= 0) {
            result = avcodec_open2(decoder_.get(), codec, nullptr);
        }
        if (result < 0) {
            throw ConvertError(
                exit_code::kEncoderFailed,
                describeFailure(std::string("cannot read the subtitles (") + codec->name + ")",
                                result));
        }
    }

    void openEncoder(const AVCodec* codec) {
        encoder_.reset(avcodec_alloc_context3(codec));
        if (!encoder_) {
            throw std::bad_alloc();
        }
        encoder_->time_base = AV_TIME_BASE_Q;
        // The styles the decoder describes its text with; the encoders of
        // styled formats write them into their header.
        if (decoder_->subtitle_header_size > 0) {
            const auto size = static_cast<std::size_t>(decoder_->subtitle_header_size);
            encoder_->subtitle_header = static_cast<std::uint8_t*>(av_mallocz(size + 1));
            if (encoder_->subtitle_header == nullptr) {
                throw std::bad_alloc();
            }
            std::memcpy(encoder_->subtitle_header, decoder_->subtitle_header, size);
            encoder_->subtitle_header_size = decoder_->subtitle_header_size;
        }
        if ((output_.format()->flags & AVFMT_GLOBALHEADER) != 0) {
            encoder_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        }
        const int opened = avcodec_open2(encoder_.get(), codec, nullptr);
        if (opened < 0) {
            throw ConvertError(exit_code::kEncoderFailed,
                               describeFailure(std::string("the subtitle encoder ") + codec->name +
                                                   " refused the subtitles",
                                               opened));
        }
    }

    CodecContextPtr decoder_;
    CodecContextPtr encoder_;
    std::vector<std::uint8_t> buffer_ = std::vector<std::uint8_t>(kSubtitleBufferSize);
};

}  // namespace

SubtitleTrack::~SubtitleTrack() = default;

std::unique_ptr<SubtitleTrack> SubtitleTrack::make(AVStream* input, OutputFile& output,
                                                   std::string& why) {
    const AVOutputFormat* format = output.format();
    const AVCodecID codec = input->codecpar->codec_id;
    if (containerTakes(format, codec)) {
        return std::make_unique<CopiedSubtitles>(input, output);
    }
    why = std::string(format->name) + " cannot hold it";
    const AVCodec* decoder = isText(codec) ? avcodec_find_decoder(codec) : nullptr;
    if (decoder == nullptr) {
        return nullptr;
    }
    for (const AVCodecID target : kTextCodecs) {
        const AVCodec* encoder = avcodec_find_encoder(target);
        if (encoder != nullptr && containerTakes(format, target)) {
            try {
                return std::make_unique<ConvertedSubtitles>(input, output, decoder, encoder);
            } catch (const ConvertError& error) {
                why = error.what();  // nothing was added to the output yet
                return nullptr;
            }
        }
    }
    return nullptr;
}

}  // namespace vidmill
