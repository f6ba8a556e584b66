#include "player/player_window.h"

#include "player/mpv_session.h"
#include "player/video_view.h"

#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QScreen>
#include <QShortcut>

#include <cstdio>
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
      audioOnly_(new QLabel(this)) {
    const QString name = QFileInfo(displayPath_).fileName();
    setWindowTitle(name);
    resize(640, 360);
    audioOnly_->setText(name);
    audioOnly_->setAlignment(Qt::AlignCenter);
    audioOnly_->setWordWrap(true);
    pages_->addWidget(video_);
    pages_->addWidget(audioOnly_);
    pages_->setCurrentWidget(video_);

    // Keys come through Qt (libmpv's own bindings are off), whichever child
    // has the focus.
    addKey(Qt::Key_Space, {"cycle", "pause"});
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
    mpv_set_wakeup_callback(core_, onWakeup, this);
}

PlayerWindow::~PlayerWindow() {
    mpv_set_wakeup_callback(core_, nullptr, nullptr);
}

void PlayerWindow::addKey(QKeySequence key, std::vector<std::string> words) {
    auto* shortcut = new QShortcut(key, this);
    connect(shortcut, &QShortcut::activated, this, [this, words] {
        std::vector<const char*> args;
        for (const std::string& word : words) {
            args.push_back(word.c_str());
        }
        args.push_back(nullptr);
        mpv_command_async(core_, 0, args.data());
    });
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
}

void PlayerWindow::fail(const QString& reason) {
    if (failed_) {
        return;
    }
    failed_ = true;
    mpv_set_wakeup_callback(core_, nullptr, nullptr);
    const char* stop[] = {"stop", nullptr};
    mpv_command_async(core_, 0, stop);
    const QString text = QStringLiteral("Cannot play %1: %2").arg(displayPath_, reason);
    std::fprintf(stderr, "vidmill-play: cannot play %s: %s\n", path_.c_str(),
                 reason.toUtf8().constData());
    hide();
    message_ = std::make_unique<QMessageBox>(QMessageBox::Critical, QStringLiteral("Vidmill"), text,
                                             QMessageBox::Ok);
    // Not modal: no nested event loop runs while libmpv events are handled.
    connect(message_.get(), &QMessageBox::finished, qApp, [] { QCoreApplication::exit(1); });
    message_->show();
}

}  // namespace vidmill::player
