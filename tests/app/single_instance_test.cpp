// The one window per user without a session bus: the lock on the
// configuration folder alone must keep a second window out.

#include "app/single_instance.h"

#include <QApplication>
#include <QFile>
#include <QTest>
#include <QTimer>
#include <memory>

#include "app/window/main_window.h"
#include "app/window_program.h"
#include "support/agreeing_desktop.h"
#include "support/temp_dir.h"

namespace vidmill {

// Answers OK and keeps the messages.
class RecordingDesktop : public test::AgreeingDesktop {
  public:
    int messageBox(QWidget*, int, const QString& text) override {
        messages << text;
        return 1;
    }
    QStringList messages;
};

class SingleInstanceTest : public QObject {
    Q_OBJECT

  private slots:
    void init() {
        dir_ = std::make_unique<TempDir>();
        qputenv("HOME", QByteArray::fromStdString(dir_->path()));
        qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(dir_->file("config")));
    }
    void cleanup() { dir_.reset(); }

    void theLockAloneKeepsASecondOwnerOut() {
        const std::string lock = dir_->file("config/vidmill/vidmill.lock");
        auto first = std::make_unique<SingleInstance>(lock);
        QCOMPARE(first->claim({}), SingleInstance::Claim::Owner);
        QVERIFY(QFile::exists(QString::fromStdString(lock)));
        {
            SingleInstance second(lock);
            QCOMPARE(second.claim({"/videos/a.avi"}), SingleInstance::Claim::AlreadyRunning);
        }
        // Another configuration folder is another list.
        SingleInstance elsewhere(dir_->file("other/vidmill.lock"));
        QCOMPARE(elsewhere.claim({}), SingleInstance::Claim::Owner);
        // The lock goes with its owner; the file it leaves keeps nobody out.
        first.reset();
        SingleInstance next(lock);
        QCOMPARE(next.claim({}), SingleInstance::Claim::Owner);
    }

    void aSecondStartOpensNoWindowAndSaysSo() {
        AppPaths paths = defaultAppPaths();
        paths.converter = dir_->file("no-converter");
        SingleInstance running(paths.lockFile);
        QCOMPARE(running.claim({}), SingleInstance::Claim::Owner);

        // Should a window open after all, its event loop ends at once, so
        // that the test fails rather than waits.
        bool windowOpened = false;
        QTimer guard;
        guard.setSingleShot(true);
        connect(&guard, &QTimer::timeout, [&] {
            windowOpened = true;
            QApplication::quit();
        });
        guard.start(0);
        RecordingDesktop desktop;
        const int status = runWindowProgram(desktop, paths, {dir_->file("a.avi").c_str()});
        guard.stop();
        QCOMPARE(status, 1);
        QVERIFY(!windowOpened);
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            QVERIFY(qobject_cast<MainWindow*>(widget) == nullptr);
        }
        QCOMPARE(desktop.messages,
                 QStringList({"Vidmill is already running. Add the videos in its window, or try "
                              "again once it has closed."}));
    }

  private:
    std::unique_ptr<TempDir> dir_;
};

}  // namespace vidmill

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // No session bus: the lock alone decides.
    qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/vidmill-test-bus");
    QApplication application(argc, argv);
    vidmill::SingleInstanceTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "single_instance_test.moc"
