#pragma once

// The main window: the list of videos over the engine, the settings strip,
// the menus, toolbar and status bar, adding videos by dialog, drop and
// command line, and the orderly start and end of the program. It holds no
// conversion logic: it is one more client of the engine, like the terminal
// front end.

#include <QKeySequence>
#include <QMainWindow>
#include <QStringList>
#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/command_state.h"
#include "app/history_saver.h"
#include "app/qt_gui_call.h"
#include "app/window_state.h"
#include "controls/list_view_data.h"
#include "dialogs/tip_window.h"
#include "engine/adding/folder_watch.h"
#include "engine/engine.h"
#include "engine/engine_host.h"
#include "engine/preview_maker.h"

class QAction;
class QComboBox;
class QLabel;
class QLineEdit;
class QMenu;
class QProgressBar;
class QPushButton;
class QTimer;
class QToolBar;
class QWidget;

namespace vidmill {

class BusyIndicator;
class Desktop;
class NoticeLabel;

// Where the window finds its programs and keeps its files.
struct AppPaths {
    std::string converter;
    // The internal player.
    std::string player;
    std::string settingsFile;
    std::string historyFile;
    // Held by the window that owns the list: one per user.
    std::string lockFile;
    // Where the window keeps its size, place, column widths and adding
    // options; empty: nothing is kept.
    std::string windowStateFile;
    // The manual's contents page, opened by Help.
    std::string helpFile;
    // Where the newest version number is asked for; empty: never.
    std::string versionUrl;
    // The home and download page; empty: the Help menu does not offer it.
    std::string homePage;
    // Where previews are made; empty: no previews.
    std::string previewFolder;
};

// The paths of an installed or built program: the converter beside it, the
// settings and history in the configuration folder.
AppPaths defaultAppPaths();

// The window size rule: the width kept within 400 to 1600 pixels, the
// height three quarters of it.
QSize sizeByRule(int width);

// The program's tips of the day, "Show at startup" on.
TipSet programTips();
// The about box's caption and text.
QString aboutCaption();
QString aboutText();
// The notice shown while the newest version number is asked for.
QString updateWaitText();

// Every command of the window, one action each, whichever of the main menu,
// the list's popup and the toolbar shows it (the last two under captions of
// their own where they have them).
struct MainWindowActions {
    // File
    QAction* addVideos = nullptr;
    QAction* addFolder = nullptr;
    QAction* removeEntry = nullptr;
    QAction* convert = nullptr;
    QAction* stopConversion = nullptr;
    QAction* stopAll = nullptr;
    QAction* removeMissing = nullptr;
    QAction* rename = nullptr;
    QAction* deleteVideo = nullptr;
    QAction* openFolder = nullptr;
    QAction* play = nullptr;
    QAction* preview = nullptr;
    QAction* exit = nullptr;
    // Options
    QAction* settings = nullptr;
    QAction* keepFolderStructure = nullptr;
    QAction* skipExisting = nullptr;
    QAction* pauseAll = nullptr;
    QAction* watchFolders = nullptr;
    QAction* viewToolbar = nullptr;
    QAction* viewSettings = nullptr;
    QAction* viewStatusBar = nullptr;
    // Help
    QAction* help = nullptr;
    QAction* tipOfTheDay = nullptr;
    QAction* homePage = nullptr;
    QAction* about = nullptr;
    // The list's popup alone
    QAction* popupReason = nullptr;
    // The toolbar alone: its Settings opens the dialog during a batch too.
    QAction* barSettings = nullptr;
};

class MainWindow : public QMainWindow, public EngineHost, public ListDataSource {
    Q_OBJECT
  public:
    // `arguments`: files and folders to add at the first showing (relative
    // ones are taken from the current folder).
    MainWindow(Desktop& desktop, AppPaths paths, QStringList arguments = {},
               EngineTiming timing = {});
    ~MainWindow() override;

    Engine& engine() { return *engine_; }
    ListViewData* list() const { return list_; }
    // The commands of the menu, the popup and the toolbar.
    const MainWindowActions& actions() const { return actions_; }
    // The status bar's panels: the hint, the count, the batch; 3 the notices.
    QLabel* statusPanel(int index) const;

    // The end of the program: stops and waits for the conversions, saves the
    // settings, sweeps the list and writes the history. Runs once, after the
    // event loop has returned, so no caller up the stack still holds an
    // entry; the destructor runs it when nobody did.
    void shutDown();

