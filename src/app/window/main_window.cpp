// The main window's frame: its settings strip, list and status bar, the
// window's own state, and the start-up that fills them.

#include "app/window/main_window.h"

#include <QWidget>

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
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <cstring>

#include "app/desktop.h"
#include "app/notice_label.h"
#include "app/qt_paths.h"
#include "app/window_state.h"
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
    // A popup still open would tell of its hiding to a window half gone.
    popup_->disconnect(this);
}

QLabel* MainWindow::statusPanel(int index) const {
    if (index == 3) {
        return noticePanel_;
    }
    return index >= 0 && index < 3 ? panels_[index] : nullptr;
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
            CommandFacts facts = commandFacts();
            facts.forPopup = true;
            if (commandEnabled(commandStates(facts), Command::StopAll)) {
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
    ConversionSettings settings = engine_->settings();
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
    engine_->setSettings(settings);
    checkForUpdate();
    showSettingsStrip();
    setToolbarVisible(settings.showToolbar);
    setMainSettingsVisible(settings.showMainSettings);
    setStatusBarVisible(settings.showStatusBar);

    engine_->setListModified(false);
    HistoryLoad historyLoad;
    if (settings.saveHistory) {
        historyLoad = engine_->loadHistory(paths_.historyFile);
    }
    if (historyLoad.recognised) {
        // A history that a crash left behind holds unfinished entries: they
        // come back stopped, ready to convert again, and are swept at exit.
        if (engine_->recoverUnfinishedEntries() > 0) {
            engine_->setListModified(true);
        }
        const auto notOk = [](EntryStatus status, std::uint64_t) {
            return status != EntryStatus::Ok;
        };
        if (!engine_->entryViews(notOk).empty()) {
            engine_->setListModified(true);
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
    if (engine_->entryCount() > 0) {
        list_->gotoRow(engine_->entryCount() - 1);
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

void MainWindow::refreshEntryList() {
    if (closing_) {
        return;
    }
    const int count = engine_->entryCount();
    list_->setRowCount(count);
    if (count > 0) {
        list_->redrawRows(count);
    }
}

void MainWindow::showEntryCount() {
    if (!closing_ && engine_->batchState() == BatchState::Idle) {
        panels_[1]->setText(countText(engine_->entryCount()));
    }
}

void MainWindow::showSettingsStrip() {
    const ConversionSettings settings = engine_->settings();
    destinationEdit_->setText(fromPath(settings.destinationFolder));
    destinationEdit_->setCursorPosition(0);
    formatBox_->setCurrentIndex(findPresetById(settings.presetId));
}

void MainWindow::takeSettingsStrip(int selector) {
    if ((selector == 2 || selector == 3) && formatBox_->currentIndex() < 0) {
        formatBox_->setCurrentIndex(0);
    }
    const std::string destination = toPath(destinationEdit_->text());
    const int format = formatBox_->currentIndex();
    engine_->changeSettings([&](ConversionSettings& settings) {
        if (selector == 1 || selector == 3) {
            storeText(settings.destinationFolder, destination);
        }
        if (selector == 2 || selector == 3) {
            applyPreset(settings, format);
        }
    });
    if (selector == 2 || selector == 3) {
        // Ready entries show the extension of the format chosen now.
        list_->redrawRows(engine_->entryCount());
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
    engine_->changeSettings([&](ConversionSettings& s) { s.showToolbar = visible; });
}

void MainWindow::setMainSettingsVisible(bool visible) {
    actions_.viewSettings->setChecked(visible);
    settingsStrip_->setVisible(visible);
    engine_->changeSettings([&](ConversionSettings& s) { s.showMainSettings = visible; });
}

void MainWindow::setStatusBarVisible(bool visible) {
    actions_.viewStatusBar->setChecked(visible);
    statusBar()->setVisible(visible);
    engine_->changeSettings([&](ConversionSettings& s) { s.showStatusBar = visible; });
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
