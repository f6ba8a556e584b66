#pragma once

// One stream's way from the input to the output: decoder, filters, encoder
// and the muxer's stream. The video and the audio pipeline differ only in how
// they set up the encoder and the filters.

#include <cstdint>
#include <memory>
#include <optional>

#include "converter/av_handles.h"
#include "converter/converter_options.h"
#include "converter/output/output_file.h"
#include "converter/pipeline/filter_chain.h"
#include "converter/pipeline/timestamp_guard.h"

namespace vidmill {

// What a pipeline asks of the conversion that runs it, between frames: a
// run of thousands of frames out of the filters (a frame-rate conversion
// filling a gap) must neither ignore a stop request nor outrun the input.
class PipelineWatch {
  public:
    // Whether to leave the frames still to come where they are: a stop was
    // asked, and the drain that follows it (if any) is over.
    virtual bool stopNow() const = 0;
    // Output time in seconds past which the input's timestamps count as damaged.
    virtual double outputLimitSeconds() const = 0;
    // How long a stream (from its first frame on) may last for what the
    // input's decoders have really delivered so far.
    virtual double contentLimitSeconds() const = 0;
    // Where the decoded sound ends, in seconds of the input; 0 without sound.
    virtual double soundEndSeconds() const = 0;

  protected:
    ~PipelineWatch() = default;
};

class StreamPipeline {
  public:
    StreamPipeline(const StreamPipeline&) = delete;
    StreamPipeline& operator=(const StreamPipeline&) = delete;
    virtual ~StreamPipeline();

    int inputIndex() const { return input_->index; }
    AVStream* outputStream() const { return stream_; }

    // Decodes the packet (timestamps in the input stream's time base) and
    // passes what comes out on to the muxer. Damaged data is skipped; a stop
    // request leaves the rest of the packet's frames where they are. Throws
    // ConvertError(kInputFailed) when the stream runs past one of the watch's limits.
    void decode(const AVPacket* packet);
    // Drains the decoder, the filters and the encoder at the end of the
    // input; after a stop request only the encoder.
    void finish();

    std::int64_t framesEncoded() const { return framesEncoded_; }
    // What the decoder has delivered: pictures, or seconds of sound.
    std::int64_t picturesDecoded() const { return picturesDecoded_; }
    double soundDecodedSeconds() const { return soundDecodedSeconds_; }
    // Where the last decoded frame ends, in seconds of the input; 0 before the first.
    double decodedEndSeconds() const;

  protected:
    StreamPipeline(AVStream* input, OutputFile& output, const PipelineWatch& watch);

    void openDecoder(AVFormatContext* inputContext);
    // Opens the encoder that the subclass has configured with its private
    // `options` (left holding those it did not take) and adds the output
    // stream, described as the input stream is.
    int openEncoder(const AVCodec* codec, DictionaryPtr& options);
    bool wantsGlobalHeader() const;

    virtual FilterChain makeChain(const AVFrame& frame) = 0;
    // Last touches on a filtered frame before it goes to the encoder.
    virtual void prepareForEncoder(AVFrame* frame) = 0;

    AVStream* input_;
    OutputFile& output_;
    const PipelineWatch& watch_;
    AVStream* stream_ = nullptr;
    CodecContextPtr decoder_;
    CodecContextPtr encoder_;
    std::optional<FilterChain> chain_;

  private:
    void receiveFrames();
    void filter(AVFrame* frame);
    void endChain(std::int64_t endPts);
    std::int64_t lastPictureEnd() const;
    void drainChain();
    void encode(AVFrame* frame);
    std::int64_t frameDuration(const AVFrame& frame) const;

    FramePtr decoded_ = makeFrame();
    FramePtr filtered_ = makeFrame();
    PacketPtr encoded_ = makePacket();
    std::int64_t framesEncoded_ = 0;
    bool encoderEnded_ = false;  // given its end of stream
    std::int64_t picturesDecoded_ = 0;
    double soundDecodedSeconds_ = 0.0;
    FrameGuard frameGuard_;
    std::int64_t nextPts_ = AV_NOPTS_VALUE;  // guess for frames that carry no timestamp
    // The last frame given to the chain: its start and its end.
    std::int64_t chainLastPts_ = AV_NOPTS_VALUE;
    std::int64_t chainEnd_ = AV_NOPTS_VALUE;
};

// Both throw ConvertError: kEncoderFailed when the encoder is missing or
// refuses the settings, kAudioRefused when an audio value that was asked for
// cannot be made, kInputFailed when the stream cannot be decoded.
std::unique_ptr<StreamPipeline> makeVideoPipeline(const ConverterOptions& options,
                                                  AVFormatContext* input, int streamIndex,
                                                  OutputFile& output, const PipelineWatch& watch);
std::unique_ptr<StreamPipeline> makeAudioPipeline(const ConverterOptions& options,
                                                  AVFormatContext* input, int streamIndex,
                                                  OutputFile& output, const PipelineWatch& watch);

}  // namespace vidmill
