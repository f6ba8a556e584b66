// The main window's frame: its actions, menus, toolbar, settings strip and
// status bar, the command states, and the start-up that fills them.

#include "app/main_window.h"

#include <QWidget>

#include <QMenuBar>

#include <QToolBar>

#include <QAction>
#include <QComboBox>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QStyle>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>
#include <cstring>
#include <functional>

#include "app/busy_indicator.h"
#include "app/desktop.h"
#include "app/notice_label.h"
#include "app/qt_paths.h"
#include "app/window_state.h"
#include "engine/list/entry_status_text.h"
#include "engine/list/history_file.h"
#include "formats/format_preset.h"
#include "storage/safe_save.h"
#include "storage/settings_file.h"
#include "system/user_folders.h"
#include "vidmill_version.h"
#include "vidmill_web_addresses.h"

namespace vidmill {

namespace {

// How soon after a change of the list the history is on the disk: a crash
// loses at most this much.
constexpr int kHistorySaveMs = 2000;
// How long a move or resize must rest before the window's state is written.
constexpr int kWindowStateSettleMs = 1000;
// Design size of the window, before the size rule.
constexpr int kDesignWidth = 649;
constexpr int kDesignHeight = 461;

QString countText(int count) {
    return count == 1 ? QStringLiteral("1 video") : QStringLiteral("%1 videos").arg(count);
}

// The pictures of the list's first column: ready, at work, converted, failed.
QList<QIcon> listImages() {
    QList<QIcon> icons;
    const QColor colours[] = {QColor(0x3a, 0x7b, 0xd5), QColor(0xe0, 0x8a, 0x1e),
                              QColor(0x2e, 0x9e, 0x44), QColor(0xc8, 0x32, 0x32)};
    for (int kind = 0; kind < 4; ++kind) {
        QPixmap picture(16, 16);
        picture.fill(Qt::transparent);
        QPainter painter(&picture);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setBrush(colours[kind]);
        painter.setPen(Qt::NoPen);
        painter.drawEllipse(QRectF(1.5, 1.5, 13, 13));
        painter.setPen(QPen(Qt::white, 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter.setBrush(Qt::NoBrush);
        switch (kind) {
            case 0:  // a play mark: ready to go
                painter.setBrush(Qt::white);
                painter.setPen(Qt::NoPen);
                painter.drawPolygon(
                    QPolygonF({QPointF(6.5, 4.5), QPointF(11.5, 8), QPointF(6.5, 11.5)}));
                break;
            case 1:  // hands of a clock: under way
                painter.drawLine(QPointF(8, 8), QPointF(8, 4.5));
                painter.drawLine(QPointF(8, 8), QPointF(11, 9.5));
                break;
            case 2:  // a tick
                painter.drawPolyline(
                    QPolygonF({QPointF(4.5, 8.5), QPointF(7, 11), QPointF(11.5, 5.5)}));
                break;
            default:  // a cross
                painter.drawLine(QPointF(5.5, 5.5), QPointF(10.5, 10.5));
                painter.drawLine(QPointF(10.5, 5.5), QPointF(5.5, 10.5));
                break;
        }
        icons << QIcon(picture);
    }
    return icons;
}

}  // namespace

QSize sizeByRule(int width) {
    const int clamped = std::clamp(width, 400, 1600);
    return QSize(clamped, static_cast<int>(clamped * 0.7500001875));
}

AppPaths defaultAppPaths() {
    AppPaths paths;
    const std::string program = programFolder();
    paths.converter = program + "/vidmill-convert";
    paths.player = program + "/vidmill-play";
    paths.settingsFile = configFolder() + "/settings.bin";
    paths.historyFile = configFolder() + "/history.bin";
    paths.lockFile = configFolder() + "/vidmill.lock";
    paths.windowStateFile = configFolder() + "/window.ini";
    // Installed beside the programs' share folder, or in the source tree when
    // run from the build.
    for (const std::string& candidate :
         {program + "/../share/doc/vidmill/manual/index.html",
          std::string(VIDMILL_SOURCE_DIR) + "/docs/manual/index.html"}) {
        if (QFileInfo::exists(fromPath(candidate))) {
            paths.helpFile = toPath(QFileInfo(fromPath(candidate)).canonicalFilePath());
            break;
        }
    }
    paths.versionUrl = VIDMILL_VERSION_URL;
    paths.homePage = VIDMILL_HOME_PAGE;
    paths.previewFolder = cacheFolder() + "/preview";
    return paths;
}

MainWindow::MainWindow(Desktop& desktop, AppPaths paths, QStringList arguments, EngineTiming timing)
    : desktop_(desktop), paths_(std::move(paths)) {
    // Relative names mean the folder we were started from, not wherever we
    // are when they are added.
    for (const QString& argument : arguments) {
        arguments_ << QFileInfo(argument).absoluteFilePath();
    }
    engine_ = std::make_unique<Engine>(*this, gui_, paths_.converter, timing);
    engine_->setProbeInterrupt(&stopAdding_);
    if (!paths_.previewFolder.empty()) {
        preview_ = std::make_unique<PreviewMaker>(paths_.converter, paths_.previewFolder, gui_);
    }

    setWindowTitle(kAppTitle);
    resize(kDesignWidth, kDesignHeight);
    applySizeRule();
    buildActions();
    buildMenus();
    buildToolbar();
    auto* panel1 = new QWidget(this);
    auto* layout = new QVBoxLayout(panel1);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    buildSettingsStrip();
    buildList();
    layout->addWidget(settingsStrip_);
    layout->addWidget(list_, 1);
    setCentralWidget(panel1);
    setUpStatusBar();
    setConvertingState(false);
    initApplicationState();
    if (!paths_.windowStateFile.empty()) {
        restoreWindowState();
        windowStateTimer_ = new QTimer(this);
        windowStateTimer_->setSingleShot(true);
        windowStateTimer_->setInterval(kWindowStateSettleMs);
        connect(windowStateTimer_, &QTimer::timeout, this, [this] { storeWindowState(); });
        connect(list_->horizontalHeader(), &QHeaderView::sectionResized, this,
                [this] { storeWindowStateSoon(); });
    }
    setAcceptDrops(true);

    historySaver_ = std::make_unique<HistorySaver>(
        [this] { return engine_->saveHistorySnapshot(paths_.historyFile); });
    // Every finished entry is on disk before another conversion starts, so
    // that a crash never loses a converted file's entry.
    historyOn_.store(engine_->settings().saveHistory);
    engine_->setFinishedHook([this] {
        if (historyOn_.load()) {
            makeFolders(configFolder());
            historySaver_->request();
            historySaver_->flush();
        }
    });
    historyTimer_ = new QTimer(this);
    historyTimer_->setInterval(kHistorySaveMs);
    connect(historyTimer_, &QTimer::timeout, this, [this] { saveHistoryIfChanged(); });
    historyTimer_->start();
    heldTimer_ = new QTimer(this);
    heldTimer_->setInterval(500);
    connect(heldTimer_, &QTimer::timeout, this, [this] { takeHeldNames(); });
}

MainWindow::~MainWindow() {
    shutDown();
}

QAction* MainWindow::makeAction(QAction*& slot, const char* name, const QString& caption,
                                const QKeySequence& key) {
    auto* action = new QAction(caption, this);
    slot = action;
    action->setObjectName(QString::fromLatin1(name));
    if (!key.isEmpty()) {
        action->setShortcut(key);
    }
    return action;
}

QLabel* MainWindow::statusPanel(int index) const {
    if (index == 3) {
        return noticePanel_;
    }
    return index >= 0 && index < 3 ? panels_[index] : nullptr;
}

void MainWindow::buildActions() {
    const auto connectTo = [this](QAction* action, auto slot) {
        connect(action, &QAction::triggered, this, slot);
    };
    // Main menu: the window's own shortcuts.
    connectTo(makeAction(actions_.addVideos, "AddVideos1", "&Add Video Entry", Qt::Key_Insert),
              [this] { addVideos(); });
    connectTo(
        makeAction(actions_.addFolder, "AddFolder1", "Add &Folder...", QKeySequence("Ctrl+Insert")),
        [this] { addFolder(); });
    connectTo(
        makeAction(actions_.removeEntry, "DeleteEntry1", "&Remove Video Entry", Qt::Key_Delete),
        [this] { removeEntry(); });
    connectTo(makeAction(actions_.convert, "ConvertLocalVideo1", "&Convert  Video(s)", Qt::Key_F2),
              [this] { convertVideos(); });
    connectTo(makeAction(actions_.stopConversion, "StopConversion1", "&Stop Conversion",
                         QKeySequence("Ctrl+T")),
              [this] { stopConversion(); });
    // Esc also cancels an add under way, which is no batch to stop.
    connectTo(makeAction(actions_.stopAll, "StopAll1", "Sto&p All", Qt::Key_Escape), [this] {
        if (adding_) {
            stopAdding_.store(1);
        } else {
            stopAll();
        }
    });
    connectTo(makeAction(actions_.removeMissing, "DeleteUnExistingVideoEntries1",
                         "Delete All Entries with &UnExisting Videos"),
              [this] { removeMissingEntries(); });
    connectTo(makeAction(actions_.rename, "RenameVideo1", "&Rename Video", Qt::Key_F6),
              [this] { renameVideo(); });
    connectTo(makeAction(actions_.deleteVideo, "DeleteVideo1", "Delete &Video", Qt::Key_F8),
              [this] { deleteVideo(); });
    connectTo(makeAction(actions_.openFolder, "OpenOutputFolder1", "&Open Destination Folder"),
              [this] { openDestinationFolder(); });
    connectTo(makeAction(actions_.play, "PlayVideo1", "&Play Video"), [this] { playVideo(); });
    connectTo(makeAction(actions_.exit, "Exit1", "&Exit", QKeySequence("Alt+F4")),
              [this] { close(); });
    connectTo(makeAction(actions_.settings, "Settings1", "&Settings", QKeySequence("Ctrl+E")),
              [this] { showSettings(); });
    QAction* toolbar = makeAction(actions_.viewToolbar, "ViewToolbar1", "Show &Toolbar");
    QAction* strip = makeAction(actions_.viewSettings, "ViewSettings1", "Show &Main Settings");
    QAction* statusBarItem =
        makeAction(actions_.viewStatusBar, "ShowStatusBar1", "Show Status Bar");
    for (QAction* toggle : {toolbar, strip, statusBarItem}) {
        toggle->setCheckable(true);
    }
    // Qt has flipped a checkable action already when `triggered` comes: the
    // state it carries is the one asked for.
    connect(toolbar, &QAction::triggered, this, [this](bool on) { setToolbarVisible(on); });
    connect(strip, &QAction::triggered, this, [this](bool on) { setMainSettingsVisible(on); });
    connect(statusBarItem, &QAction::triggered, this, [this](bool on) { setStatusBarVisible(on); });
    QAction* keepTree =
        makeAction(actions_.keepFolderStructure, "KeepFolderStructure1", "&Keep Folder Structure");
    keepTree->setCheckable(true);
    connect(keepTree, &QAction::triggered, this, [this](bool on) {
        keepFolderStructure_ = on;
        if (windowStateTimer_ != nullptr) {
            storeWindowState();
        }
    });
    QAction* skip =
        makeAction(actions_.skipExisting, "SkipExisting1", "S&kip Videos Already Converted");
    skip->setCheckable(true);
    connect(skip, &QAction::triggered, this, [this](bool on) {
        skipExisting_ = on;
        startWatching();
        if (windowStateTimer_ != nullptr) {
            storeWindowState();
        }
    });
    connectTo(makeAction(actions_.pauseAll, "PauseAll1", "P&ause All", Qt::Key_F3),
              [this] { togglePause(); });
    connectTo(makeAction(actions_.watchFolders, "WatchFolders1", "&Watch Folders..."),
              [this] { editWatchFolders(); });
    connectTo(makeAction(actions_.help, "Index1", "&Index", Qt::Key_F1), [this] { showHelp(); });
    connectTo(makeAction(actions_.tipOfTheDay, "TipoftheDay1", "&Tip of the Day"),
              [this] { showTipOfTheDay(); });
    QAction* homePage = makeAction(actions_.homePage, "ProgramHomePage1", "&Program Home Page");
    // A build that names no home page has nothing to offer here.
    homePage->setVisible(!paths_.homePage.empty());
    connectTo(homePage, [this] { showHomePage(); });
    connectTo(makeAction(actions_.about, "About1", "&About"), [this] { showAbout(); });

    // The popup's items: their shortcuts are shown, and work while it is open.
    connectTo(makeAction(actions_.popupAdd, "AddVideos2", "&Add Video(s)", Qt::Key_Insert),
              [this] { addVideos(); });
    connectTo(makeAction(actions_.popupRemove, "DeleteEntry2", "&Remove Video(s)", Qt::Key_Delete),
              [this] { actions_.removeEntry->trigger(); });
    connectTo(makeAction(actions_.popupConvert, "ConvertVideos2", "&Convert Video(s)", Qt::Key_F2),
              [this] { convertVideos(); });
    connectTo(makeAction(actions_.popupStop, "StopConversion2", "Stop Conversion",
                         QKeySequence("Ctrl+T")),
              [this] { stopConversion(); });
    connectTo(makeAction(actions_.popupStopAll, "StopAll2", "Stop All", QKeySequence("Ctrl+L")),
              [this] { stopAll(); });
    connectTo(makeAction(actions_.popupRename, "RenameVideo2", "Rename Video", Qt::Key_F6),
              [this] { actions_.rename->trigger(); });
    connectTo(makeAction(actions_.popupDelete, "DeleteVideo2", "Delete Video", Qt::Key_F8),
              [this] { actions_.deleteVideo->trigger(); });
    connectTo(makeAction(actions_.popupOpenFolder, "OpenOutputFolder2", "&Open Destination Folder"),
              [this] { actions_.openFolder->trigger(); });
    connectTo(makeAction(actions_.popupPlay, "PlayVideo2", "&Play Video", Qt::Key_Return),
              [this] { playVideo(); });
    connectTo(makeAction(actions_.preview, "PreviewVideo1", "Pre&view", QKeySequence("Ctrl+P")),
              [this] { previewVideo(); });
    connectTo(
        makeAction(actions_.popupPreview, "PreviewVideo2", "Pre&view", QKeySequence("Ctrl+P")),
        [this] { previewVideo(); });
    connectTo(makeAction(actions_.popupReason, "ShowReason2", "Why did it &fail?"),
              [this] { showFailureReason(); });

    // Toolbar buttons.
    QStyle* look = style();
    const struct {
        QAction** slot;
        const char* name;
        const char* caption;
        const char* hint;
        QStyle::StandardPixmap icon;
        std::function<void()> run;
    } buttons[] = {
        {&actions_.barAdd, "TBAdd", "Add", "Add Videos to convert", QStyle::SP_FileDialogNewFolder,
         [this] { addVideos(); }},
        {&actions_.barRemove, "TBRemove", "Remove", "Remove videos from the list",
         QStyle::SP_TrashIcon, [this] { actions_.removeEntry->trigger(); }},
        {&actions_.barConvert, "TBConvert", "Convert", "Convert Videos", QStyle::SP_MediaPlay,
         [this] { convertVideos(); }},
        {&actions_.barPause, "TBPause", "Pause", "Pause or resume the conversions",
         QStyle::SP_MediaPause, [this] { togglePause(); }},
        {&actions_.barSettings, "TBOptions", "Settings", "Settings",
         QStyle::SP_FileDialogDetailedView, [this] { showSettings(); }},
        {&actions_.barHelp, "TBHelp", "Help", "Help", QStyle::SP_MessageBoxQuestion,
         [this] { showHelp(); }},
    };
    for (const auto& button : buttons) {
        QAction* action = makeAction(*button.slot, button.name, button.caption);
        action->setToolTip(button.hint);
        action->setIcon(look->standardIcon(button.icon));
        connect(action, &QAction::triggered, this, button.run);
    }
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

    // Kept out of the window's own actions, so its shortcuts (the same keys
    // as the main menu's) are never ambiguous.
    popup_ = new QMenu(this);
    for (QAction* action : std::initializer_list<QAction*>{
             actions_.popupAdd, actions_.popupRemove, actions_.popupConvert, nullptr,
             actions_.popupStop, actions_.popupStopAll, nullptr, actions_.popupRename,
             actions_.popupDelete, nullptr, actions_.popupOpenFolder, actions_.popupPlay,
             actions_.popupPreview, nullptr, actions_.popupReason}) {
        action == nullptr ? (void)popup_->addSeparator() : popup_->addAction(action);
    }
    connect(popup_, &QMenu::aboutToShow, this, &MainWindow::updateCommandStates);
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
    bool first = true;
    for (QAction* action : {actions_.barAdd, actions_.barRemove, actions_.barConvert,
                            actions_.barPause, actions_.barSettings, actions_.barHelp}) {
        if (!first) {
            toolBar_->addSeparator();
        }
        first = false;
        toolBar_->addAction(action);
    }
    // Add offers a folder too, from the arrow beside it.
    auto* addMenu = new QMenu(toolBar_);
    addMenu->addAction(actions_.addVideos);
    addMenu->addAction(actions_.addFolder);
    actions_.barAdd->setMenu(addMenu);
    if (auto* button = qobject_cast<QToolButton*>(toolBar_->widgetForAction(actions_.barAdd))) {
        button->setPopupMode(QToolButton::MenuButtonPopup);
    }
    auto* spacer = new QWidget(toolBar_);
    spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    toolBar_->addWidget(spacer);
    busy_ = new BusyIndicator(toolBar_);
    toolBar_->addWidget(busy_);
}

void MainWindow::buildSettingsStrip() {
    settingsStrip_ = new QWidget(this);
    settingsStrip_->setObjectName("PanelSettings");
    auto* row = new QHBoxLayout(settingsStrip_);
    row->setContentsMargins(6, 4, 6, 4);
    destinationEdit_ = new QLineEdit(settingsStrip_);
    destinationEdit_->setObjectName("EdDir");
    destinationEdit_->setReadOnly(true);
    destinationEdit_->setFocusPolicy(Qt::NoFocus);
    QFont bold = destinationEdit_->font();
    bold.setBold(true);
    destinationEdit_->setFont(bold);
    chooseDestinationButton_ = new QPushButton("...", settingsStrip_);
    chooseDestinationButton_->setObjectName("BSelectDir");
    chooseDestinationButton_->setFixedWidth(32);
    formatBox_ = new QComboBox(settingsStrip_);
    formatBox_->setObjectName("CBVideoFor");
    formatBox_->setMaxVisibleItems(25);
    for (const FormatPreset& row : formatPresets()) {
        if (row.id == -1) {
            break;
        }
        formatBox_->addItem(QString::fromUtf8(row.name));
    }
    settingsButton_ = new QPushButton(">>", settingsStrip_);
    settingsButton_->setObjectName("BVideoOptions");
    settingsButton_->setFixedWidth(36);
    row->addWidget(new QLabel("Destination Folder:", settingsStrip_));
    row->addWidget(destinationEdit_, 3);
    row->addWidget(chooseDestinationButton_);
    row->addSpacing(8);
    row->addWidget(new QLabel("Video Format:", settingsStrip_));
    row->addWidget(formatBox_, 2);
    row->addWidget(settingsButton_);
    connect(chooseDestinationButton_, &QPushButton::clicked, this, &MainWindow::selectDestination);
    connect(formatBox_, &QComboBox::activated, this, [this] { takeSettingsStrip(2); });
    connect(settingsButton_, &QPushButton::clicked, this, &MainWindow::showSettings);
}

void MainWindow::buildList() {
    list_ = new ListViewData(this);
    list_->setObjectName("LVBook");
    list_->setColumns({"Source", "Duration", "Name", "Status"}, {0, 75, 0, -193});
    list_->setImages(listImages());
    list_->setDataSource(this);
    list_->installEventFilter(this);
    connect(list_, &ListViewData::focusOrSelectionChanged, this, &MainWindow::updateCommandStates);
    // Double-click and Enter play whatever the menus show.
    connect(list_, &ListViewData::activatedRow, this, [this] { playVideo(); });
    connect(list_, &ListViewData::contextMenuAt, this, [this](const QPoint& at) {
        updateCommandStates();
        popup_->popup(at);
    });
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == list_ && event->type() == QEvent::KeyRelease) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Home &&
            key->modifiers() == (Qt::ControlModifier | Qt::ShiftModifier | Qt::AltModifier)) {
            applySizeRule();
        } else {
            updateCommandStates();
        }
    }
    if (watched == list_ && event->type() == QEvent::KeyPress) {
        // The popup's Stop All key works in the list as well.
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_L && key->modifiers() == Qt::ControlModifier) {
            if (actions_.popupStopAll->isEnabled()) {
                stopAll();
            }
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void MainWindow::setUpStatusBar() {
    QStatusBar* bar = statusBar();
    bar->setSizeGripEnabled(true);
    const int widths[3] = {70, 120, 170};
    for (int i = 0; i < 3; ++i) {
        panels_[i] = new QLabel(bar);
        panels_[i]->setAlignment(Qt::AlignCenter);
        panels_[i]->setFixedWidth(widths[i]);
        bar->addWidget(panels_[i]);
    }
    panels_[0]->setText(QStringLiteral("F1 Help"));
    // The notices take the room the fixed panels leave, not the hint's.
    noticePanel_ = new NoticeLabel(bar);
    noticePanel_->setObjectName("NoticePanel");
    bar->addWidget(noticePanel_, 1);
    progress_ = new QProgressBar(panels_[2]);
    progress_->setRange(0, 100);
    progress_->setValue(0);
    progress_->setTextVisible(false);
    progress_->setGeometry(0, 2, widths[2] - 12, 16);
    progress_->hide();
}

void MainWindow::restoreWindowState() {
    const WindowState state = loadWindowState(paths_.windowStateFile);
    keepFolderStructure_ = state.keepFolderStructure;
    actions_.keepFolderStructure->setChecked(keepFolderStructure_);
    skipExisting_ = state.skipExisting;
    watchFolders_ = state.watchFolders;
    startWatching();
    // Only the columns the user can size; the others fill or stay fixed.
    for (int column = 0; column < state.columnWidths.size() && column < 4; ++column) {
        if (list_->horizontalHeader()->sectionResizeMode(column) == QHeaderView::Interactive) {
            list_->setColumnWidth(column, state.columnWidths[column]);
        }
    }
    if (!state.geometry.isEmpty() && restoreGeometry(state.geometry)) {
        return;
    }
    // The first start: larger than the design size where the screen has
    // room, within the size rule, and centred.
    if (QScreen* screen = this->screen()) {
        const QRect area = screen->availableGeometry();
        int width = std::max(kDesignWidth, area.width() * 11 / 20);
        width = std::min(width, static_cast<int>(area.height() * 0.9 / 0.7500001875));
        resize(std::max(width, kDesignWidth), kDesignHeight);
        applySizeRule();
    }
}

void MainWindow::storeWindowState() {
    if (windowStateTimer_ != nullptr) {
        windowStateTimer_->stop();
    }
    WindowState state;
    state.geometry = saveGeometry();
    for (int column = 0; column < 4; ++column) {
        state.columnWidths << list_->columnWidth(column);
    }
    state.keepFolderStructure = keepFolderStructure_;
    state.skipExisting = skipExisting_;
    state.watchFolders = watchFolders_;
    if (storedWindowState_ && *storedWindowState_ == state) {
        return;
    }
    if (saveWindowState(paths_.windowStateFile, state)) {
        storedWindowState_ = std::move(state);
    }
}

void MainWindow::storeWindowStateSoon() {
    if (windowStateTimer_ != nullptr && !closing_) {
        windowStateTimer_->start();
    }
}

void MainWindow::moveEvent(QMoveEvent* event) {
    QMainWindow::moveEvent(event);
    storeWindowStateSoon();
}

void MainWindow::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    storeWindowStateSoon();
}

void MainWindow::applySizeRule() {
    resize(sizeByRule(width()));
    if (QScreen* screen = this->screen()) {
        const QRect area = screen->availableGeometry();
        move(area.center() - rect().center());
    }
}

void MainWindow::initApplicationState() {
    ConversionSettings& settings = engine_->settings();
    removeInterruptedSaves(paths_.settingsFile);
    removeInterruptedSaves(paths_.historyFile);
    const SettingsLoad settingsLoad = loadSettingsAtStart(
        settings, paths_.settingsFile,
        [](int id) { return presetRow(findPresetById(id)).id == id; }, std::time(nullptr));
    // A stored count outside what the engine can run would hold every batch.
    settings.maxConcurrent = std::clamp<int16_t>(settings.maxConcurrent, 1, 20);
    if (settings.destinationFolder[0] == '\0' || !isFolder(settings.destinationFolder)) {
        const std::string folder = defaultOutputFolder();
        makeFolders(folder);
        storeText(settings.destinationFolder, folder);
    }
    checkForUpdate();
    showSettingsStrip();
    setToolbarVisible(settings.showToolbar);
    setMainSettingsVisible(settings.showMainSettings);
    setStatusBarVisible(settings.showStatusBar);

    engine_->setListModified(false);
    HistoryLoad historyLoad;
    if (settings.saveHistory) {
        historyLoad = loadHistoryAtStart(engine_->entryList(), paths_.historyFile);
    }
    if (historyLoad.recognised) {
        // A history that a crash left behind holds unfinished entries: they
        // come back stopped, ready to convert again, and are swept at exit.
        if (engine_->recoverUnfinishedEntries() > 0) {
            engine_->setListModified(true);
        }
        for (const auto& entry : engine_->entryList().entries()) {
            if (entry->status.load() != EntryStatus::Ok) {
                engine_->setListModified(true);
            }
        }
    }
    savedHistoryChanges_ = engine_->historyChanges();
    if (const std::string notice = startupFilesMessage(settingsLoad, historyLoad);
        !notice.empty()) {
        showMessage(kInformationMessage, notice);
    }
    if (!engine_->channel().isOpen()) {
        // Without it no file can be probed or converted: say why at once
        // rather than refuse every video later.
        showMessage(kInformationMessage,
                    std::string("Vidmill cannot create its progress channel in /dev/shm (") +
                        std::strerror(engine_->channel().openError()) +
                        "), so no video can be added or converted.");
    }
}

void MainWindow::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (firstActivation_) {
        firstActivation_ = false;
        // After the window is on the screen: adding may take a while.
        QMetaObject::invokeMethod(this, &MainWindow::handleFirstActivation, Qt::QueuedConnection);
    }
}

