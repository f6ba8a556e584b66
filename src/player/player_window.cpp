#include "player/player_window.h"

#include "player/control_bar.h"
#include "player/failure_box.h"
#include "player/mpv_session.h"
#include "player/video_view.h"

#include <QApplication>
#include <QEvent>
#include <QFile>
#include <QFileInfo>
#include <QScreen>
#include <QShortcut>

#include <cstdio>
#include <initializer_list>
#include <string_view>
#include <vector>

namespace vidmill::player {

namespace {

constexpr int kShortSeek = 5;
constexpr int kLongSeek = 60;

// Called on one of libmpv's threads: only hand the work to ours.
void onWakeup(void* window) {
    QMetaObject::invokeMethod(static_cast<PlayerWindow*>(window), "drainEvents",
                              Qt::QueuedConnection);
}

}  // namespace

PlayerWindow::PlayerWindow(mpv_handle* core, const std::string& path)
    : core_(core),
      path_(path),
      displayPath_(QFile::decodeName(QByteArray::fromStdString(path))),
      pages_(new QStackedLayout(this)),
      video_(new VideoView(core, this)),
      audioOnly_(new QLabel(this)),
      bar_(new ControlBar(this)),
      barTimer_(new QTimer(this)),
      barVisibility_(BarVisibility::Clock::now()) {
    const QString name = QFileInfo(displayPath_).fileName();
    setWindowTitle(name);
    resize(640, 360);
    audioOnly_->setTextFormat(Qt::PlainText);
    audioOnly_->setText(name);
    audioOnly_->setAlignment(Qt::AlignCenter);
    audioOnly_->setWordWrap(true);
    pages_->addWidget(video_);
    pages_->addWidget(audioOnly_);
    pages_->setCurrentWidget(video_);
    pages_->setContentsMargins(0, 0, 0, 0);

    // The bar lies over the picture rather than under it, so that showing and
    // hiding it never resizes the video.
    bar_->raise();
    connect(bar_, &ControlBar::pauseToggled, this, &PlayerWindow::togglePause);
    connect(bar_, &ControlBar::seekRequested, this, &PlayerWindow::seekTo);
    connect(bar_, &ControlBar::volumeRequested, this, &PlayerWindow::setVolume);
    barTimer_->setSingleShot(true);
    connect(barTimer_, &QTimer::timeout, this, &PlayerWindow::updateBar);
    // Any movement over the window counts, whichever part it is over.
    for (QWidget* watched : std::initializer_list<QWidget*>{this, video_, audioOnly_, bar_}) {
        watched->setMouseTracking(true);
        watched->installEventFilter(this);
    }
    updateBar();

    // Keys come through Qt (libmpv's own bindings are off), whichever child
    // has the focus.
    auto* pause = new QShortcut(Qt::Key_Space, this);
    connect(pause, &QShortcut::activated, this, &PlayerWindow::togglePause);
    addKey(Qt::Key_Left, {"seek", std::to_string(-kShortSeek), "relative+exact"});
    addKey(Qt::Key_Right, {"seek", std::to_string(kShortSeek), "relative+exact"});
    addKey(Qt::Key_Down, {"seek", std::to_string(-kLongSeek), "relative+exact"});
    addKey(Qt::Key_Up, {"seek", std::to_string(kLongSeek), "relative+exact"});
    auto* quit = new QShortcut(Qt::Key_Escape, this);
    connect(quit, &QShortcut::activated, this, &QWidget::close);

    connect(video_, &VideoView::ready, this, &PlayerWindow::loadFile);
    // Queued: the failure is found while painting, not a time to hide windows.
    connect(video_, &VideoView::failed, this, &PlayerWindow::fail, Qt::QueuedConnection);

    // Warnings and errors go to stderr, where whoever started us may keep them.
    mpv_request_log_messages(core_, "warn");
    // The bar follows these; libmpv reports each once at once, then on change.
    mpv_observe_property(core_, 0, "time-pos", MPV_FORMAT_DOUBLE);
    mpv_observe_property(core_, 0, "duration", MPV_FORMAT_DOUBLE);
    mpv_observe_property(core_, 0, "pause", MPV_FORMAT_FLAG);
    mpv_observe_property(core_, 0, "eof-reached", MPV_FORMAT_FLAG);
    mpv_observe_property(core_, 0, "volume", MPV_FORMAT_DOUBLE);
    mpv_set_wakeup_callback(core_, onWakeup, this);
}

PlayerWindow::~PlayerWindow() {
    mpv_set_wakeup_callback(core_, nullptr, nullptr);
}

void PlayerWindow::addKey(QKeySequence key, std::vector<std::string> words) {
    auto* shortcut = new QShortcut(key, this);
    connect(shortcut, &QShortcut::activated, this, [this, words] { command(words); });
}

void PlayerWindow::command(std::vector<std::string> words) {
    std::vector<const char*> args;
    for (const std::string& word : words) {
        args.push_back(word.c_str());
    }
    args.push_back(nullptr);
    mpv_command_async(core_, 0, args.data());
}

// At the end (the last frame is kept, paused) playing again starts over, as
// in desktop players, instead of doing nothing.
void PlayerWindow::togglePause() {
    if (paused_ && atEnd_) {
        command({"seek", "0", "absolute+exact"});
        command({"set", "pause", "no"});
    } else {
        command({"cycle", "pause"});
    }
}

void PlayerWindow::seekTo(double seconds, bool dragging) {
    // QString::number ignores the locale; libmpv wants a point.
    command({"seek", QString::number(seconds, 'f', 3).toStdString(),
             dragging ? "absolute+keyframes" : "absolute+exact"});
}

void PlayerWindow::setVolume(int percent) {
    double volume = percent;
    mpv_set_property_async(core_, 0, "volume", MPV_FORMAT_DOUBLE, &volume);
}

void PlayerWindow::loadFile() {
    const int status = player::loadFile(core_, path_);
    if (status < 0) {
        fail(QString::fromUtf8(mpv_error_string(status)));
    }
}

void PlayerWindow::drainEvents() {
    while (!failed_) {
        const mpv_event* event = mpv_wait_event(core_, 0);
        if (event->event_id == MPV_EVENT_NONE) {
            break;
        }
        handleEvent(*event);
    }
}

void PlayerWindow::handleEvent(const mpv_event& event) {
    switch (event.event_id) {
        case MPV_EVENT_LOG_MESSAGE: {
            const auto& message = *static_cast<const mpv_event_log_message*>(event.data);
            std::fprintf(stderr, "vidmill-play: [%s] %s", message.prefix, message.text);
            break;
        }
        case MPV_EVENT_PROPERTY_CHANGE:
            propertyChanged(*static_cast<const mpv_event_property*>(event.data));
            break;
        case MPV_EVENT_FILE_LOADED:
            fileLoaded();
            break;
        case MPV_EVENT_VIDEO_RECONFIG:
            fitToVideo();
            break;
        case MPV_EVENT_END_FILE: {
            const auto& end = *static_cast<const mpv_event_end_file*>(event.data);
            if (const std::optional<std::string> problem = endFileProblem(end)) {
                fail(QString::fromStdString(*problem));
            }
            break;
        }
        case MPV_EVENT_SHUTDOWN:
            close();
            break;
        default:
            break;
    }
}

// A file with nothing to play is refused by libmpv itself with an end-file
// error right after this; the tracks are read late (the event was queued), so
// they are only trusted to choose the page.
void PlayerWindow::fileLoaded() {
    if (!hasVideo(core_)) {
        pages_->setCurrentWidget(audioOnly_);
        barVisibility_.setPicture(false);
        updateBar();
    }
}

void PlayerWindow::propertyChanged(const mpv_event_property& property) {
    const std::string_view name = property.name;
    // MPV_FORMAT_NONE: the value is gone (nothing loaded), not zero.
    const auto number = [&property] {
        return property.format == MPV_FORMAT_DOUBLE ? *static_cast<const double*>(property.data)
                                                    : 0.0;
    };
    const auto flag = [&property] {
        return property.format == MPV_FORMAT_FLAG && *static_cast<const int*>(property.data) != 0;
    };
    if (name == "time-pos") {
        bar_->setPosition(number());
    } else if (name == "duration") {
        bar_->setDuration(number());
    } else if (name == "volume") {
        if (property.format == MPV_FORMAT_DOUBLE) {
            bar_->setVolume(number());
        }
    } else if (name == "eof-reached") {
        atEnd_ = flag();
    } else if (name == "pause") {
        paused_ = flag();
        bar_->setPaused(paused_);
        barVisibility_.setPaused(paused_, BarVisibility::Clock::now());
        updateBar();
    }
}

bool PlayerWindow::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
        case QEvent::MouseMove:
        case QEvent::MouseButtonPress:
        case QEvent::Wheel:
            barVisibility_.pointerMoved(BarVisibility::Clock::now());
            updateBar();
            break;
        case QEvent::Enter:
        case QEvent::Leave:
            if (watched == bar_) {
                barVisibility_.setPointerOverBar(event->type() == QEvent::Enter);
                // Leaving the bar starts the rest from now.
                barVisibility_.pointerMoved(BarVisibility::Clock::now());
                updateBar();
            }
            break;
        default:
            break;
    }
    return QWidget::eventFilter(watched, event);
}

