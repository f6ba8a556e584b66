#include "dialogs/settings_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <span>
#include <string>

#include "formats/settings_rules.h"
#include "system/size_time_text.h"

namespace vidmill {
namespace {

constexpr int kVolumeItems = kMaxVolume / kVolumeStep + 1;
constexpr int kNormalVolumeItem = kNormalVolume / kVolumeStep;

const char* const kPriorityNames[] = {"Low",         "BelowNormal", "Normal",
                                      "AboveNormal", "High",        "Realtime"};

QString fromText(const char* text) {
    return QString::fromUtf8(text);
}

QString fromText(const std::string& text) {
    return QString::fromStdString(text);
}

QString numberOrOriginal(int value) {
    return value == kOriginalValue ? QStringLiteral("Original") : QString::number(value);
}

QString frameSizeItem(FrameSize size) {
    if (size.width == kOriginalValue) {
        return QStringLiteral("Original");
    }
    return QStringLiteral("%1 x %2").arg(size.width).arg(size.height);
}

// The PAL and NTSC marks are decided on rate x 1000 in double precision: in
// single precision 29.976f x 1000 rounds up to 29976 and the NTSC rate loses
// its mark.
QString frameRateItem(float rate) {
    if (rate < 0) {
        return QStringLiteral("Original");
    }
    QString text = fromText(frameRateLabel(rate));
    const double milli = std::trunc(static_cast<double>(rate) * 1000.0);
    if (milli == 25000.0) {
        text += QStringLiteral("         (PAL)");
    } else if (milli == 29975.0) {
        text += QStringLiteral("  (NTSC)");
    }
    return text;
}

QString channelItem(int channels) {
    switch (channels) {
        case 1:
            return QStringLiteral("Mono (1)");
        case 2:
            return QStringLiteral("Stereo (2)");
        default:
            return QStringLiteral("Original");
    }
}

QString volumeItem(int item) {
    const int percent = item * kVolumeStep;
    QString text = QStringLiteral("%1%").arg(percent);
    if (percent == kNormalVolume) {
        text += QStringLiteral("  (normal)");
    }
    return text;
}

template <class T, class Label>
void fillList(QComboBox* box, std::span<const T> values, Label label) {
    box->clear();
    for (const T& value : values) {
        box->addItem(label(value));
    }
}

void fillCodecList(QComboBox* box, std::span<const char* const> codecs, const char* rowCodec) {
    box->clear();
    if (codecs.empty()) {
        box->addItem(fromText(codecLabel(rowCodec)));
        return;
    }
    for (const char* codec : codecs) {
        box->addItem(fromText(codecLabel(codec)));
    }
}

// The list entry at the box's selection; the lists are never empty.
template <class T>
const T& selected(std::span<const T> list, const QComboBox* box) {
    const int index = std::clamp(box->currentIndex(), 0, static_cast<int>(list.size()) - 1);
    return list[index];
}

void storeCodec(char (&target)[kCodecNameCapacity], std::span<const char* const> codecs,
                const char* rowCodec, const QComboBox* box) {
    if (!codecs.empty()) {
        storeText(target, selected(codecs, box));
    } else if (rowCodec != nullptr) {
        storeText(target, rowCodec);
    }
}

QComboBox* makeList(const char* name, QWidget* parent) {
    auto* box = new QComboBox(parent);
    box->setObjectName(QString::fromLatin1(name));
    box->setEditable(false);
    return box;
}

QCheckBox* makeCheck(const char* name, const QString& caption, QWidget* parent) {
    auto* box = new QCheckBox(caption, parent);
    box->setObjectName(QString::fromLatin1(name));
    return box;
}

QString caption(int videoCount) {
    if (videoCount <= 0) {
        return QStringLiteral("Settings");
    }
    if (videoCount == 1) {
        return QStringLiteral("Settings: 1 video to convert");
    }
    return QStringLiteral("Settings: %1 videos to convert").arg(videoCount);
}

}  // namespace

SettingsDialog::SettingsDialog(SettingsDialogHost& host, const ConversionSettings& settings,
                               int videoCount, QWidget* parent)
    : QDialog(parent), host_(host), result_(settings) {
    // Priorities above Realtime do not exist; the record is corrected even
    // when the dialog is cancelled.
    result_.converterPriority = std::min<uint8_t>(result_.converterPriority, kMaxConverterPriority);
    folder_ = std::string(textOf(result_.destinationFolder));

    setWindowTitle(caption(videoCount));
    pages_ = new QTabWidget(this);
    pages_->setObjectName(QStringLiteral("PageControl1"));
    auto* conversion = new QWidget(pages_);
    conversion->setObjectName(QStringLiteral("TabSheet1"));
    auto* general = new QWidget(pages_);
    general->setObjectName(QStringLiteral("TabSheet2"));
    auto* editing = new QWidget(pages_);
    editing->setObjectName(QStringLiteral("TabSheet3"));
    pages_->addTab(conversion, QStringLiteral("Conversion"));
    pages_->addTab(editing, QStringLiteral("Editing"));
    pages_->addTab(general, QStringLiteral("General"));
    buildConversionPage(conversion);
    buildEditingPage(editing);
    buildGeneralPage(general);

    auto* ok = new QPushButton(QStringLiteral("&OK"), this);
    ok->setObjectName(QStringLiteral("BOk"));
    ok->setDefault(true);
    auto* cancel = new QPushButton(QStringLiteral("&Cancel"), this);
    cancel->setObjectName(QStringLiteral("BCancel"));
    connect(ok, &QPushButton::clicked, this, &SettingsDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &SettingsDialog::reject);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    auto* layout = new QVBoxLayout(this);
    batchNote_ = new QLabel(
        QStringLiteral("Videos are being converted: the number of conversions at once and the "
                       "priority apply at once; the format, its options and the destination "
                       "apply from the next batch on."),
        this);
    batchNote_->setObjectName(QStringLiteral("LBBatchNote"));
    batchNote_->setWordWrap(true);
    batchNote_->hide();
    layout->addWidget(batchNote_);
    layout->addWidget(pages_);
    layout->addLayout(buttons);

    // The lists follow the boxes from the start, the loading included.
    connect(disableVideoBox_, &QCheckBox::toggled, this, &SettingsDialog::updateEnabledStates);
    connect(disableAudioBox_, &QCheckBox::toggled, this, &SettingsDialog::updateEnabledStates);
    connect(qualityBox_, &QSpinBox::valueChanged, this, &SettingsDialog::updateEnabledStates);
    connect(videoCodecBox_, &QComboBox::currentIndexChanged, this,
            &SettingsDialog::updateQualityRange);

    // Record to controls: the format's lists and own values first, then the
    // record's values over them.
    destinationEdit_->setText(QFile::decodeName(QByteArray::fromStdString(folder_)));
    for (const FormatPreset& row : formatPresets()) {
        formatBox_->addItem(fromText(row.name));
    }
    formatBox_->setCurrentIndex(findPresetById(result_.presetId));
    formatChanged();
    loadValues(result_);
    // A count from the settings file may lie outside what the buttons can
    // reach; it is shown, and stored on OK, within the range.
    upDownCnx_->setValue(std::clamp<int>(result_.maxConcurrent, kMinConcurrent, kMaxConcurrent));
    saveHistoryBox_->setChecked(result_.saveHistory);
    removeStoppedBox_->setChecked(result_.removeStopped);
    internalPlayerBox_->setChecked(result_.useInternalPlayer);
    shutdownBox_->setChecked(result_.shutdownAfter);
    exitAfterBox_->setChecked(result_.exitAfter);
    keepDatesBox_->setChecked(result_.keepSourceDates);
    priorityBox_->setCurrentIndex(result_.converterPriority);
    fitSizeBox_->setChecked(result_.targetSizeKb > 0);
    if (result_.targetSizeKb > 0) {
        fitSizeEdit_->setValue(result_.targetSizeKb / 1000.0);
    }
    twoPassBox_->setChecked(result_.twoPass);
    fromEdit_->setText(result_.cutFromMs > 0
                           ? QString::fromStdString(clockTimeText(result_.cutFromMs))
                           : QString());
    toEdit_->setText(result_.cutToMs > 0 ? QString::fromStdString(clockTimeText(result_.cutToMs))
                                         : QString());
    cropBox_->setCurrentIndex(std::min<int>(result_.cropMode, kCropFixed));
    const uint16_t rect[] = {result_.cropWidth, result_.cropHeight, result_.cropX, result_.cropY};
    for (int i = 0; i < 4; ++i) {
        cropEdits_[i]->setValue(rect[i]);
    }
    deinterlaceBox_->setCurrentIndex(std::min<int>(result_.deinterlace, kDeinterlaceOff));
    connect(fitSizeBox_, &QCheckBox::toggled, this, &SettingsDialog::updateEnabledStates);
    connect(cropBox_, &QComboBox::currentIndexChanged, this, &SettingsDialog::updateEnabledStates);
    updateEnabledStates();

    connect(formatBox_, &QComboBox::currentIndexChanged, this, &SettingsDialog::formatChanged);
    connect(defaultsButton_, &QPushButton::clicked, this, &SettingsDialog::restoreDefaults);
    connect(chooseDestinationButton_, &QPushButton::clicked, this,
            &SettingsDialog::chooseDestination);

    resize(std::max(431, sizeHint().width()), std::max(469, sizeHint().height()));
}

void SettingsDialog::buildEditingPage(QWidget* page) {
    auto* size = new QGroupBox(QStringLiteral("Size"), page);
    // The size a file must fit in decides its video bitrate.
    fitSizeBox_ = makeCheck("CBFitSize", QStringLiteral("Fit each video in"), size);
    fitSizeEdit_ = new QDoubleSpinBox(size);
    fitSizeEdit_->setObjectName(QStringLiteral("EdFitSize"));
    fitSizeEdit_->setDecimals(1);
    fitSizeEdit_->setRange(0.1, kMaxTargetSizeKb / 1000.0);
    fitSizeEdit_->setSuffix(QStringLiteral(" MB"));
    fitSizeEdit_->setValue(25.0);
    fitSizeEdit_->setToolTip(
        QStringLiteral("The video bitrate comes from this size and each video's length; 1 MB "
                       "is 1,000,000 bytes."));
    twoPassBox_ = makeCheck("CBTwoPass",
                            QStringLiteral("Two passes (better quality at the same size)"), size);
    auto* fitRow = new QHBoxLayout;
    fitRow->addWidget(fitSizeBox_);
    fitRow->addWidget(fitSizeEdit_);
    fitRow->addStretch();
    auto* sizeLayout = new QVBoxLayout(size);
    sizeLayout->addLayout(fitRow);
    sizeLayout->addWidget(twoPassBox_);

    auto* cut = new QGroupBox(QStringLiteral("Cut"), page);
    fromEdit_ = new QLineEdit(cut);
    fromEdit_->setObjectName(QStringLiteral("EdFrom"));
    fromEdit_->setPlaceholderText(QStringLiteral("start"));
    toEdit_ = new QLineEdit(cut);
    toEdit_->setObjectName(QStringLiteral("EdTo"));
    toEdit_->setPlaceholderText(QStringLiteral("end"));
    auto* cutRow = new QHBoxLayout;
    cutRow->addWidget(new QLabel(QStringLiteral("From"), cut));
    cutRow->addWidget(fromEdit_);
    cutRow->addWidget(new QLabel(QStringLiteral("To"), cut));
    cutRow->addWidget(toEdit_);
    auto* cutNote = new QLabel(
        QStringLiteral("Times as 1:30 or 1:02:03.5; empty converts the whole video."), cut);
    cutNote->setWordWrap(true);
    auto* cutLayout = new QVBoxLayout(cut);
    cutLayout->addLayout(cutRow);
    cutLayout->addWidget(cutNote);

    auto* picture = new QGroupBox(QStringLiteral("Picture"), page);
    cropBox_ = makeList("CBCrop", picture);
    cropBox_->addItems(
        {QStringLiteral("Off"), QStringLiteral("Automatic"), QStringLiteral("Fixed (pixels)")});
    auto* cropRow = new QHBoxLayout;
    cropRow->addWidget(cropBox_);
    const char* const names[] = {"EdCropW", "EdCropH", "EdCropX", "EdCropY"};
    const char* const labels[] = {"W", "H", "X", "Y"};
    for (int i = 0; i < 4; ++i) {
        cropEdits_[i] = new QSpinBox(picture);
        cropEdits_[i]->setObjectName(QString::fromLatin1(names[i]));
        cropEdits_[i]->setRange(i < 2 ? kMinCropSide : 0, kMaxCropSide);
        cropRow->addWidget(new QLabel(QString::fromLatin1(labels[i]), picture));
        cropRow->addWidget(cropEdits_[i]);
    }
    cropRow->addStretch();
    deinterlaceBox_ = makeList("CBDeinterlace", picture);
    deinterlaceBox_->addItems(
        {QStringLiteral("Automatic"), QStringLiteral("Always"), QStringLiteral("Off")});
    auto* pictureForm = new QFormLayout(picture);
    pictureForm->addRow(QStringLiteral("Remove black bars:"), cropRow);
    auto* deinterlaceRow = new QHBoxLayout;
    deinterlaceRow->addWidget(deinterlaceBox_);
    deinterlaceRow->addStretch();
    pictureForm->addRow(QStringLiteral("Deinterlace:"), deinterlaceRow);

    auto* layout = new QVBoxLayout(page);
    layout->addWidget(size);
    layout->addWidget(cut);
    layout->addWidget(picture);
    layout->addStretch();
}

void SettingsDialog::buildConversionPage(QWidget* page) {
    destinationEdit_ = new QLineEdit(page);
    destinationEdit_->setObjectName(QStringLiteral("EdDir"));
    // Only the folder picker changes the folder.
    destinationEdit_->setEnabled(false);
    QFont bold = destinationEdit_->font();
    bold.setBold(true);
    destinationEdit_->setFont(bold);
    chooseDestinationButton_ = new QPushButton(QStringLiteral("..."), page);
    chooseDestinationButton_->setObjectName(QStringLiteral("BSelectDir"));
    chooseDestinationButton_->setFixedWidth(
        chooseDestinationButton_->fontMetrics().horizontalAdvance(QStringLiteral("...")) + 24);
    auto* folderRow = new QHBoxLayout;
    folderRow->addWidget(destinationEdit_);
    folderRow->addWidget(chooseDestinationButton_);

    formatBox_ = makeList("CBVideoFor", page);
    formatBox_->setMaxVisibleItems(25);

    groupVideo_ = new QGroupBox(QStringLiteral("Video"), page);
    groupVideo_->setObjectName(QStringLiteral("GroupVideo"));
    disableVideoBox_ = makeCheck("CBDisableVideo", QStringLiteral("Disable Video"), groupVideo_);
    frameSizeBox_ = makeList("CBDxDy", groupVideo_);
    videoBitrateBox_ = makeList("CBVideoBitrate", groupVideo_);
    qualityBox_ = new QSpinBox(groupVideo_);
    qualityBox_->setObjectName(QStringLiteral("EdQuality"));
    // 0 hands the size of the file to the bitrate.
    qualityBox_->setSpecialValueText(QStringLiteral("Off"));
    qualityBox_->setToolTip(
        QStringLiteral("Constant quality (CRF): 1 is the best and the largest file. Off encodes "
                       "at the bitrate instead."));
    frameRateBox_ = makeList("CBVFrameRate", groupVideo_);
    videoCodecBox_ = makeList("CBVCodec", groupVideo_);
    auto* videoForm = new QFormLayout(groupVideo_);
    videoForm->addRow(disableVideoBox_);
    videoForm->addRow(QStringLiteral("Frame Size:"), frameSizeBox_);
    videoForm->addRow(QStringLiteral("Quality (CRF):"), qualityBox_);
    videoForm->addRow(QStringLiteral("Bitrate (Kbps):"), videoBitrateBox_);
    videoForm->addRow(QStringLiteral("Frame Rate (fps):"), frameRateBox_);
    videoForm->addRow(QStringLiteral("Video Codec:"), videoCodecBox_);

    groupAudio_ = new QGroupBox(QStringLiteral("Audio"), page);
    groupAudio_->setObjectName(QStringLiteral("GroupBox2"));
    disableAudioBox_ = makeCheck("CBDisableAudio", QStringLiteral("Disable Audio"), groupAudio_);
    audioBitrateBox_ = makeList("CBAudioBitrate", groupAudio_);
    sampleRateBox_ = makeList("CBFreq", groupAudio_);
    channelsBox_ = makeList("CBChannels", groupAudio_);
    volumeBox_ = makeList("CBVolume", groupAudio_);
    volumeBox_->setMaxVisibleItems(kVolumeItems);
    audioCodecBox_ = makeList("CBACodec", groupAudio_);
    auto* audioForm = new QFormLayout(groupAudio_);
    audioForm->addRow(disableAudioBox_);
    audioForm->addRow(QStringLiteral("Bitrate (Kbps):"), audioBitrateBox_);
    audioForm->addRow(QStringLiteral("Sample Rate (Hz):"), sampleRateBox_);
    audioForm->addRow(QStringLiteral("Channels:"), channelsBox_);
    audioForm->addRow(QStringLiteral("Volume:"), volumeBox_);
    audioForm->addRow(QStringLiteral("Audio Codec:"), audioCodecBox_);

    auto* groups = new QHBoxLayout;
    groups->addWidget(groupVideo_, 1);
    groups->addWidget(groupAudio_, 1);

    defaultsButton_ = new QPushButton(QStringLiteral("Set Defaults"), page);
    defaultsButton_->setObjectName(QStringLiteral("BDefault"));
    auto* defaultRow = new QHBoxLayout;
    defaultRow->addStretch();
    defaultRow->addWidget(defaultsButton_);

    auto* layout = new QVBoxLayout(page);
    layout->addWidget(new QLabel(QStringLiteral("Destination Folder"), page));
    layout->addLayout(folderRow);
    layout->addWidget(new QLabel(QStringLiteral("Video Format:"), page));
    layout->addWidget(formatBox_);
    layout->addLayout(groups);
    layout->addLayout(defaultRow);
    layout->addStretch();
}

void SettingsDialog::buildGeneralPage(QWidget* page) {
    upDownCnx_ = new QSpinBox(page);
    upDownCnx_->setObjectName(QStringLiteral("EdCnx"));
    upDownCnx_->setRange(kMinConcurrent, kMaxConcurrent);
    upDownCnx_->setSingleStep(1);
    upDownCnx_->setWrapping(false);
    // The number is changed by the arrows only, never typed.
    if (auto* edit = upDownCnx_->findChild<QLineEdit*>()) {
        edit->setReadOnly(true);
    }
    auto* countRow = new QHBoxLayout;
    countRow->addWidget(new QLabel(QStringLiteral("Max concurrent conversions (1-20):"), page));
    countRow->addWidget(upDownCnx_);
    countRow->addStretch();

    saveHistoryBox_ = makeCheck("CBSaveHist", QStringLiteral("Save History"), page);
    removeStoppedBox_ =
        makeCheck("CBRemoveStop", QStringLiteral("Remove Stoped videos (Destination)"), page);
    internalPlayerBox_ =
        makeCheck("CBInternalPlayer", QStringLiteral("Use Internal video player"), page);
    shutdownBox_ =
        makeCheck("CBShutdown", QStringLiteral("Shutdown computer after conversion(s)"), page);
    exitAfterBox_ = makeCheck("CBExitAC", QStringLiteral("Exit program after conversion(s)"), page);
    keepDatesBox_ = makeCheck(
        "CBKeepDates", QStringLiteral("Converted videos keep the dates of their sources"), page);

    priorityBox_ = makeList("CBPPriority", page);
    for (const char* name : kPriorityNames) {
        priorityBox_->addItem(QString::fromLatin1(name));
    }
    auto* priorityRow = new QHBoxLayout;
    priorityRow->addWidget(new QLabel(QStringLiteral("Converter Process Priority"), page));
    priorityRow->addWidget(priorityBox_);
    priorityRow->addStretch();

    auto* layout = new QVBoxLayout(page);
    layout->addLayout(countRow);
    for (QCheckBox* box : {saveHistoryBox_, removeStoppedBox_, internalPlayerBox_, keepDatesBox_,
                           shutdownBox_, exitAfterBox_}) {
        layout->addWidget(box);
    }
    layout->addLayout(priorityRow);
    layout->addStretch();
}

void SettingsDialog::showBatchNote() {
    batchNote_->show();
}

const FormatPreset& SettingsDialog::selectedPreset() const {
    return presetRow(presetAt(formatBox_->currentIndex()));
}

void SettingsDialog::fillValueLists() {
    const FormatPreset& row = selectedPreset();
    fillList(frameSizeBox_, frameSizesOf(row), frameSizeItem);
    fillList(videoBitrateBox_, videoBitratesOf(row), numberOrOriginal);
    fillList(frameRateBox_, frameRatesOf(row), frameRateItem);
    fillList(audioBitrateBox_, audioBitratesOf(row), numberOrOriginal);
    fillList(sampleRateBox_, sampleRatesOf(row), numberOrOriginal);
    fillList(channelsBox_, channelChoicesOf(row), channelItem);
    volumeBox_->clear();
    for (int item = 0; item < kVolumeItems; ++item) {
        volumeBox_->addItem(volumeItem(item));
    }
    fillCodecList(videoCodecBox_, row.videoCodecs, row.videoCodec);
    fillCodecList(audioCodecBox_, row.audioCodecs, row.audioCodec);
}

void SettingsDialog::resetToPreset() {
    const FormatPreset& row = selectedPreset();
    frameSizeBox_->setCurrentIndex(indexOfSize(frameSizesOf(row), row.width, row.height));
    videoBitrateBox_->setCurrentIndex(indexOfInt16(videoBitratesOf(row), row.videoBitrate));
    frameRateBox_->setCurrentIndex(indexOfFloat(frameRatesOf(row), row.frameRate));
    videoCodecBox_->setCurrentIndex(
        indexOfName(row.videoCodecs, row.videoCodec ? row.videoCodec : ""));
    updateQualityRange();
    qualityBox_->setValue(row.quality);
    audioBitrateBox_->setCurrentIndex(indexOfInt16(audioBitratesOf(row), row.audioBitrate));
    sampleRateBox_->setCurrentIndex(indexOfInt32(sampleRatesOf(row), row.sampleRate));
    channelsBox_->setCurrentIndex(indexOfInt16(channelChoicesOf(row), row.channels));
    volumeBox_->setCurrentIndex(kNormalVolumeItem);
    audioCodecBox_->setCurrentIndex(
        indexOfName(row.audioCodecs, row.audioCodec ? row.audioCodec : ""));

    if (row.audioOnly) {
        disableVideoBox_->setChecked(true);
        disableAudioBox_->setChecked(false);
        disableVideoBox_->setEnabled(false);
        disableAudioBox_->setEnabled(false);
        if (row.customisable) {
            setAudioListsEnabled(true);
        }
        groupVideo_->setVisible(false);
        disableAudioBox_->setVisible(false);
    } else {
        disableVideoBox_->setChecked(false);
        disableAudioBox_->setChecked(false);
        disableVideoBox_->setEnabled(true);
        disableAudioBox_->setEnabled(true);
        groupVideo_->setVisible(true);
        disableAudioBox_->setVisible(true);
    }

    if (row.customisable) {
        setVideoListsEnabled(true);
        if (!row.audioOnly) {
            setAudioListsEnabled(true);
        }
        updateEnabledStates();
    } else {
        setVideoListsEnabled(false);
        setAudioListsEnabled(false);
    }
}

void SettingsDialog::loadValues(const ConversionSettings& settings) {
    const FormatPreset& row = selectedPreset();
    frameSizeBox_->setCurrentIndex(
        indexOfSize(frameSizesOf(row), settings.frameWidth, settings.frameHeight));
    videoBitrateBox_->setCurrentIndex(indexOfInt16(videoBitratesOf(row), settings.videoBitrate));
    frameRateBox_->setCurrentIndex(indexOfFloat(frameRatesOf(row), settings.frameRate));
    videoCodecBox_->setCurrentIndex(indexOfName(row.videoCodecs, textOf(settings.videoCodec)));
    updateQualityRange();
    qualityBox_->setValue(settings.videoQuality);
    audioBitrateBox_->setCurrentIndex(indexOfInt16(audioBitratesOf(row), settings.audioBitrate));
    sampleRateBox_->setCurrentIndex(indexOfInt32(sampleRatesOf(row), settings.sampleRate));
    channelsBox_->setCurrentIndex(indexOfInt16(channelChoicesOf(row), settings.channels));
    // A volume beyond the list is shown as its loudest item: the first item
    // (0 %) would silence every output.
    volumeBox_->setCurrentIndex(std::clamp(settings.volume / kVolumeStep, 0, kVolumeItems - 1));
    audioCodecBox_->setCurrentIndex(indexOfName(row.audioCodecs, textOf(settings.audioCodec)));
    // An audio-only format hides "Disable Audio": a stray flag from the file
    // must not leave it checked out of sight, where it would block OK.
    disableAudioBox_->setChecked(settings.disableAudio && !row.audioOnly);
    disableVideoBox_->setChecked(settings.disableVideo);
}

void SettingsDialog::storeValues(ConversionSettings& settings) const {
    const FormatPreset& row = selectedPreset();
    settings.presetId = row.id;
    const FrameSize size = selected(frameSizesOf(row), frameSizeBox_);
    settings.frameWidth = size.width;
    settings.frameHeight = size.height;
    settings.videoBitrate = selected(videoBitratesOf(row), videoBitrateBox_);
    settings.frameRate = selected(frameRatesOf(row), frameRateBox_);
    settings.audioBitrate = selected(audioBitratesOf(row), audioBitrateBox_);
    settings.sampleRate = selected(sampleRatesOf(row), sampleRateBox_);
    settings.channels = selected(channelChoicesOf(row), channelsBox_);
    settings.volume = static_cast<int16_t>(kVolumeStep * std::max(volumeBox_->currentIndex(), 0));
    storeCodec(settings.videoCodec, row.videoCodecs, row.videoCodec, videoCodecBox_);
    storeCodec(settings.audioCodec, row.audioCodecs, row.audioCodec, audioCodecBox_);
    settings.videoQuality =
        hasConstantQuality(textOf(settings.videoCodec)) ? uint8_t(qualityBox_->value()) : 0;
    settings.disableAudio = disableAudioBox_->isChecked();
    settings.disableVideo = disableVideoBox_->isChecked();
}

void SettingsDialog::updateEnabledStates() {
    if (fitSizeEdit_ != nullptr) {
        fitSizeEdit_->setEnabled(fitSizeBox_->isChecked());
        for (QSpinBox* edit : cropEdits_) {
            edit->setEnabled(cropBox_->currentIndex() == kCropFixed);
        }
    }
    const FormatPreset& row = selectedPreset();
    if (!row.customisable) {
        return;
    }
    setVideoListsEnabled(!disableVideoBox_->isChecked());
    if (!row.audioOnly) {
        setAudioListsEnabled(!disableAudioBox_->isChecked());
    }
}

void SettingsDialog::updateQualityRange() {
    const FormatPreset& row = selectedPreset();
    std::string codec = row.videoCodec != nullptr ? row.videoCodec : "";
    if (!row.videoCodecs.empty()) {
        codec = selected(row.videoCodecs, videoCodecBox_);
    }
    const int worst = maxQualityOf(codec);
    qualityBox_->setRange(0, worst);
    updateEnabledStates();
}

void SettingsDialog::formatChanged() {
    fillValueLists();
    resetToPreset();
}

void SettingsDialog::restoreDefaults() {
    resetToPreset();
}

void SettingsDialog::chooseDestination() {
    const QString chosen = host_.pickFolder(this, QStringLiteral("Select Destination Folder"),
                                            destinationEdit_->text());
    if (chosen.isEmpty()) {
        return;
    }
    const QByteArray bytes = QFile::encodeName(chosen);
    if (bytes.size() >= kFolderTextCapacity) {
        // The record keeps a folder of limited length: a longer one would be
        // stored cut, and the outputs would go somewhere else.
        host_.showMessage(this,
                          QStringLiteral("The path of this folder is too long to be kept. Please "
                                         "choose a folder with a shorter path."));
        return;
    }
    folder_ = bytes.toStdString();
    destinationEdit_->setText(chosen);
}

void SettingsDialog::accept() {
    ConversionSettings edited = result_;
    storeValues(edited);
    if (refusalOf(edited) == SettingsRefusal::NoStream) {
        host_.showMessage(this, QStringLiteral("Cannot disable both video and audio"));
        return;
    }
    // An empty time is the start or the end of each video.
    uint32_t times[2] = {0, 0};
    QLineEdit* const timeEdits[2] = {fromEdit_, toEdit_};
    for (int i = 0; i < 2; ++i) {
        const std::string text = timeEdits[i]->text().trimmed().toStdString();
        if (!text.empty() && !parseClockTime(text, times[i])) {
            pages_->setCurrentIndex(1);
            timeEdits[i]->setFocus();
            host_.showMessage(this, QStringLiteral("The time \"%1\" is not understood. Write it "
                                                   "as 90, 1:30 or 1:02:03.5.")
                                        .arg(QString::fromStdString(text)));
            return;
        }
    }
    edited.cutFromMs = times[0];
    edited.cutToMs = times[1];
    // An end written as 0:00 keeps nothing; left empty, it is the video's end.
    const bool endGiven = !toEdit_->text().trimmed().isEmpty();
    if ((endGiven && times[1] == 0) || refusalOf(edited) == SettingsRefusal::CutOutOfOrder) {
        pages_->setCurrentIndex(1);
        toEdit_->setFocus();
        host_.showMessage(this, QStringLiteral("The end of the cut must come after its start."));
        return;
    }
    edited.cropMode = uint8_t(std::clamp(cropBox_->currentIndex(), 0, int(kCropFixed)));
    // The rectangle is kept as it was unless it is the one used.
    if (edited.cropMode == kCropFixed) {
        edited.cropWidth = uint16_t(cropEdits_[0]->value());
        edited.cropHeight = uint16_t(cropEdits_[1]->value());
        edited.cropX = uint16_t(cropEdits_[2]->value());
        edited.cropY = uint16_t(cropEdits_[3]->value());
    }
    edited.deinterlace =
        uint8_t(std::clamp(deinterlaceBox_->currentIndex(), 0, int(kDeinterlaceOff)));
    storeText(edited.destinationFolder, folder_);
    edited.maxConcurrent = static_cast<int16_t>(upDownCnx_->value());
    edited.saveHistory = saveHistoryBox_->isChecked();
    edited.removeStopped = removeStoppedBox_->isChecked();
    edited.useInternalPlayer = internalPlayerBox_->isChecked();
    edited.shutdownAfter = shutdownBox_->isChecked();
    edited.exitAfter = exitAfterBox_->isChecked();
    edited.keepSourceDates = keepDatesBox_->isChecked();
    edited.targetSizeKb =
        fitSizeBox_->isChecked() ? uint32_t(std::llround(fitSizeEdit_->value() * 1000.0)) : 0;
    edited.twoPass = twoPassBox_->isChecked();
    normaliseSettings(edited);
    edited.converterPriority = static_cast<uint8_t>(
        std::clamp(priorityBox_->currentIndex(), 0, int(kMaxConverterPriority)));
    result_ = edited;
    QDialog::accept();
}

void SettingsDialog::setVideoListsEnabled(bool enabled) {
    for (QComboBox* box : {frameSizeBox_, frameRateBox_, videoCodecBox_}) {
        box->setEnabled(enabled);
    }
    // A codec without a constant quality keeps the box at Off; a size to
    // fit in decides the bitrate itself.
    const bool fit = fitSizeBox_ != nullptr && fitSizeBox_->isChecked();
    qualityBox_->setEnabled(enabled && !fit && qualityBox_->maximum() > 0);
    videoBitrateBox_->setEnabled(enabled && !fit && qualityBox_->value() == 0);
}

void SettingsDialog::setAudioListsEnabled(bool enabled) {
    for (QComboBox* box :
         {audioBitrateBox_, sampleRateBox_, channelsBox_, volumeBox_, audioCodecBox_}) {
        box->setEnabled(enabled);
    }
}

}  // namespace vidmill