void MainWindow::handleFirstActivation() {
    if (closing_ || closeRequested_) {
        return;
    }
    refreshEntryList();
    list_->setFocus();
    if (engine_->entryList().count() > 0) {
        list_->gotoRow(engine_->entryList().count() - 1);
    }
    showEntryCount();
    updateCommandStates();
    if (engine_->settings().showTips) {
        showTipOfTheDay();
    }
    if (!arguments_.isEmpty()) {
        addCommandLineFiles(arguments_);
    }
}

void MainWindow::updateCommandStates() {
    if (refreshingCommands_ || closing_) {
        return;
    }
    refreshingCommands_ = true;
    const int count = engine_->entryList().count();
    int focused = count > 0 ? list_->focusedRow() : -1;
    if (focused >= count) {
        focused = count - 1;
    }
    const auto enable = [](std::initializer_list<QAction*> actions, bool on) {
        for (QAction* action : actions) {
            action->setEnabled(on);
        }
    };
    // While videos are being added nothing else may start or change the
    // list; Esc (Stop All) cancels the add.
    const bool active = engine_->batchState() != BatchState::Idle;
    enable({actions_.addVideos, actions_.convert, actions_.popupAdd, actions_.popupConvert,
            actions_.barAdd, actions_.barConvert, actions_.addFolder},
           !active && !adding_);
    enable({actions_.stopAll}, active || adding_);
    enable({actions_.pauseAll, actions_.barPause}, active);
    const bool paused = engine_->batchPaused();
    actions_.pauseAll->setText(paused ? QStringLiteral("Res&ume") : QStringLiteral("P&ause All"));
    actions_.barPause->setText(paused ? QStringLiteral("Resume") : QStringLiteral("Pause"));
    actions_.barPause->setIcon(
        style()->standardIcon(paused ? QStyle::SP_MediaPlay : QStyle::SP_MediaPause));
    if (focused < 0) {
        enable({actions_.play, actions_.popupPlay, actions_.preview, actions_.popupPreview,
                actions_.rename, actions_.popupRename, actions_.removeEntry, actions_.popupRemove,
                actions_.deleteVideo, actions_.popupDelete, actions_.removeMissing,
                actions_.stopConversion, actions_.popupStop, actions_.popupStopAll,
                actions_.popupReason, actions_.barRemove},
               false);
        enable({actions_.removeMissing}, count > 0 && !active && !adding_);
        // Rows selected without a focus (select all) still take the commands
        // that act on every selected row.
        const bool selected = list_->selectedCount() > 0;
        enable({actions_.removeEntry, actions_.popupRemove, actions_.deleteVideo,
                actions_.popupDelete, actions_.barRemove},
               selected && !active && !adding_);
        enable({actions_.stopConversion, actions_.popupStop}, selected && active);
        refreshingCommands_ = false;
        return;
    }
    EntryStatus status;
    {
        std::lock_guard lock(engine_->mutex());
        status = engine_->entryList().at(focused)->status.load();
    }
    bool hasReason = false;
    {
        std::lock_guard lock(engine_->mutex());
        const VideoEntry& entry = *engine_->entryList().at(focused);
        hasReason = status == EntryStatus::Ok ? !convertedEntryTip(entry).empty()
                                              : !entry.failureReason.empty();
    }
    // For a converted entry the reason is a note on how it went.
    actions_.popupReason->setText(status == EntryStatus::Ok
                                      ? QStringLiteral("About this &conversion")
                                      : QStringLiteral("Why did it &fail?"));
    actions_.popupReason->setEnabled(hasReason && !isInProgress(status));
    const bool playable = status == EntryStatus::Ok || status == EntryStatus::Ready;
    enable({actions_.play, actions_.popupPlay, actions_.rename, actions_.popupRename},
           playable && !adding_);
    // Any video that could be read can be previewed, converted or not.
    enable({actions_.preview, actions_.popupPreview},
           preview_ != nullptr && !adding_ && status != EntryStatus::NotFound &&
               status != EntryStatus::CancelledNotFound && status != EntryStatus::GetVideoInfo &&
               status != EntryStatus::Pending);
    // With several rows selected the focused one alone does not decide.
    const bool many = list_->selectedCount() > 1;
    enable({actions_.stopConversion, actions_.popupStop}, active && (many || isInProgress(status)));
    enable({actions_.popupStopAll}, active);
    const bool removable =
        !active && !adding_ && (many || isFinished(status) || status == EntryStatus::Ready);
    enable({actions_.removeEntry, actions_.popupRemove, actions_.deleteVideo, actions_.popupDelete,
            actions_.barRemove},
           removable);
    enable({actions_.removeMissing}, !active && !adding_);
    refreshingCommands_ = false;
}

