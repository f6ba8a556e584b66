#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>

#include <string>

#include "dialogs/settings_dialog.h"
#include "formats/format_preset.h"

using vidmill::ConversionSettings;
using vidmill::SettingsDialog;
using vidmill::SettingsDialogHost;

namespace {

const QStringList kVideoLists = {"CBDxDy", "CBVideoBitrate", "CBVFrameRate", "CBVCodec"};
const QStringList kAudioLists = {"CBAudioBitrate", "CBFreq", "CBChannels", "CBVolume", "CBACodec"};

class FakeHost : public SettingsDialogHost {
  public:
    QString pickFolder(QWidget*, const QString& title, const QString& start) override {
        titles << title;
        starts << start;
        return answer;
    }
    void showMessage(QWidget*, const QString& text) override { messages << text; }

    QString answer;
    QStringList titles;
    QStringList starts;
    QStringList messages;
};

template <class T>
T* control(const SettingsDialog& dialog, const QString& name) {
    T* widget = dialog.findChild<T*>(name);
    if (widget == nullptr) {
        qFatal("no control %s", qPrintable(name));
    }
    return widget;
}

QComboBox* list(const SettingsDialog& dialog, const QString& name) {
    return control<QComboBox>(dialog, name);
}

QCheckBox* check(const SettingsDialog& dialog, const QString& name) {
    return control<QCheckBox>(dialog, name);
}

QStringList items(const QComboBox* box) {
    QStringList texts;
    for (int i = 0; i < box->count(); ++i) {
        texts << box->itemText(i);
    }
    return texts;
}

ConversionSettings defaults() {
    ConversionSettings settings;
    vidmill::setDefaultSettings(settings);
    return settings;
}

void pickFormat(const SettingsDialog& dialog, int presetId) {
    list(dialog, "CBVideoFor")->setCurrentIndex(vidmill::findPresetById(presetId));
}

// The fields the dialog edits, readable in a failed comparison.
QString describe(const ConversionSettings& s) {
    return QStringLiteral(
               "preset %1 size %2x%3 fps %4 vb %5 ab %6 ch %7 hz %8 vol %9 vc '%10' "
               "ac '%11' novideo %12 noaudio %13 dir '%14' jobs %15 prio %16")
        .arg(s.presetId)
        .arg(s.frameWidth)
        .arg(s.frameHeight)
        .arg(double(s.frameRate), 0, 'g', 9)
        .arg(s.videoBitrate)
        .arg(s.audioBitrate)
        .arg(s.channels)
        .arg(s.sampleRate)
        .arg(s.volume)
        .arg(QString::fromUtf8(s.videoCodec))
        .arg(QString::fromUtf8(s.audioCodec))
        .arg(s.disableVideo)
        .arg(s.disableAudio)
        .arg(QString::fromUtf8(s.destinationFolder))
        .arg(s.maxConcurrent)
        .arg(s.converterPriority);
}

void expectSame(const ConversionSettings& actual, const ConversionSettings& expected) {
    QCOMPARE(describe(actual), describe(expected));
    QVERIFY(actual == expected);
}

}  // namespace

class SettingsDialogTest : public QObject {
    Q_OBJECT
  private slots:
    void valueListsOfAFormat();
    void pickingAFormatStoresItsOwnValues_data();
    void pickingAFormatStoresItsOwnValues();
    void audioOnlyFormatHidesVideo();
    void disableBoxSwitchesItsLists_data();
    void disableBoxSwitchesItsLists();
    void bothDisabledIsRefused();
    void recordValuesOutsideTheLists_data();
    void recordValuesOutsideTheLists();
    void priorityIsLimitedEvenOnCancel_data();
    void priorityIsLimitedEvenOnCancel();
    void setDefaultsLeavesGeneralPage();
    void generalPageStoredOnlyOnOk_data();
    void generalPageStoredOnlyOnOk();
    void destinationFolder();
    void captionNamesTheVideos();
    void qualityReplacesTheBitrate();
    void editingPageKeepsSizeCutAndPicture();
};

