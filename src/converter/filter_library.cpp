#include "converter/filter_library.h"

#include <dlfcn.h>

#include <string>

extern "C" {
#include <libavutil/macros.h>
}

#include "converter/convert_error.h"

namespace vidmill {

namespace {

// The one this program was built against: its major version is its interface.
constexpr const char* kLibraryName = "libavfilter.so." AV_STRINGIFY(LIBAVFILTER_VERSION_MAJOR);

template <typename Function>
void resolve(void* handle, const char* name, Function& function, std::string& missing) {
    function = reinterpret_cast<Function>(dlsym(handle, name));
    if (function == nullptr && missing.empty()) {
        missing = name;
    }
}

FilterLibrary load() {
    void* handle = dlopen(kLibraryName, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* reason = dlerror();
        throw ConvertError(exit_code::kEncoderFailed,
                           std::string("cannot load ") + kLibraryName + ": " +
                               (reason != nullptr ? reason : "unknown reason"));
    }
    FilterLibrary library;
    std::string missing;
    resolve(handle, "avfilter_graph_alloc", library.graphAlloc, missing);
    resolve(handle, "avfilter_graph_free", library.graphFree, missing);
    resolve(handle, "avfilter_graph_create_filter", library.graphCreateFilter, missing);
    resolve(handle, "avfilter_graph_parse_ptr", library.graphParse, missing);
    resolve(handle, "avfilter_graph_config", library.graphConfig, missing);
    resolve(handle, "avfilter_get_by_name", library.getByName, missing);
    resolve(handle, "avfilter_inout_alloc", library.inOutAlloc, missing);
    resolve(handle, "avfilter_inout_free", library.inOutFree, missing);
    resolve(handle, "av_buffersrc_add_frame_flags", library.sourceAddFrame, missing);
    resolve(handle, "av_buffersrc_close", library.sourceClose, missing);
    resolve(handle, "av_buffersink_get_frame", library.sinkGetFrame, missing);
    resolve(handle, "av_buffersink_get_time_base", library.sinkTimeBase, missing);
    resolve(handle, "av_buffersink_set_frame_size", library.sinkSetFrameSize, missing);
    if (!missing.empty()) {
        throw ConvertError(exit_code::kEncoderFailed,
                           std::string(kLibraryName) + " lacks " + missing);
    }
    // Never closed: filter graphs may live until the process ends.
    return library;
}

}  // namespace

const FilterLibrary& filterLibrary() {
    static const FilterLibrary library = load();
    return library;
}

}  // namespace vidmill