    // The ways in. Each admits file by file, keeping the window responsive.
    bool addVideos();
    // Add Folder: a folder picked in a dialog is searched as a drop is,
    // without starting a batch.
    bool addFolder();
    // Where the Add dialogs open: the folder last added from, or the videos
    // folder the first time.
    QString lastAddFolder();
    void dropNames(const QStringList& names);
    void addCommandLineFiles(const QStringList& names);
    // Files and folders that a later start handed over: taken as a drop, at
    // once or, while a batch or an add runs or a dialog is open, once that
    // is over; the status bar shows how many wait meanwhile. False when the
    // window is closing and cannot take them.
    bool takeHandedOver(const QStringList& names);
    // The entry commands, on the focused entry.
    void playVideo();
    // Converts ten seconds of the focused video with the settings and plays them.
    void previewVideo();
    void playFile(const QString& file);
    // Remove, Delete Video and Stop Conversion act on every selected row
    // (the focused one when none is selected), asking once.
    void removeEntry();
    void stopConversion();
    void openDestinationFolder();
    void deleteVideo();
    void renameVideo();
    void removeMissingEntries();
    void showFailureReason();

    // True while a folder is searched or files are probed.
    bool adding() const { return adding_; }
    // Has the history saved (on the saver's thread) when it changed since it
    // was last saved; `wait` waits until it is on the disk.
    void saveHistoryIfChanged(bool wait = false);

    void applySizeRule();

    // The Convert command: offers to convert the stopped videos again when
    // none is ready, or the Add dialog when nothing is there to convert,
    // then starts a batch.
    void convertVideos();
    // Starts a batch of the Ready entries: asks first whether the computer
    // may go off after it (when chosen) and opens the settings dialog naming
    // their number; a No or a Cancel starts nothing. False when none started.
    // Without `ask`, nothing is asked and nothing follows the batch's end.
    bool startBatch(bool ask = true);
    // Stop All: asks, and stops every conversion on OK. Either way the
    // batch counts as stopped: no power-off and no exit follow it.
    void stopAll();
    // Pauses the running batch, or resumes the paused one.
    void togglePause();
    // Whether the batch that ended asked for the computer to go off after
    // the window has closed.
    bool shutdownPending() const { return shutdownPending_; }

    void updateCommandStates();
    void refreshEntryList();
    void showEntryCount();
    void showSettingsStrip();
    // Gives 1 when the user chose OK (always for a box without Cancel).
    int showMessage(int style, const std::string& text);
    void gotoRow(int row);
    void saveSettings();

    // EngineHost
    void message(MessageStyle style, const std::string& text) override;
    void entriesAdded(int lastRow) override;
    void entryChanged(int row) override;
    void batchProgress(int percent, const std::string& text) override;
    void batchStarted() override;
    void workerStarted() override;
    void workerEnded() override;
    void batchEnded(bool stopped) override;

    // ListDataSource
    QString cellText(int row, int column) override;
    int cellImage(int row) override;
    QString cellToolTip(int row, int column) override;

  signals:
    // Adding videos began (true, the commands already held back) or ended
    // (false): what adding() says, as it changes.
    void addingChanged(bool adding);