void SettingsDialogTest::valueListsOfAFormat() {
    FakeHost host;
    SettingsDialog dialog(host, defaults(), 0);
    // The PSP's NTSC rate is the float 29.976f, whose mark depends on the
    // precision of the test.
    QCOMPARE(list(dialog, "CBVideoFor")->currentText(), "PSP MPEG-4 Video (*.mp4)");
    QCOMPARE(items(list(dialog, "CBVFrameRate")), QStringList({"14.985", "29.976  (NTSC)"}));
    QCOMPARE(list(dialog, "CBVFrameRate")->currentIndex(), 1);

    pickFormat(dialog, 950);  // the default lists
    QCOMPARE(items(list(dialog, "CBVFrameRate")),
             QStringList({"12", "15", "20", "23.976", "25         (PAL)", "29.976  (NTSC)", "30",
                          "Original"}));
    const QStringList volumes = items(list(dialog, "CBVolume"));
    QCOMPARE(volumes.size(), 21);
    QCOMPARE(volumes.first(), "0%");
    QCOMPARE(volumes[4], "100%  (normal)");
    QCOMPARE(volumes.last(), "500%");
    QCOMPARE(items(list(dialog, "CBChannels")), QStringList({"Mono (1)", "Stereo (2)"}));
    QCOMPARE(list(dialog, "CBDxDy")->itemText(0), "80 x 60");
    QCOMPARE(items(list(dialog, "CBDxDy")).last(), "Original");
    QCOMPARE(items(list(dialog, "CBVideoBitrate")).last(), "Original");

    pickFormat(dialog, 600);
    QCOMPARE(items(list(dialog, "CBVCodec")), QStringList({"MP4", "H263"}));
    pickFormat(dialog, 5050);  // no video codec at all
    QCOMPARE(items(list(dialog, "CBVCodec")), QStringList({"(Default)"}));
    QCOMPARE(items(list(dialog, "CBACodec")), QStringList({"PCM"}));

    pickFormat(dialog, 510);
    QCOMPARE(list(dialog, "CBDxDy")->currentText(), "1280 x 720");
    QCOMPARE(list(dialog, "CBVFrameRate")->currentText(), "25         (PAL)");
    QCOMPARE(list(dialog, "CBVolume")->currentText(), "100%  (normal)");
}

void SettingsDialogTest::pickingAFormatStoresItsOwnValues_data() {
    QTest::addColumn<int>("row");
    for (int row = 0; row < vidmill::kPresetCount; ++row) {
        QTest::addRow("%d", vidmill::presetRow(row).id) << row;
    }
}

// Every format's own values are in its lists, so picking it and pressing OK
// stores what picking it in the main window does.
void SettingsDialogTest::pickingAFormatStoresItsOwnValues() {
    QFETCH(int, row);
    ConversionSettings start = defaults();
    vidmill::applyPreset(start, (row + 1) % vidmill::kPresetCount);
    start.volume = 150;
    start.disableAudio = true;
    vidmill::storeText(start.videoCodec, "MPEG2");
    vidmill::storeText(start.audioCodec, "MP3");

    FakeHost host;
    SettingsDialog dialog(host, start, 0);
    list(dialog, "CBVideoFor")->setCurrentIndex(row);
    dialog.accept();
    QVERIFY(host.messages.isEmpty());
    QCOMPARE(dialog.QDialog::result(), int(QDialog::Accepted));

    const vidmill::FormatPreset& preset = vidmill::presetRow(row);
    ConversionSettings expected = start;
    vidmill::applyPreset(expected, row);
    // The dialog marks an audio-only format's video as disabled, and keeps
    // the codec when the format names none.
    expected.disableVideo = preset.audioOnly;
    if (preset.videoCodec == nullptr) {
        vidmill::storeText(expected.videoCodec, "MPEG2");
    }
    expectSame(dialog.result(), expected);
}

