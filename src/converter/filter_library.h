#pragma once

// libavfilter, loaded when the first filter chain is made rather than when
// the program starts. A probe never filters, and the libraries that
// libavfilter brings along (speech, fonts, GPU, audio plug-ins) cost every
// start of the program about a third of a probe's time.

#include <cstdint>  // before libav's headers, which want its constant macros

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
}

namespace vidmill {

struct FilterLibrary {
    decltype(&avfilter_graph_alloc) graphAlloc = nullptr;
    decltype(&avfilter_graph_free) graphFree = nullptr;
    decltype(&avfilter_graph_create_filter) graphCreateFilter = nullptr;
    decltype(&avfilter_graph_parse_ptr) graphParse = nullptr;
    decltype(&avfilter_graph_config) graphConfig = nullptr;
    decltype(&avfilter_get_by_name) getByName = nullptr;
    decltype(&avfilter_inout_alloc) inOutAlloc = nullptr;
    decltype(&avfilter_inout_free) inOutFree = nullptr;
    decltype(&av_buffersrc_add_frame_flags) sourceAddFrame = nullptr;
    decltype(&av_buffersrc_close) sourceClose = nullptr;
    decltype(&av_buffersink_get_frame) sinkGetFrame = nullptr;
    decltype(&av_buffersink_get_time_base) sinkTimeBase = nullptr;
    decltype(&av_buffersink_set_frame_size) sinkSetFrameSize = nullptr;
};

// Loads the library on the first call (any thread; it stays loaded). Throws
// ConvertError(kEncoderFailed) when it or one of its functions is missing.
const FilterLibrary& filterLibrary();

}  // namespace vidmill
