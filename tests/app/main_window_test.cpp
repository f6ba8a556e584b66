// The main window offscreen, over an engine that runs the fake converter; the
// desktop (message boxes, dialogs, notifications) is a fake that answers at
// once.

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
#include <cstdlib>
#include <fstream>

#include "app/desktop.h"
#include "app/http_get.h"
#include "app/main_window.h"
#include "app/power_off.h"
#include "app/window_state.h"
#include "dialogs/please_wait.h"
#include "engine/history_file.h"
#include "formats/format_preset.h"
#include "support/fake_converter.h"
#include "support/qt_wait.h"
#include "support/temp_dir.h"
#include "system/text_utils.h"

namespace vidmill {

bool pleaseWaitShown() {
    return currentPleaseWait() != nullptr && currentPleaseWait()->isVisible();
}

class FakeDesktop : public Desktop {
  public:
    int messageBox(QWidget*, int style, const QString& text) override {
        messages << text;
        messagesOverPleaseWait += pleaseWaitShown() ? 1 : 0;
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
    void showTips(QWidget*, TipSet& tips) override {
        tipsShown << tips.showAtStartup;
        tips.showAtStartup = tipsKept;
    }
    void showAbout(QWidget*, const QString&, const QString&) override {}
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
    QStringList messages;
    QStringList files;
    QString folder;
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

// The power-off steps, each answering as told and counting its calls.
class FakePowerOffSteps : public PowerOffSteps {
  public:
    std::optional<QString> canPowerOff(QString* why) override {
        if (can.isEmpty()) {
            *why = "no bus";
            return std::nullopt;
        }
        return can;
    }
    bool logindPowerOff(QString* why) override {
        ++logindCalls;
        *why = "denied";
        return logindWorks;
    }
    bool systemctlPowerOff(QString* why) override {
        ++systemctlCalls;
        *why = "failed";
        return systemctlWorks;
    }
    QString can;
    bool logindWorks = false;
    bool systemctlWorks = false;
    int logindCalls = 0;
    int systemctlCalls = 0;
};

// A web server of one answer: `answer` goes back to every request, or
// nothing at all when it is empty.
class OneAnswerServer : public QObject {
  public:
    explicit OneAnswerServer(QByteArray answer) : answer_(std::move(answer)) {
        server_.listen(QHostAddress::LocalHost);
        connect(&server_, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = server_.nextPendingConnection()) {
                connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                    request_ += socket->readAll();
                    if (request_.contains("\r\n\r\n") && !answer_.isEmpty()) {
                        socket->write(answer_);
                        socket->disconnectFromHost();
                    }
                });
            }
        });
    }
    QString url() const {
        return QStringLiteral("http://127.0.0.1:%1/version.txt").arg(server_.serverPort());
    }
    void stop() { server_.close(); }

  private:
    QTcpServer server_;
    QByteArray answer_;
    QByteArray request_;
};

