// The player's window offscreen: the control bar's texts and requests, when
// it shows, that it follows what libmpv plays, and that file names are never
// read as markup.

#include "player/player_window.h"
#include "player/bar_visibility.h"
#include "player/control_bar.h"
#include "player/mpv_session.h"
#include "player/video_view.h"
#include "support/temp_dir.h"

#include <QLabel>
#include <QProcess>
#include <QSignalSpy>
#include <QSlider>
#include <QTest>
#include <QToolButton>

#include <clocale>
#include <cmath>

namespace vidmill::player {

namespace {

constexpr int kPlayerWaitMs = 30000;  // libmpv on a loaded machine

using Clock = BarVisibility::Clock;
using std::chrono::milliseconds;

// A clip of `seconds` with picture and sound, made with the ffmpeg tool.
bool makeClip(const QString& path, int seconds) {
    const QString length = QString::number(seconds);
    QProcess ffmpeg;
    ffmpeg.start(QStringLiteral("ffmpeg"),
                 {"-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
                  "testsrc2=size=160x120:rate=25:duration=" + length, "-f", "lavfi", "-i",
                  "sine=duration=" + length, "-c:v", "mpeg4", "-c:a", "aac", "-shortest", path});
    return ffmpeg.waitForFinished(kPlayerWaitMs) && ffmpeg.exitStatus() == QProcess::NormalExit &&
           ffmpeg.exitCode() == 0;
}

}  // namespace

class PlayerWindowTest : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase() {
        // As main() does: libmpv parses numbers in "C", whatever Qt chose.
        std::setlocale(LC_NUMERIC, "C");
    }

    void timeTexts_data() {
        QTest::addColumn<double>("position");
        QTest::addColumn<double>("duration");
        QTest::addColumn<QString>("text");
        QTest::newRow("start") << 0.0 << 12.0 << "0:00 / 0:12";
        QTest::newRow("played seconds round down") << 5.97 << 12.0 << "0:05 / 0:12";
        QTest::newRow("length rounds") << 59.2 << 59.6 << "0:59 / 1:00";
        QTest::newRow("minutes") << 754.0 << 3599.0 << "12:34 / 59:59";
        QTest::newRow("an hour long shows hours on both") << 5.0 << 3600.0 << "0:00:05 / 1:00:00";
        QTest::newRow("length rounding up to an hour") << 5.0 << 3599.6 << "0:00:05 / 1:00:00";
        QTest::newRow("hours") << 3723.0 << 36000.0 << "1:02:03 / 10:00:00";
        QTest::newRow("unknown length") << 65.0 << 0.0 << "1:05";
        QTest::newRow("unknown length past an hour") << 3725.0 << 0.0 << "1:02:05";
        QTest::newRow("before the start") << -0.5 << 12.0 << "0:00 / 0:12";
        QTest::newRow("no number") << std::nan("") << std::nan("") << "0:00";
    }
    void timeTexts() {
        QFETCH(double, position);
        QFETCH(double, duration);
        QFETCH(QString, text);
        QCOMPARE(timeText(position, duration), text);
    }

    void barVisibility_data() {
        QTest::addColumn<bool>("paused");
        QTest::addColumn<bool>("overBar");
        QTest::addColumn<bool>("picture");
        QTest::addColumn<int>("restMs");  // since the pointer last moved
        QTest::addColumn<bool>("shown");
        QTest::newRow("playing, just moved") << false << false << true << 1999 << true;
        QTest::newRow("playing, rested") << false << false << true << 2000 << false;
        QTest::newRow("paused, rested") << true << false << true << 60000 << true;
        QTest::newRow("pointer on the bar") << false << true << true << 60000 << true;
        QTest::newRow("sound alone") << false << false << false << 60000 << true;
    }
    void barVisibility() {
        QFETCH(bool, paused);
        QFETCH(bool, overBar);
        QFETCH(bool, picture);
        QFETCH(int, restMs);
        QFETCH(bool, shown);
        const Clock::time_point start{};
        BarVisibility visibility(start);
        visibility.setPaused(paused, start);
        visibility.setPointerOverBar(overBar);
        visibility.setPicture(picture);
        const Clock::time_point now = start + milliseconds(restMs);
        QCOMPARE(visibility.shown(now), shown);
        // The window sets its timer from hideAt: due exactly when the bar goes.
        if (!paused && !overBar && picture) {
            QCOMPARE(visibility.hideAt(), std::optional(start + BarVisibility::kIdle));
        } else {
            QVERIFY(!visibility.hideAt());
        }
    }

    void barComesBackAndStaysAfterResuming() {
        const Clock::time_point start{};
        BarVisibility visibility(start);
        QVERIFY(!visibility.shown(start + milliseconds(2500)));
        visibility.pointerMoved(start + milliseconds(3000));
        QVERIFY(visibility.shown(start + milliseconds(4000)));
        QVERIFY(!visibility.shown(start + milliseconds(5000)));

        // Paused for a long while, then resumed by a key: the full rest again.
        visibility.setPaused(true, start + milliseconds(6000));
        visibility.setPaused(false, start + milliseconds(60000));
        QVERIFY(visibility.shown(start + milliseconds(61000)));
        QCOMPARE(visibility.hideAt(), std::optional(start + milliseconds(62000)));
    }

