#pragma once

// Everything the window does that reaches outside the program: message
// boxes, the file and folder pickers, the modal windows, opening a file,
// folder or address with the desktop's own programs, desktop notifications,
// the request for the newest version and switching the computer off. Tests
// put a fake in its place, so that nothing ever waits for a person, reaches
// the network or switches anything off.

#include <QMessageBox>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "dialogs/tip_window.h"
#include "storage/conversion_settings.h"
#include "system/update_check.h"

class QRect;
class QUrl;
class QWidget;

namespace vidmill {

class Desktop {
  public:
    virtual ~Desktop() = default;

    // Styles as the engine's MessageStyle; gives 1 for OK, 2 for Cancel.
    virtual int messageBox(QWidget* parent, int style, const QString& text) = 0;
    // The chosen files, at most `maxFiles` of them; empty when cancelled.
    virtual QStringList openFiles(QWidget* parent, const QString& title, const QString& folder,
                                  const QString& filter, int maxFiles) = 0;
    // The chosen folder; empty when cancelled.
    virtual QString pickFolder(QWidget* parent, const QString& title, const QString& start) = 0;
    // A file or folder with the program the desktop has for it.
    virtual bool openPath(const QString& path) = 0;
    virtual bool openUrl(const QString& url) = 0;
    // A passing desktop notification; nothing when the desktop has no
    // notification service.
    virtual void notify(const QString& title, const QString& text) = 0;
    // Starts the player on the file, centred over `over` (the window that
    // asks), without waiting; false when it could not be started.
    virtual bool launchPlayer(const QString& player, const QString& file, const QRect& over) = 0;
    // A one-line text, asked again while left empty; none when cancelled.
    // The answer is in bytes, cut to capacity - 2.
    virtual std::optional<std::string> promptNonEmpty(QWidget* parent, const QString& caption,
                                                      const QString& prompt,
                                                      const std::string& initial, int capacity) = 0;
    // A text the user can read and copy.
    virtual void showText(QWidget* parent, const QString& caption, const QString& text) = 0;
    // The settings dialog on a copy of the settings; `videoCount` above 0
    // names the videos of a batch about to start; `batchRunning` says that
    // what shapes an output waits for the next batch. `settings` gets what is
    // to be kept (after Cancel too: the dialog may mend a value it could not
    // show); true when the user chose OK.
    virtual bool editSettings(QWidget* parent, ConversionSettings& settings, int videoCount,
                              bool batchRunning) = 0;
    // The tip of the day, without waiting for it to close; `keep` gets each
    // new state of its "Show at startup" check box.
    virtual void showTips(QWidget* parent, const TipSet& tips, std::function<void(bool)> keep) = 0;
    virtual void showAbout(QWidget* parent, const QString& caption, const QString& text) = 0;
    // The watched folders, to change; true when the user chose OK.
    virtual bool editWatchFolders(QWidget* parent, QStringList& folders) = 0;
    // Switches the computer off; false, with the reason in `why`, when that
    // was refused.
    virtual bool powerOff(QString* why) = 0;
    // One GET, bounded in time, reading at most `capacity` bytes.
    virtual HttpReply httpGet(const std::string& url, std::size_t capacity) = 0;
};

// The real desktop: Qt's dialogs, QDesktopServices, the freedesktop
// notification service and systemd-logind over D-Bus, and Qt's network
// access.
class QtDesktop : public Desktop {
  public:
    int messageBox(QWidget* parent, int style, const QString& text) override;
    // The box that messageBox shows, its text plain whatever it holds.
    static std::unique_ptr<QMessageBox> makeMessageBox(QWidget* parent, int style,
                                                       const QString& text);
    QStringList openFiles(QWidget* parent, const QString& title, const QString& folder,
                          const QString& filter, int maxFiles) override;
    QString pickFolder(QWidget* parent, const QString& title, const QString& start) override;
    bool openPath(const QString& path) override;
    bool openUrl(const QString& url) override;
    void notify(const QString& title, const QString& text) override;
    bool launchPlayer(const QString& player, const QString& file, const QRect& over) override;
    std::optional<std::string> promptNonEmpty(QWidget* parent, const QString& caption,
                                              const QString& prompt, const std::string& initial,
                                              int capacity) override;
    void showText(QWidget* parent, const QString& caption, const QString& text) override;
    bool editSettings(QWidget* parent, ConversionSettings& settings, int videoCount,
                      bool batchRunning) override;
    void showTips(QWidget* parent, const TipSet& tips, std::function<void(bool)> keep) override;
    void showAbout(QWidget* parent, const QString& caption, const QString& text) override;
    bool editWatchFolders(QWidget* parent, QStringList& folders) override;
    bool powerOff(QString* why) override;
    HttpReply httpGet(const std::string& url, std::size_t capacity) override;
};

// Whether the desktop has a program to open `url` with: xdg-open is there,
// and xdg-mime names a default for the folder, file type or scheme. (Asks
// xdg-mime, so it takes a few milliseconds.)
bool desktopHasOpenerFor(const QUrl& url);

// The program's name as windows and message boxes show it.
inline const char* const kAppTitle = "Vidmill";

// A filter of "description|patterns|" pairs (patterns "*.AVI;*.MPG") in the
// form of Qt's file dialogs: "description (*.avi *.mpg)" joined by ";;".
// Qt's dialog matches them whatever the case of a name; a description's own
// "(...)" list is dropped, Qt shows the patterns.
QString qtFileFilter(const std::string& bars);

}  // namespace vidmill
