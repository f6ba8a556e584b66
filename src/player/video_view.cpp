#include "player/video_view.h"

#include <mpv/render_gl.h>

#include <QMetaObject>
#include <QOpenGLContext>

namespace vidmill::player {

namespace {

void* procAddress(void*, const char* name) {
    QOpenGLContext* context = QOpenGLContext::currentContext();
    if (context == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<void*>(context->getProcAddress(name));
}

// Called on one of libmpv's threads: only hand the work to ours.
void onRenderUpdate(void* view) {
    QMetaObject::invokeMethod(static_cast<VideoView*>(view), "renderUpdate", Qt::QueuedConnection);
}

}  // namespace

VideoView::VideoView(mpv_handle* core, QWidget* parent) : QOpenGLWidget(parent), core_(core) {
    connect(this, &QOpenGLWidget::frameSwapped, this, [this] {
        if (render_) {
            mpv_render_context_report_swap(render_.get());
        }
    });
}

VideoView::~VideoView() {
    // libmpv frees its GL objects here, so our context must be current.
    makeCurrent();
    render_.reset();
    doneCurrent();
}

void VideoView::initializeGL() {
    mpv_opengl_init_params glInit{procAddress, nullptr};
    mpv_render_param params[] = {
        {MPV_RENDER_PARAM_API_TYPE, const_cast<char*>(MPV_RENDER_API_TYPE_OPENGL)},
        {MPV_RENDER_PARAM_OPENGL_INIT_PARAMS, &glInit},
        {MPV_RENDER_PARAM_INVALID, nullptr},
    };
    mpv_render_context* render = nullptr;
    const int status = mpv_render_context_create(&render, core_, params);
    if (status < 0) {
        emit failed(QStringLiteral("no OpenGL video output (%1)")
                        .arg(QString::fromUtf8(mpv_error_string(status))));
        return;
    }
    render_.reset(render);
    mpv_render_context_set_update_callback(render, onRenderUpdate, this);
    emit ready();
}

void VideoView::paintGL() {
    if (!render_) {
        return;
    }
    const qreal scale = devicePixelRatioF();
    mpv_opengl_fbo fbo{static_cast<int>(defaultFramebufferObject()),
                       static_cast<int>(width() * scale), static_cast<int>(height() * scale), 0};
    int flipY = 1;
    mpv_render_param params[] = {
        {MPV_RENDER_PARAM_OPENGL_FBO, &fbo},
        {MPV_RENDER_PARAM_FLIP_Y, &flipY},
        {MPV_RENDER_PARAM_INVALID, nullptr},
    };
    mpv_render_context_render(render_.get(), params);
}

void VideoView::renderUpdate() {
    if (!render_ || (mpv_render_context_update(render_.get()) & MPV_RENDER_UPDATE_FRAME) == 0) {
        return;
    }
    if (window()->isMinimized()) {
        // Qt skips painting a minimised window; drawing anyway keeps libmpv's
        // frame timing from stalling until the window comes back.
        makeCurrent();
        paintGL();
        doneCurrent();
    } else {
        update();
    }
}

}  // namespace vidmill::player
