// vidmill-screenshots: renders the main window into PNG pictures, with a list
// that holds an entry of every status and a batch at work (the fake converter
// stands in for the real one), and the tip of the day, the about box and the
// please-wait notice. Run by scripts/screenshots under Xvfb.
//
//   vidmill-screenshots OUTPUT-FOLDER [HOME]
//
// The videos of the list and the destination folder are real files and
// folders in HOME, which should be an empty folder with the look of a home,
// such as /home/alex in a mount namespace of its own (scripts/screenshots
// makes one); without it they go to a temporary folder, whose name the
// pictures then show.

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPixmap>
#include <QTabWidget>
#include <QThread>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include "support/engine_inspector.h"

#include "app/desktop.h"
#include "app/window/main_window.h"
#include "dialogs/about_box.h"
#include "dialogs/please_wait.h"
#include "dialogs/settings_dialog.h"
#include "dialogs/tip_window.h"
#include "dialogs/watch_folders_dialog.h"
#include "formats/format_preset.h"
#include "support/agreeing_desktop.h"
#include "support/fake_converter.h"
#include "support/temp_dir.h"

namespace {

void settle(int ms) {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms) {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(10);
    }
}

// A script for the fake converter. Given a size (where the list shows it),
// the file takes about the size of a video of that length: the bytes past
// the script, a hole that costs no room, are part of its last line, a comment.
void writeVideo(const std::string& path, const std::string& script, std::uintmax_t size = 0) {
    std::ofstream(path) << "#vidmill-fake\n" << script << "\n#";
    if (size > 0) {
        std::error_code ignored;
        std::filesystem::resize_file(path, size, ignored);
    }
}

