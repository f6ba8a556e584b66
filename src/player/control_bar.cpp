#include "player/control_bar.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QProxyStyle>
#include <QSignalBlocker>
#include <QSlider>
#include <QStyleFactory>
#include <QToolButton>

#include <algorithm>
#include <cmath>

namespace vidmill::player {

namespace {

// The sliders count milliseconds, fine enough for any drag.
constexpr double kUnitsPerSecond = 1000.0;
constexpr int kVolumeMax = 100;
constexpr int kIconSize = 18;
const QColor kBarColor(16, 16, 16, 190);
const QColor kForeground(235, 235, 235);

QString clockText(long long seconds, bool hours) {
    if (hours) {
        return QString::asprintf("%lld:%02lld:%02lld", seconds / 3600, seconds / 60 % 60,
                                 seconds % 60);
    }
    return QString::asprintf("%lld:%02lld", seconds / 60, seconds % 60);
}

// A click on a slider's groove jumps there, as in every player, instead of
// stepping a page towards the pointer.
class JumpToClickStyle : public QProxyStyle {
  public:
    using QProxyStyle::QProxyStyle;
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* returned) const override {
        if (hint == SH_Slider_AbsoluteSetButtons) {
            return Qt::LeftButton;
        }
        return QProxyStyle::styleHint(hint, option, widget, returned);
    }
};

enum class Glyph { kPlay, kPause, kSpeaker };

// Drawn rather than taken from the style: the style's media icons are dark
// and vanish on the bar.
QIcon glyphIcon(Glyph glyph) {
    constexpr qreal kScale = 2.0;  // sharp on high-density screens too
    QPixmap pixmap(static_cast<int>(kIconSize * kScale), static_cast<int>(kIconSize * kScale));
    pixmap.setDevicePixelRatio(kScale);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(kForeground);
    const qreal s = kIconSize;
    QPainterPath path;
    switch (glyph) {
        case Glyph::kPlay:
            path.moveTo(s * 0.25, s * 0.15);
            path.lineTo(s * 0.85, s * 0.5);
            path.lineTo(s * 0.25, s * 0.85);
            path.closeSubpath();
            break;
        case Glyph::kPause:
            path.addRect(QRectF(s * 0.22, s * 0.15, s * 0.2, s * 0.7));
            path.addRect(QRectF(s * 0.58, s * 0.15, s * 0.2, s * 0.7));
            break;
        case Glyph::kSpeaker:
            path.addRect(QRectF(s * 0.1, s * 0.36, s * 0.18, s * 0.28));
            path.moveTo(s * 0.28, s * 0.36);
            path.lineTo(s * 0.52, s * 0.14);
            path.lineTo(s * 0.52, s * 0.86);
            path.lineTo(s * 0.28, s * 0.64);
            path.closeSubpath();
            break;
    }
    painter.drawPath(path);
    if (glyph == Glyph::kSpeaker) {
        painter.setBrush(Qt::NoBrush);
        painter.setPen(QPen(kForeground, s * 0.08, Qt::SolidLine, Qt::RoundCap));
        painter.drawArc(QRectF(s * 0.38, s * 0.3, s * 0.4, s * 0.4), -50 * 16, 100 * 16);
        painter.drawArc(QRectF(s * 0.3, s * 0.14, s * 0.66, s * 0.72), -50 * 16, 100 * 16);
    }
    return QIcon(pixmap);
}

QSlider* makeSlider(QWidget* parent, QStyle* style, const QString& name) {
    auto* slider = new QSlider(Qt::Horizontal, parent);
    slider->setObjectName(name);
    slider->setStyle(style);
    // The keys belong to the window (space, arrows), never to a control.
    slider->setFocusPolicy(Qt::NoFocus);
    return slider;
}

}  // namespace

QString timeText(double position, double duration) {
    const long long played =
        std::isfinite(position) && position > 0 ? static_cast<long long>(position) : 0;
    if (!std::isfinite(duration) || duration <= 0) {
        return clockText(played, played >= 3600);
    }
    const long long length = std::llround(duration);
    const bool hours = std::max(played, length) >= 3600;
    return clockText(played, hours) + QStringLiteral(" / ") + clockText(length, hours);
}

