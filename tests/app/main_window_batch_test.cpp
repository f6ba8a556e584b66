// The main window around a batch: starting it, the questions that stop it,
// closing while it runs, and what follows its end.

#include <QDialog>
#include "support/engine_inspector.h"

#include "app/main_window_fixture.h"

namespace vidmill {

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

class MainWindowBatchTest : public MainWindowFixture {
    Q_OBJECT

  private slots:
    void init() { initWindowTest(); }
    void cleanup() { cleanupWindowTest(); }

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
        QCOMPARE(inspect(window.engine()).entryList().count(), 0);
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
        const EntryList& list = inspect(window_->engine()).entryList();
        QCOMPARE(list.count(), 3);
        QCOMPARE(list.at(0)->status.load(), EntryStatus::Ok);
        QVERIFY(QFileInfo::exists(QString::fromStdString(list.at(0)->outputPath)));
        for (int row : {1, 2}) {
            QCOMPARE(list.at(row)->status.load(), EntryStatus::Cancelled);
        }
        // What the stopped ones had begun to write is gone.
        const QDir out(
            QString::fromStdString(inspect(window_->engine()).settings().destinationFolder));
        QCOMPARE(out.entryList(QDir::Files), QStringList({"done.mp4"}));
    }

    void settingsAreCommittedAndTheBatchDialogNamesTheVideos() {
        MainWindow& window = open();
        window.actions().settings->trigger();
        QCOMPARE(inspect(window.engine()).settings().maxConcurrent, 3);
        QVERIFY(QFileInfo::exists(QString::fromStdString(dir_->file("settings.bin"))));
        window.engine().admitFiles({video("a.avi").toStdString()});
        window.engine().admitFiles({video("b.avi").toStdString()});
        desktop_.settingsAccepted = false;
        window.actions().convert->trigger();
        QCOMPARE(desktop_.settingsCounts, QList<int>({0, 2}));
        QVERIFY2(window.engine().batchState() == BatchState::Idle,
                 "a cancelled dialog starts nothing");
    }