void MainWindow::refreshEntryList() {
    if (closing_) {
        return;
    }
    const int count = engine_->entryList().count();
    list_->setRowCount(count);
    if (count > 0) {
        list_->redrawRows(count);
    }
}

void MainWindow::showEntryCount() {
    if (!closing_ && engine_->batchState() == BatchState::Idle) {
        panels_[1]->setText(countText(engine_->entryList().count()));
    }
}

void MainWindow::showSettingsStrip() {
    const ConversionSettings& settings = engine_->settings();
    destinationEdit_->setText(fromPath(settings.destinationFolder));
    destinationEdit_->setCursorPosition(0);
    formatBox_->setCurrentIndex(findPresetById(settings.presetId));
}

void MainWindow::takeSettingsStrip(int selector) {
    ConversionSettings& settings = engine_->settings();
    {
        // Workers read these fields while a batch runs.
        std::lock_guard lock(engine_->mutex());
        if (selector == 1 || selector == 3) {
            storeText(settings.destinationFolder, toPath(destinationEdit_->text()));
        }
        if (selector == 2 || selector == 3) {
            if (formatBox_->currentIndex() < 0) {
                formatBox_->setCurrentIndex(0);
            }
            applyPreset(settings, formatBox_->currentIndex());
        }
    }
    if (selector == 2 || selector == 3) {
        // Ready entries show the extension of the format chosen now.
        list_->redrawRows(engine_->entryList().count());
    }
}

