// The main window's list, its commands and the ways videos come in.

#include "app/main_window_fixture.h"
#include "support/engine_inspector.h"

#include <QMenu>

namespace vidmill {

class MainWindowTest : public MainWindowFixture {
    Q_OBJECT

  private slots:
    void init() { initWindowTest(); }
    void cleanup() { cleanupWindowTest(); }

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
            inspect(engine).entryList().entries().append(entry);
            inspect(engine).entryList().renumberRows();
            window.refreshEntryList();
            window.list()->gotoRow(inspect(engine).entryList().count() - 1);
        }
        window.updateCommandStates();
        QCOMPARE(enabled(&MainWindowActions::play), expected[0]);
        QCOMPARE(enabled(&MainWindowActions::rename), expected[0]);
        QCOMPARE(enabled(&MainWindowActions::stopConversion), expected[1]);
        QCOMPARE(enabled(&MainWindowActions::stopAll), expected[2]);
        QCOMPARE(enabled(&MainWindowActions::addVideos), expected[3]);
        QCOMPARE(enabled(&MainWindowActions::convert), expected[3]);
        QCOMPARE(enabled(&MainWindowActions::removeEntry), expected[4]);
        QCOMPARE(enabled(&MainWindowActions::deleteVideo), expected[4]);
        QCOMPARE(enabled(&MainWindowActions::removeMissing), expected[4]);
    }

    // The popup shows the menu's actions under its own captions and keys
    // while it is open, and gives them back when it closes.
    void thePopupShowsItsOwnLookWhileOpen() {
        MainWindow& window = open();
        QAction* stopAll = window.actions().stopAll;
        emit window.list()->contextMenuAt(QPoint(10, 10));
        auto* popup = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        QVERIFY(popup != nullptr && popup->actions().contains(stopAll));
        QCOMPARE(stopAll->text(), QStringLiteral("Stop All"));
        QCOMPARE(stopAll->shortcut(), QKeySequence("Ctrl+L"));
        popup->hide();
        QCOMPARE(stopAll->text(), QStringLiteral("Sto&p All"));
        QCOMPARE(stopAll->shortcut(), QKeySequence(Qt::Key_Escape));
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
        const EntryList& list = inspect(window.engine()).entryList();
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
        QCOMPARE(QString::fromStdString(inspect(window.engine()).settings().lastAddFolder),
                 QFileInfo(single).absolutePath() + "/");
    }

    void dropDuringABatchDoesNothing() {
        MainWindow& window = open();
        window.engine().admitFiles(
            {video("long.avi", "percent 5; waitstop 20000; onstop 0").toStdString()});
        window.engine().startBatch();
        window.dropNames({video("late.avi")});
        QCOMPARE(inspect(window.engine()).entryList().count(), 1);
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
            admittedWhenClosed = inspect(window.engine()).entryList().count();
            window.close();
        });
        window.dropNames({QString::fromStdString(dir_->file("many"))});
        QVERIFY(admittedWhenClosed >= 0);
        QVERIFY(inspect(window.engine()).entryList().count() < 40);
        QVERIFY2(window.engine().batchState() == BatchState::Idle, "no batch starts after a close");
        window.shutDown();
    }

    void argumentsAreTakenAbsoluteAndAdded() {
        video("args/clip.avi");
        const QString previous = QDir::currentPath();
        QDir::setCurrent(QString::fromStdString(dir_->path()));
        MainWindow& window = open({"args/clip.avi"});
        QDir::setCurrent(previous);
        QVERIFY(waitFor([&] { return inspect(window.engine()).entryList().count() == 1; }));
        QCOMPARE(QString::fromStdString(inspect(window.engine()).entryList().at(0)->sourcePath),
                 QString::fromStdString(dir_->file("args/clip.avi")));
    }

    void addDialogStartsInTheLastFolderAndFiltersByExtension() {
        MainWindow& window = open();
        desktop_.files = {video("picked/x.avi"), video("picked/y.avi")};
        QVERIFY(window.addVideos());
        QCOMPARE(inspect(window.engine()).entryList().count(), 2);
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
                entry->outputPath =
                    inspect(engine).settings().destinationFolder + ("/" + name + ".mp4");
                std::ofstream(entry->outputPath) << "converted";
            }
            inspect(engine).entryList().entries().append(entry);
        }
        inspect(engine).entryList().renumberRows();
        window_->refreshEntryList();
    }

    void playOpensWhatTheStatusOffers() {
        open();
        fillList({EntryStatus::Ok, EntryStatus::Ready, EntryStatus::Cancelled});
        const EntryList& list = inspect(window_->engine()).entryList();
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

    void previewPlaysTenSecondsMadeWithTheSettingsAndReplacesTheLast() {
        withPlayer_ = true;
        const std::string record = dir_->file("preview-command");
        open();
        window_->engine().admitFiles(
            {video("a.avi", "record " + record + "; output 100").toStdString()});
        window_->engine().admitFiles(
            {video("b.avi", "say cannot open the encoder; exit 5").toStdString()});
        window_->refreshEntryList();
        QCOMPARE(window_->engine().readyCount(), 2);
        const QString folder = QString::fromStdString(dir_->file("cache/preview"));
        for (int i = 0; i < 2; ++i) {
            window_->list()->gotoRow(0);
            window_->actions().preview->trigger();
            QVERIFY(statusShowsWhole("Making a preview of a..."));
            QVERIFY2(waitFor([&] { return desktop_.played.size() == i + 1; }),
                     qPrintable(desktop_.messages.join(";")));
            QVERIFY(desktop_.played.back().startsWith(folder + "/preview-"));
            QVERIFY(QFileInfo::exists(desktop_.played.back()));
            QVERIFY(!statusShowsWhole("Making a preview of a..."));
        }
        QVERIFY(!QFileInfo::exists(desktop_.played.front()));  // the second replaced it
        std::ifstream recorded(record);
        const std::string command((std::istreambuf_iterator<char>(recorded)),
                                  std::istreambuf_iterator<char>());
        QVERIFY2(command.find("arg=-to\narg=10.000\n") != std::string::npos, command.c_str());

        window_->list()->gotoRow(1);
        window_->actions().preview->trigger();
        QVERIFY(waitFor([&] { return !desktop_.messages.isEmpty(); }));
        QCOMPARE(desktop_.messages.back(),
                 QStringLiteral("No preview could be made: cannot open the encoder"));
        QCOMPARE(desktop_.played.size(), 2);
        window_->shutDown();
        QCOMPARE(QDir(folder).entryList(QDir::Files).size(), 0);
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
        QVERIFY(!inspect(window.engine()).settings().showStatusBar);
        // The menu bar's own menu hides the toolbar as View does.
        auto* toolBar = window.findChild<QToolBar*>("ToolBar1");
        toolBar->toggleViewAction()->trigger();
        QVERIFY(!toolBar->isVisible());
        QVERIFY(!window.actions().viewToolbar->isChecked());
        QVERIFY(!inspect(window.engine()).settings().showToolbar);
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
        QCOMPARE(inspect(window.engine()).entryList().count(), 1);

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
        inspect(window.engine()).settings().presetId = other;
        QVERIFY(window.cellText(1, 2).endsWith(
            QStringLiteral("(%1)").arg(presetRow(findPresetById(other)).extension)));
        QVERIFY(window.cellText(0, 2).endsWith("(mp4)"));

        const QString out =
            QString::fromStdString(inspect(window.engine()).settings().destinationFolder);
        window.list()->selectAllRows(true);
        window.actions().removeEntry->trigger();
        QCOMPARE(desktop_.messages.size(), 1);
        QVERIFY(desktop_.messages[0].startsWith("Remove the 4 selected entries"));
        QCOMPARE(inspect(window.engine()).entryList().count(), 0);
        QCOMPARE(QDir(out).entryList(QDir::Files).size(), 2);  // files stay

        fillList({EntryStatus::Ok, EntryStatus::Ok, EntryStatus::Ready});
        window.list()->selectAllRows(true);
        window.deleteVideo();
        QCOMPARE(inspect(window.engine()).entryList().count(), 0);
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
        const QString out =
            QString::fromStdString(inspect(window_->engine()).settings().destinationFolder);
        QVERIFY(QFileInfo::exists(out + "/2023/june/clip.mp4"));
        QVERIFY(QFileInfo::exists(out + "/top.mp4"));

        // Each choice is on the disk once made, with no clean close: the next
        // window opens while this one still stands, as after a crash.
        QVERIFY(loadWindowState(withState.windowStateFile).keepFolderStructure);
        window_->actions().skipExisting->trigger();
        QVERIFY(loadWindowState(withState.windowStateFile).skipExisting);
        window_->resize(900, 675);
        window_->list()->setColumnWidth(1, 133);
        QVERIFY(waitFor([&] {
            return loadWindowState(withState.windowStateFile).columnWidths.value(1) == 133;
        }));

        // Add Folder searches as a drop does, and starts nothing.
        desktop_.folder = QString::fromStdString(dir_->file("tree"));
        QVERIFY(window_->addFolder());
        QCOMPARE(inspect(window_->engine()).entryList().count(), 4);
        QVERIFY(window_->engine().batchState() == BatchState::Idle);
        window_->saveHistoryIfChanged(true);

        window_ = std::make_unique<MainWindow>(desktop_, withState, QStringList(), timing());
        QCOMPARE(window_->size(), QSize(900, 675));
        QCOMPARE(window_->list()->columnWidth(1), 133);
        QVERIFY(window_->actions().keepFolderStructure->isChecked());
        QVERIFY(window_->actions().skipExisting->isChecked() && window_->engine().skipExisting());
        window_->actions().skipExisting->trigger();
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
        QCOMPARE(inspect(window_->engine()).entryList().count(), 2);
        QCOMPARE(list.focusedRow(), 1);  // the new last row
        list.gotoRow(0);
        window_->deleteVideo();
        QCOMPARE(list.focusedRow(), 0);  // the row that took its place
        QCOMPARE(
            QDir(QString::fromStdString(inspect(window_->engine()).settings().destinationFolder))
                .entryList(QDir::Files),
            QStringList());  // the converted file went with it
        window_->removeEntry();
        QCOMPARE(inspect(window_->engine()).entryList().count(), 0);
        QCOMPARE(list.focusedRow(), -1);

        fillList({EntryStatus::Ok});
        window_->engine().admitFiles(
            {video("long.avi", "percent 5; waitstop 20000; onstop 0").toStdString()});
        window_->engine().startBatch();
        list.gotoRow(0);
        const int asked = desktop_.messages.size();
        window_->actions().removeEntry->trigger();
        window_->removeEntry();
        QCOMPARE(inspect(window_->engine()).entryList().count(), 2);
        QCOMPARE(desktop_.messages.size(), asked);  // nothing asked during a batch
    }

    void renameRefusesAPathAndAsksAgain() {
        open();
        fillList({EntryStatus::Ok});
        window_->list()->gotoRow(0);
        desktop_.answers = {"../escaped", "holiday"};
        window_->renameVideo();
        QCOMPARE(desktop_.messages.size(), 1);
        const VideoEntry& entry = *inspect(window_->engine()).entryList().at(0);
        QCOMPARE(QString::fromStdString(entry.name), QStringLiteral("holiday"));
        QVERIFY(QString::fromStdString(entry.outputPath).endsWith("/holiday.mp4"));
        QVERIFY(QFileInfo::exists(QString::fromStdString(entry.outputPath)));
    }

    void failureReasonIsTheStatusTooltip() {
        MainWindow& window = open();
        window.engine().admitFiles(
            {video("bad.avi", "say cannot decode this; exit 3").toStdString(),
             video("cut.avi", "output 10").toStdString()});
        inspect(window.engine()).settings().cutToMs = 90'000;
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
        // A converted entry tells what the batch asked of it, in both places.
        QCOMPARE(window.cellToolTip(1, 3), QStringLiteral("Converted with: up to 1:30"));
        window.list()->gotoRow(1);
        window.updateCommandStates();
        QCOMPARE(window.actions().popupReason->text(), QStringLiteral("About this &conversion"));
        window.actions().popupReason->trigger();
        QVERIFY(desktop_.shown.last().endsWith("Converted with: up to 1:30"));
        QCOMPARE(desktop_.notes, QStringList({"1 converted, 1 not converted"}));
    }
};

QObject* makeMainWindowTest() {
    return new MainWindowTest;
}

}  // namespace vidmill

#include "main_window_test.moc"
