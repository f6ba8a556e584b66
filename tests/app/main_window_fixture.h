#pragma once

// What the main window's tests share: the window offscreen, over an engine
// that runs the fake converter; the desktop (message boxes, dialogs,
// notifications) is a fake that answers at once.

#include <QAction>
#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QProcess>
#include <QStatusBar>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>
#include <QToolBar>
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>

#include "app/desktop.h"
#include "app/http_get.h"
#include "app/window/main_window.h"
#include "app/power_off.h"
#include "app/window_state.h"
#include "dialogs/please_wait.h"
#include "engine/list/history_file.h"
#include "formats/format_preset.h"
#include "support/fake_converter.h"
#include "support/qt_wait.h"
#include "support/temp_dir.h"
#include "system/text_utils.h"

namespace vidmill {

inline bool pleaseWaitShown() {
    return currentPleaseWait() != nullptr && currentPleaseWait()->isVisible();
}

class FakeDesktop : public Desktop {
  public:
    int messageBox(QWidget*, int style, const QString& text) override {
        messages << text;
        messagesOverPleaseWait += pleaseWaitShown() ? 1 : 0;
        if (onMessage) {
            onMessage();
        }
        if (style == kQuestionMessage && onQuestion) {
            onQuestion();
        }
        return style == kQuestionMessage ? answer : 1;
    }
    QStringList openFiles(QWidget*, const QString&, const QString& folder, const QString& filter,
                          int maxFiles) override {
        openedIn = folder;
        filters = filter;
        return files.mid(0, maxFiles);
    }
    QString pickFolder(QWidget*, const QString&, const QString&) override { return folder; }
    bool openPath(const QString& path) override {
        opened << path;
        return true;
    }
    bool openUrl(const QString& url) override {
        opened << url;
        return urlOpens;
    }
    void notify(const QString& title, const QString& text) override { notes << text; }
    bool launchPlayer(const QString& player, const QString& file, const QRect& over) override {
        played << file;
        playedOver = over;
        return playerStarts;
    }
    std::optional<std::string> promptNonEmpty(QWidget*, const QString&, const QString&,
                                              const std::string&, int) override {
        if (answers.isEmpty()) {
            return std::nullopt;
        }
        return answers.takeFirst().toStdString();
    }
    void showText(QWidget*, const QString&, const QString& text) override { shown << text; }
    bool editSettings(QWidget*, ConversionSettings& settings, int videoCount, bool) override {
        settingsCounts << videoCount;
        settings.maxConcurrent = editedJobs;
        return settingsAccepted;
    }
    void showTips(QWidget*, const TipSet& tips, std::function<void(bool)> keep) override {
        tipsShown << tips.showAtStartup;
        keep(tipsKept);
    }
    void showAbout(QWidget*, const QString&, const QString&) override {}
    bool editWatchFolders(QWidget*, QStringList& folders) override {
        folders = watched;
        return true;
    }
    bool powerOff(QString* why) override {
        ++powerOffs;
        if (onPowerOff) {
            onPowerOff();
        }
        *why = "refused";
        return powerOffWorks;
    }
    HttpReply httpGet(const std::string& url, std::size_t capacity) override {
        requests << QString::fromStdString(url);
        requestsUnderPleaseWait += pleaseWaitShown() ? 1 : 0;
        return reply;
    }

    int answer = 1;
    // Run while a message or a question is open, before it is answered.
    std::function<void()> onMessage;
    std::function<void()> onQuestion;
    QStringList messages;
    QStringList files;
    QString folder;
    // What the Watch Folders dialog gives.
    QStringList watched;
    QString openedIn;
    QString filters;
    QStringList opened;
    QStringList notes;
    QStringList played;
    bool playerStarts = true;
    QRect playedOver;
    QStringList answers;
    QStringList shown;
    QList<int> settingsCounts;
    int editedJobs = 3;
    bool settingsAccepted = true;
    bool urlOpens = true;
    QList<bool> tipsShown;
    bool tipsKept = true;
    int powerOffs = 0;
    bool powerOffWorks = true;
    std::function<void()> onPowerOff;
    QStringList requests;
    int requestsUnderPleaseWait = 0;
    int messagesOverPleaseWait = 0;
    HttpReply reply;
};

class MainWindowFixture : public QObject {
  protected:
    std::unique_ptr<TempDir> dir_;
    FakeDesktop desktop_;
    std::unique_ptr<MainWindow> window_;
    bool withPlayer_ = false;
    std::string homePage_;
    std::string versionUrl_;
    int closeEvents_ = 0;

    AppPaths paths() const {
        AppPaths paths;
        paths.converter = test::fakeConverterPath();
        // Any program will do as the player: the fake desktop only notes it.
        paths.player = withPlayer_ ? test::fakeConverterPath() : std::string();
        paths.settingsFile = dir_->file("settings.bin");
        paths.historyFile = dir_->file("history.bin");
        paths.homePage = homePage_;
        paths.previewFolder = dir_->file("cache/preview");
        paths.versionUrl = versionUrl_;
        return paths;
    }
    EngineTiming timing() const { return test::quickWindowTiming(); }
    MainWindow& open(QStringList arguments = {}) {
        window_ = std::make_unique<MainWindow>(desktop_, paths(), arguments, timing());
        closeEvents_ = 0;
        window_->installEventFilter(this);
        window_->show();
        QCoreApplication::processEvents();
        return *window_;
    }
    // A "video" that the fake converter runs: its probe says 10 seconds.
    QString video(const QString& name, const std::string& convert = "output 100") {
        const std::string path = dir_->file(name.toStdString());
        QDir().mkpath(QFileInfo(QString::fromStdString(path)).absolutePath());
        std::ofstream(path) << "#vidmill-fake\nprobe: duration 10\nprobe: exit 0\n"
                            << convert << "\n";
        return QString::fromStdString(path);
    }
    template <typename Predicate>
    bool waitFor(Predicate done, int ms = 20000) {
        return test::waitFor(done, ms);
    }
    // A status panel shows all of `text`, and is as wide as it.
    bool statusShowsWhole(const QString& text) {
        const auto panels = window_->statusBar()->findChildren<QLabel*>();
        return std::any_of(panels.begin(), panels.end(), [&](QLabel* panel) {
            return panel->text() == text && panel->isVisible() &&
                   panel->fontMetrics().horizontalAdvance(text) <= panel->contentsRect().width();
        });
    }
    bool enabled(QAction* MainWindowActions::*command) {
        return (window_->actions().*command)->isEnabled();
    }
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (window_ && watched == window_.get() && event->type() == QEvent::Close) {
            ++closeEvents_;
        }
        return QObject::eventFilter(watched, event);
    }
    // Closes the window and runs its shut-down, as the program's end does.
    void reopen() {
        window_->shutDown();
        window_.reset();
        open();
    }

    void initWindowTest() {
        dir_ = std::make_unique<TempDir>();
        // Nothing of the user's: the default folders land in the test's own.
        qputenv("HOME", QByteArray::fromStdString(dir_->path()));
        qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(dir_->file("config")));
        // Never the user's own session bus: a window there would take our files.
        qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/vidmill-test-bus");
        desktop_ = FakeDesktop();
        withPlayer_ = false;
        homePage_.clear();
        versionUrl_.clear();
    }

    void cleanupWindowTest() {
        if (window_) {
            window_->engine().stopAll();
            window_->shutDown();
            window_.reset();
        }
        dir_.reset();
    }
};

}  // namespace vidmill