void MainWindow::selectDestination() {
    const QString chosen =
        desktop_.pickFolder(this, "Select Destination Folder", destinationEdit_->text());
    if (chosen.isEmpty()) {
        return;
    }
    if (QFile::encodeName(chosen).size() >= kFolderTextCapacity) {
        // The settings file keeps a folder of limited length: a longer one
        // would be stored cut, and the outputs would go somewhere else.
        showMessage(kInformationMessage,
                    "The path of this folder is too long to be kept. Please choose a folder "
                    "with a shorter path.");
        return;
    }
    destinationEdit_->setText(chosen);
    takeSettingsStrip(1);
}

void MainWindow::openDestinationFolder() {
    const std::string folder = engine_->settings().destinationFolder;
    if (!desktop_.openPath(fromPath(folder))) {
        showMessage(kInformationMessage,
                    "The folder " + folder +
                        " could not be opened: it is missing, or the desktop has no program "
                        "for folders.");
    }
}

void MainWindow::setToolbarVisible(bool visible) {
    actions_.viewToolbar->setChecked(visible);
    toolBar_->setVisible(visible);
    engine_->settings().showToolbar = visible;
}

void MainWindow::setMainSettingsVisible(bool visible) {
    actions_.viewSettings->setChecked(visible);
    settingsStrip_->setVisible(visible);
    engine_->settings().showMainSettings = visible;
}

void MainWindow::setStatusBarVisible(bool visible) {
    actions_.viewStatusBar->setChecked(visible);
    statusBar()->setVisible(visible);
    engine_->settings().showStatusBar = visible;
}

void MainWindow::showSettings() {
    runSettingsDialog(0);
}

int MainWindow::showMessage(int style, const std::string& text) {
    return desktop_.messageBox(this, style, fromPath(text));
}

void MainWindow::message(MessageStyle style, const std::string& text) {
    showMessage(style, text);
}

void MainWindow::entriesAdded(int lastRow) {
    refreshEntryList();
    showEntryCount();
    gotoRow(lastRow);
}

void MainWindow::gotoRow(int row) {
    if (!closing_) {
        list_->gotoRow(row);
    }
}

void MainWindow::saveSettings() {
    makeFolders(configFolder());
    saveSettingsFile(engine_->settings(), paths_.settingsFile);
}

}  // namespace vidmill
