#pragma once

// The player's window: the picture (or, for sound alone, the file's name)
// with a control bar over its foot, keys for pause and seeking, and a clear
// message when the file cannot be played.

#include "player/bar_visibility.h"
#include "player/mpv_handles.h"
#include "player/player_options.h"

#include <QLabel>
#include <QMessageBox>
#include <QStackedLayout>
#include <QTimer>
#include <QWidget>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vidmill::player {

class ControlBar;
class VideoView;

class PlayerWindow : public QWidget {
    Q_OBJECT
  public:
    // `core` must outlive the window; `path` is the file as named to us.
    PlayerWindow(mpv_handle* core, const std::string& path);
    ~PlayerWindow() override;

    // Hides the window and tells the user why `path` cannot be played; the
    // event loop ends with 1 once the message is dismissed.
    void fail(const QString& reason);
    bool failed() const { return failed_; }
    // The message shown by `fail`, while it is up.
    const QMessageBox* failureBox() const { return message_.get(); }
    // Stands centred over `over` (the window that started the player), now
    // and again once it has taken the video's size.
    void placeOver(const Area& over);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

  private:
    // Queued from libmpv's threads by name.
    Q_INVOKABLE void drainEvents();
    void handleEvent(const mpv_event& event);
    void propertyChanged(const mpv_event_property& property);
    void fileLoaded();
    void fitToVideo();
    void keepPlaced();
    std::optional<Area> over_;
    void addKey(QKeySequence key, std::vector<std::string> words);
    void command(std::vector<std::string> words);
    void loadFile();
    void togglePause();
    void seekTo(double seconds, bool dragging);
    void setVolume(int percent);
    void updateBar();

    mpv_handle* core_;
    std::string path_;
    QString displayPath_;
    QStackedLayout* pages_;
    VideoView* video_;
    QLabel* audioOnly_;
    ControlBar* bar_;
    QTimer* barTimer_;  // hides the bar once the pointer has rested
    BarVisibility barVisibility_;
    std::unique_ptr<QMessageBox> message_;  // no parent: it outlives the hidden window
    bool failed_ = false;
    bool fitted_ = false;
    bool paused_ = false;
    bool atEnd_ = false;
};

}  // namespace vidmill::player
