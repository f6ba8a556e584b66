#pragma once

// One filter graph between a decoder and an encoder: a buffer source shaped
// like the decoded frames, a chain of filters given as text, and a sink.

#include <cstdint>
#include <string>

#include "converter/av_handles.h"

namespace vidmill {

class FilterChain {
  public:
    // `filters` is a libavfilter chain ("scale=320:240,format=pix_fmts=yuv420p");
    // `timeBase` is the time base of the frames' timestamps. Throws
    // ConvertError(kEncoderFailed) when the graph cannot be built.
    static FilterChain forVideo(const AVFrame& frame, AVRational timeBase,
                                const std::string& filters);
    // `frameSize` > 0 makes every frame but the last exactly that many samples.
    static FilterChain forAudio(const AVFrame& frame, AVRational timeBase,
                                const std::string& filters, int frameSize);

    // Whether frames like this one can go into this chain.
    bool accepts(const AVFrame& frame) const;

    // Takes the frame's references.
    int push(AVFrame* frame);
    // Ends the input at `endPts` (the chain's input time base): the end of the
    // last frame, so that a frame-rate conversion still covers its length.
    int close(std::int64_t endPts);
    // 0 with a frame, AVERROR(EAGAIN) when it needs more input, AVERROR_EOF at the end.
    int pull(AVFrame* frame);
    AVRational outputTimeBase() const;

  private:
    FilterChain() = default;
    static FilterChain build(const char* sourceName, const std::string& sourceArgs,
                             const char* sinkName, const std::string& filters);

    FilterGraphPtr graph_;
    AVFilterContext* source_ = nullptr;  // owned by the graph
    AVFilterContext* sink_ = nullptr;    // owned by the graph
    std::string shape_;                  // what the source was made for
};

}  // namespace vidmill