bool save(QWidget& window, const QString& path) {
    const bool saved = window.grab().save(path);
    std::printf("%s %s\n", saved ? "wrote" : "could not write", qPrintable(path));
    return saved;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: vidmill-screenshots OUTPUT-FOLDER [HOME]\n");
        return 2;
    }
    const QString out = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(out);
    // The program's own files stay out of the home the pictures show.
    vidmill::TempDir dir;
    const std::string home = argc == 3 ? std::string(argv[2]) : dir.file("home");
    const std::string videos = home + "/Videos/";
    QDir().mkpath(QString::fromStdString(videos + "Lectures"));
    qputenv("HOME", QByteArray::fromStdString(home));
    qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(dir.file("config")));

    vidmill::AppPaths paths;
    paths.converter = vidmill::test::fakeConverterPath();
    paths.settingsFile = dir.file("settings.bin");
    paths.historyFile = dir.file("history.bin");
    vidmill::test::AgreeingDesktop desktop;
    vidmill::MainWindow window(desktop, paths);
    // Wide enough for every source to show whole.
    window.resize(980, 560);
    window.show();
    settle(200);

    vidmill::Engine& engine = window.engine();
    using vidmill::EntryStatus;
    // Finished entries of every kind, as a history would bring them back.
    const struct {
        const char* name;
        EntryStatus status;
        std::uint64_t size;
        int duration;
        const char* reason;
    } finished[] = {
        {"Holiday 2024/beach.mov", EntryStatus::Ok, 48'300'000, 754, ""},
        {"Holiday 2024/harbour.mov", EntryStatus::Ok, 131'000'000, 2410, ""},
        {"Phone/VID_20240612_183002.3gp", EntryStatus::Cancelled, 0, 95, "stopped"},
        {"Old tapes/wedding 1998.mpg", EntryStatus::ConversionError, 0, 3600,
         "the output runs far past the input's duration; the input's timestamps are damaged"},
        {"Screen recordings/demo.avi", EntryStatus::CancelledNotFound, 0, 61, ""},
        {"Phone/VID_20240501_101500.mp4", EntryStatus::Skipped, 20'100'000, 233, ""},
    };
    for (const auto& item : finished) {
        auto entry = vidmill::createEntry(videos + item.name);
        const std::string base = entry->sourcePath.substr(entry->sourcePath.rfind('/') + 1);
        entry->name = base.substr(0, base.rfind('.'));
        entry->kind = vidmill::kLocalFileKind;
        entry->presetId = 100;
        entry->status = item.status;
        entry->size = item.size;
        entry->duration = item.duration;
        entry->failureReason = item.reason;
        inspect(engine).entryList().entries().append(entry);
    }
    inspect(engine).entryList().renumberRows();
    // And a batch at work: two converting, the rest waiting, one ready.
    inspect(engine).settings().maxConcurrent = 2;
    for (const char* name :
         {"lecture part 1.mkv", "lecture part 2.mkv", "lecture part 3.mkv", "lecture part 4.mkv"}) {
        const std::string path = videos + "Lectures/" + name;
        writeVideo(path,
                   "probe: duration 1860\nprobe: exit 0\n"
                   "onstop 0; output 1000; steps 0 100 0.2 40");
        engine.admitFile(path);
    }
    engine.startBatch();
    const std::string ready = videos + "Lectures/questions.webm";
    writeVideo(ready, "probe: duration 42", 9'300'000);
    settle(2500);
    bool ok = save(window, out + "/main-window-converting.png");
    engine.pauseBatch();
    window.updateCommandStates();
    settle(500);
    ok = save(window, out + "/main-window-paused.png") && ok;
    engine.resumeBatch();
    engine.stopAll();
    settle(1500);
    engine.admitFile(ready);
    window.list()->gotoRow(2);
    settle(300);
    ok = save(window, out + "/main-window-idle.png") && ok;

    vidmill::TipSet tips = vidmill::programTips();
    vidmill::TipWindow tip(tips, &window);
    tip.showNextTip();
    tip.show();
    settle(300);
    ok = save(tip, out + "/tip-of-the-day.png") && ok;
    tip.hide();
    vidmill::AboutBox about(vidmill::aboutCaption(), vidmill::aboutText(), &window);
    about.show();
    settle(300);
    ok = save(about, out + "/about-box.png") && ok;
    about.hide();
    vidmill::WatchFoldersDialog watch(
        {QDir::homePath() + "/Videos/Incoming", QDir::homePath() + "/Camera uploads"}, {}, &window);
    watch.show();
    settle(300);
    ok = save(watch, out + "/watch-folders.png") && ok;
    watch.hide();
    vidmill::showPleaseWait(vidmill::kAppTitle, vidmill::updateWaitText(), &window);
    settle(300);
    ok = save(*vidmill::currentPleaseWait(), out + "/please-wait.png") && ok;
    vidmill::closePleaseWait();

    // The settings dialog as a batch start shows it, both pages.
    class NoHost : public vidmill::SettingsDialogHost {
      public:
        QString pickFolder(QWidget*, const QString&, const QString&) override { return {}; }
        void showMessage(QWidget*, const QString&) override {}
    } host;
    vidmill::SettingsDialog settings(host, inspect(engine).settings(), 4, &window);
    settings.show();
    auto* pages = settings.findChild<QTabWidget*>("PageControl1");
    for (int page = 0; pages != nullptr && page < pages->count(); ++page) {
        pages->setCurrentIndex(page);
        settle(300);
        ok = save(settings, out + QStringLiteral("/settings-page-%1.png").arg(page + 1)) && ok;
    }
    // The Editing page with a size, a cut and the bars chosen.
    if (pages != nullptr && pages->count() > 2) {
        pages->setCurrentIndex(1);
        if (auto* fit = settings.findChild<QCheckBox*>("CBFitSize")) {
            fit->setChecked(true);
        }
        if (auto* from = settings.findChild<QLineEdit*>("EdFrom")) {
            from->setText(QStringLiteral("0:10"));
        }
        if (auto* to = settings.findChild<QLineEdit*>("EdTo")) {
            to->setText(QStringLiteral("2:30"));
        }
        if (auto* crop = settings.findChild<QComboBox*>("CBCrop")) {
            crop->setCurrentIndex(1);
        }
        settle(300);
        ok = save(settings, out + "/settings-editing.png") && ok;
    }
    // A format that encodes at a constant quality.
    if (auto* formats = settings.findChild<QComboBox*>("CBVideoFor"); formats && pages) {
        pages->setCurrentIndex(0);
        formats->setCurrentIndex(vidmill::findPresetById(1200));
        settle(300);
        ok = save(settings, out + "/settings-constant-quality.png") && ok;
    }
    settings.hide();
    // Opened from the toolbar while a batch runs: what waits for the next one.
    vidmill::SettingsDialog during(host, inspect(engine).settings(), 0, &window);
    during.showBatchNote();
    during.show();
    settle(300);
    ok = save(during, out + "/settings-during-a-batch.png") && ok;
    during.hide();
    window.shutDown();
    return ok ? 0 : 1;
}
