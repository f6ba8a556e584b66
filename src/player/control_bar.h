#pragma once

// The controls over the foot of the picture: play/pause, a position slider
// that seeks, the time played and the length, and the volume. The bar only
// shows what the player reports and asks for changes by signals; it holds no
// libmpv handle.

#include <QString>
#include <QWidget>

class QLabel;
class QSlider;
class QToolButton;

namespace vidmill::player {

// "0:05 / 0:12", both as h:mm:ss once either reaches an hour; the time played
// alone while the length is unknown (0).
QString timeText(double position, double duration);

class ControlBar : public QWidget {
    Q_OBJECT
  public:
    explicit ControlBar(QWidget* parent);

    // What the player reports; none of these asks it for anything back.
    void setPosition(double seconds);
    void setDuration(double seconds);
    void setPaused(bool paused);
    void setVolume(double percent);

  signals:
    void pauseToggled();
    // `dragging` while the knob is held: a quick seek to a key frame does
    // until it is let go, when an exact one follows.
    void seekRequested(double seconds, bool dragging);
    void volumeRequested(int percent);

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    void positionMoved(int value);
    void showTime(double position);

    QToolButton* playPause_;
    QSlider* position_;
    QLabel* time_;
    QSlider* volume_;
    double playedSeconds_ = 0.0;
    double lengthSeconds_ = 0.0;
};

}  // namespace vidmill::player
