#pragma once

// One stream's way from the input to the output: decoder, filters, encoder
// and the muxer's stream. The video and the audio pipeline differ only in how
// they set up the encoder and the filters.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

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

// Which pass of the video's encode a pipeline runs: the only one, or the
// first (which writes nothing but what the encoder learns) or second of two.
enum class EncodePass { Only, First, Second };

// What the two passes of one video encode share.
struct PassPlan {
    EncodePass pass = EncodePass::Only;
    std::string folder;  // where encoders that keep their own log write it
    std::string log;     // the first pass's stats_out, given to the second
    // What the first pass made besides the video's log, for a size to fit:
    // the sound is encoded alike both times, and the packets are the same.
    std::int64_t soundBytes = -1;  // -1: not measured
    std::int64_t packets = 0;
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

    // Keeps only what shows from `fromSeconds` of the input's timeline to
    // `toSeconds` (0: to the end), and starts it at 0: the picture shown at
    // `from` comes first, and sound is cut to the sample.
    void setCut(double fromSeconds, double toSeconds);

    std::int64_t framesEncoded() const { return framesEncoded_; }
    // What the decoder has delivered: pictures, or seconds of sound.
    std::int64_t picturesDecoded() const { return picturesDecoded_; }
    double soundDecodedSeconds() const { return soundDecodedSeconds_; }
    // Where the last decoded frame ends, in seconds of the output's timeline
    // (the input's, less a cut's start); 0 before the first.
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
    // Where each decoded frame within the cut goes, and the end (nullptr):
    // straight on to the filters, unless a subclass holds some back first.
    virtual void admit(AVFrame* frame) { filter(frame); }

    // Passes the frame (nullptr: the end) through the filters to the encoder.
    void filter(AVFrame* frame);
    // Makes the chain anew, from makeChain, before the next frame.
    void remakeChain() { remakeChain_ = true; }

    AVStream* input_;
    OutputFile& output_;
    const PipelineWatch& watch_;
    AVStream* stream_ = nullptr;
    CodecContextPtr decoder_;
    CodecContextPtr encoder_;
    std::optional<FilterChain> chain_;
    std::string* statsLog_ = nullptr;  // first pass: where stats_out goes

  private:
    void receiveFrames();
    bool keepWithinCut(AVFrame*& frame);
    void endChain(std::int64_t endPts);
    std::int64_t lastPictureEnd() const;
    void drainChain();
    void encode(AVFrame* frame);
    std::int64_t frameDuration(const AVFrame& frame) const;

    FramePtr decoded_ = makeFrame();
    FramePtr filtered_ = makeFrame();
    FramePtr trimmed_ = makeFrame();
    // The cut, in the input stream's time base.
    std::int64_t cutFrom_ = 0;
    std::int64_t cutTo_ = AV_NOPTS_VALUE;
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
    bool remakeChain_ = false;
};

// Both throw ConvertError: kEncoderFailed when the encoder is missing or
// refuses the settings, kAudioRefused when an audio value that was asked for
// cannot be made, kInputFailed when the stream cannot be decoded.
// `passes`, when given, names the pass this pipeline runs; it must outlive
// the pipeline.
std::unique_ptr<StreamPipeline> makeVideoPipeline(const ConverterOptions& options,
                                                  AVFormatContext* input, int streamIndex,
                                                  OutputFile& output, const PipelineWatch& watch,
                                                  PassPlan* passes = nullptr);
// The name of the video encoder that `options` ask for in this container.
// Throws ConvertError(kEncoderFailed) when it is missing.
std::string videoEncoderName(const ConverterOptions& options, const AVOutputFormat* format);

std::unique_ptr<StreamPipeline> makeAudioPipeline(const ConverterOptions& options,
                                                  AVFormatContext* input, int streamIndex,
                                                  OutputFile& output, const PipelineWatch& watch);

}  // namespace vidmill