  protected:
    void closeEvent(QCloseEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void buildActions();
    void buildMenus();
    void buildToolbar();
    // What the command states depend on, as the window knows it now.
    CommandFacts commandFacts();
    // The popup's own captions and keys, while it is open (true).
    void showPopupLooks(bool open);
    void buildSettingsStrip();
    void buildList();
    void setUpStatusBar();
    void initApplicationState();
    void handleFirstActivation();
    void takeSettingsStrip(int selector);
    void setToolbarVisible(bool visible);
    void setMainSettingsVisible(bool visible);
    void setStatusBarVisible(bool visible);
    void selectDestination();
    void showHelp();
    void showTipOfTheDay();
    void showHomePage();
    void showAbout();
    // At start-up, when due: asks for the newest version number, with a
    // notice on the screen meanwhile.
    void checkForUpdate();
    // The last step of the shut-down when the batch asked for it.
    void powerOffComputer();
    // On while any conversion worker lives.
    void setConvertingState(bool converting);
    // At batch start (true) the progress shows at 0 and the destination,
    // format and settings commands are disabled; at batch end (false) they
    // are enabled again.
    void setBatchControls(bool converting);
    // Asks whether the computer may be switched off after the batch.
    bool confirmShutdown();
    bool sizeFitsEveryVideo();
    // The rows that a list command acts on, as `chosenRows` gives them, with
    // what the command's question needs to know of their entries, read under
    // the engine's lock.
    struct ChosenEntry {
        int row;
        std::uint64_t id;
        EntryStatus status;
        std::string sourcePath;
    };
    std::vector<ChosenEntry> chosenEntries();
    // Remove and Delete Video of the chosen entries, once asked: one entry
    // or many, the same step, then the focus and the failures told.
    void removeChosen(const std::vector<ChosenEntry>& chosen, bool deleteVideos);
    void showSettings();
    // The settings dialog; what it gives is committed to the live settings in
    // one step under the engine's lock, since workers read them. True on OK.
    bool runSettingsDialog(int videoCount);
    // After the entry at `row` has left the list: the focus goes to the one
    // that took its place, or to the new last one.
    void afterRemoval(int row);
    void afterRemovingMany(int firstRow);
    // Focuses the row that took `row`'s place (or the new last one) and
    // updates the count and the commands.
    void focusNear(int row);
    // The selected rows, ascending, or the focused one when none is selected.
    std::vector<int> chosenRows() const;
    // The focused entry's row and status; false when there is none.
    bool focusedEntry(int* row, EntryStatus* status);
    // Admits the names one by one (folders searched), then reports what the
    // search had to skip; gives how many names were handled.
    int addNames(const QStringList& names);
    void pump();
    // Add and Add Folder start next time in `folder`.
    void rememberAddFolder(const QString& folder);
    // What `read` gives for a copy of the entry at `row`; `none` for a row
    // without an entry, or while closing.
    template <typename Result, typename Read>
    Result readEntry(int row, Result none, Read read) {
        if (closing_) {
            return none;
        }
        const std::optional<EntryView> entry = engine_->entryAt(row);
        return entry ? read(*entry) : none;
    }
    // Probes the files several at once and adds them in their order.
    // `subfolders`: empty, or where below the destination each output goes.
    void admitAll(const std::vector<std::string>& paths,
                  const std::vector<std::string>& subfolders = {});
    void reportSkipped();

    Desktop& desktop_;
    AppPaths paths_;
    QStringList arguments_;
    QtGuiCall gui_;
    std::unique_ptr<Engine> engine_;
    std::unique_ptr<PreviewMaker> preview_;
    QString previewNotice_;  // while a preview is made

    ListViewData* list_ = nullptr;
    QToolBar* toolBar_ = nullptr;
    BusyIndicator* busy_ = nullptr;
    QWidget* settingsStrip_ = nullptr;
    QLineEdit* destinationEdit_ = nullptr;
    QPushButton* chooseDestinationButton_ = nullptr;
    QComboBox* formatBox_ = nullptr;
    QPushButton* settingsButton_ = nullptr;
    QLabel* panels_[3] = {};
    NoticeLabel* noticePanel_ = nullptr;
    QProgressBar* progress_ = nullptr;
    QMenu* popup_ = nullptr;
    QTimer* historyTimer_ = nullptr;
    MainWindowActions actions_;
    std::array<QAction*, kCommandCount> commandActions_{};
    // The other look of the actions that the popup shows otherwise than the
    // main menu: swapped in while it is open.
    struct PopupLook {
        QAction* action;
        QString text;
        QKeySequence key;
    };
    std::vector<PopupLook> popupLooks_;
    bool popupOpen_ = false;
    // From a batch's start to its end.
    bool batchHoldsSettings_ = false;

    bool refreshingCommands_ = false;
    bool firstActivation_ = true;
    bool closing_ = false;
    bool closeRequested_ = false;
    bool shutDownDone_ = false;
    bool adding_ = false;
    // While a batch that was asked for waits for its answers: a watch's batch
    // would take its videos with settings not yet chosen.
    bool askingForBatch_ = false;
    // A watch's add tells what it could not add after its batch has started.
    bool reportLater_ = false;
    bool shutdownPending_ = false;
    std::atomic<int> stopAdding_{0};
    std::uint64_t savedHistoryChanges_ = 0;
    std::unique_ptr<HistorySaver> historySaver_;
    // Handed over by later starts, waiting for the window to be free.
    QStringList heldNames_;
    QTimer* heldTimer_ = nullptr;
    void takeHeldNames();
    // The window's own state: restored at start, written when a choice
    // changes and once a move or resize has settled, so that a crash keeps it.
    void restoreWindowState();
    void storeWindowState();
    void storeWindowStateSoon();
    QTimer* windowStateTimer_ = nullptr;
    // What the file holds now, to write only what changed.
    std::optional<WindowState> storedWindowState_;
    bool keepFolderStructure_ = false;
    bool skipExisting_ = false;
    // Watch folders: what appears there is taken as a drop. Videos converted
    // already are skipped while any folder is watched, so that a start does
    // not convert the folder again.
    QStringList watchFolders_;
    std::unique_ptr<FolderWatch> watch_;
    QTimer* watchTimer_ = nullptr;
    QString watchNotice_;
    // The destination when the watch started: never watched itself.
    std::string watchedDestination_;
    // Videos that appeared in a watched folder, waiting for the window.
    QStringList watchedNames_;
    // What each of them was when the watch found it complete.
    std::map<std::string, FileIdentity> watchedIdentities_;
    void editWatchFolders();
    void startWatching();
    void lookAtWatchedFolders();
    // The first panel: how many files wait to be added, or the help key.
    void showWaitingCount();
    // The notice panel: a preview under way, else what the watch says, else
    // what is watched.
    void showNotice();
    // Around every add: commands that must wait are disabled, Esc cancels,
    // and what could not be added is reported once at the end.
    void beginAdding();
    void endAdding();
    int invalidSkipped_ = 0;
    // Whether the history is kept, for the workers' saves after each entry.
    std::atomic<bool> historyOn_{false};
    std::vector<QString> skipped_;
    int batchPercent_ = 0;
    QString batchText_;
    bool batchProgressPosted_ = false;
};

}  // namespace vidmill
