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
#include <QTest>
#include <QTimer>
#include <cstdlib>
#include <fstream>

#include "app/desktop.h"
#include "app/main_window.h"
#include "engine/history_file.h"
#include "support/fake_converter.h"
#include "support/temp_dir.h"

namespace vidmill {

class FakeDesktop : public Desktop {
  public:
    int messageBox(QWidget*, int style, const QString& text) override {
        messages << text;
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
        return true;
    }
    void notify(const QString& title, const QString& text) override { notes << text; }
    bool launchPlayer(const QString& player, const QString& file) override {
        played << file;
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
    bool editSettings(QWidget*, ConversionSettings& settings, int videoCount) override {
        settingsCounts << videoCount;
        settings.maxConcurrent = editedJobs;
        return settingsAccepted;
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
    QStringList answers;
    QStringList shown;
    QList<int> settingsCounts;
    int editedJobs = 3;
    bool settingsAccepted = true;
};

class MainWindowTest : public QObject {
    Q_OBJECT

  private:
    std::unique_ptr<TempDir> dir_;
    FakeDesktop desktop_;
    std::unique_ptr<TFMain> window_;
    bool withPlayer_ = false;

    AppPaths paths() const {
        AppPaths paths;
        paths.converter = test::fakeConverterPath();
        // Any program will do as the player: the fake desktop only notes it.
        paths.player = withPlayer_ ? test::fakeConverterPath() : std::string();
        paths.settingsFile = dir_->file("settings.bin");
        paths.historyFile = dir_->file("history.bin");
        return paths;
    }
    EngineTiming timing() const {
        EngineTiming timing;
        timing.admissionPollMs = 10;
        timing.progressPollMs = 20;
        timing.probePollMs = 2;
        return timing;
    }
    TFMain& open(QStringList arguments = {}) {
        window_ = std::make_unique<TFMain>(desktop_, paths(), arguments, timing());
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
        QElapsedTimer clock;
        clock.start();
        while (!done()) {
            if (clock.elapsed() > ms) {
                return false;
            }
            QTest::qWait(5);
        }
        return true;
    }
    bool enabled(const char* name) { return window_->command(name)->isEnabled(); }

  private slots:
    void init() {
        dir_ = std::make_unique<TempDir>();
        // Nothing of the user's: the default folders land in the test's own.
        qputenv("HOME", QByteArray::fromStdString(dir_->path()));
        qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(dir_->file("config")));
        desktop_ = FakeDesktop();
        withPlayer_ = false;
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
        TFMain& window = open();
        Engine& engine = window.engine();
        if (active) {
            // A batch whose one conversion runs until stopped.
            engine.admitFile(
                video("long.avi", "percent 5; waitstop 20000; onstop 0").toStdString());
            engine.startBatch();
            QVERIFY(engine.batchActive());
        }
        if (status >= 0) {
            auto entry = createEntry("/videos/clip.avi");
            entry->status = EntryStatus(status);
            engine.entryList().entries().append(entry);
            engine.entryList().renumberRows();
            window.RefreshEntryList();
            window.list()->lvdGoto(engine.entryList().count() - 1);
        }
        window.UpdateCommandStates();
        QCOMPARE(enabled("PlayVideo1"), expected[0]);
        QCOMPARE(enabled("RenameVideo2"), expected[0]);
        QCOMPARE(enabled("StopConversion1"), expected[1]);
        QCOMPARE(enabled("StopAll2"), expected[2]);
        QCOMPARE(enabled("AddVideos1"), expected[3]);
        QCOMPARE(enabled("TBConvert"), expected[3]);
        QCOMPARE(enabled("DeleteEntry1"), expected[4]);
        QCOMPARE(enabled("DeleteVideo2"), expected[4]);
        QCOMPARE(enabled("DeleteUnExistingVideoEntries1"), expected[4]);
    }

    void closeWhileConvertingAsksOnce() {
        TFMain& window = open();
        window.engine().admitFile(
            video("long.avi", "percent 5; waitstop 20000; onstop 0").toStdString());
        window.engine().startBatch();
        desktop_.answer = 2;
        QVERIFY(!window.close());
        QCOMPARE(desktop_.messages.size(), 1);
        QVERIFY(window.engine().batchActive());
        desktop_.answer = 1;
        QVERIFY(window.close());
        QCOMPARE(desktop_.messages.size(), 2);
        window.shutDown();
        QVERIFY(window.engine().batchIdle());
        // The stopped entry is swept.
        QCOMPARE(window.engine().entryList().count(), 0);
    }

    void dropAddsFoldersDepthFirstAndStartsOneBatch() {
        TFMain& window = open();
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
        QVERIFY(window.engine().batchActive());
        QCOMPARE(window.engine().batchTotal(), 5);
        QVERIFY(waitFor([&] { return window.engine().batchIdle(); }));
        QCOMPARE(window.engine().batchConverted(), 5);
        QCOMPARE(desktop_.notes, QStringList({"5 converted"}));
        QCOMPARE(QString::fromStdString(window.engine().settings().lastAddFolder),
                 QFileInfo(single).absolutePath() + "/");
    }

    void dropDuringABatchDoesNothing() {
        TFMain& window = open();
        window.engine().admitFile(
            video("long.avi", "percent 5; waitstop 20000; onstop 0").toStdString());
        window.engine().startBatch();
        window.dropNames({video("late.avi")});
        QCOMPARE(window.engine().entryList().count(), 1);
        QCOMPARE(window.engine().batchTotal(), 1);
    }

    void closeDuringAFolderWalkStopsItCleanly() {
        for (int i = 0; i < 40; ++i) {
            video(QStringLiteral("many/%1.avi").arg(i, 2, 10, QLatin1Char('0')));
        }
        TFMain& window = open();
        int admittedWhenClosed = -1;
        // The close comes from inside the walk's own event processing.
        QTimer::singleShot(0, &window, [&] {
            admittedWhenClosed = window.engine().entryList().count();
            window.close();
        });
        window.dropNames({QString::fromStdString(dir_->file("many"))});
        QVERIFY(admittedWhenClosed >= 0);
        QVERIFY(window.engine().entryList().count() < 40);
        QVERIFY2(!window.engine().batchActive(), "no batch starts after a close");
        window.shutDown();
    }

    void argumentsAreTakenAbsoluteAndAdded() {
        video("args/clip.avi");
        const QString previous = QDir::currentPath();
        QDir::setCurrent(QString::fromStdString(dir_->path()));
        TFMain& window = open({"args/clip.avi"});
        QDir::setCurrent(previous);
        QVERIFY(waitFor([&] { return window.engine().entryList().count() == 1; }));
        QCOMPARE(QString::fromStdString(window.engine().entryList().at(0)->sourcePath),
                 QString::fromStdString(dir_->file("args/clip.avi")));
    }

    void addDialogStartsInTheLastFolderAndFiltersByExtension() {
        TFMain& window = open();
        desktop_.files = {video("picked/x.avi"), video("picked/y.avi")};
        QVERIFY(window.AddVideos());
        QCOMPARE(window.engine().entryList().count(), 2);
        QVERIFY(desktop_.filters.startsWith("All supported files (*.avi *.AVI "));
        QVERIFY(desktop_.filters.contains(";;All Files (* *)") ||
                desktop_.filters.contains(";;All Files (*.*)"));
        QVERIFY2(!window.engine().batchActive(), "adding alone converts nothing");
        desktop_.files.clear();
        window.AddVideos();
        QCOMPARE(desktop_.openedIn, QFileInfo(video("picked/x.avi")).absolutePath() + "/");
    }

    void theHistoryIsOnTheDiskSoonAfterAChange() {
        TFMain& window = open();
        window.engine().admitFile(video("kept.avi").toStdString());
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
        window_ = std::make_unique<TFMain>(desktop_, next, QStringList(), timing());
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
        window_->RefreshEntryList();
    }

    void playOpensWhatTheStatusOffers() {
        open();
        fillList({EntryStatus::Ok, EntryStatus::Ready, EntryStatus::Cancelled});
        const EntryList& list = window_->engine().entryList();
        for (int row : {0, 1, 2}) {
            window_->list()->lvdGoto(row);
            window_->PlayVideo();
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
        window_->list()->lvdGoto(0);
        window_->PlayVideo();
        QCOMPARE(desktop_.played,
                 QStringList({QString::fromStdString(dir_->file("e0 \"quoted\".avi"))}));
    }

    void removalMovesTheFocusAndWaitsForTheBatch() {
        open();
        fillList({EntryStatus::Ok, EntryStatus::Ready, EntryStatus::ConversionError});
        ListViewData& list = *window_->list();
        list.lvdGoto(2);
        window_->command("DeleteEntry1")->trigger();
        QCOMPARE(window_->engine().entryList().count(), 2);
        QCOMPARE(list.lvdIndexFocused(), 1);  // the new last row
        list.lvdGoto(0);
        window_->DeleteVideo();
        QCOMPARE(list.lvdIndexFocused(), 0);  // the row that took its place
        QCOMPARE(QDir(QString::fromStdString(window_->engine().settings().destinationFolder))
                     .entryList(QDir::Files),
                 QStringList());  // the converted file went with it
        window_->RemoveEntry();
        QCOMPARE(window_->engine().entryList().count(), 0);
        QCOMPARE(list.lvdIndexFocused(), -1);

        fillList({EntryStatus::Ok});
        window_->engine().admitFile(
            video("long.avi", "percent 5; waitstop 20000; onstop 0").toStdString());
        window_->engine().startBatch();
        list.lvdGoto(0);
        const int asked = desktop_.messages.size();
        window_->command("DeleteEntry1")->trigger();
        window_->RemoveEntry();
        QCOMPARE(window_->engine().entryList().count(), 2);
        QCOMPARE(desktop_.messages.size(), asked);  // nothing asked during a batch
    }

    void renameRefusesAPathAndAsksAgain() {
        open();
        fillList({EntryStatus::Ok});
        window_->list()->lvdGoto(0);
        desktop_.answers = {"../escaped", "holiday"};
        window_->RenameVideo();
        QCOMPARE(desktop_.messages.size(), 1);
        const VideoEntry& entry = *window_->engine().entryList().at(0);
        QCOMPARE(QString::fromStdString(entry.name), QStringLiteral("holiday"));
        QVERIFY(QString::fromStdString(entry.outputPath).endsWith("/holiday.mp4"));
        QVERIFY(QFileInfo::exists(QString::fromStdString(entry.outputPath)));
    }

    void settingsAreCommittedAndTheBatchDialogNamesTheVideos() {
        TFMain& window = open();
        window.command("Settings1")->trigger();
        QCOMPARE(window.engine().settings().maxConcurrent, 3);
        QVERIFY(QFileInfo::exists(QString::fromStdString(dir_->file("settings.bin"))));
        window.engine().admitFile(video("a.avi").toStdString());
        window.engine().admitFile(video("b.avi").toStdString());
        desktop_.settingsAccepted = false;
        window.command("ConvertLocalVideo1")->trigger();
        QCOMPARE(desktop_.settingsCounts, QList<int>({0, 2}));
        QVERIFY2(!window.engine().batchActive(), "a cancelled dialog starts nothing");
    }

    void failureReasonIsTheStatusTooltip() {
        TFMain& window = open();
        window.engine().admitFile(video("bad.avi", "say cannot decode this; exit 3").toStdString());
        window.engine().startBatch();
        QVERIFY(waitFor([&] { return window.engine().batchIdle(); }));
        QCOMPARE(window.cellText(0, 3), QStringLiteral("Conversion Error"));
        QCOMPARE(window.cellToolTip(0, 3), QStringLiteral("cannot decode this"));
        window.list()->lvdGoto(0);
        window.UpdateCommandStates();
        QVERIFY(window.command("ShowReason2")->isEnabled());
        window.command("ShowReason2")->trigger();
        QCOMPARE(desktop_.shown.size(), 1);
        QVERIFY(desktop_.shown[0].endsWith("cannot decode this"));
        QCOMPARE(desktop_.notes, QStringList({"0 converted, 1 not converted"}));
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
