#pragma once

// What the engine needs from whoever shows it: the desktop window or the
// terminal. Every call arrives on the interface thread.

#include <string>

namespace vidmill {

enum MessageStyle : int {
    kPlainMessage = 0,
    kQuestionMessage = 33,  // OK and Cancel; go on only on OK
    kInformationMessage = 64,
};

class EngineHost {
  public:
    virtual ~EngineHost() = default;

    // On while any conversion worker lives.
    virtual void setConvertingState(bool converting) = 0;
    virtual void updateCommandStates() = 0;
    virtual void refreshEntryList() = 0;
    virtual void showEntryCount() = 0;
    virtual void showSettingsStrip() = 0;
    // Gives 1 when the user chose OK (always for a box without Cancel).
    virtual int showMessage(int style, const std::string& text) = 0;
    // Redraws a row. Called with the engine's lock held: read the entry's
    // fields directly, call nothing of the engine that locks.
    virtual void updateRow(int row) = 0;
    // Moves the focus to a row and shows it.
    virtual void gotoRow(int row) = 0;

    // The batch's progress: percent for the bar, and the "%d / %d  %d%%"
    // text. Called with the engine's lock held.
    virtual void showBatchProgress(int percent, const std::string& text) = 0;
    // At batch start (true) the progress shows at 0 and the destination,
    // format and settings commands are disabled; at batch end (false) they
    // are enabled again.
    virtual void setBatchControls(bool converting) = 0;
    // The settings dialog at batch start, naming the number of videos;
    // false when the user cancelled it.
    virtual bool editBatchSettings(int videoCount) = 0;
    virtual void saveSettings() = 0;
    // Asks whether the computer may be shut down after the batch.
    virtual bool confirmShutdown() = 0;
    // Lets the user pick videos to add (the Add command).
    virtual void openAddVideos() = 0;
    // The focused row, or -1.
    virtual int focusedRow() = 0;
    virtual void closeMainWindow() = 0;
    // True once the window is being closed.
    virtual bool closing() = 0;
};

}  // namespace vidmill