    // Said in one message before anything starts, with what would help.
    void aSizeThatCannotFitIsSaidBeforeTheBatch_data() {
        QTest::addColumn<int>("preset");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<QString>("remedy");
        QTest::newRow("video") << 100 << "20 KB cannot hold 0:10 of video"
                               << "Choose a larger size or a lower audio bitrate";
        QTest::newRow("sound alone") << 5000 << "20 KB cannot hold 0:10"
                                     << "Choose a larger size in the settings";
        QTest::newRow("sound kept whole") << 5050 << "the sound of this format is not compressed"
                                          << "Choose a format that compresses its sound";
    }
    void aSizeThatCannotFitIsSaidBeforeTheBatch() {
        QFETCH(int, preset);
        QFETCH(QString, reason);
        QFETCH(QString, remedy);
        MainWindow& window = open();
        inspect(window.engine()).settings().presetId = int16_t(preset);
        inspect(window.engine()).settings().targetSizeKb = 20;
        window.engine().admitFiles({video("a.avi").toStdString()});
        window.refreshEntryList();
        window.actions().convert->trigger();
        QCOMPARE(desktop_.messages.size(), 1);
        QVERIFY2(desktop_.messages[0].contains(video("a.avi") + ": " + reason),
                 qPrintable(desktop_.messages[0]));
        QVERIFY2(desktop_.messages[0].contains(remedy), qPrintable(desktop_.messages[0]));
        QVERIFY(window.engine().batchState() == BatchState::Idle);
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
        inspect(engine).settings().shutdownAfter = true;
        inspect(engine).settings().exitAfter = true;
        // Nothing waiting: nothing is asked.
        window.startBatch();
        QVERIFY(desktop_.messages.isEmpty());

        // Cancel: nothing starts, nothing changes.
        engine.admitFiles({video("a.avi").toStdString()});
        desktop_.answer = 2;
        window.startBatch();
        QCOMPARE(desktop_.messages.size(), 1);
        QVERIFY(engine.batchState() == BatchState::Idle);
        QVERIFY(desktop_.settingsCounts.isEmpty());
        QCOMPARE(inspect(engine).entryList().at(0)->status.load(), EntryStatus::Ready);

        // OK: the batch runs, then the window closes once, for the shutdown.
        desktop_.answer = 1;
        window.startBatch();
        QCOMPARE(desktop_.messages.size(), 2);
        QVERIFY(waitFor(
            [&] { return engine.batchState() == BatchState::Idle && !window.isVisible(); }));
        bool settled = false;  // a second close would be queued by now
        QMetaObject::invokeMethod(
            &window, [&] { settled = true; }, Qt::QueuedConnection);
        QVERIFY(waitFor([&] { return settled; }));
        QCOMPARE(closeEvents_, 1);
        QVERIFY(window.shutdownPending());
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

    // Stop All asks; whatever the answer, neither the exit nor the power-off
    // chosen for the batch's end follows. A batch left alone is followed by
    // the exit alone when no power-off is chosen.
    void whatFollowsTheBatch_data() {
        QTest::addColumn<int>("stopAllAnswer");  // 0: Stop All is not given
        QTest::addColumn<bool>("shutdownAfter");
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("closes");
        QTest::newRow("stop all, OK") << 1 << true << int(EntryStatus::Cancelled) << 0;
        QTest::newRow("stop all, Cancel") << 2 << true << int(EntryStatus::Ok) << 0;
        QTest::newRow("left alone, exit after") << 0 << false << int(EntryStatus::Ok) << 1;
    }
    void whatFollowsTheBatch() {
        QFETCH(int, stopAllAnswer);
        QFETCH(bool, shutdownAfter);
        QFETCH(int, status);
        QFETCH(int, closes);
        MainWindow& window = open();
        Engine& engine = window.engine();
        inspect(engine).settings().shutdownAfter = shutdownAfter;
        inspect(engine).settings().exitAfter = true;
        // A conversion of a second or more that a stop ends at once.
        engine.admitFiles(
            {video("long.avi", "onstop 0; output 10; steps 0 100 2 30").toStdString()});
        engine.startBatch();
        QVERIFY(waitFor([&] { return engine.liveWorkers() > 0; }));
        if (stopAllAnswer != 0) {
            desktop_.answer = stopAllAnswer;
            window.list()->gotoRow(0);
            window.updateCommandStates();
            window.actions().stopAll->trigger();
            QCOMPARE(desktop_.messages, QStringList({"Stop all conversions?"}));
        }
        QVERIFY(waitFor([&] { return engine.batchState() == BatchState::Idle; }));
        // A close at the batch's end would be queued by then: once a call
        // queued now has run, it would have too.
        bool settled = false;
        QMetaObject::invokeMethod(
            &window, [&] { settled = true; }, Qt::QueuedConnection);
        QVERIFY(waitFor([&] { return settled; }));
        QCOMPARE(int(inspect(engine).entryList().at(0)->status.load()), status);
        QCOMPARE(closeEvents_, closes);
        QVERIFY(!window.shutdownPending());
        window.shutDown();
        QCOMPARE(desktop_.powerOffs, 0);
    }

    void pauseHoldsTheBatchAndSkipLeavesConvertedVideos() {
        MainWindow& window = open();
        Engine& engine = window.engine();
        QCOMPARE(window.actions().pauseAll->shortcut(), QKeySequence(Qt::Key_F3));
        window.actions().skipExisting->trigger();
        QVERIFY(engine.skipExisting());
        const QString out = QString::fromUtf8(textOf(inspect(engine).settings().destinationFolder));
        QVERIFY(QDir().mkpath(out));
        // A video that someone else made: it reads as media.
        const QByteArray theirs("#vidmill-fake\nprobe: duration 1\n");
        std::ofstream((out + "/done.mp4").toStdString()) << theirs.toStdString();
        engine.admitFiles(
            {video("done.avi").toStdString(),
             video("long.avi", "onstop 0; output 10; steps 0 100 5 40").toStdString()});
        engine.startBatch();
        QVERIFY(waitFor([&] {
            return window.cellText(0, 3) == QStringLiteral("Skipped (exists)") &&
                   window.cellText(1, 3).startsWith("Convert ");
        }));
        window.updateCommandStates();
        QVERIFY(enabled(&MainWindowActions::pauseAll));
        window.actions().pauseAll->trigger();
        QCOMPARE(window.actions().pauseAll->text(), QStringLiteral("Res&ume"));
        QVERIFY(waitFor([&] { return window.cellText(1, 3).startsWith("Paused "); }));
        window.actions().pauseAll->trigger();
        QVERIFY(waitFor([&] { return engine.batchState() == BatchState::Idle; }));
        QCOMPARE(inspect(engine).entryList().at(1)->status.load(), EntryStatus::Ok);
        QCOMPARE(window.actions().pauseAll->text(), QStringLiteral("P&ause All"));
        QFile before(out + "/done.mp4");
        QVERIFY(before.open(QIODevice::ReadOnly));
        QCOMPARE(before.readAll(), theirs);
        window.shutDown();
    }

    void watchedFoldersAddWhatAppearsAsADrop() {
        MainWindow& window = open();
        window.resize(1400, window.height());
        Engine& engine = window.engine();
        const QString in = QString::fromStdString(dir_->file("incoming"));
        QVERIFY(QDir().mkpath(in));
        desktop_.watched = {in};
        window.actions().watchFolders->trigger();
        QVERIFY(waitFor([&] { return statusShowsWhole("Watching incoming"); }));
        QCOMPARE(window.statusPanel(0)->width(), 70);
        // A start must not convert the folder again.
        QVERIFY(engine.skipExisting() && !window.actions().skipExisting->isEnabled());
        // Nothing modal holds it up, nor the note of what could not be
        // added: nobody may be there to close them.
        QDialog modal(&window);
        modal.setModal(true);
        modal.show();
        bool toldDuringTheBatch = false;
        desktop_.onMessage = [&] { toldDuringTheBatch = engine.batchState() != BatchState::Idle; };
        std::ofstream(dir_->file("incoming/bad.avi")) << "no video";
        video("incoming/new.avi");
        QVERIFY(waitFor([&] {
            return inspect(engine).entryList().count() == 1 &&
                   engine.batchState() == BatchState::Idle &&
                   inspect(engine).entryList().at(0)->status.load() == EntryStatus::Ok;
        }));
        QVERIFY(toldDuringTheBatch);
        modal.hide();
        QVERIFY(QDir(in).removeRecursively());
        QVERIFY(waitFor([&] {
            return statusShowsWhole(
                in + ": the watched folder is gone; it is watched again when it comes back");
        }));
        desktop_.watched = {};
        window.actions().watchFolders->trigger();
        QVERIFY(statusShowsWhole("F1 Help"));
        QVERIFY(!engine.skipExisting() && window.actions().skipExisting->isEnabled());
        window.shutDown();
    }

    void convertOffersTheStoppedVideosAgainOrTheAddDialog() {
        MainWindow& window = open();
        Engine& engine = window.engine();
        engine.admitFiles({video("a.avi").toStdString(), video("b.avi").toStdString()});
        for (const auto& entry : inspect(engine).entryList().entries()) {
            entry->status = EntryStatus::Cancelled;
        }
        // Cancel: nothing goes again; the Add dialog opens instead, and with
        // nothing picked there nothing starts.
        desktop_.answer = 2;
        window.actions().convert->trigger();
        QCOMPARE(
            desktop_.messages,
            QStringList({"No video is ready to convert. Convert the 2 stopped videos again?"}));
        QVERIFY(!desktop_.openedIn.isEmpty());
        QVERIFY(desktop_.settingsCounts.isEmpty());
        QVERIFY(engine.batchState() == BatchState::Idle);
        QCOMPARE(inspect(engine).entryList().at(0)->status.load(), EntryStatus::Cancelled);

        // OK: both go again in one batch, which the settings dialog names.
        desktop_.answer = 1;
        desktop_.openedIn.clear();
        window.list()->gotoRow(0);
        window.actions().convert->trigger();
        QVERIFY(desktop_.openedIn.isEmpty());
        QCOMPARE(desktop_.settingsCounts, QList<int>({2}));
        QCOMPARE(window.list()->focusedRow(), 1);
        QVERIFY(waitFor([&] { return engine.batchState() == BatchState::Idle; }));
        QCOMPARE(engine.batchConverted(), 2);
    }

    // The question names one entry; while it is open the rows may move or
    // the conversion may end. The answer stops that entry, or nothing.
    void stopConversionStopsTheEntryItAskedAbout_data() {
        QTest::addColumn<bool>("endsMeanwhile");
        QTest::newRow("rows move") << false;
        QTest::newRow("it ends meanwhile") << true;
    }
    void stopConversionStopsTheEntryItAskedAbout() {
        QFETCH(bool, endsMeanwhile);
        MainWindow& window = open();
        Engine& engine = window.engine();
        const QString path =
            video("long.avi", endsMeanwhile ? "onstop 0; output 10; steps 0 100 5 50"
                                            : "onstop 0; output 10; percent 5; waitstop 20000");
        engine.admitFiles({path.toStdString()});
        engine.startBatch();
        VideoEntry& asked = *inspect(engine).entryList().at(0);
        QVERIFY(waitFor([&] { return asked.status.load() == EntryStatus::Converting; }));
        VideoEntry* other = nullptr;
        desktop_.onQuestion = [&] {
            if (endsMeanwhile) {
                QVERIFY(waitFor([&] { return asked.status.load() == EntryStatus::Ok; }));
                return;
            }
            // Another entry takes row 0, the one asked about moves down.
            auto entry = createEntry("/videos/other.avi");
            entry->status = EntryStatus::Pending;
            other = entry.get();
            std::lock_guard lock(inspect(engine).mutex());
            inspect(engine).entryList().entries().insertAt(0, entry);
            inspect(engine).entryList().renumberRows();
        };
        window.list()->gotoRow(0);
        window.updateCommandStates();
        window.actions().stopConversion->trigger();
        QCOMPARE(desktop_.messages, QStringList({"Stop the conversion of " + path + "?"}));
        if (endsMeanwhile) {
            QCOMPARE(asked.status.load(), EntryStatus::Ok);
        } else {
            QCOMPARE(asked.status.load(), EntryStatus::Cancelled);
            QCOMPARE(other->status.load(), EntryStatus::Pending);
        }
        QVERIFY(waitFor([&] { return engine.liveWorkers() == 0; }));
    }
};

QObject* makeMainWindowBatchTest() {
    return new MainWindowBatchTest;
}

}  // namespace vidmill

#include "main_window_batch_test.moc"
