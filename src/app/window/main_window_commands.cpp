// The main window's commands: one action each, shown by the main menu, the
// list's popup and the toolbar alike, and enabled from one set of rules.

#include "app/window/main_window.h"

#include <QAction>
#include <QMenu>
#include <QMenuBar>
#include <QStyle>
#include <QToolBar>
#include <QToolButton>
#include <algorithm>
#include <functional>
#include <iterator>
#include <optional>
#include <utility>

#include "app/busy_indicator.h"
#include "controls/list_view_data.h"
#include "engine/list/entry_status_text.h"

namespace vidmill {

void MainWindow::buildActions() {
    using A = MainWindowActions;
    // Esc also cancels an add under way, which is no batch to stop.
    const auto stopAllOrAdding = [this] {
        if (adding_) {
            stopAdding_.store(1);
        } else {
            stopAll();
        }
    };
    const struct {
        Command command;
        QAction* A::*slot;
        const char* name;
        const char* caption;
        const char* key;
        // How the list's popup shows it, where that differs from the menu.
        const char* popupCaption;
        const char* popupKey;
        // Empty for the toggles, which are connected below.
        std::function<void()> run;
    } commands[] = {
        {Command::AddVideos, &A::addVideos, "AddVideos1", "&Add Video Entry", "Ins",
         "&Add Video(s)", "Ins", [this] { addVideos(); }},
        {Command::AddFolder, &A::addFolder, "AddFolder1", "Add &Folder...", "Ctrl+Ins", nullptr,
         nullptr, [this] { addFolder(); }},
        {Command::RemoveEntry, &A::removeEntry, "DeleteEntry1", "&Remove Video Entry", "Del",
         "&Remove Video(s)", "Del", [this] { removeEntry(); }},
        {Command::Convert, &A::convert, "ConvertLocalVideo1", "&Convert  Video(s)", "F2",
         "&Convert Video(s)", "F2", [this] { convertVideos(); }},
        {Command::StopConversion, &A::stopConversion, "StopConversion1", "&Stop Conversion",
         "Ctrl+T", "Stop Conversion", "Ctrl+T", [this] { stopConversion(); }},
        {Command::StopAll, &A::stopAll, "StopAll1", "Sto&p All", "Esc", "Stop All", "Ctrl+L",
         stopAllOrAdding},
        {Command::RemoveMissing, &A::removeMissing, "DeleteUnExistingVideoEntries1",
         "Delete All Entries with &UnExisting Videos", "", nullptr, nullptr,
         [this] { removeMissingEntries(); }},
        {Command::Rename, &A::rename, "RenameVideo1", "&Rename Video", "F6", "Rename Video", "F6",
         [this] { renameVideo(); }},
        {Command::DeleteVideo, &A::deleteVideo, "DeleteVideo1", "Delete &Video", "F8",
         "Delete Video", "F8", [this] { deleteVideo(); }},
        {Command::OpenFolder, &A::openFolder, "OpenOutputFolder1", "&Open Destination Folder", "",
         nullptr, nullptr, [this] { openDestinationFolder(); }},
        {Command::Play, &A::play, "PlayVideo1", "&Play Video", "", "&Play Video", "Return",
         [this] { playVideo(); }},
        {Command::Preview, &A::preview, "PreviewVideo1", "Pre&view", "Ctrl+P", nullptr, nullptr,
         [this] { previewVideo(); }},
        {Command::ShowReason, &A::popupReason, "ShowReason2", "Why did it &fail?", "", nullptr,
         nullptr, [this] { showFailureReason(); }},
        {Command::Exit, &A::exit, "Exit1", "&Exit", "Alt+F4", nullptr, nullptr,
         [this] { close(); }},
        {Command::Settings, &A::settings, "Settings1", "&Settings", "Ctrl+E", nullptr, nullptr,
         [this] { showSettings(); }},
        {Command::ToolbarSettings, &A::barSettings, "TBOptions", "Settings", "", nullptr, nullptr,
         [this] { showSettings(); }},
        {Command::PauseAll, &A::pauseAll, "PauseAll1", "P&ause All", "F3", nullptr, nullptr,
         [this] { togglePause(); }},
        {Command::KeepFolderStructure, &A::keepFolderStructure, "KeepFolderStructure1",
         "&Keep Folder Structure", "", nullptr, nullptr, nullptr},
        {Command::SkipExisting, &A::skipExisting, "SkipExisting1", "S&kip Videos Already Converted",
         "", nullptr, nullptr, nullptr},
        {Command::WatchFolders, &A::watchFolders, "WatchFolders1", "&Watch Folders...", "", nullptr,
         nullptr, [this] { editWatchFolders(); }},
        {Command::ViewToolbar, &A::viewToolbar, "ViewToolbar1", "Show &Toolbar", "", nullptr,
         nullptr, nullptr},
        {Command::ViewSettings, &A::viewSettings, "ViewSettings1", "Show &Main Settings", "",
         nullptr, nullptr, nullptr},
        {Command::ViewStatusBar, &A::viewStatusBar, "ShowStatusBar1", "Show Status Bar", "",
         nullptr, nullptr, nullptr},
        {Command::Help, &A::help, "Index1", "&Index", "F1", nullptr, nullptr,
         [this] { showHelp(); }},
        {Command::TipOfTheDay, &A::tipOfTheDay, "TipoftheDay1", "&Tip of the Day", "", nullptr,
         nullptr, [this] { showTipOfTheDay(); }},
        {Command::HomePage, &A::homePage, "ProgramHomePage1", "&Program Home Page", "", nullptr,
         nullptr, [this] { showHomePage(); }},
        {Command::About, &A::about, "About1", "&About", "", nullptr, nullptr,
         [this] { showAbout(); }},
    };
    static_assert(std::size(commands) == kCommandCount);
    for (const auto& command : commands) {
        auto* action = new QAction(QString::fromLatin1(command.caption), this);
        action->setObjectName(QString::fromLatin1(command.name));
        action->setShortcut(QKeySequence(QString::fromLatin1(command.key)));
        actions_.*command.slot = action;
        commandActions_[static_cast<std::size_t>(command.command)] = action;
        if (command.popupCaption != nullptr) {
            popupLooks_.push_back({action, QString::fromLatin1(command.popupCaption),
                                   QKeySequence(QString::fromLatin1(command.popupKey))});
        }
        if (command.run) {
            connect(action, &QAction::triggered, this, command.run);
        }
    }

    // Qt has flipped a checkable action already when `triggered` comes: the
    // state it carries is the one asked for.
    const auto toggle = [this](QAction* action, auto apply) {
        action->setCheckable(true);
        connect(action, &QAction::triggered, this, apply);
    };
    toggle(actions_.viewToolbar, [this](bool on) { setToolbarVisible(on); });
    toggle(actions_.viewSettings, [this](bool on) { setMainSettingsVisible(on); });
    toggle(actions_.viewStatusBar, [this](bool on) { setStatusBarVisible(on); });
    toggle(actions_.keepFolderStructure, [this](bool on) {
        keepFolderStructure_ = on;
        if (windowStateTimer_ != nullptr) {
            storeWindowState();
        }
    });
    toggle(actions_.skipExisting, [this](bool on) {
        skipExisting_ = on;
        startWatching();
        if (windowStateTimer_ != nullptr) {
            storeWindowState();
        }
    });
    // A build that names no home page has nothing to offer here.
    actions_.homePage->setVisible(!paths_.homePage.empty());
}

void MainWindow::buildMenus() {
    QMenu* file = menuBar()->addMenu("&File");
    for (QAction* action : std::initializer_list<QAction*>{
             actions_.addVideos, actions_.addFolder, actions_.removeEntry, actions_.convert,
             nullptr, actions_.stopConversion, actions_.stopAll, nullptr, actions_.removeMissing,
             nullptr, actions_.rename, actions_.deleteVideo, nullptr, actions_.openFolder,
             actions_.play, actions_.preview, nullptr, actions_.exit}) {
        action == nullptr ? (void)file->addSeparator() : file->addAction(action);
    }
    QMenu* options = menuBar()->addMenu("&Options");
    options->addAction(actions_.settings);
    options->addSeparator();
    options->addAction(actions_.pauseAll);
    options->addSeparator();
    options->addAction(actions_.keepFolderStructure);
    options->addAction(actions_.skipExisting);
    options->addAction(actions_.watchFolders);
    options->addSeparator();
    for (QAction* action : {actions_.viewToolbar, actions_.viewSettings, actions_.viewStatusBar}) {
        options->addAction(action);
    }
    QMenu* help = menuBar()->addMenu("&Help");
    help->addAction(actions_.help);
    help->addAction(actions_.tipOfTheDay);
    help->addSeparator();
    help->addAction(actions_.homePage);
    help->addAction(actions_.about);
    for (QMenu* menu : {file, options, help}) {
        connect(menu, &QMenu::aboutToShow, this, &MainWindow::updateCommandStates);
    }

    popup_ = new QMenu(this);
    for (QAction* action : std::initializer_list<QAction*>{
             actions_.addVideos, actions_.removeEntry, actions_.convert, nullptr,
             actions_.stopConversion, actions_.stopAll, nullptr, actions_.rename,
             actions_.deleteVideo, nullptr, actions_.openFolder, actions_.play, actions_.preview,
             nullptr, actions_.popupReason}) {
        action == nullptr ? (void)popup_->addSeparator() : popup_->addAction(action);
    }
    connect(popup_, &QMenu::aboutToShow, this, [this] { showPopupLooks(true); });
    connect(popup_, &QMenu::aboutToHide, this, [this] { showPopupLooks(false); });
}

void MainWindow::showPopupLooks(bool open) {
    // A popup shown again while open does not announce a hide first.
    if (std::exchange(popupOpen_, open) == open) {
        return;
    }
    // While it is open the popup's captions and keys are the ones shown, and
    // its keys the ones that work: the main menu cannot be open meanwhile.
    for (PopupLook& look : popupLooks_) {
        QString text = look.action->text();
        QKeySequence key = look.action->shortcut();
        look.action->setText(look.text);
        look.action->setShortcut(look.key);
        look.text = std::move(text);
        look.key = std::move(key);
    }
    updateCommandStates();
}

void MainWindow::buildToolbar() {
    toolBar_ = addToolBar("ToolBar1");
    toolBar_->setObjectName("ToolBar1");
    toolBar_->setMovable(false);
    toolBar_->setFloatable(false);
    toolBar_->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    toolBar_->setContextMenuPolicy(Qt::PreventContextMenu);
    // The menu bar's own right-click menu toggles the toolbar too: through
    // the same path as View's Show Toolbar, so both stay in step.
    connect(toolBar_->toggleViewAction(), &QAction::triggered, this,
            [this](bool on) { setToolbarVisible(on); });
    // The buttons show the menus' actions under captions of their own; their
    // pictures stay out of the menus.
    const struct {
        QAction* action;
        const char* caption;
        const char* hint;
        QStyle::StandardPixmap icon;
    } buttons[] = {
        {actions_.addVideos, "Add", "Add Videos to convert", QStyle::SP_FileDialogNewFolder},
        {actions_.removeEntry, "Remove", "Remove videos from the list", QStyle::SP_TrashIcon},
        {actions_.convert, "Convert", "Convert Videos", QStyle::SP_MediaPlay},
        {actions_.pauseAll, "Pause", "Pause or resume the conversions", QStyle::SP_MediaPause},
        {actions_.barSettings, "Settings", "Settings", QStyle::SP_FileDialogDetailedView},
        {actions_.help, "Help", "Help", QStyle::SP_MessageBoxQuestion},
    };
    for (const auto& button : buttons) {
        if (!toolBar_->actions().isEmpty()) {
            toolBar_->addSeparator();
        }
        button.action->setIconText(QString::fromLatin1(button.caption));
        button.action->setToolTip(QString::fromLatin1(button.hint));
        button.action->setIcon(style()->standardIcon(button.icon));
        button.action->setIconVisibleInMenu(false);
        toolBar_->addAction(button.action);
    }
    // Add offers a folder too, from the arrow beside it. The menu is the
    // button's, not the action's: the File menu shows no submenu.
    auto* addMenu = new QMenu(toolBar_);
    addMenu->addAction(actions_.addVideos);
    addMenu->addAction(actions_.addFolder);
    if (auto* button = qobject_cast<QToolButton*>(toolBar_->widgetForAction(actions_.addVideos))) {
        button->setMenu(addMenu);
        button->setPopupMode(QToolButton::MenuButtonPopup);
    }
    auto* spacer = new QWidget(toolBar_);
    spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    toolBar_->addWidget(spacer);
    busy_ = new BusyIndicator(toolBar_);
    toolBar_->addWidget(busy_);
}

CommandFacts MainWindow::commandFacts() {
    CommandFacts facts;
    facts.batchActive = engine_->batchState() != BatchState::Idle;
    facts.batchHoldsSettings = batchHoldsSettings_;
    facts.adding = adding_;
    facts.forPopup = popupOpen_;
    facts.entryCount = engine_->entryCount();
    facts.selectedCount = list_->selectedCount();
    facts.previewsPossible = preview_ != nullptr;
    facts.watching = !watchFolders_.isEmpty();
    const int focused =
        facts.entryCount > 0 ? std::min(list_->focusedRow(), facts.entryCount - 1) : -1;
    if (const std::optional<EntryView> entry = engine_->entryAt(focused)) {
        facts.hasFocused = true;
        facts.focusedStatus = entry->status;
        // For a converted entry the reason is a note on how it went.
        facts.focusedHasReason = facts.focusedStatus == EntryStatus::Ok
                                     ? !convertedEntryTip(*entry).empty()
                                     : !entry->failureReason.empty();
    }
    return facts;
}

void MainWindow::updateCommandStates() {
    if (refreshingCommands_ || closing_) {
        return;
    }
    refreshingCommands_ = true;
    const CommandFacts facts = commandFacts();
    const CommandStates states = commandStates(facts);
    for (std::size_t command = 0; command < kCommandCount; ++command) {
        commandActions_[command]->setEnabled(states[command]);
    }
    const bool paused = engine_->batchPaused();
    actions_.pauseAll->setText(paused ? QStringLiteral("Res&ume") : QStringLiteral("P&ause All"));
    actions_.pauseAll->setIconText(paused ? QStringLiteral("Resume") : QStringLiteral("Pause"));
    actions_.pauseAll->setIcon(
        style()->standardIcon(paused ? QStyle::SP_MediaPlay : QStyle::SP_MediaPause));
    if (facts.hasFocused) {
        actions_.popupReason->setText(facts.focusedStatus == EntryStatus::Ok
                                          ? QStringLiteral("About this &conversion")
                                          : QStringLiteral("Why did it &fail?"));
    }
    refreshingCommands_ = false;
}

}  // namespace vidmill
