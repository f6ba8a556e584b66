#pragma once

// Owners of libmpv's handles. A render context must be freed before the core
// it draws for, so whoever holds both declares the core first.

#include <mpv/client.h>
#include <mpv/render.h>

#include <memory>

namespace vidmill::player {

struct MpvCoreDeleter {
    void operator()(mpv_handle* core) const { mpv_terminate_destroy(core); }
};
using MpvCore = std::unique_ptr<mpv_handle, MpvCoreDeleter>;

struct MpvRenderContextDeleter {
    void operator()(mpv_render_context* context) const { mpv_render_context_free(context); }
};
using MpvRenderContext = std::unique_ptr<mpv_render_context, MpvRenderContextDeleter>;

struct MpvStringDeleter {
    void operator()(char* text) const { mpv_free(text); }
};
using MpvString = std::unique_ptr<char, MpvStringDeleter>;

}  // namespace vidmill::player