void PlayerWindow::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    const int height = bar_->sizeHint().height();
    bar_->setGeometry(0, this->height() - height, width(), height);
}

void PlayerWindow::updateBar() {
    const BarVisibility::Clock::time_point now = BarVisibility::Clock::now();
    const bool shown = barVisibility_.shown(now);
    bar_->setVisible(shown);
    // The pointer goes with the bar, out of the picture's way.
    if (shown) {
        unsetCursor();
    } else {
        setCursor(Qt::BlankCursor);
    }
    const std::optional<BarVisibility::Clock::time_point> hideAt = barVisibility_.hideAt();
    if (shown && hideAt) {
        // A timer that fires early finds the bar still due and is set again.
        barTimer_->start(std::chrono::ceil<std::chrono::milliseconds>(*hideAt - now));
    } else {
        barTimer_->stop();
    }
}

// Once, at the first picture: the video's own size, as far as the screen
// allows; later changes of size are the user's.
void PlayerWindow::fitToVideo() {
    const std::optional<double> width = doubleProperty(core_, "dwidth");
    const std::optional<double> height = doubleProperty(core_, "dheight");
    if (fitted_ || !width || !height || *width < 1 || *height < 1) {
        return;
    }
    fitted_ = true;
    QSize size(static_cast<int>(*width), static_cast<int>(*height));
    if (const QScreen* shown = screen()) {
        const QSize room = shown->availableGeometry().size() * 0.9;
        if (size.width() > room.width() || size.height() > room.height()) {
            size.scale(room, Qt::KeepAspectRatio);
        }
    }
    resize(size);
    keepPlaced();
}

void PlayerWindow::placeOver(const Area& over) {
    over_ = over;
    keepPlaced();
}

void PlayerWindow::keepPlaced() {
    if (!over_) {
        return;
    }
    Area room;
    if (const QScreen* shown = screen()) {
        const QRect area = shown->availableGeometry();
        room = {area.x(), area.y(), area.width(), area.height()};
    }
    const Area placed = centredOver(width(), height(), *over_, room);
    move(placed.x, placed.y);
}

void PlayerWindow::fail(const QString& reason) {
    if (failed_) {
        return;
    }
    failed_ = true;
    mpv_set_wakeup_callback(core_, nullptr, nullptr);
    const char* stop[] = {"stop", nullptr};
    mpv_command_async(core_, 0, stop);
    std::fprintf(stderr, "vidmill-play: cannot play %s: %s\n", path_.c_str(),
                 reason.toUtf8().constData());
    hide();
    message_ = makeFailureBox(displayPath_, reason);
    // Not modal: no nested event loop runs while libmpv events are handled.
    connect(message_.get(), &QMessageBox::finished, qApp, [] { QCoreApplication::exit(1); });
    message_->show();
}

}  // namespace vidmill::player
