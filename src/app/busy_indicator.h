#pragma once

#include <QPainter>
#include <QTimer>
#include <QWidget>

namespace vidmill {

// At the right of the toolbar: a still mark while idle, a turning one while
// a batch converts.
class BusyIndicator : public QWidget {
  public:
    explicit BusyIndicator(QWidget* parent) : QWidget(parent) {
        setFixedSize(32, 32);
        timer_.setInterval(80);
        connect(&timer_, &QTimer::timeout, this, [this] {
            angle_ = (angle_ + 30) % 360;
            update();
        });
    }
    void setRunning(bool running) {
        running ? timer_.start() : timer_.stop();
        angle_ = 0;
        update();
    }
    bool running() const { return timer_.isActive(); }

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const QRectF box = QRectF(rect()).adjusted(5, 5, -5, -5);
        const QColor colour = palette().color(QPalette::Highlight);
        if (!running()) {
            painter.setPen(QPen(palette().color(QPalette::Mid), 3));
            painter.drawEllipse(box);
            return;
        }
        painter.setPen(QPen(colour, 3, Qt::SolidLine, Qt::RoundCap));
        painter.drawArc(box, -angle_ * 16, 270 * 16);
    }

  private:
    QTimer timer_;
    int angle_ = 0;
};

}  // namespace vidmill
