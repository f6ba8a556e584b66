#pragma once

// The picture: libmpv's render API drawing into a QOpenGLWidget. It works the
// same on X11 and Wayland, where embedding a foreign window does not.

#include "player/mpv_handles.h"

#include <QOpenGLWidget>
#include <QString>

namespace vidmill::player {

class VideoView : public QOpenGLWidget {
    Q_OBJECT
  public:
    // `core` must outlive the view.
    VideoView(mpv_handle* core, QWidget* parent);
    ~VideoView() override;

  signals:
    // The render context exists; a file loaded from now on gets a picture.
    void ready();
    void failed(const QString& reason);

  protected:
    void initializeGL() override;
    void paintGL() override;

  private:
    // Queued from libmpv's threads by name.
    Q_INVOKABLE void renderUpdate();

    mpv_handle* core_;
    MpvRenderContext render_;
};

}  // namespace vidmill::player