void SettingsDialogTest::audioOnlyFormatHidesVideo() {
    FakeHost host;
    SettingsDialog dialog(host, defaults(), 0);
    auto* group = control<QGroupBox>(dialog, "GroupVideo");
    QCheckBox* noVideo = check(dialog, "CBDisableVideo");
    QCheckBox* noAudio = check(dialog, "CBDisableAudio");

    pickFormat(dialog, 5000);
    QVERIFY(group->isHidden());
    QVERIFY(noAudio->isHidden());
    QVERIFY(noVideo->isChecked());
    QVERIFY(!noVideo->isEnabled());
    QVERIFY(!noAudio->isChecked());
    for (const QString& name : kAudioLists) {
        QVERIFY2(list(dialog, name)->isEnabled(), qPrintable(name));
    }

    pickFormat(dialog, 100);
    QVERIFY(!group->isHidden());
    QVERIFY(!noAudio->isHidden());
    QVERIFY(!noVideo->isChecked());
    QVERIFY(noVideo->isEnabled() && noAudio->isEnabled());
    for (const QString& name : kVideoLists + kAudioLists) {
        QVERIFY2(list(dialog, name)->isEnabled(), qPrintable(name));
    }
}

void SettingsDialogTest::disableBoxSwitchesItsLists_data() {
    QTest::addColumn<QString>("box");
    QTest::addColumn<QStringList>("own");
    QTest::addColumn<QStringList>("others");
    QTest::addColumn<bool>("videoFlag");
    QTest::addRow("video") << "CBDisableVideo" << kVideoLists << kAudioLists << true;
    QTest::addRow("audio") << "CBDisableAudio" << kAudioLists << kVideoLists << false;
}

void SettingsDialogTest::disableBoxSwitchesItsLists() {
    QFETCH(QString, box);
    QFETCH(QStringList, own);
    QFETCH(QStringList, others);
    QFETCH(bool, videoFlag);
    auto enabledStates = [](const SettingsDialog& dialog, const QStringList& names) {
        QList<bool> states;
        for (const QString& name : names) {
            states << list(dialog, name)->isEnabled();
        }
        return states;
    };
    const QList<bool> allOn(own.size(), true);
    const QList<bool> allOff(own.size(), false);
    const QList<bool> othersOn(others.size(), true);

    FakeHost host;
    SettingsDialog dialog(host, defaults(), 0);
    check(dialog, box)->click();
    QCOMPARE(enabledStates(dialog, own), allOff);
    QCOMPARE(enabledStates(dialog, others), othersOn);
    check(dialog, box)->click();
    QCOMPARE(enabledStates(dialog, own), allOn);

    // A flag that comes with the record switches the lists off from the start.
    ConversionSettings flagged = defaults();
    (videoFlag ? flagged.disableVideo : flagged.disableAudio) = true;
    SettingsDialog opened(host, flagged, 0);
    QVERIFY(check(opened, box)->isChecked());
    QCOMPARE(enabledStates(opened, own), allOff);
    QCOMPARE(enabledStates(opened, others), othersOn);
}

void SettingsDialogTest::bothDisabledIsRefused() {
    const ConversionSettings start = defaults();
    FakeHost host;
    SettingsDialog dialog(host, start, 0);
    dialog.show();
    check(dialog, "CBDisableVideo")->click();
    check(dialog, "CBDisableAudio")->click();
    list(dialog, "CBVolume")->setCurrentIndex(2);
    dialog.accept();
    QCOMPARE(host.messages, QStringList({"Cannot disable both video and audio"}));
    QVERIFY(dialog.isVisible());
    expectSame(dialog.result(), start);

    dialog.reject();
    QVERIFY(!dialog.isVisible());
    QCOMPARE(host.messages.size(), 1);
    expectSame(dialog.result(), start);

    // An audio-only format hides "Disable Audio"; a flag from the file must
    // not check it out of sight and make OK impossible.
    ConversionSettings stray = start;
    vidmill::applyPreset(stray, vidmill::findPresetById(5000));
    stray.disableAudio = true;
    SettingsDialog audioOnly(host, stray, 0);
    audioOnly.accept();
    QCOMPARE(host.messages.size(), 1);
    QVERIFY(!audioOnly.result().disableAudio);
}

