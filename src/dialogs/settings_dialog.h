#pragma once

// The settings dialog: the destination folder, the output format with its
// video and audio options, and the general options of the program. It edits
// a copy of the settings record; the caller takes the edited values from
// result() and commits them itself.

#include <QDialog>
#include <QString>
#include <string>

#include "formats/format_preset.h"
#include "storage/conversion_settings.h"

class QCheckBox;
class QDoubleSpinBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class QTabWidget;

namespace vidmill {

// Everything the dialog needs from outside, so tests never block in a real
// picker or message box.
class SettingsDialogHost {
  public:
    virtual ~SettingsDialogHost() = default;
    // The chosen folder; empty when cancelled.
    virtual QString pickFolder(QWidget* parent, const QString& title, const QString& start) = 0;
    // An information box.
    virtual void showMessage(QWidget* parent, const QString& text) = 0;
};

// Controls carry the object names below, so that callers and tests can find
// them: BOk, BCancel, PageControl1, EdDir, BSelectDir, CBVideoFor, GroupVideo,
// CBDisableVideo, CBDxDy, CBVideoBitrate, EdQuality (the quality spin box),
// CBVFrameRate, CBVCodec, GroupBox2, CBDisableAudio, CBAudioBitrate, CBFreq,
// CBChannels, CBVolume, CBACodec, BDefault, EdCnx (the spin box), CBSaveHist,
// CBRemoveStop, CBInternalPlayer, CBShutdown, CBExitAC, CBKeepDates,
// CBPPriority; on the Editing page CBFitSize with EdFitSize (megabytes),
// CBTwoPass, EdFrom, EdTo, CBCrop with EdCropW, EdCropH, EdCropX, EdCropY,
// and CBDeinterlace.
class SettingsDialog : public QDialog {
    Q_OBJECT
  public:
    // Works on a copy of `settings`; videoCount > 0 gives the batch-start
    // caption naming that number.
    SettingsDialog(SettingsDialogHost& host, const ConversionSettings& settings, int videoCount,
                   QWidget* parent = nullptr);

    // The edited values after accept(). Otherwise the settings given, with
    // the converter priority limited to Realtime: that limit holds even
    // after Cancel, so result() is always safe to commit.
    const ConversionSettings& result() const { return result_; }

    // Says, above the pages, that a batch is running: the number of
    // conversions at once and the priority apply at once, everything that
    // shapes an output from the next batch on.
    void showBatchNote();

    // The format selected in the format list.
    const FormatPreset& selectedPreset() const;

    // The option lists for the selected format.
    void fillValueLists();
    // Selects the format's own values.
    void resetToPreset();
    // Record to controls, in the lists of the selected format.
    void loadValues(const ConversionSettings& settings);
    // Controls of the page "Conversion" to record.
    void storeValues(ConversionSettings& settings) const;
    // The option lists follow the two disable boxes; the bitrate is off
    // while a constant quality is chosen.
    void updateEnabledStates();
    // The quality box follows the video codec: its scale, or off for a
    // codec without one.
    void updateQualityRange();

    // Handlers: another format picked, "Set Defaults", "...".
    void formatChanged();
    void restoreDefaults();
    void chooseDestination();

  public slots:
    // Refuses to close while both video and audio are disabled.
    void accept() override;

  private:
    void buildConversionPage(QWidget* page);
    void buildEditingPage(QWidget* page);
    void buildGeneralPage(QWidget* page);
    void setVideoListsEnabled(bool enabled);
    void setAudioListsEnabled(bool enabled);

    SettingsDialogHost& host_;
    ConversionSettings result_;
    // The folder as bytes: a name that is not valid text survives unless the
    // user picks another folder.
    std::string folder_;

    QTabWidget* pages_ = nullptr;
    QLineEdit* destinationEdit_ = nullptr;
    QPushButton* chooseDestinationButton_ = nullptr;
    QComboBox* formatBox_ = nullptr;
    QGroupBox* groupVideo_ = nullptr;
    QCheckBox* disableVideoBox_ = nullptr;
    QComboBox* frameSizeBox_ = nullptr;
    QComboBox* videoBitrateBox_ = nullptr;
    QSpinBox* qualityBox_ = nullptr;
    QComboBox* frameRateBox_ = nullptr;
    QComboBox* videoCodecBox_ = nullptr;
    QGroupBox* groupAudio_ = nullptr;
    QCheckBox* disableAudioBox_ = nullptr;
    QCheckBox* fitSizeBox_ = nullptr;
    QDoubleSpinBox* fitSizeEdit_ = nullptr;
    QCheckBox* twoPassBox_ = nullptr;
    QLineEdit* fromEdit_ = nullptr;
    QLineEdit* toEdit_ = nullptr;
    QComboBox* cropBox_ = nullptr;
    QSpinBox* cropEdits_[4] = {};  // width, height, x, y
    QComboBox* deinterlaceBox_ = nullptr;
    QComboBox* audioBitrateBox_ = nullptr;
    QComboBox* sampleRateBox_ = nullptr;
    QComboBox* channelsBox_ = nullptr;
    QComboBox* volumeBox_ = nullptr;
    QComboBox* audioCodecBox_ = nullptr;
    QPushButton* defaultsButton_ = nullptr;
    QSpinBox* upDownCnx_ = nullptr;
    QCheckBox* saveHistoryBox_ = nullptr;
    QCheckBox* removeStoppedBox_ = nullptr;
    QLabel* batchNote_ = nullptr;
    QCheckBox* internalPlayerBox_ = nullptr;
    QCheckBox* shutdownBox_ = nullptr;
    QCheckBox* exitAfterBox_ = nullptr;
    QCheckBox* keepDatesBox_ = nullptr;
    QComboBox* priorityBox_ = nullptr;
};

}  // namespace vidmill
