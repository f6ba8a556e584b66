// The main window offscreen with the real desktop layer: its prompts,
// questions and dialogs open as they do for a person, and are answered the
// way a person answers them, by a timer that works the dialog on screen.

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <deque>
#include <fstream>
#include <functional>
#include "support/engine_inspector.h"

#include "app/desktop.h"
#include "app/window/main_window.h"
#include "app/prompt_dialog.h"
#include "app/window_state.h"
#include "dialogs/settings_dialog.h"
#include "formats/format_preset.h"
#include "support/fake_converter.h"
#include "support/qt_wait.h"
#include "support/temp_dir.h"

namespace vidmill {

// Works the modal dialogs as they come up, one step each, and notes every
// one it saw ("ClassName: text").
class DialogAnswerer : public QObject {
  public:
    using Step = std::function<void(QWidget*)>;
    DialogAnswerer() {
        connect(&timer_, &QTimer::timeout, this, [this] { poll(); });
        timer_.start(5);
    }
    void then(Step step) { steps_.push_back(std::move(step)); }
    bool done() const { return steps_.empty(); }

    QStringList seen;

    static void clickOk(QWidget* dialog) {
        if (auto* box = qobject_cast<QMessageBox*>(dialog)) {
            box->button(QMessageBox::Ok)->click();
        } else {
            static_cast<QDialog*>(dialog)->accept();
        }
    }

  private:
    void poll() {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == nullptr || !modal->isVisible() || modal->property("answered").toBool() ||
            steps_.empty()) {
            return;
        }
        modal->setProperty("answered", true);
        const auto* box = qobject_cast<QMessageBox*>(modal);
        seen << QString::fromLatin1(modal->metaObject()->className()) + ": " +
                    (box != nullptr ? box->text() : modal->windowTitle());
        Step step = std::move(steps_.front());
        steps_.pop_front();
        step(modal);
    }

    QTimer timer_;
    std::deque<Step> steps_;
};

class RealDesktopTest : public QObject {
    Q_OBJECT

  private:
    std::unique_ptr<TempDir> dir_;
    QtDesktop desktop_;
    std::unique_ptr<MainWindow> window_;

    MainWindow& open(bool tips = false) {
        AppPaths paths;
        paths.converter = test::fakeConverterPath();
        paths.settingsFile = dir_->file("settings.bin");
        paths.historyFile = dir_->file("history.bin");
        paths.windowStateFile = dir_->file("window.ini");
        window_ =
            std::make_unique<MainWindow>(desktop_, paths, QStringList(), test::quickWindowTiming());
        inspect(window_->engine()).settings().showTips = tips;
        window_->show();
        QCoreApplication::processEvents();
        return *window_;
    }
    QString out() const {
        return QString::fromStdString(inspect(window_->engine()).settings().destinationFolder);
    }
    // Converted entries named e0, e1, ..., each with its file.
    void fillConverted(int count) {
        Engine& engine = window_->engine();
        QDir().mkpath(out());
        for (int i = 0; i < count; ++i) {
            const std::string name = "e" + std::to_string(i);
            auto entry = createEntry(dir_->file(name + ".avi"));
            entry->name = name;
            entry->presetId = 100;
            entry->status = EntryStatus::Ok;
            entry->outputPath = out().toStdString() + "/" + name + ".mp4";
            std::ofstream(entry->outputPath) << "converted";
            inspect(engine).entryList().entries().append(entry);
        }
        inspect(engine).entryList().renumberRows();
        window_->refreshEntryList();
    }
    QStringList outputs() const { return QDir(out()).entryList(QDir::Files); }
    template <typename Predicate>
    bool waitFor(Predicate done, int ms = 30000) {
        return test::waitFor(done, ms);
    }