void SettingsDialogTest::recordValuesOutsideTheLists_data() {
    QTest::addColumn<int>("maxConcurrent");
    QTest::addColumn<int>("volume");
    QTest::addColumn<int>("shownCount");
    QTest::addColumn<QString>("shownVolume");
    QTest::addColumn<int>("storedVolume");
    QTest::addRow("zero jobs, too loud") << 0 << 525 << 1 << "500%" << 500;
    QTest::addRow("negative jobs, far too loud") << -3 << 5000 << 1 << "500%" << 500;
    QTest::addRow("too many jobs, negative volume") << 21 << -25 << 20 << "0%" << 0;
    QTest::addRow("in range") << 7 << 150 << 7 << "150%" << 150;
    QTest::addRow("between steps") << 20 << 110 << 20 << "100%  (normal)" << 100;
}

// Values from a settings file that the controls cannot show; a frame size
// that the format does not offer takes the list's first.
void SettingsDialogTest::recordValuesOutsideTheLists() {
    QFETCH(int, maxConcurrent);
    QFETCH(int, volume);
    QFETCH(int, shownCount);
    QFETCH(QString, shownVolume);
    QFETCH(int, storedVolume);
    ConversionSettings start = defaults();
    start.maxConcurrent = static_cast<int16_t>(maxConcurrent);
    start.volume = static_cast<int16_t>(volume);
    start.frameWidth = 1024;
    start.frameHeight = 768;

    FakeHost host;
    SettingsDialog dialog(host, start, 0);
    QCOMPARE(control<QSpinBox>(dialog, "EdCnx")->value(), shownCount);
    QCOMPARE(list(dialog, "CBVolume")->currentText(), shownVolume);
    QCOMPARE(list(dialog, "CBDxDy")->currentText(), "176 x 96");
    dialog.accept();
    QCOMPARE(dialog.result().maxConcurrent, shownCount);
    QCOMPARE(dialog.result().volume, storedVolume);
    QCOMPARE(dialog.result().frameWidth, 176);
    QCOMPARE(dialog.result().frameHeight, 96);
}

void SettingsDialogTest::priorityIsLimitedEvenOnCancel_data() {
    QTest::addColumn<int>("stored");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<int>("after");
    QTest::addRow("9, cancel") << 9 << false << "Realtime" << 5;
    QTest::addRow("9, ok") << 9 << true << "Realtime" << 5;
    QTest::addRow("255, cancel") << 255 << false << "Realtime" << 5;
    QTest::addRow("3, cancel") << 3 << false << "AboveNormal" << 3;
}

void SettingsDialogTest::priorityIsLimitedEvenOnCancel() {
    QFETCH(int, stored);
    QFETCH(bool, ok);
    QFETCH(QString, shown);
    QFETCH(int, after);
    ConversionSettings start = defaults();
    start.converterPriority = static_cast<uint8_t>(stored);
    FakeHost host;
    SettingsDialog dialog(host, start, 0);
    QCOMPARE(list(dialog, "CBPPriority")->currentText(), shown);
    ok ? dialog.accept() : dialog.reject();
    QCOMPARE(dialog.result().converterPriority, after);
    if (!ok) {
        // Nothing else moves on Cancel.
        ConversionSettings expected = start;
        expected.converterPriority = static_cast<uint8_t>(after);
        expectSame(dialog.result(), expected);
    }
}

void SettingsDialogTest::setDefaultsLeavesGeneralPage() {
    FakeHost host;
    SettingsDialog dialog(host, defaults(), 0);
    list(dialog, "CBVolume")->setCurrentIndex(6);
    list(dialog, "CBDxDy")->setCurrentIndex(0);
    check(dialog, "CBDisableAudio")->click();
    check(dialog, "CBSaveHist")->click();
    control<QSpinBox>(dialog, "EdCnx")->stepBy(3);

    control<QPushButton>(dialog, "BDefault")->click();
    QCOMPARE(list(dialog, "CBVolume")->currentText(), "100%  (normal)");
    QCOMPARE(list(dialog, "CBDxDy")->currentText(), "368 x 208");
    QVERIFY(!check(dialog, "CBDisableAudio")->isChecked());
    QVERIFY(!check(dialog, "CBSaveHist")->isChecked());
    QCOMPARE(control<QSpinBox>(dialog, "EdCnx")->value(), 5);
}