ControlBar::ControlBar(QWidget* parent)
    : QWidget(parent),
      playPause_(new QToolButton(this)),
      position_(nullptr),
      time_(new QLabel(this)),
      volume_(nullptr) {
    auto* style = new JumpToClickStyle(QStyleFactory::create(QApplication::style()->name()));
    style->setParent(this);
    position_ = makeSlider(this, style, QStringLiteral("position"));
    volume_ = makeSlider(this, style, QStringLiteral("volume"));

    QPalette colours = palette();
    colours.setColor(QPalette::WindowText, kForeground);
    colours.setColor(QPalette::ButtonText, kForeground);
    colours.setColor(QPalette::Text, kForeground);
    colours.setColor(QPalette::Window, kBarColor);
    colours.setColor(QPalette::Button, QColor(70, 70, 70));
    setPalette(colours);

    playPause_->setObjectName(QStringLiteral("playPause"));
    playPause_->setAutoRaise(true);
    playPause_->setFocusPolicy(Qt::NoFocus);
    playPause_->setIconSize(QSize(kIconSize, kIconSize));
    setPaused(false);

    position_->setEnabled(false);  // until the length is known
    position_->setToolTip(QStringLiteral("Position"));
    time_->setObjectName(QStringLiteral("time"));
    time_->setTextFormat(Qt::PlainText);
    showTime(0.0);

    auto* speaker = new QLabel(this);
    speaker->setPixmap(glyphIcon(Glyph::kSpeaker).pixmap(kIconSize, kIconSize));
    volume_->setRange(0, kVolumeMax);
    volume_->setPageStep(10);
    volume_->setFixedWidth(90);
    volume_->setToolTip(QStringLiteral("Volume"));

    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(6, 3, 10, 3);
    row->setSpacing(8);
    row->addWidget(playPause_);
    row->addWidget(position_, 1);
    row->addWidget(time_);
    row->addSpacing(4);
    row->addWidget(speaker);
    row->addWidget(volume_);

    connect(playPause_, &QToolButton::clicked, this, &ControlBar::pauseToggled);
    connect(position_, &QSlider::valueChanged, this, &ControlBar::positionMoved);
    connect(position_, &QSlider::sliderReleased, this,
            [this] { emit seekRequested(position_->value() / kUnitsPerSecond, false); });
    connect(volume_, &QSlider::valueChanged, this, &ControlBar::volumeRequested);
}

void ControlBar::setPosition(double seconds) {
    playedSeconds_ = seconds;
    // While the knob is held it shows where the user wants to go, not where
    // the player still is.
    if (position_->isSliderDown()) {
        return;
    }
    const QSignalBlocker quiet(position_);
    position_->setValue(static_cast<int>(std::lround(seconds * kUnitsPerSecond)));
    showTime(seconds);
}

void ControlBar::setDuration(double seconds) {
    lengthSeconds_ = std::isfinite(seconds) && seconds > 0 ? seconds : 0.0;
    {
        const QSignalBlocker quiet(position_);
        position_->setRange(0, static_cast<int>(std::lround(lengthSeconds_ * kUnitsPerSecond)));
        position_->setSingleStep(static_cast<int>(kUnitsPerSecond));
        position_->setPageStep(static_cast<int>(5 * kUnitsPerSecond));
    }
    position_->setEnabled(lengthSeconds_ > 0);
    // Wide enough for the longest time of this file, so the slider does not
    // jump as the digits change.
    time_->setMinimumWidth(
        time_->fontMetrics().horizontalAdvance(timeText(lengthSeconds_, lengthSeconds_)));
    showTime(position_->isSliderDown() ? position_->value() / kUnitsPerSecond : playedSeconds_);
}

void ControlBar::setPaused(bool paused) {
    playPause_->setIcon(glyphIcon(paused ? Glyph::kPlay : Glyph::kPause));
    playPause_->setToolTip(paused ? QStringLiteral("Play") : QStringLiteral("Pause"));
}

void ControlBar::setVolume(double percent) {
    const QSignalBlocker quiet(volume_);
    volume_->setValue(static_cast<int>(std::lround(std::clamp(percent, 0.0, 100.0))));
}

void ControlBar::positionMoved(int value) {
    const double seconds = value / kUnitsPerSecond;
    showTime(seconds);
    emit seekRequested(seconds, position_->isSliderDown());
}

void ControlBar::showTime(double position) {
    time_->setText(timeText(position, lengthSeconds_));
}

void ControlBar::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), kBarColor);
}

}  // namespace vidmill::player
