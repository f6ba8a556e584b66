#include "converter/pipeline/filter_chain.h"

#include <cstdio>
#include <new>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

#include "converter/convert_error.h"
#include "converter/filter_library.h"

namespace vidmill {

namespace {

std::string videoShape(const AVFrame& frame) {
    char text[128];
    std::snprintf(text, sizeof text, "video_size=%dx%d:pix_fmt=%d:pixel_aspect=%d/%d", frame.width,
                  frame.height, frame.format,
                  frame.sample_aspect_ratio.num > 0 ? frame.sample_aspect_ratio.num : 0,
                  frame.sample_aspect_ratio.num > 0 ? frame.sample_aspect_ratio.den : 1);
    return text;
}

std::string audioShape(const AVFrame& frame) {
    AVChannelLayout layout{};
    if (frame.ch_layout.order == AV_CHANNEL_ORDER_UNSPEC || frame.ch_layout.nb_channels == 0) {
        av_channel_layout_default(&layout, frame.ch_layout.nb_channels);
    } else {
        av_channel_layout_copy(&layout, &frame.ch_layout);
    }
    char layoutText[256] = {};
    av_channel_layout_describe(&layout, layoutText, sizeof layoutText);
    av_channel_layout_uninit(&layout);
    const char* format = av_get_sample_fmt_name(static_cast<AVSampleFormat>(frame.format));
    char text[400];
    std::snprintf(text, sizeof text, "sample_rate=%d:sample_fmt=%s:channel_layout=%s",
                  frame.sample_rate, format != nullptr ? format : "none", layoutText);
    return text;
}

std::string withTimeBase(const std::string& shape, AVRational timeBase) {
    return shape + ":time_base=" + std::to_string(timeBase.num) + "/" +
           std::to_string(timeBase.den);
}

}  // namespace

FilterChain FilterChain::forVideo(const AVFrame& frame, AVRational timeBase,
                                  const std::string& filters) {
    FilterChain chain =
        build("buffer", withTimeBase(videoShape(frame), timeBase), "buffersink", filters);
    chain.shape_ = videoShape(frame);
    return chain;
}

FilterChain FilterChain::forAudio(const AVFrame& frame, AVRational timeBase,
                                  const std::string& filters, int frameSize) {
    FilterChain chain =
        build("abuffer", withTimeBase(audioShape(frame), timeBase), "abuffersink", filters);
    chain.shape_ = audioShape(frame);
    if (frameSize > 0) {
        filterLibrary().sinkSetFrameSize(chain.sink_, static_cast<unsigned>(frameSize));
    }
    return chain;
}

FilterChain FilterChain::build(const char* sourceName, const std::string& sourceArgs,
                               const char* sinkName, const std::string& filters) {
    FilterChain chain;
    const FilterLibrary& lib = filterLibrary();
    chain.graph_.reset(lib.graphAlloc());
    if (!chain.graph_) {
        throw std::bad_alloc();
    }
    av_opt_set(chain.graph_.get(), "scale_sws_opts", "flags=bicubic", 0);

    // A new chain is made in mid-run too, when older log lines may be stale.
    const LibavLogMark mark = libavLogMark();
    auto fail = [mark](const std::string& what, int error) {
        return ConvertError(exit_code::kEncoderFailed, describeFailure(what, error, mark));
    };
    int result = lib.graphCreateFilter(&chain.source_, lib.getByName(sourceName), "in",
                                       sourceArgs.c_str(), nullptr, chain.graph_.get());
    if (result < 0) {
        throw fail("cannot feed the decoded frames to the filters", result);
    }
    result = lib.graphCreateFilter(&chain.sink_, lib.getByName(sinkName), "out", nullptr, nullptr,
                                   chain.graph_.get());
    if (result < 0) {
        throw fail("cannot make the filter sink", result);
    }

    FilterInOutPtr outputs(lib.inOutAlloc());
    FilterInOutPtr inputs(lib.inOutAlloc());
    if (!outputs || !inputs) {
        throw std::bad_alloc();
    }
    outputs->name = av_strdup("in");
    outputs->filter_ctx = chain.source_;
    inputs->name = av_strdup("out");
    inputs->filter_ctx = chain.sink_;
    AVFilterInOut* rawInputs = inputs.release();
    AVFilterInOut* rawOutputs = outputs.release();
    result = lib.graphParse(chain.graph_.get(), filters.empty() ? "null" : filters.c_str(),
                            &rawInputs, &rawOutputs, nullptr);
    inputs.reset(rawInputs);
    outputs.reset(rawOutputs);
    if (result < 0) {
        throw fail("cannot set up the filters '" + filters + "'", result);
    }
    result = lib.graphConfig(chain.graph_.get(), nullptr);
    if (result < 0) {
        throw fail("cannot set up the filters '" + filters + "'", result);
    }
    return chain;
}

bool FilterChain::accepts(const AVFrame& frame) const {
    const bool video = frame.width > 0;
    return shape_ == (video ? videoShape(frame) : audioShape(frame));
}

int FilterChain::push(AVFrame* frame) {
    return filterLibrary().sourceAddFrame(source_, frame, 0);
}

int FilterChain::close(std::int64_t endPts) {
    return filterLibrary().sourceClose(source_, endPts, AV_BUFFERSRC_FLAG_PUSH);
}

int FilterChain::pull(AVFrame* frame) {
    return filterLibrary().sinkGetFrame(sink_, frame);
}

AVRational FilterChain::outputTimeBase() const {
    return filterLibrary().sinkTimeBase(sink_);
}

}  // namespace vidmill