void SettingsDialogTest::generalPageStoredOnlyOnOk_data() {
    QTest::addColumn<bool>("ok");
    QTest::addRow("ok") << true;
    QTest::addRow("cancel") << false;
}

void SettingsDialogTest::generalPageStoredOnlyOnOk() {
    QFETCH(bool, ok);
    ConversionSettings start = defaults();
    start.shutdownAfter = true;
    FakeHost host;
    SettingsDialog dialog(host, start, 0);
    for (const char* name :
         {"CBSaveHist", "CBRemoveStop", "CBInternalPlayer", "CBShutdown", "CBExitAC"}) {
        check(dialog, name)->click();
    }
    control<QSpinBox>(dialog, "EdCnx")->stepBy(5);
    list(dialog, "CBPPriority")->setCurrentIndex(0);
    ok ? dialog.accept() : dialog.reject();

    const ConversionSettings& result = dialog.result();
    if (!ok) {
        expectSame(result, start);
        return;
    }
    QCOMPARE(result.saveHistory, !start.saveHistory);
    QCOMPARE(result.removeStopped, !start.removeStopped);
    QCOMPARE(result.useInternalPlayer, !start.useInternalPlayer);
    QCOMPARE(result.shutdownAfter, false);
    QCOMPARE(result.exitAfter, true);
    QCOMPARE(result.maxConcurrent, 7);
    QCOMPARE(result.converterPriority, 0);
    // What the dialog does not show passes through.
    QCOMPARE(result.showTips, start.showTips);
    QCOMPARE(result.showToolbar, start.showToolbar);
}

void SettingsDialogTest::destinationFolder() {
    FakeHost host;
    ConversionSettings start = defaults();
    vidmill::storeText(start.destinationFolder, "/videos/out");
    SettingsDialog dialog(host, start, 0);
    auto* edDir = control<QLineEdit>(dialog, "EdDir");
    QCOMPARE(edDir->text(), "/videos/out");

    control<QPushButton>(dialog, "BSelectDir")->click();  // cancelled
    QCOMPARE(host.titles, QStringList({"Select Destination Folder"}));
    QCOMPARE(host.starts, QStringList({"/videos/out"}));
    QCOMPARE(edDir->text(), "/videos/out");

    host.answer = "/" + QString(300, 'x');  // does not fit the record
    dialog.chooseDestination();
    QCOMPARE(host.messages.size(), 1);
    QCOMPARE(edDir->text(), "/videos/out");

    host.answer = QString::fromUtf8("/videos/n\u00e9w");
    dialog.chooseDestination();
    QCOMPARE(host.starts.last(), "/videos/out");
    QCOMPARE(edDir->text(), host.answer);
    dialog.accept();
    QCOMPARE(QByteArray(dialog.result().destinationFolder), QFile::encodeName(host.answer));

    // A folder name that is not valid text keeps its bytes when left alone.
    const char raw[] = "/videos/\xff\xfe-old";
    vidmill::storeText(start.destinationFolder, raw);
    SettingsDialog untouched(host, start, 0);
    untouched.accept();
    QCOMPARE(QByteArray(untouched.result().destinationFolder), QByteArray(raw));
}

void SettingsDialogTest::captionNamesTheVideos() {
    FakeHost host;
    QCOMPARE(SettingsDialog(host, defaults(), 0).windowTitle(), "Settings");
    const QString batch = SettingsDialog(host, defaults(), 12).windowTitle();
    QVERIFY2(batch.contains("12 videos"), qPrintable(batch));
}