  private slots:
    void init() {
        dir_ = std::make_unique<TempDir>();
        qputenv("HOME", QByteArray::fromStdString(dir_->path()));
        qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(dir_->file("config")));
        qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/vidmill-test-bus");
    }
    void cleanup() {
        if (window_) {
            // Whatever a failed test left up, and the stop's own question.
            DialogAnswerer answerer;
            for (int i = 0; i < 5; ++i) {
                answerer.then(&DialogAnswerer::clickOk);
            }
            window_->stopAll();
            window_->shutDown();
            window_.reset();
        }
        dir_.reset();
    }

    void renameAsksInItsPromptAndRenamesTheFile() {
        open();
        fillConverted(1);
        window_->list()->gotoRow(0);
        DialogAnswerer answerer;
        answerer.then([](QWidget* dialog) {
            auto* prompt = qobject_cast<PromptDialog*>(dialog);
            QVERIFY(prompt != nullptr);
            QCOMPARE(prompt->text(), QStringLiteral("e0"));
            prompt->edit()->setText(QStringLiteral("holiday"));
            prompt->accept();
        });
        window_->actions().rename->trigger();
        QVERIFY(answerer.done());
        QCOMPARE(outputs(), QStringList({"holiday.mp4"}));
        QVERIFY(QString::fromStdString(inspect(window_->engine()).entryList().at(0)->outputPath)
                    .endsWith("/holiday.mp4"));
    }

    // The tip of the day holds nothing up: a watched folder's video is
    // converted while it stays open.
    void aWatchGoesOnWhileTheTipOfTheDayIsOpen() {
        WindowState state;
        state.watchFolders = {QString::fromStdString(dir_->file("incoming"))};
        QVERIFY(QDir().mkpath(state.watchFolders[0]) &&
                saveWindowState(dir_->file("window.ini"), state));
        test::writeFakeScript(*dir_, "incoming/new.avi",
                              "probe: duration 10\nprobe: exit 0\noutput 100");
        DialogAnswerer answerer;  // a modal tip would be noted, and closed
        answerer.then(&DialogAnswerer::clickOk);
        open(true);
        QVERIFY(waitFor([&] { return outputs() == QStringList({"new.mp4"}); }));
        QCOMPARE(answerer.seen, QStringList());
        auto* tip = window_->findChild<TipWindow*>();
        QVERIFY(tip != nullptr && tip->isVisible());
    }

    void afterACommandOnSeveralRowsOneRowIsChosen() {
        open();
        fillConverted(7);
        ListViewData& list = *window_->list();
        for (int row : {1, 2, 3}) {
            list.setRowSelected(row, true);
        }
        list.setFocusedRow(3);
        DialogAnswerer answerer;
        answerer.then(&DialogAnswerer::clickOk);
        window_->actions().removeEntry->trigger();
        QVERIFY(answerer.seen.value(0).contains("Remove the 3 selected entries"));
        QCOMPARE(list.selectedRows(), QList<int>({1}));
        QCOMPARE(list.focusedRow(), 1);

        // Delete Video now reaches the one entry in view, e4, and no other.
        answerer.then(&DialogAnswerer::clickOk);
        window_->actions().deleteVideo->trigger();
        QVERIFY(answerer.seen.value(1).contains("Delete the converted video"));
        QCOMPARE(outputs(),
                 QStringList({"e0.mp4", "e1.mp4", "e2.mp4", "e3.mp4", "e5.mp4", "e6.mp4"}));

        // The same after a Delete Video on several rows (e0 and e5 of e0, e5, e6).
        list.setRowSelected(0, true);
        answerer.then(&DialogAnswerer::clickOk);
        window_->actions().deleteVideo->trigger();
        QCOMPARE(outputs(), QStringList({"e1.mp4", "e2.mp4", "e3.mp4", "e6.mp4"}));
        QCOMPARE(list.selectedRows(), QList<int>({0}));
        QCOMPARE(list.focusedRow(), 0);
        QCOMPARE(inspect(window_->engine()).entryList().count(), 1);
    }

    void aHandOverIsAnsweredBeforeTheBatchDialogOpens() {
        MainWindow& window = open();
        const std::string video = test::writeFakeScript(
            *dir_, "later.avi", "probe: duration 10\nprobe: exit 0\noutput 100");
        bool returned = false;
        bool returnedBeforeDialog = false;
        DialogAnswerer answerer;
        answerer.then([&](QWidget* dialog) {
            returnedBeforeDialog = returned;
            QVERIFY(qobject_cast<SettingsDialog*>(dialog) != nullptr);
            DialogAnswerer::clickOk(dialog);
        });
        QVERIFY(window.takeHandedOver({QString::fromStdString(video)}));
        returned = true;
        QVERIFY(waitFor([&] { return answerer.done(); }));
        QVERIFY2(returnedBeforeDialog, "the later start waited for the batch dialog");
        QVERIFY(waitFor([&] { return outputs() == QStringList({"later.mp4"}); }));
    }

    void theAddDialogIsRoomyAndMatchesNamesOfEitherCase() {
        MainWindow& window = open();
        const QString folder = QString::fromStdString(dir_->file("picked"));
        QDir().mkpath(folder);
        for (const char* name : {"a.avi", "B.AVI", "notes.txt"}) {
            std::ofstream((folder + "/" + name).toStdString())
                << "#vidmill-fake\nprobe: duration 10\nprobe: exit 0\n";
        }
        storeText(inspect(window.engine()).settings().lastAddFolder, folder.toStdString() + "/");
        // Seen in the dialog, then checked once it is closed.
        QStringList listed;
        QSize size;
        QSize room;
        DialogAnswerer answerer;
        answerer.then([&](QWidget* widget) {
            auto* dialog = qobject_cast<QFileDialog*>(widget);
            auto* view = dialog != nullptr ? dialog->findChild<QTreeView*>("treeView") : nullptr;
            if (view == nullptr || !view->isVisible()) {
                static_cast<QDialog*>(widget)->reject();
                return;
            }
            size = dialog->size();
            room = dialog->screen()->availableGeometry().size();
            // The folder is read on a thread of the dialog's own.
            waitFor(
                [&] {
                    listed.clear();
                    const QAbstractItemModel* model = view->model();
                    for (int row = 0; row < model->rowCount(view->rootIndex()); ++row) {
                        const QModelIndex index = model->index(row, 0, view->rootIndex());
                        if (model->flags(index) & Qt::ItemIsEnabled) {
                            listed << index.data().toString();
                        }
                    }
                    listed.sort();
                    return listed.size() >= 2;
                },
                10000);
            // Typed into its name field, as a person does; a file chosen in the
            // view depends on where the keyboard focus is.
            dialog->findChild<QLineEdit*>("fileNameEdit")->setText("B.AVI");
            static_cast<QDialog*>(dialog)->accept();  // as its Open button does
            if (dialog->isVisible()) {
                dialog->reject();  // a failure, told below, never a hang
            }
        });
        QVERIFY(window.addVideos());
        QCOMPARE(listed, QStringList({"B.AVI", "a.avi"}));
        // Large, within the screen: names, sizes and types side by side.
        QVERIFY2(size.width() >= std::min(900, room.width() * 9 / 10) &&
                     size.height() >= std::min(560, room.height() * 9 / 10),
                 qPrintable(QStringLiteral("%1x%2").arg(size.width()).arg(size.height())));
        QCOMPARE(inspect(window.engine()).entryList().count(), 1);
        QVERIFY(QString::fromStdString(inspect(window.engine()).entryList().at(0)->sourcePath)
                    .endsWith("/B.AVI"));
    }

    void folderPickersQuestionsAndReasonsAreRealDialogs() {
        MainWindow& window = open();
        const QString tree = QString::fromStdString(dir_->file("tree"));
        const QString target = QString::fromStdString(dir_->file("elsewhere"));
        QDir().mkpath(tree + "/sub");
        QDir().mkpath(target);
        std::ofstream((tree + "/sub/a.avi").toStdString())
            << "#vidmill-fake\nprobe: duration 10\nprobe: exit 0\nsay cannot decode this; exit 3\n";
        const auto pick = [](const QString& folder) {
            return [folder](QWidget* widget) {
                auto* dialog = qobject_cast<QFileDialog*>(widget);
                QVERIFY(dialog != nullptr);
                dialog->setDirectory(folder);
                dialog->selectFile(folder);
                static_cast<QDialog*>(dialog)->accept();
                if (dialog->isVisible()) {
                    dialog->reject();  // a failure, told below, never a hang
                }
            };
        };
        DialogAnswerer answerer;
        answerer.then(pick(tree));
        QVERIFY(window.addFolder());
        QCOMPARE(inspect(window.engine()).entryList().count(), 1);

        answerer.then(pick(target));
        window.findChild<QPushButton*>("BSelectDir")->click();
        QCOMPARE(QString::fromStdString(inspect(window.engine()).settings().destinationFolder),
                 target);

        // A size that the video cannot fit in is said in a real box, and
        // nothing starts.
        inspect(window.engine()).settings().targetSizeKb = 100;
        answerer.then(&DialogAnswerer::clickOk);  // the batch's settings
        answerer.then(&DialogAnswerer::clickOk);  // the refusal
        window.actions().convert->trigger();
        QVERIFY2(answerer.seen.last().contains(tree + "/sub/a.avi: 100 KB cannot hold 0:10"),
                 qPrintable(answerer.seen.last()));
        QVERIFY(window.engine().batchState() == BatchState::Idle);
        inspect(window.engine()).settings().targetSizeKb = 0;

        answerer.then(&DialogAnswerer::clickOk);  // the batch's settings
        window.actions().convert->trigger();
        QVERIFY(waitFor([&] { return window.engine().batchState() == BatchState::Idle; }));
        window.list()->gotoRow(0);
        answerer.then(&DialogAnswerer::clickOk);
        window.actions().popupReason->trigger();
        QVERIFY2(answerer.seen.last().contains("cannot decode this"),
                 qPrintable(answerer.seen.last()));

        // A question answered Cancel changes nothing; OK goes on.
        for (const bool ok : {false, true}) {
            answerer.then([ok](QWidget* dialog) {
                auto* box = qobject_cast<QMessageBox*>(dialog);
                QVERIFY(box != nullptr);
                box->button(ok ? QMessageBox::Ok : QMessageBox::Cancel)->click();
            });
            window.actions().removeMissing->trigger();
            QCOMPARE(inspect(window.engine()).entryList().count(), ok ? 0 : 1);
        }
        QVERIFY(answerer.done());
    }

    void anOpenerIsAskedForBeforeOpening() {
        // xdg-mime answers with $ANSWER and notes what it was asked.
        const QString bin = QString::fromStdString(dir_->file("bin"));
        const QString asked = QString::fromStdString(dir_->file("asked"));
        QDir().mkpath(bin);
        const auto script = [&](const QString& name, const QByteArray& text) {
            QFile file(bin + "/" + name);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("#!/bin/sh\n" + text);
            file.close();
            file.setPermissions(QFile::ReadOwner | QFile::ExeOwner);
        };
        script("xdg-mime", "echo \"$3\" >> \"$ASKED\"; echo $ANSWER\n");
        const std::string manual = dir_->file("manual.html");
        std::ofstream(manual) << "<html><body>manual</body></html>";
        const QList<QUrl> urls = {QUrl::fromLocalFile(QString::fromStdString(dir_->path())),
                                  QUrl::fromLocalFile(QString::fromStdString(manual)),
                                  QUrl(QStringLiteral("https://example.org/"))};
        const QByteArray path = qgetenv("PATH");
        qputenv("PATH", bin.toUtf8());
        qputenv("ASKED", asked.toUtf8());
        struct Case {
            bool xdgOpen;
            const char* answer;
            bool opens;
        };
        for (const Case& c : {Case{false, "org.gnome.Nautilus.desktop", false},
                              Case{true, "", false}, Case{true, "firefox-esr.desktop", true}}) {
            QFile::remove(bin + "/xdg-open");
            if (c.xdgOpen) {
                script("xdg-open", "exit 0\n");
            }
            qputenv("ANSWER", c.answer);
            for (const QUrl& url : urls) {
                QCOMPARE(desktopHasOpenerFor(url), c.opens);
            }
        }
        qputenv("PATH", path);
        QFile file(asked);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts),
                 QStringList({"inode/directory", "text/html", "x-scheme-handler/https",
                              "inode/directory", "text/html", "x-scheme-handler/https"}));
    }

    void settingsChangedDuringABatchWaitForTheNextOne() {
        MainWindow& window = open();
        const std::string video = test::writeFakeScript(
            *dir_, "long.avi",
            "probe: duration 10\nprobe: exit 0\npercent 5; sleep 1000; output 100");
        window.engine().admitFiles({video});
        DialogAnswerer answerer;
        answerer.then(&DialogAnswerer::clickOk);  // the batch's own dialog
        window.actions().convert->trigger();
        QVERIFY(window.engine().batchState() != BatchState::Idle);
        bool noteShown = false;
        answerer.then([&](QWidget* dialog) {
            auto* note = dialog->findChild<QLabel*>("LBBatchNote");
            noteShown = note != nullptr && note->isVisible();
            // Another format, whose files end in another extension.
            dialog->findChild<QComboBox*>("CBVideoFor")->setCurrentIndex(findPresetById(810));
            DialogAnswerer::clickOk(dialog);
        });
        window.actions().barSettings->trigger();  // the menu's Settings waits for the batch
        QVERIFY2(noteShown, qPrintable(answerer.seen.join(" / ")));
        QCOMPARE(inspect(window.engine()).settings().presetId, int16_t(810));
        QVERIFY(waitFor([&] { return window.engine().batchState() == BatchState::Idle; }));
        QCOMPARE(outputs(), QStringList({"long.mp4"}));
    }
};

}  // namespace vidmill

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    vidmill::RealDesktopTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "real_desktop_test.moc"