QByteArray httpAnswer(const char* status, const QByteArray& body) {
    return QByteArray("HTTP/1.1 ") + status +
           "\r\nContent-Type: text/plain\r\nContent-Length: " + QByteArray::number(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

class MainWindowTest : public QObject {
    Q_OBJECT

  private:
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

  private slots:
    void init() {
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
    void cleanup() {
        if (window_) {
            window_->engine().stopAll();
            window_->shutDown();
            window_.reset();
        }
        dir_.reset();
    }

    void sizeRule_data() {
        QTest::addColumn<int>("width");
        QTest::addColumn<QSize>("expected");
        QTest::newRow("narrow") << 300 << QSize(400, 300);
        QTest::newRow("design") << 649 << QSize(649, 486);
        QTest::newRow("wide") << 2000 << QSize(1600, 1200);
    }
    void sizeRule() {
        QFETCH(int, width);
        QFETCH(QSize, expected);
        QCOMPARE(sizeByRule(width), expected);
    }

    void commandStates_data() {
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("active");
        // play/rename, stop conversion, stop all, add/convert, remove/delete video
        QTest::addColumn<QList<bool>>("expected");
        using S = EntryStatus;
        const auto row = [](const char* name, S status, bool active, QList<bool> expected) {
            QTest::newRow(name) << int(status) << active << expected;
        };
        row("idle ok", S::Ok, false, {true, false, false, true, true});
        row("idle ready", S::Ready, false, {true, false, false, true, true});
        row("idle failed", S::ConversionError, false, {false, false, false, true, true});
        row("idle cancelled", S::Cancelled, false, {false, false, false, true, true});
        row("active converting", S::Converting, true, {false, true, true, false, false});
        row("active pending", S::Pending, true, {false, true, true, false, false});
        row("active ok", S::Ok, true, {true, false, true, false, false});
        row("active failed", S::ConversionError, true, {false, false, true, false, false});
        row("no focus", S(-1), false, {false, false, false, true, false});
    }
    void commandStates() {
        QFETCH(int, status);
        QFETCH(bool, active);
        QFETCH(QList<bool>, expected);
        MainWindow& window = open();
        Engine& engine = window.engine();
        if (active) {
            // A batch whose one conversion runs until stopped.
            engine.admitFiles(
                {video("long.avi", "percent 5; waitstop 20000; onstop 0").toStdString()});
            engine.startBatch();
            QVERIFY(engine.batchState() != BatchState::Idle);
        }
        if (status >= 0) {
            auto entry = createEntry("/videos/clip.avi");
            entry->status = EntryStatus(status);
            engine.entryList().entries().append(entry);
            engine.entryList().renumberRows();
            window.refreshEntryList();
            window.list()->gotoRow(engine.entryList().count() - 1);
        }
        window.updateCommandStates();
        QCOMPARE(enabled(&MainWindowActions::play), expected[0]);
        QCOMPARE(enabled(&MainWindowActions::popupRename), expected[0]);
        QCOMPARE(enabled(&MainWindowActions::stopConversion), expected[1]);
        QCOMPARE(enabled(&MainWindowActions::popupStopAll), expected[2]);
        QCOMPARE(enabled(&MainWindowActions::addVideos), expected[3]);
        QCOMPARE(enabled(&MainWindowActions::barConvert), expected[3]);
        QCOMPARE(enabled(&MainWindowActions::removeEntry), expected[4]);
        QCOMPARE(enabled(&MainWindowActions::popupDelete), expected[4]);
        QCOMPARE(enabled(&MainWindowActions::removeMissing), expected[4]);
    }

    void closeWhileConvertingAsksOnce() {
        MainWindow& window = open();
        window.engine().admitFiles(
            {video("long.avi", "percent 5; waitstop 20000; onstop 0").toStdString()});
        window.engine().startBatch();
        desktop_.answer = 2;
        QVERIFY(!window.close());
        QCOMPARE(desktop_.messages.size(), 1);
        QVERIFY(window.engine().batchState() != BatchState::Idle);
        desktop_.answer = 1;
        QVERIFY(window.close());
        QCOMPARE(desktop_.messages.size(), 2);
        window.shutDown();
        QVERIFY(window.engine().batchState() == BatchState::Idle);
        // The stopped entry is swept.
        QCOMPARE(window.engine().entryList().count(), 0);
    }

    void dropAddsFoldersDepthFirstAndStartsOneBatch() {
        MainWindow& window = open();
        const QString top = video("drop/b.avi").section('/', 0, -2);
        video("drop/a/2.avi");
        video("drop/a/1.avi");
        video("drop/c.avi");
        video("drop/notes.txt");
        const QString single = video("single.avi");
        window.dropNames({top, single});
        const EntryList& list = window.engine().entryList();
        QStringList order;
        for (const auto& entry : list.entries()) {
            order << QFileInfo(QString::fromStdString(entry->sourcePath)).fileName();
        }
        QCOMPARE(order, QStringList({"1.avi", "2.avi", "b.avi", "c.avi", "single.avi"}));
        QVERIFY(window.engine().batchState() != BatchState::Idle);
        QCOMPARE(window.engine().batchTotal(), 5);
        QVERIFY(waitFor([&] { return window.engine().batchState() == BatchState::Idle; }));
        QCOMPARE(window.engine().batchConverted(), 5);
        QCOMPARE(desktop_.notes, QStringList({"5 converted"}));
        QCOMPARE(QString::fromStdString(window.engine().settings().lastAddFolder),
                 QFileInfo(single).absolutePath() + "/");
    }

    void dropDuringABatchDoesNothing() {
        MainWindow& window = open();
        window.engine().admitFiles(
            {video("long.avi", "percent 5; waitstop 20000; onstop 0").toStdString()});
        window.engine().startBatch();
        window.dropNames({video("late.avi")});
        QCOMPARE(window.engine().entryList().count(), 1);
        QCOMPARE(window.engine().batchTotal(), 1);
    }

    void closeDuringAFolderWalkStopsItCleanly() {
        for (int i = 0; i < 40; ++i) {
            video(QStringLiteral("many/%1.avi").arg(i, 2, 10, QLatin1Char('0')));
        }
        MainWindow& window = open();
        int admittedWhenClosed = -1;
        // The close comes from inside the walk's own event processing.
        QTimer::singleShot(0, &window, [&] {
            admittedWhenClosed = window.engine().entryList().count();
            window.close();
        });
        window.dropNames({QString::fromStdString(dir_->file("many"))});
        QVERIFY(admittedWhenClosed >= 0);
        QVERIFY(window.engine().entryList().count() < 40);
        QVERIFY2(window.engine().batchState() == BatchState::Idle, "no batch starts after a close");
        window.shutDown();
    }

    void argumentsAreTakenAbsoluteAndAdded() {
        video("args/clip.avi");
        const QString previous = QDir::currentPath();
        QDir::setCurrent(QString::fromStdString(dir_->path()));
        MainWindow& window = open({"args/clip.avi"});
        QDir::setCurrent(previous);
        QVERIFY(waitFor([&] { return window.engine().entryList().count() == 1; }));
        QCOMPARE(QString::fromStdString(window.engine().entryList().at(0)->sourcePath),
                 QString::fromStdString(dir_->file("args/clip.avi")));
    }

    void addDialogStartsInTheLastFolderAndFiltersByExtension() {
        MainWindow& window = open();
        desktop_.files = {video("picked/x.avi"), video("picked/y.avi")};
        QVERIFY(window.addVideos());
        QCOMPARE(window.engine().entryList().count(), 2);
        QVERIFY2(desktop_.filters.startsWith("All supported files (*.avi *.mpg ") &&
                     !desktop_.filters.contains("*.AVI"),
                 qPrintable(desktop_.filters));
        QVERIFY(desktop_.filters.contains(";;All Files (* *)") ||
                desktop_.filters.contains(";;All Files (*.*)"));
        QVERIFY2(window.engine().batchState() == BatchState::Idle, "adding alone converts nothing");
        desktop_.files.clear();
        window.addVideos();
        QCOMPARE(desktop_.openedIn, QFileInfo(video("picked/x.avi")).absolutePath() + "/");
    }

    void theHistoryIsOnTheDiskSoonAfterAChange() {
        MainWindow& window = open();
        window.engine().admitFiles({video("kept.avi").toStdString()});
        window.saveHistoryIfChanged(true);  // what the timer does every few seconds
        EntryList saved;
        QCOMPARE(loadHistoryFile(saved, dir_->file("history.bin")), 1);
        QCOMPARE(saved.count(), 1);
        QCOMPARE(saved.at(0)->status.load(), EntryStatus::Ready);
    }

    void killedMidBatchLosesNoEntry() {
        const QString done = video("batch/done.avi", "output 100");
        const QString slow1 = video("batch/slow1.avi", "output 50; percent 5; waitstop 8000");
        const QString slow2 = video("batch/slow2.avi", "output 50; percent 5; waitstop 8000");
        QProcess program;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        program.setProcessEnvironment(environment);
        // The window in a process of its own, every question answered OK.
        program.start(VIDMILL_AUTOPILOT_PATH,
                      {QString::fromStdString(test::fakeConverterPath()), done, slow1, slow2});
        QVERIFY(program.waitForStarted());
        // Until the history on the disk shows the first one converted.
        const std::string history = dir_->file("config/vidmill/history.bin");
        QVERIFY(waitFor([&] {
            EntryList saved;
            return loadHistoryFile(saved, history) == 1 && saved.count() == 3 &&
                   saved.at(0)->status.load() == EntryStatus::Ok;
        }));
        program.kill();
        QVERIFY(program.waitForFinished());

        AppPaths next = paths();
        next.settingsFile = dir_->file("config/vidmill/settings.bin");
        next.historyFile = history;
        window_ = std::make_unique<MainWindow>(desktop_, next, QStringList(), timing());
        const EntryList& list = window_->engine().entryList();
        QCOMPARE(list.count(), 3);
        QCOMPARE(list.at(0)->status.load(), EntryStatus::Ok);
        QVERIFY(QFileInfo::exists(QString::fromStdString(list.at(0)->outputPath)));
        for (int row : {1, 2}) {
            QCOMPARE(list.at(row)->status.load(), EntryStatus::Cancelled);
        }
        // What the stopped ones had begun to write is gone.
        const QDir out(QString::fromStdString(window_->engine().settings().destinationFolder));
        QCOMPARE(out.entryList(QDir::Files), QStringList({"done.mp4"}));
    }

    void aSecondStartHandsItsFilesToTheRunningWindow() {
        const QString slow = video("first/slow.avi", "output 50; percent 5; sleep 2000");
        const QString later = video("second/later.avi", "output 60");
        const QString out = QString::fromStdString(dir_->file("Videos/Vidmill"));
        auto start = [&](QProcess& program, const QString& file) {
            program.start(VIDMILL_AUTOPILOT_PATH,
                          {QString::fromStdString(test::fakeConverterPath()), file});
            return program.waitForStarted();
        };
        for (const bool withBus : {true, false}) {
            QDir(out).removeRecursively();
            // A session bus of the test's own, or none at all.
            QProcess bus;
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.insert("QT_QPA_PLATFORM", "offscreen");
            // A fresh list each time: the last one's outputs would claim the names.
            environment.insert("XDG_CONFIG_HOME",
                               QString::fromStdString(dir_->file(withBus ? "bus" : "nobus")));
            if (withBus) {
                bus.start("dbus-daemon", {"--session", "--nofork", "--print-address=1"});
                QVERIFY(bus.waitForStarted());
                QVERIFY(waitFor([&] { return bus.canReadLine(); }));
                environment.insert("DBUS_SESSION_BUS_ADDRESS",
                                   QString::fromUtf8(bus.readLine()).trimmed());
            }
            QProcess first;
            QProcess second;
            first.setProcessEnvironment(environment);
            second.setProcessEnvironment(environment);
            QVERIFY(start(first, slow));
            QVERIFY(waitFor([&] { return QFileInfo::exists(out + "/.vidmill-part-slow.mp4"); }));
            QVERIFY(start(second, later));
            QVERIFY(second.waitForFinished(30000));
            if (withBus) {
                // Handed over: the first window converts it once its batch is over.
                QCOMPARE(second.exitCode(), 0);
                QVERIFY(waitFor([&] {
                    return QDir(out).entryList(QDir::Files) ==
                           QStringList({"later.mp4", "slow.mp4"});
                }));
            } else {
                // Without a bus nothing can be handed over: it says so and ends.
                QCOMPARE(second.exitCode(), 1);
                QVERIFY(waitFor([&] { return QFileInfo::exists(out + "/slow.mp4"); }));
                QVERIFY(!QFileInfo::exists(out + "/later.mp4"));
            }
            first.kill();
            QVERIFY(first.waitForFinished());
            bus.kill();
            bus.waitForFinished();
        }
    }

    // Entries of the given statuses; Ok ones have their converted file.
    void fillList(std::initializer_list<EntryStatus> statuses) {
        Engine& engine = window_->engine();
        int i = 0;
        for (EntryStatus status : statuses) {
            const std::string name = "e" + std::to_string(i++);
            auto entry = createEntry(dir_->file(name + " \"quoted\".avi"));
            std::ofstream(entry->sourcePath) << "source";
            entry->name = name;
            entry->presetId = 100;
            entry->status = status;
            if (status == EntryStatus::Ok) {
                entry->outputPath = engine.settings().destinationFolder + ("/" + name + ".mp4");
                std::ofstream(entry->outputPath) << "converted";
            }
            engine.entryList().entries().append(entry);
        }
        engine.entryList().renumberRows();
        window_->refreshEntryList();
    }

    void playOpensWhatTheStatusOffers() {
        open();
        fillList({EntryStatus::Ok, EntryStatus::Ready, EntryStatus::Cancelled});
        const EntryList& list = window_->engine().entryList();
        for (int row : {0, 1, 2}) {
            window_->list()->gotoRow(row);
            window_->playVideo();
        }
        // No player of our own here: the desktop's program opens them, each
        // path whole.
        QCOMPARE(desktop_.opened, QStringList({QString::fromStdString(list.at(0)->outputPath),
                                               QString::fromStdString(list.at(1)->sourcePath)}));
        QVERIFY(desktop_.played.isEmpty());

        // With a player, the file goes to it whole, blank and quotes included.
        window_->shutDown();
        withPlayer_ = true;
        open();
        fillList({EntryStatus::Ready});
        window_->list()->gotoRow(0);
        window_->playVideo();
        QCOMPARE(desktop_.played,
                 QStringList({QString::fromStdString(dir_->file("e0 \"quoted\".avi"))}));
        QCOMPARE(desktop_.playedOver, window_->frameGeometry());
    }

    void viewTogglesShowAndHideWhatTheyName() {
        MainWindow& window = open();
        const std::vector<std::pair<QAction*, QWidget*>> toggles = {
            {window.actions().viewToolbar, window.findChild<QWidget*>("ToolBar1")},
            {window.actions().viewSettings, window.findChild<QWidget*>("PanelSettings")},
            {window.actions().viewStatusBar, window.statusBar()},
        };
        for (const auto& [toggle, part] : toggles) {
            const QByteArray name = toggle->objectName().toUtf8();
            QVERIFY2(part != nullptr && part->isVisible(), name);
            toggle->trigger();
            QVERIFY2(!part->isVisible() && !toggle->isChecked(), name);
            toggle->trigger();
            QVERIFY2(part->isVisible() && toggle->isChecked(), name);
        }
        window.actions().viewStatusBar->trigger();
        QVERIFY(!window.engine().settings().showStatusBar);
        // The menu bar's own menu hides the toolbar as View does.
        auto* toolBar = window.findChild<QToolBar*>("ToolBar1");
        toolBar->toggleViewAction()->trigger();
        QVERIFY(!toolBar->isVisible());
        QVERIFY(!window.actions().viewToolbar->isChecked());
        QVERIFY(!window.engine().settings().showToolbar);
    }

    void anAddHoldsBackConvertAndListsWhatItRejectedOnce() {
        MainWindow& window = open();
        const QString good = video("add/good.avi");
        const QString bad1 = QString::fromStdString(dir_->file("add/bad1.avi"));
        std::ofstream(dir_->file("add/bad1.avi")) << "#vidmill-fake\nprobe: exit -20\n";
        std::ofstream(dir_->file("add/bad2.avi")) << "#vidmill-fake\nprobe: exit -20\n";
        const QString missing = QString::fromStdString(dir_->file("add/gone.avi"));
        // Convert as the add begins, and each time it changes while the add runs.
        bool convertDuringAdd = false;
        QList<bool> addingStates;
        const auto noteConvert = [&] {
            convertDuringAdd |= window.adding() && enabled(&MainWindowActions::convert);
        };
        const QMetaObject::Connection onAdding =
            connect(&window, &MainWindow::addingChanged, [&](bool adding) {
                addingStates << adding;
                noteConvert();
            });
        const QMetaObject::Connection onConvert =
            connect(window.actions().convert, &QAction::changed, noteConvert);
        window.dropNames({good, bad1, QString::fromStdString(dir_->file("add/bad2.avi")), missing});
        disconnect(onAdding);
        disconnect(onConvert);
        QCOMPARE(addingStates, QList<bool>({true, false}));
        QVERIFY2(!convertDuringAdd, "Convert waits for the add");
        QCOMPARE(desktop_.messages.size(), 1);
        const QString& box = desktop_.messages.first();
        QVERIFY2(box.startsWith("Some items could not be added:"), qPrintable(box));
        QVERIFY(box.contains(bad1 + ": Invalid video"));
        QVERIFY(box.contains("bad2.avi: Invalid video"));
        QVERIFY(box.contains(missing + ": not found"));
        QVERIFY(waitFor([&] { return window.engine().batchState() == BatchState::Idle; }));
        QCOMPARE(window.engine().entryList().count(), 1);

        // One bad file alone keeps the message of a single file.
        desktop_.messages.clear();
        window.dropNames({bad1});
        QCOMPARE(desktop_.messages, QStringList({bad1 + " Invalid video"}));
        // Texts that name files are never taken as markup.
        QCOMPARE(
            QtDesktop::makeMessageBox(nullptr, kInformationMessage, "<b>x</b>.avi")->textFormat(),
            Qt::PlainText);
    }

    void commandsActOnEverySelectedRow() {
        open();
        fillList(
            {EntryStatus::Ok, EntryStatus::Ready, EntryStatus::ConversionError, EntryStatus::Ok});
        MainWindow& window = *window_;
        // A Ready entry shows what it will become in the format chosen now.
        const int other = formatPresets()[findPresetById(940)].id;
        window.engine().settings().presetId = other;
        QVERIFY(window.cellText(1, 2).endsWith(
            QStringLiteral("(%1)").arg(presetRow(findPresetById(other)).extension)));
        QVERIFY(window.cellText(0, 2).endsWith("(mp4)"));

        const QString out = QString::fromStdString(window.engine().settings().destinationFolder);
        window.list()->selectAllRows(true);
        window.actions().removeEntry->trigger();
        QCOMPARE(desktop_.messages.size(), 1);
        QVERIFY(desktop_.messages[0].startsWith("Remove the 4 selected entries"));
        QCOMPARE(window.engine().entryList().count(), 0);
        QCOMPARE(QDir(out).entryList(QDir::Files).size(), 2);  // files stay

        fillList({EntryStatus::Ok, EntryStatus::Ok, EntryStatus::Ready});
        window.list()->selectAllRows(true);
        window.deleteVideo();
        QCOMPARE(window.engine().entryList().count(), 0);
        // The converted ones went; the file of an entry removed before stays.
        QCOMPARE(QDir(out).entryList(QDir::Files), QStringList({"e3.mp4"}));
    }

    void keptFolderStructureAndTheWindowsOwnStateSurviveARestart() {
        AppPaths withState = paths();
        withState.windowStateFile = dir_->file("window.ini");
        window_ = std::make_unique<MainWindow>(desktop_, withState, QStringList(), timing());
        window_->show();
        QVERIFY(window_->width() >= 649);  // never below the design size
        window_->actions().keepFolderStructure->trigger();
        video("tree/2023/june/clip.avi");
        video("tree/top.avi");
        window_->dropNames({QString::fromStdString(dir_->file("tree"))});
        QVERIFY(waitFor([&] { return window_->engine().batchState() == BatchState::Idle; }));
        const QString out = QString::fromStdString(window_->engine().settings().destinationFolder);
        QVERIFY(QFileInfo::exists(out + "/2023/june/clip.mp4"));
        QVERIFY(QFileInfo::exists(out + "/top.mp4"));

        // Each choice is on the disk once made, with no clean close: the next
        // window opens while this one still stands, as after a crash.
        QVERIFY(loadWindowState(withState.windowStateFile).keepFolderStructure);
        window_->resize(900, 675);
        window_->list()->setColumnWidth(1, 133);
        QVERIFY(waitFor([&] {
            return loadWindowState(withState.windowStateFile).columnWidths.value(1) == 133;
        }));

        // Add Folder searches as a drop does, and starts nothing.
        desktop_.folder = QString::fromStdString(dir_->file("tree"));
        QVERIFY(window_->addFolder());
        QCOMPARE(window_->engine().entryList().count(), 4);
        QVERIFY(window_->engine().batchState() == BatchState::Idle);
        window_->saveHistoryIfChanged(true);

        window_ = std::make_unique<MainWindow>(desktop_, withState, QStringList(), timing());
        QCOMPARE(window_->size(), QSize(900, 675));
        QCOMPARE(window_->list()->columnWidth(1), 133);
        QVERIFY(window_->actions().keepFolderStructure->isChecked());
        // The added ones convert into their subfolders after the restart too.
        window_->engine().startBatch();
        QVERIFY(waitFor([&] { return window_->engine().batchState() == BatchState::Idle; }));
        QVERIFY(QFileInfo::exists(out + "/2023/june/clip(1).mp4"));
        QVERIFY(QFileInfo::exists(out + "/top(1).mp4"));
    }

    void removalMovesTheFocusAndWaitsForTheBatch() {
        open();
        fillList({EntryStatus::Ok, EntryStatus::Ready, EntryStatus::ConversionError});
        ListViewData& list = *window_->list();
        list.gotoRow(2);
        window_->actions().removeEntry->trigger();
        QCOMPARE(window_->engine().entryList().count(), 2);
        QCOMPARE(list.focusedRow(), 1);  // the new last row
        list.gotoRow(0);
        window_->deleteVideo();
        QCOMPARE(list.focusedRow(), 0);  // the row that took its place
        QCOMPARE(QDir(QString::fromStdString(window_->engine().settings().destinationFolder))
                     .entryList(QDir::Files),
                 QStringList());  // the converted file went with it
        window_->removeEntry();
        QCOMPARE(window_->engine().entryList().count(), 0);
        QCOMPARE(list.focusedRow(), -1);

        fillList({EntryStatus::Ok});
        window_->engine().admitFiles(
            {video("long.avi", "percent 5; waitstop 20000; onstop 0").toStdString()});
        window_->engine().startBatch();
        list.gotoRow(0);
        const int asked = desktop_.messages.size();
        window_->actions().removeEntry->trigger();
        window_->removeEntry();
        QCOMPARE(window_->engine().entryList().count(), 2);
        QCOMPARE(desktop_.messages.size(), asked);  // nothing asked during a batch
    }

    void renameRefusesAPathAndAsksAgain() {
        open();
        fillList({EntryStatus::Ok});
        window_->list()->gotoRow(0);
        desktop_.answers = {"../escaped", "holiday"};
        window_->renameVideo();
        QCOMPARE(desktop_.messages.size(), 1);
        const VideoEntry& entry = *window_->engine().entryList().at(0);
        QCOMPARE(QString::fromStdString(entry.name), QStringLiteral("holiday"));
        QVERIFY(QString::fromStdString(entry.outputPath).endsWith("/holiday.mp4"));
        QVERIFY(QFileInfo::exists(QString::fromStdString(entry.outputPath)));
    }

    void settingsAreCommittedAndTheBatchDialogNamesTheVideos() {
        MainWindow& window = open();
        window.actions().settings->trigger();
        QCOMPARE(window.engine().settings().maxConcurrent, 3);
        QVERIFY(QFileInfo::exists(QString::fromStdString(dir_->file("settings.bin"))));
        window.engine().admitFiles({video("a.avi").toStdString()});
        window.engine().admitFiles({video("b.avi").toStdString()});
        desktop_.settingsAccepted = false;
        window.actions().convert->trigger();
        QCOMPARE(desktop_.settingsCounts, QList<int>({0, 2}));
        QVERIFY2(window.engine().batchState() == BatchState::Idle,
                 "a cancelled dialog starts nothing");
    }

    void failureReasonIsTheStatusTooltip() {
        MainWindow& window = open();
        window.engine().admitFiles(
            {video("bad.avi", "say cannot decode this; exit 3").toStdString()});
        window.engine().startBatch();
        QVERIFY(waitFor([&] { return window.engine().batchState() == BatchState::Idle; }));
        QCOMPARE(window.cellText(0, 3), QStringLiteral("Conversion Error"));
        QCOMPARE(window.cellToolTip(0, 3), QStringLiteral("cannot decode this"));
        window.list()->gotoRow(0);
        window.updateCommandStates();
        QVERIFY(window.actions().popupReason->isEnabled());
        window.actions().popupReason->trigger();
        QCOMPARE(desktop_.shown.size(), 1);
        QVERIFY(desktop_.shown[0].endsWith("cannot decode this"));
        QCOMPARE(desktop_.notes, QStringList({"0 converted, 1 not converted"}));
    }

    void tipsShowAtFirstActivationUntilTurnedOff() {
        open();
        QVERIFY(waitFor([&] { return desktop_.tipsShown.size() == 1; }));
        QCOMPARE(desktop_.tipsShown, QList<bool>({true}));
        // From the menu, the check box cleared there is kept.
        desktop_.tipsKept = false;
        window_->actions().tipOfTheDay->trigger();
        QCOMPARE(desktop_.tipsShown, QList<bool>({true, true}));
        QVERIFY(!window_->engine().settings().showTips);
        reopen();
        // The start's first activation is a queued call: once a call queued
        // after it has run, so has it.
        bool settled = false;
        QMetaObject::invokeMethod(
            window_.get(), [&] { settled = true; }, Qt::QueuedConnection);
        QVERIFY(waitFor([&] { return settled; }));
        QCOMPARE(desktop_.tipsShown.size(), 2);  // not at this start
        window_->actions().tipOfTheDay->trigger();
        QCOMPARE(desktop_.tipsShown.last(), false);
    }

    void homePageFollowsTheBuildSetting() {
        open();
        QVERIFY(!window_->actions().homePage->isVisible());

        homePage_ = "https://vidmill.example/";
        reopen();
        QAction* homePage = window_->actions().homePage;
        QVERIFY(homePage->isVisible());
        homePage->trigger();
        QCOMPARE(desktop_.opened, QStringList({"https://vidmill.example/"}));
        QVERIFY(desktop_.messages.isEmpty());
        desktop_.urlOpens = false;
        homePage->trigger();
        QCOMPARE(desktop_.messages.size(), 1);
        QVERIFY(desktop_.messages[0].contains("https://vidmill.example/"));
    }

    void updateCheckAtStartUpOnlyWhenConfiguredAndDue() {
        open();
        QVERIFY(desktop_.requests.isEmpty());  // no address: no check

        versionUrl_ = "http://versions.example/vidmill.txt";
        homePage_ = "https://vidmill.example/download";
        desktop_.reply = {true, "version 999.1\r\n"};
        reopen();
        QCOMPARE(desktop_.requests, QStringList({QString::fromStdString(versionUrl_)}));
        // The notice stands while the server is asked, and goes before the
        // question, which it would otherwise hide.
        QCOMPARE(desktop_.requestsUnderPleaseWait, 1);
        QCOMPARE(desktop_.messages.size(), 1);
        QVERIFY(desktop_.messages[0].contains("999.1"));
        QCOMPARE(desktop_.messagesOverPleaseWait, 0);
        QCOMPARE(desktop_.opened, QStringList({"https://vidmill.example/download"}));
        QVERIFY(currentPleaseWait() == nullptr);
        QCOMPARE(window_->engine().settings().lastUpdateCheckDay, todayNumber());

        // Checked today: the next start asks nothing and shows no notice.
        reopen();
        QCOMPARE(desktop_.requests.size(), 1);

        // A failed check leaves the day, so the next start tries again.
        window_->engine().settings().lastUpdateCheckDay = todayNumber() - 2;
        desktop_.reply = {};
        reopen();
        QCOMPARE(desktop_.requests.size(), 2);
        QCOMPARE(window_->engine().settings().lastUpdateCheckDay, todayNumber() - 2);
        QVERIFY(currentPleaseWait() == nullptr);
    }

    void updateCheckOverHttp_data() {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<bool>("received");
        QTest::addColumn<int>("bodySize");
        QTest::addColumn<bool>("dayRecorded");
        QTest::newRow("version") << httpAnswer("200 OK", "0.0.1\n") << true << 6 << true;
        QTest::newRow("not found") << httpAnswer("404 Not Found", "1.0") << false << 0 << false;
        QTest::newRow("60 bytes") << httpAnswer("200 OK", QByteArray(60, '1')) << true << 60
                                  << false;
        QTest::newRow("kept to 1000 bytes")
            << httpAnswer("200 OK", QByteArray(5000, 'x')) << true << 1000 << false;
        QTest::newRow("never answers") << QByteArray() << false << 0 << false;
        QTest::newRow("nobody there") << QByteArray("stop") << false << 0 << false;
    }
    void updateCheckOverHttp() {
        QFETCH(QByteArray, answer);
        QFETCH(bool, received);
        QFETCH(int, bodySize);
        QFETCH(bool, dayRecorded);
        OneAnswerServer server(answer == "stop" ? QByteArray() : answer);
        if (answer == "stop") {
            server.stop();
        }
        constexpr int kLimitMs = 600;
        QElapsedTimer clock;
        clock.start();
        const HttpReply reply = httpGet(server.url(), kUpdateReceiveCapacity, kLimitMs);
        QCOMPARE(reply.ok, received);
        QCOMPARE(int(reply.body.size()), bodySize);

        int asked = 0;
        UpdateCheckIo io;
        io.get = [&](const std::string& url, std::size_t capacity) {
            return httpGet(QString::fromStdString(url), capacity, kLimitMs);
        };
        io.ask = [&](const std::string&) { return ++asked, false; };
        io.openUrl = [](const std::string&) {};
        std::int32_t lastDay = 1000;
        runUpdateCheck({server.url().toStdString(), "0.0.1", "http://x.example/"}, lastDay,
                       kUpdateCheckIntervalDays, 2000, io);
        QCOMPARE(lastDay, dayRecorded ? 2000 : 1000);
        QCOMPARE(asked, 0);
        // Both requests within their limits, a silent server included.
        QVERIFY2(clock.elapsed() < 2 * kLimitMs + 1000,
                 qPrintable(QString::number(clock.elapsed())));
    }

    void powerOffStepsFallBackOnce_data() {
        QTest::addColumn<QString>("can");
        QTest::addColumn<bool>("logindWorks");
        QTest::addColumn<bool>("systemctlWorks");
        QTest::addColumn<bool>("off");
        QTest::addColumn<int>("logindCalls");
        QTest::addColumn<int>("systemctlCalls");
        QTest::newRow("allowed") << "yes" << true << false << true << 1 << 0;
        QTest::newRow("password given") << "challenge" << true << false << true << 1 << 0;
        QTest::newRow("logind refuses") << "challenge" << false << true << true << 1 << 1;
        QTest::newRow("not allowed") << "no" << true << true << true << 0 << 1;
        QTest::newRow("no logind") << "" << true << true << true << 0 << 1;
        QTest::newRow("both refuse") << "yes" << false << false << false << 1 << 1;
    }
    void powerOffStepsFallBackOnce() {
        FakePowerOffSteps steps;
        QFETCH(QString, can);
        steps.can = can;
        QFETCH(bool, logindWorks);
        steps.logindWorks = logindWorks;
        QFETCH(bool, systemctlWorks);
        steps.systemctlWorks = systemctlWorks;
        QFETCH(bool, off);
        QString why;
        QCOMPARE(powerOffWith(steps, &why), off);
        QTEST(steps.logindCalls, "logindCalls");
        QTEST(steps.systemctlCalls, "systemctlCalls");
        if (!off) {
            // Both answers, for the message that says so.
            QCOMPARE(why, QStringLiteral("logind: denied; systemctl: failed"));
        }
    }

    void shutdownAfterTheBatchIsAskedAndComesLast() {
        MainWindow& window = open();
        Engine& engine = window.engine();
        engine.settings().shutdownAfter = true;
        engine.settings().exitAfter = true;
        // Nothing waiting: nothing is asked.
        engine.startBatch();
        QVERIFY(desktop_.messages.isEmpty());

        // Cancel: nothing starts, nothing changes.
        engine.admitFiles({video("a.avi").toStdString()});
        desktop_.answer = 2;
        engine.startBatch();
        QCOMPARE(desktop_.messages.size(), 1);
        QVERIFY(engine.batchState() == BatchState::Idle);
        QVERIFY(desktop_.settingsCounts.isEmpty());
        QCOMPARE(engine.entryList().at(0)->status.load(), EntryStatus::Ready);

        // OK: the batch runs, then the window closes once, for the shutdown.
        desktop_.answer = 1;
        engine.startBatch();
        QCOMPARE(desktop_.messages.size(), 2);
        QVERIFY(waitFor(
            [&] { return engine.batchState() == BatchState::Idle && !window.isVisible(); }));
        bool settled = false;  // a second close would be queued by now
        QMetaObject::invokeMethod(
            &window, [&] { settled = true; }, Qt::QueuedConnection);
        QVERIFY(waitFor([&] { return settled; }));
        QCOMPARE(closeEvents_, 1);
        QVERIFY(engine.shutdownPending());
        QCOMPARE(desktop_.powerOffs, 0);

        // Whatever the shut-down writes is on the disk before the power-off.
        QFile::remove(QString::fromStdString(dir_->file("settings.bin")));
        QFile::remove(QString::fromStdString(dir_->file("history.bin")));
        bool savedFirst = false;
        desktop_.onPowerOff = [&] {
            EntryList saved;
            savedFirst = QFileInfo::exists(QString::fromStdString(dir_->file("settings.bin"))) &&
                         loadHistoryFile(saved, dir_->file("history.bin")) == 1 &&
                         saved.count() == 1;
        };
        // A refused power-off is told, not passed over.
        desktop_.powerOffWorks = false;
        window.shutDown();
        QCOMPARE(desktop_.powerOffs, 1);
        QVERIFY(savedFirst);
        QCOMPARE(desktop_.messages.size(), 3);
        QVERIFY(desktop_.messages[2].contains("could not be switched off (refused)"));
        window.shutDown();
        QCOMPARE(desktop_.powerOffs, 1);
    }

    void stopAllCancelsShutdownAndExit() {
        MainWindow& window = open();
        Engine& engine = window.engine();
        engine.settings().shutdownAfter = true;
        engine.settings().exitAfter = true;
        engine.admitFiles({video("long.avi", "percent 5; waitstop 20000; onstop 0").toStdString()});
        engine.startBatch();
        QVERIFY(waitFor([&] { return engine.liveWorkers() > 0; }));
        window.list()->gotoRow(0);
        window.updateCommandStates();
        window.actions().stopAll->trigger();
        QVERIFY(waitFor([&] { return engine.batchState() == BatchState::Idle; }));
        // A close at the batch's end would be queued by then: once a call
        // queued now has run, it would have too.
        bool settled = false;
        QMetaObject::invokeMethod(
            &window, [&] { settled = true; }, Qt::QueuedConnection);
        QVERIFY(waitFor([&] { return settled; }));
        QCOMPARE(closeEvents_, 0);
        QVERIFY(window.isVisible());
        QVERIFY(!engine.shutdownPending());
        window.shutDown();
        QCOMPARE(desktop_.powerOffs, 0);
    }
};

}  // namespace vidmill

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    vidmill::MainWindowTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "main_window_test.moc"