    // The user's moves become requests; the player's reports never do, and
    // never pull the knob from under the user's hand.
    void barAsksOnlyForWhatTheUserDoes() {
        ControlBar bar(nullptr);
        auto* position = bar.findChild<QSlider*>(QStringLiteral("position"));
        auto* volume = bar.findChild<QSlider*>(QStringLiteral("volume"));
        auto* time = bar.findChild<QLabel*>(QStringLiteral("time"));
        auto* playPause = bar.findChild<QToolButton*>(QStringLiteral("playPause"));
        QVERIFY(position && volume && time && playPause);
        QSignalSpy seeks(&bar, &ControlBar::seekRequested);
        QSignalSpy volumes(&bar, &ControlBar::volumeRequested);
        QSignalSpy toggles(&bar, &ControlBar::pauseToggled);

        QVERIFY(!position->isEnabled());  // no length, nothing to seek in
        bar.setDuration(12.0);
        bar.setPosition(3.0);
        bar.setVolume(100.0);
        QVERIFY(position->isEnabled());
        QCOMPARE(time->text(), QStringLiteral("0:03 / 0:12"));
        QCOMPARE(seeks.count(), 0);
        QCOMPARE(volumes.count(), 0);

        // Dragging: quick seeks while held, the time shows the knob, and the
        // player's reports of where it still is leave the knob alone.
        position->setSliderDown(true);
        position->setSliderPosition(9000);
        QCOMPARE(seeks.count(), 1);
        QCOMPARE(seeks.last(), QVariantList({9.0, true}));
        QCOMPARE(time->text(), QStringLiteral("0:09 / 0:12"));
        bar.setPosition(3.5);
        QCOMPARE(position->value(), 9000);
        QCOMPARE(time->text(), QStringLiteral("0:09 / 0:12"));
        position->setSliderDown(false);
        QCOMPARE(seeks.last(), QVariantList({9.0, false}));

        // A click on the groove jumps there and asks for an exact seek.
        seeks.clear();
        bar.resize(600, bar.sizeHint().height());
        bar.show();
        QVERIFY(QTest::qWaitForWindowExposed(&bar));
        const QPoint end(position->width() - 2, position->height() / 2);
        QTest::mouseClick(position, Qt::LeftButton, {}, end);
        QVERIFY(!seeks.isEmpty());
        QVERIFY(seeks.last().at(0).toDouble() > 11.0);
        QCOMPARE(seeks.last().at(1).toBool(), false);

        volume->setValue(40);
        QCOMPARE(volumes.count(), 1);
        QCOMPARE(volumes.last().at(0).toInt(), 40);
        bar.setVolume(130.0);  // the player allows more than the bar shows
        QCOMPARE(volume->value(), 100);
        QCOMPARE(volumes.count(), 1);

        QTest::mouseClick(playPause, Qt::LeftButton);
        QCOMPARE(toggles.count(), 1);
    }

    // Through libmpv without picture or sound: the bar shows the file's
    // length and time, and its requests reach the player.
    void barFollowsThePlayer() {
        TempDir dir;
        const QString clip = QString::fromStdString(dir.file("clip.mp4"));
        QVERIFY(makeClip(clip, 3));
        std::string error;
        MpvCore core = createCore(Output::kNone, error);  // starts paused
        QVERIFY2(core, error.c_str());
        PlayerWindow window(core.get(), clip.toStdString());
        auto* bar = window.findChild<ControlBar*>();
        auto* position = window.findChild<QSlider*>(QStringLiteral("position"));
        auto* time = window.findChild<QLabel*>(QStringLiteral("time"));
        auto* playPause = window.findChild<QToolButton*>(QStringLiteral("playPause"));
        QVERIFY(bar && position && time && playPause);
        // What the picture says once it can draw: load the file.
        emit window.findChild<VideoView*>()->ready();
        QTRY_COMPARE_WITH_TIMEOUT(time->text(), QStringLiteral("0:00 / 0:03"), kPlayerWaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(playPause->toolTip(), QStringLiteral("Play"), kPlayerWaitMs);

        // As a click on the groove does; between frames, so that the time
        // shown cannot round either way.
        position->setValue(2500);
        QTRY_VERIFY_WITH_TIMEOUT(doubleProperty(core.get(), "time-pos").value_or(0) > 2.2,
                                 kPlayerWaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(time->text(), QStringLiteral("0:02 / 0:03"), kPlayerWaitMs);

        window.findChild<QSlider*>(QStringLiteral("volume"))->setValue(40);
        QTRY_COMPARE_WITH_TIMEOUT(doubleProperty(core.get(), "volume").value_or(0), 40.0,
                                  kPlayerWaitMs);

        emit bar->pauseToggled();
        QTRY_COMPARE_WITH_TIMEOUT(playPause->toolTip(), QStringLiteral("Pause"), kPlayerWaitMs);
        QVERIFY(!window.failed());
    }

    void fileNamesAreNeverMarkup() {
        TempDir dir;
        const std::string path = dir.file("<b>bold &amp; &lt;x&gt;.mp3");
        std::string error;
        MpvCore core = createCore(Output::kNone, error);
        QVERIFY2(core, error.c_str());
        PlayerWindow window(core.get(), path);

        const QString name = QStringLiteral("<b>bold &amp; &lt;x&gt;.mp3");
        QLabel* nameLabel = nullptr;
        for (QLabel* label : window.findChildren<QLabel*>()) {
            if (label->text() == name) {
                nameLabel = label;
            }
        }
        QVERIFY(nameLabel);  // the page shown for sound alone
        QCOMPARE(nameLabel->textFormat(), Qt::PlainText);

        window.fail(QStringLiteral("No such file or directory"));
        const QMessageBox* box = window.failureBox();
        QVERIFY(box);
        const auto* text = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
        QVERIFY(text);
        QCOMPARE(text->textFormat(), Qt::PlainText);
        QCOMPARE(text->text(),
                 QString::fromStdString("Cannot play " + path + ": No such file or directory"));
    }
};

}  // namespace vidmill::player

QTEST_MAIN(vidmill::player::PlayerWindowTest)
#include "player_window_test.moc"
