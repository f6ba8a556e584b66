// The window with a long list: the time from start to the first painted
// list, the longest stall of the event loop while 20 conversions report
// progress, and the interface thread's processor time meanwhile; with 30,000
// entries and with 300, so that the cost of the list's length shows. Then
// the longest stall while a folder of 30,000 small clips is dropped on an
// empty window (hard links of one clip that the ffmpeg tool makes; the real
// converter probes them).
//
//   QT_QPA_PLATFORM=offscreen build/bin/window_bench   (needs vidmill-fake-convert beside it,
//                                                       and vidmill-convert for the drop)

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include "support/engine_inspector.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <fstream>

#include "app/desktop.h"
#include "app/window/main_window.h"
#include "engine/list/history_file.h"
#include "support/agreeing_desktop.h"
#include "system/user_folders.h"

namespace {

using namespace vidmill;

double threadCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Paint events of the list reach this filter; the first one ends the clock.
class FirstPaint : public QObject {
  public:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint && !painted) {
            painted = true;
        }
        return false;
    }
    bool painted = false;
};

// The longest gap between the ticks of a 10 ms timer: how long the event
// loop was held at most, from start() on.
class StallMeter {
  public:
    StallMeter() {
        timer_.setInterval(10);
        QObject::connect(&timer_, &QTimer::timeout,
                         [this] { longest_ = std::max(longest_, clock_.restart()); });
    }
    void start() {
        clock_.start();
        timer_.start();
    }
    // In milliseconds beyond the timer's own period.
    long long stop() {
        timer_.stop();
        return static_cast<long long>(longest_ - 10);
    }

  private:
    QTimer timer_;
    QElapsedTimer clock_;
    qint64 longest_ = 0;
};

void run(int entries, const std::string& dir) {
    const std::string history = dir + "/history-" + std::to_string(entries) + ".bin";
    {
        EntryList list;
        for (int i = 0; i < entries; ++i) {
            auto entry = createEntry(dir + "/old/clip" + std::to_string(i) + ".avi");
            entry->kind = kLocalFileKind;
            entry->presetId = 100;
            entry->name = "clip" + std::to_string(i);
            entry->outputPath = dir + "/out/clip" + std::to_string(i) + ".mp4";
            entry->status = EntryStatus::Ok;
            entry->size = 1'000'000 + i;
            entry->duration = 60 + i % 3600;
            list.entries().append(entry);
        }
        saveHistoryFile(list, history);
    }
    AppPaths paths;
    paths.converter = programFolder() + "/vidmill-fake-convert";
    paths.settingsFile = dir + "/settings.bin";
    paths.historyFile = history;
    vidmill::test::AgreeingDesktop desktop;

    QElapsedTimer clock;
    clock.start();
    MainWindow window(desktop, paths);
    FirstPaint paint;
    window.list()->viewport()->installEventFilter(&paint);
    window.show();
    while (!paint.painted) {
        QApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    const double firstPaint = clock.elapsed() / 1000.0;

    // Twenty conversions of about four seconds, reporting all the while.
    Engine& engine = window.engine();
    inspect(engine).settings().maxConcurrent = 20;
    for (int i = 0; i < 20; ++i) {
        const std::string path = dir + "/new" + std::to_string(i) + ".avi";
        std::ofstream(path) << "#vidmill-fake\nprobe: duration 100\nprobe: exit 0\n"
                            << "onstop 0; output 100; steps 0 100 1 40\n";
        engine.admitFile(path);
    }
    StallMeter stalls;
    engine.startBatch();
    const double cpuStart = threadCpuSeconds();
    QElapsedTimer batch;
    batch.start();
    stalls.start();
    // The window's own event loop, as in the program, until the batch is over.
    QEventLoop loop;
    QTimer done;
    QObject::connect(&done, &QTimer::timeout, [&] {
        if (engine.batchState() == BatchState::Idle) {
            loop.quit();
        }
    });
    done.start(50);
    loop.exec();
    const long long longest = stalls.stop();
    const double seconds = batch.elapsed() / 1000.0;
    const double cpu = threadCpuSeconds() - cpuStart;
    std::printf(
        "%6d entries: first paint %.3f s; during 20 conversions (%.1f s): longest stall "
        "%lld ms, interface thread %.2f%% of a core\n",
        entries, firstPaint, seconds, longest, cpu / seconds * 100);
    window.shutDown();
}

// A folder of `count` clips dropped on a window with an empty list.
void dropFolder(int count, const std::string& dir) {
    const std::string clip = dir + "/clip.mp4";
    const std::string folder = dir + "/dropped";
    const std::string make =
        "ffmpeg -nostdin -loglevel error -y -f lavfi -i "
        "testsrc=duration=1:size=160x120:rate=25 '" +
        clip + "'";
    AppPaths paths;
    paths.converter = programFolder() + "/vidmill-convert";
    if (access(paths.converter.c_str(), X_OK) != 0 || std::system(make.c_str()) != 0 ||
        mkdir(folder.c_str(), 0755) != 0) {
        std::printf("drop of %d files: skipped (needs vidmill-convert and the ffmpeg tool)\n",
                    count);
        return;
    }
    for (int i = 0; i < count; ++i) {
        const std::string name = folder + "/f" + std::to_string(i) + ".mp4";
        if (link(clip.c_str(), name.c_str()) != 0) {
            std::perror(name.c_str());
            return;
        }
    }
    paths.settingsFile = dir + "/settings-drop.bin";
    paths.historyFile = dir + "/history-drop.bin";
    vidmill::test::AgreeingDesktop desktop;
    MainWindow window(desktop, paths);
    window.show();
    QApplication::processEvents();

    StallMeter stalls;
    QElapsedTimer adding;
    adding.start();
    stalls.start();
    window.dropNames({QString::fromStdString(folder)});
    const long long longest = stalls.stop();
    const double seconds = adding.elapsed() / 1000.0;
    std::printf("drop of %d files: %d admitted in %.1f s; longest stall %lld ms\n", count,
                window.engine().entryCount(), seconds, longest);
    window.shutDown();
}

}  // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    char pattern[] = "/tmp/vidmill-window-bench-XXXXXX";
    const std::string dir = mkdtemp(pattern);
    qputenv("HOME", QByteArray::fromStdString(dir));
    qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(dir + "/config"));
    run(30000, dir);
    run(300, dir);
    dropFolder(30000, dir);
    const std::string cleanup = "rm -rf '" + dir + "'";
    return std::system(cleanup.c_str()) == 0 ? 0 : 1;
}