// A constant quality turns the bitrate off; Off turns it back on; a codec
// without such a mode leaves the quality at Off.
void SettingsDialogTest::qualityReplacesTheBitrate() {
    FakeHost host;
    SettingsDialog dialog(host, defaults(), 0);
    auto* quality = control<QSpinBox>(dialog, "EdQuality");
    QComboBox* bitrate = list(dialog, "CBVideoBitrate");
    QVERIFY(!quality->isEnabled());  // MPEG-4
    QVERIFY(bitrate->isEnabled());

    pickFormat(dialog, 1200);
    QCOMPARE(quality->value(), 35);
    QCOMPARE(quality->maximum(), 63);
    QVERIFY(quality->isEnabled());
    QVERIFY(!bitrate->isEnabled());
    quality->setValue(0);
    QVERIFY(bitrate->isEnabled());

    pickFormat(dialog, 1400);
    QCOMPARE(quality->maximum(), 51);
    quality->setValue(30);
    check(dialog, "CBDisableVideo")->setChecked(true);
    QVERIFY(!quality->isEnabled());
    check(dialog, "CBDisableVideo")->setChecked(false);
    QVERIFY(!bitrate->isEnabled());
    QVERIFY(check(dialog, "CBKeepDates")->isChecked());
    check(dialog, "CBKeepDates")->setChecked(false);
    dialog.accept();
    QCOMPARE(int(dialog.result().videoQuality), 30);
    QVERIFY(!dialog.result().keepSourceDates);
}

void SettingsDialogTest::editingPageKeepsSizeCutAndPicture() {
    FakeHost host;
    ConversionSettings start = defaults();
    start.cutFromMs = 90'500;
    SettingsDialog dialog(host, start, 0);
    QCOMPARE(control<QLineEdit>(dialog, "EdFrom")->text(), "1:30.5");
    QVERIFY(!control<QDoubleSpinBox>(dialog, "EdFitSize")->isEnabled());
    check(dialog, "CBFitSize")->setChecked(true);
    QVERIFY(control<QDoubleSpinBox>(dialog, "EdFitSize")->isEnabled());
    QVERIFY(!list(dialog, "CBVideoBitrate")->isEnabled());  // the size decides it
    control<QDoubleSpinBox>(dialog, "EdFitSize")->setValue(8.5);
    QVERIFY(!control<QSpinBox>(dialog, "EdCropW")->isEnabled());
    list(dialog, "CBCrop")->setCurrentIndex(2);
    QVERIFY(control<QSpinBox>(dialog, "EdCropW")->isEnabled());
    control<QSpinBox>(dialog, "EdCropW")->setValue(1920);
    control<QSpinBox>(dialog, "EdCropH")->setValue(800);
    list(dialog, "CBDeinterlace")->setCurrentIndex(2);

    // A time that is not one, or an end before the start, keeps the dialog open.
    for (const auto& [from, to] : {std::pair{"1:75", ""}, std::pair{"2:00", "1:00"}}) {
        control<QLineEdit>(dialog, "EdFrom")->setText(QString::fromLatin1(from));
        control<QLineEdit>(dialog, "EdTo")->setText(QString::fromLatin1(to));
        dialog.accept();
        QCOMPARE(host.messages.size(), 1);
        QVERIFY(dialog.QDialog::result() != int(QDialog::Accepted));
        host.messages.clear();
    }
    control<QLineEdit>(dialog, "EdFrom")->setText(QString());
    control<QLineEdit>(dialog, "EdTo")->setText(QStringLiteral(" 2:30 "));
    dialog.accept();
    QVERIFY(host.messages.isEmpty());
    const ConversionSettings& s = dialog.result();
    QCOMPARE(s.targetSizeKb, 8500u);
    QCOMPARE(s.cutFromMs, 0u);
    QCOMPARE(s.cutToMs, 150'000u);
    QCOMPARE(int(s.cropMode), int(vidmill::kCropFixed));
    QCOMPARE(int(s.cropWidth), 1920);
    QCOMPARE(int(s.deinterlace), int(vidmill::kDeinterlaceOff));
}

QTEST_MAIN(SettingsDialogTest)
#include "settings_dialog_test.moc"
