#include "app/main_window.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QStyle>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>

#include "app/desktop.h"
#include "dialogs/please_wait.h"
#include "engine/entry_status_text.h"
#include "engine/history_file.h"
#include "engine/video_files.h"
#include "formats/format_preset.h"
#include "storage/safe_save.h"
#include "storage/settings_file.h"
#include "system/path_utils.h"
#include "system/text_utils.h"
#include "system/update_check.h"
#include "system/user_folders.h"
#include "vidmill_version.h"
#include "vidmill_web_addresses.h"

namespace vidmill {

namespace {

// How soon after a change of the list the history is on the disk: a crash
// loses at most this much.
constexpr int kHistorySaveMs = 2000;
constexpr int kMaxAddedFiles = 1000;
// Design size of the window, before the size rule.
constexpr int kDesignWidth = 649;
constexpr int kDesignHeight = 461;

QString fromPath(const std::string& path) {
    return QFile::decodeName(QByteArray::fromStdString(path));
}

std::string toPath(const QString& path) {
    return QFile::encodeName(path).toStdString();
}

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

// At the right of the toolbar: a still mark while idle, a turning one while
// a batch converts.
class BusyIndicator : public QWidget {
  public:
    explicit BusyIndicator(QWidget* parent) : QWidget(parent) {
        setFixedSize(32, 32);
        timer_.setInterval(80);
        connect(&timer_, &QTimer::timeout, this, [this] {
            angle_ = (angle_ + 30) % 360;
            update();
        });
    }
    void setRunning(bool running) {
        running ? timer_.start() : timer_.stop();
        angle_ = 0;
        update();
    }
    bool running() const { return timer_.isActive(); }

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const QRectF box = QRectF(rect()).adjusted(5, 5, -5, -5);
        const QColor colour = palette().color(QPalette::Highlight);
        if (!running()) {
            painter.setPen(QPen(palette().color(QPalette::Mid), 3));
            painter.drawEllipse(box);
            return;
        }
        painter.setPen(QPen(colour, 3, Qt::SolidLine, Qt::RoundCap));
        painter.drawArc(box, -angle_ * 16, 270 * 16);
    }

  private:
    QTimer timer_;
    int angle_ = 0;
};

QSize sizeByRule(int width) {
    const int clamped = std::clamp(width, 400, 1600);
    return QSize(clamped, static_cast<int>(clamped * 0.7500001875));
}

TipSet programTips() {
    TipSet tips;
    tips.caption = QStringLiteral("Tip of the Day");
    tips.header = QStringLiteral("Did you know...");
    // Written with hard line breaks; the tip window joins them into
    // paragraphs. The empty text ends the list.
    tips.tips = QStringList{
        QStringLiteral("...that you can drop files and whole folders on the window?\n"
                       "Folders are searched, subfolders included, and what you drop\n"
                       "starts converting at once."),
        QStringLiteral("...that videos added with Add (Ins) wait for you?\n"
                       "Press Convert (F2) when the list is complete; the settings\n"
                       "window opens first and names the number of videos.\n\n"
                       "Cancel there, and nothing starts."),
        QStringLiteral("...that several videos convert at once?\n"
                       "Choose how many (1 to 20) on the General page of the Settings\n"
                       "(Ctrl+E). The others wait as Pending and start in list order."),
        QStringLiteral("...that you can stop one conversion or all of them?\n"
                       "Stop Conversion (Ctrl+T) stops the focused entry, Stop All (Esc)\n"
                       "every one. When nothing else is ready, Convert (F2) offers the\n"
                       "stopped videos again."),
        QStringLiteral("...why a conversion failed?\n"
                       "Hover over its status to read the reason, or choose\n"
                       "\"Why did it fail?\" in the list's right-click menu to copy it."),
        QStringLiteral("...that double-clicking an entry plays it?\n"
                       "A converted entry plays its new file, a ready one its source, in\n"
                       "Vidmill's own player: Space pauses, Left and Right seek five\n"
                       "seconds, Esc ends it."),
        QStringLiteral("...that the destination folder keeps every file it had?\n"
                       "When a name is taken, the new file gets a number:\n"
                       "clip.mp4, then clip(1).mp4, clip(2).mp4 and so on."),
        QStringLiteral("...that Rename Video (F6) renames a converted file in the\n"
                       "destination folder, and Delete Video (F8) deletes it with its\n"
                       "entry?\n\n"
                       "Your source files are never deleted."),
        QStringLiteral("...that the list is kept for the next start?\n"
                       "Converted videos stay in the list (turn \"Save History\" off in\n"
                       "the Settings if you do not want that). Even after a crash no\n"
                       "entry is lost: unfinished ones come back stopped."),
        QStringLiteral("...that Delete All Entries with UnExisting Videos clears every\n"
                       "entry whose converted file is gone, moved or deleted since?"),
        QStringLiteral("...that the format list beside the destination folder holds 32\n"
                       "formats for players, phones, set-top boxes and the web?\n"
                       "The >> button opens all their options: frame size and rate,\n"
                       "bitrates, codecs, channels, sample rate and volume."),
        QStringLiteral("...that Vidmill can switch the computer off, or just close,\n"
                       "when a batch is done?\n"
                       "Tick the choice on the General page of the Settings. Stop All\n"
                       "cancels it for that batch."),
        QStringLiteral("...that Open Destination Folder shows your converted videos\n"
                       "in the file manager?"),
        QStringLiteral("...that vidmill-cli converts from a terminal with the same\n"
                       "formats? Try \"vidmill-cli --list-presets\"."),
        QString(),
    };
    return tips;
}

QString aboutCaption() {
    return QStringLiteral("About Vidmill");
}

QString aboutText() {
    return QStringLiteral(
               "Vidmill %1\n\n"
               "A batch video converter for Linux: add videos, pick one of 32 output formats,\n"
               "and convert them all, several at once.\n\n"
               "Built on FFmpeg's libraries, libmpv and Qt.")
        .arg(QStringLiteral(VIDMILL_VERSION));
}

QString updateWaitText() {
    return QStringLiteral("Looking for a newer version of Vidmill...");
}

AppPaths defaultAppPaths() {
    AppPaths paths;
    const std::string program = programFolder();
    paths.converter = program + "/vidmill-convert";
    paths.player = program + "/vidmill-play";
    paths.settingsFile = configFolder() + "/settings.bin";
    paths.historyFile = configFolder() + "/history.bin";
    paths.lockFile = configFolder() + "/vidmill.lock";
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

QAction* MainWindow::makeAction(const char* name, const QString& caption, const QKeySequence& key) {
    auto* action = new QAction(caption, this);
    action->setObjectName(QString::fromLatin1(name));
    if (!key.isEmpty()) {
        action->setShortcut(key);
    }
    actions_[action->objectName()] = action;
    return action;
}

QAction* MainWindow::command(const QString& name) const {
    const auto found = actions_.find(name);
    return found != actions_.end() ? found->second : nullptr;
}

QLabel* MainWindow::statusPanel(int index) const {
    return index >= 0 && index < 3 ? panels_[index] : nullptr;
}

void MainWindow::buildActions() {
    const auto connectTo = [this](QAction* action, auto slot) {
        connect(action, &QAction::triggered, this, slot);
    };
    // Main menu: the window's own shortcuts.
    connectTo(makeAction("AddVideos1", "&Add Video Entry", Qt::Key_Insert),
              [this] { addVideos(); });
    connectTo(makeAction("DeleteEntry1", "&Remove Video Entry", Qt::Key_Delete),
              [this] { removeEntry(); });
    connectTo(makeAction("ConvertLocalVideo1", "&Convert  Video(s)", Qt::Key_F2),
              [this] { engine_->startConversions(); });
    connectTo(makeAction("StopConversion1", "&Stop Conversion", QKeySequence("Ctrl+T")),
              [this] { engine_->stopEntry(); });
    connectTo(makeAction("StopAll1", "Sto&p All", Qt::Key_Escape), [this] { engine_->stopAll(); });
    connectTo(
        makeAction("DeleteUnExistingVideoEntries1", "Delete All Entries with &UnExisting Videos"),
        [this] { removeMissingEntries(); });
    connectTo(makeAction("RenameVideo1", "&Rename Video", Qt::Key_F6), [this] { renameVideo(); });
    connectTo(makeAction("DeleteVideo1", "Delete &Video", Qt::Key_F8), [this] { deleteVideo(); });
    connectTo(makeAction("OpenOutputFolder1", "&Open Destination Folder"),
              [this] { desktop_.openPath(fromPath(engine_->settings().destinationFolder)); });
    connectTo(makeAction("PlayVideo1", "&Play Video"), [this] { playVideo(); });
    connectTo(makeAction("Exit1", "&Exit", QKeySequence("Alt+F4")), [this] { close(); });
    connectTo(makeAction("Settings1", "&Settings", QKeySequence("Ctrl+E")),
              [this] { showSettings(); });
    QAction* toolbar = makeAction("ViewToolbar1", "Show &Toolbar");
    QAction* strip = makeAction("ViewSettings1", "Show &Main Settings");
    QAction* statusBarItem = makeAction("ShowStatusBar1", "Show Status Bar");
    for (QAction* toggle : {toolbar, strip, statusBarItem}) {
        toggle->setCheckable(true);
    }
    connectTo(toolbar, [this, toolbar] { setToolbarVisible(!toolbar->isChecked()); });
    connectTo(strip, [this, strip] { setMainSettingsVisible(!strip->isChecked()); });
    connectTo(statusBarItem,
              [this, statusBarItem] { setStatusBarVisible(!statusBarItem->isChecked()); });
    connectTo(makeAction("Index1", "&Index", Qt::Key_F1), [this] { showHelp(); });
    connectTo(makeAction("TipoftheDay1", "&Tip of the Day"), [this] { showTipOfTheDay(); });
    QAction* homePage = makeAction("ProgramHomePage1", "&Program Home Page");
    // A build that names no home page has nothing to offer here.
    homePage->setVisible(!paths_.homePage.empty());
    connectTo(homePage, [this] { showHomePage(); });
    connectTo(makeAction("About1", "&About"), [this] { showAbout(); });

    // The popup's items: their shortcuts are shown, and work while it is open.
    connectTo(makeAction("AddVideos2", "&Add Video(s)", Qt::Key_Insert), [this] { addVideos(); });
    connectTo(makeAction("DeleteEntry2", "&Remove Video(s)", Qt::Key_Delete),
              [this] { command("DeleteEntry1")->trigger(); });
    connectTo(makeAction("ConvertVideos2", "&Convert Video(s)", Qt::Key_F2),
              [this] { engine_->startConversions(); });
    connectTo(makeAction("StopConversion2", "Stop Conversion", QKeySequence("Ctrl+T")),
              [this] { engine_->stopEntry(); });
    connectTo(makeAction("StopAll2", "Stop All", QKeySequence("Ctrl+L")),
              [this] { engine_->stopAll(); });
    connectTo(makeAction("RenameVideo2", "Rename Video", Qt::Key_F6),
              [this] { command("RenameVideo1")->trigger(); });
    connectTo(makeAction("DeleteVideo2", "Delete Video", Qt::Key_F8),
              [this] { command("DeleteVideo1")->trigger(); });
    connectTo(makeAction("OpenOutputFolder2", "&Open Destination Folder"),
              [this] { command("OpenOutputFolder1")->trigger(); });
    connectTo(makeAction("PlayVideo2", "&Play Video", Qt::Key_Return), [this] { playVideo(); });
    connectTo(makeAction("ShowReason2", "Why did it &fail?"), [this] { showFailureReason(); });

    // Toolbar buttons.
    QStyle* look = style();
    const struct {
        const char* name;
        const char* caption;
        const char* hint;
        QStyle::StandardPixmap icon;
        std::function<void()> run;
    } buttons[] = {
        {"TBAdd", "Add", "Add Videos to convert", QStyle::SP_FileDialogNewFolder,
         [this] { addVideos(); }},
        {"TBRemove", "Remove", "Remove videos from the list", QStyle::SP_TrashIcon,
         [this] { command("DeleteEntry1")->trigger(); }},
        {"TBConvert", "Convert", "Convert Videos", QStyle::SP_MediaPlay,
         [this] { engine_->startConversions(); }},
        {"TBOptions", "Settings", "Settings", QStyle::SP_FileDialogDetailedView,
         [this] { showSettings(); }},
        {"TBHelp", "Help", "Help", QStyle::SP_DialogHelpButton, [this] { showHelp(); }},
    };
    for (const auto& button : buttons) {
        QAction* action = makeAction(button.name, button.caption);
        action->setToolTip(button.hint);
        action->setIcon(look->standardIcon(button.icon));
        connect(action, &QAction::triggered, this, button.run);
    }
}

void MainWindow::buildMenus() {
    QMenu* file = menuBar()->addMenu("&File");
    for (const char* name :
         {"AddVideos1", "DeleteEntry1", "ConvertLocalVideo1", "|", "StopConversion1", "StopAll1",
          "|", "DeleteUnExistingVideoEntries1", "|", "RenameVideo1", "DeleteVideo1", "|",
          "OpenOutputFolder1", "PlayVideo1", "|", "Exit1"}) {
        name[0] == '|' ? (void)file->addSeparator() : file->addAction(command(name));
    }
    QMenu* options = menuBar()->addMenu("&Options");
    options->addAction(command("Settings1"));
    options->addSeparator();
    for (const char* name : {"ViewToolbar1", "ViewSettings1", "ShowStatusBar1"}) {
        options->addAction(command(name));
    }
    QMenu* help = menuBar()->addMenu("&Help");
    help->addAction(command("Index1"));
    help->addAction(command("TipoftheDay1"));
    help->addSeparator();
    help->addAction(command("ProgramHomePage1"));
    help->addAction(command("About1"));
    for (QMenu* menu : {file, options, help}) {
        connect(menu, &QMenu::aboutToShow, this, &MainWindow::updateCommandStates);
    }

    // Kept out of the window's own actions, so its shortcuts (the same keys
    // as the main menu's) are never ambiguous.
    popup_ = new QMenu(this);
    for (const char* name : {"AddVideos2", "DeleteEntry2", "ConvertVideos2", "|", "StopConversion2",
                             "StopAll2", "|", "RenameVideo2", "DeleteVideo2", "|",
                             "OpenOutputFolder2", "PlayVideo2", "|", "ShowReason2"}) {
        name[0] == '|' ? (void)popup_->addSeparator() : popup_->addAction(command(name));
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
    bool first = true;
    for (const char* name : {"TBAdd", "TBRemove", "TBConvert", "TBOptions", "TBHelp"}) {
        if (!first) {
            toolBar_->addSeparator();
        }
        first = false;
        toolBar_->addAction(command(name));
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
            if (command("StopAll2")->isEnabled()) {
                engine_->stopAll();
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
    panels_[0]->setText("F1 Help");
    progress_ = new QProgressBar(panels_[2]);
    progress_->setRange(0, 100);
    progress_->setValue(0);
    progress_->setTextVisible(false);
    progress_->setGeometry(0, 2, widths[2] - 12, 16);
    progress_->hide();
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
    const SettingsLoad settingsLoad = loadSettingsFile(settings, paths_.settingsFile, [](int id) {
        return presetRow(findPresetById(id)).id == id;
    });
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

void MainWindow::setConvertingState(bool converting) {
    if (closing_) {
        return;
    }
    busy_->setRunning(converting);
    if (converting) {
        panels_[1]->setText(QStringLiteral("Converting %1").arg(engine_->liveWorkers()));
    } else {
        panels_[1]->clear();
        if (!engine_->stopAllFlag()) {
            progress_->setValue(100);
        }
        // The full bar stays a moment, without holding the window meanwhile.
        QTimer::singleShot(300, this, [this] {
            if (!engine_->batchActive()) {
                progress_->hide();
            }
        });
        showEntryCount();
    }
    updateCommandStates();
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
    const auto enable = [this](std::initializer_list<const char*> names, bool on) {
        for (const char* name : names) {
            command(name)->setEnabled(on);
        }
    };
    if (focused < 0) {
        enable({"PlayVideo1", "PlayVideo2", "RenameVideo1", "RenameVideo2", "DeleteEntry1",
                "DeleteEntry2", "DeleteVideo1", "DeleteVideo2", "DeleteUnExistingVideoEntries1",
                "StopConversion1", "StopAll1", "StopConversion2", "StopAll2", "ShowReason2"},
               false);
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
        hasReason = !engine_->entryList().at(focused)->failureReason.empty();
    }
    command("ShowReason2")->setEnabled(hasReason && !isInProgress(status));
    const bool active = engine_->batchActive();
    const bool playable = status == EntryStatus::Ok || status == EntryStatus::Ready;
    enable({"PlayVideo1", "PlayVideo2", "RenameVideo1", "RenameVideo2"}, playable);
    enable({"StopConversion1", "StopConversion2"}, active && isInProgress(status));
    enable({"AddVideos1", "DeleteEntry1", "ConvertLocalVideo1", "AddVideos2", "DeleteEntry2",
            "ConvertVideos2", "TBAdd", "TBRemove", "TBConvert", "DeleteUnExistingVideoEntries1"},
           !active);
    enable({"StopAll1", "StopAll2"}, active);
    const bool removable = !active && (isFinished(status) || status == EntryStatus::Ready);
    enable({"DeleteEntry1", "DeleteEntry2", "DeleteVideo1", "DeleteVideo2",
            "DeleteUnExistingVideoEntries1"},
           removable);
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
    if (!closing_ && !engine_->converting()) {
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

void MainWindow::setToolbarVisible(bool visible) {
    command("ViewToolbar1")->setChecked(visible);
    toolBar_->setVisible(visible);
    engine_->settings().showToolbar = visible;
}

void MainWindow::setMainSettingsVisible(bool visible) {
    command("ViewSettings1")->setChecked(visible);
    settingsStrip_->setVisible(visible);
    engine_->settings().showMainSettings = visible;
}

void MainWindow::setStatusBarVisible(bool visible) {
    command("ShowStatusBar1")->setChecked(visible);
    statusBar()->setVisible(visible);
    engine_->settings().showStatusBar = visible;
}

void MainWindow::showHelp() {
    if (!paths_.helpFile.empty()) {
        desktop_.openPath(fromPath(paths_.helpFile));
    }
}

void MainWindow::showTipOfTheDay() {
    TipSet tips = programTips();
    tips.showAtStartup = engine_->settings().showTips;
    desktop_.showTips(this, tips);
    engine_->settings().showTips = tips.showAtStartup;
}

void MainWindow::showHomePage() {
    if (!desktop_.openUrl(QString::fromStdString(paths_.homePage))) {
        showMessage(kInformationMessage, "The home page " + paths_.homePage +
                                             " could not be opened. Please visit it with "
                                             "your web browser.");
    }
}

void MainWindow::showAbout() {
    desktop_.showAbout(this, aboutCaption(), aboutText());
}

void MainWindow::checkForUpdate() {
    ConversionSettings& settings = engine_->settings();
    const int today = todayNumber();
    if (paths_.versionUrl.empty() ||
        !updateCheckDue(settings.lastUpdateCheckDay, today, kUpdateCheckIntervalDays)) {
        return;
    }
    showPleaseWait(kAppTitle, updateWaitText(), this);
    UpdateCheckIo io;
    io.get = [this](const std::string& url, std::size_t capacity) {
        return desktop_.httpGet(url, capacity);
    };
    io.ask = [this](const std::string& version) {
        // The notice stays on top of everything: it must not hide the question.
        closePleaseWait();
        return showMessage(kQuestionMessage, "A newer version of Vidmill (" + version +
                                                 ") is available. Visit its download "
                                                 "page?") == 1;
    };
    io.openUrl = [this](const std::string& url) { desktop_.openUrl(QString::fromStdString(url)); };
    runUpdateCheck({paths_.versionUrl, VIDMILL_VERSION, paths_.homePage},
                   settings.lastUpdateCheckDay, kUpdateCheckIntervalDays, today, io);
    closePleaseWait();
}

bool MainWindow::runSettingsDialog(int videoCount) {
    ConversionSettings edited;
    {
        std::lock_guard lock(engine_->mutex());
        edited = engine_->settings();
    }
    const bool accepted = desktop_.editSettings(this, edited, videoCount);
    {
        std::lock_guard lock(engine_->mutex());
        engine_->settings() = edited;
    }
    if (accepted) {
        saveSettings();
        showSettingsStrip();
    }
    return accepted;
}

void MainWindow::showSettings() {
    runSettingsDialog(0);
}

int MainWindow::showMessage(int style, const std::string& text) {
    return desktop_.messageBox(this, style, fromPath(text));
}

void MainWindow::updateRow(int row) {
    // The engine holds its lock: the list only marks the row now and repaints
    // it once the lock is free.
    if (!closing_) {
        list_->updateRow(row);
    }
}

void MainWindow::gotoRow(int row) {
    if (!closing_) {
        list_->gotoRow(row);
    }
}

void MainWindow::showBatchProgress(int percent, const std::string& text) {
    if (closing_) {
        return;
    }
    // The engine holds its lock, and a progress bar may repaint the whole
    // window at once, list included: shown once the lock is free.
    batchPercent_ = std::clamp(percent, 0, 100);
    batchText_ = QString::fromStdString(text);
    if (!batchProgressPosted_) {
        batchProgressPosted_ = true;
        QMetaObject::invokeMethod(
            this,
            [this] {
                batchProgressPosted_ = false;
                if (!closing_ && engine_->batchActive()) {
                    progress_->setValue(batchPercent_);
                    panels_[1]->setText(batchText_);
                }
            },
            Qt::QueuedConnection);
    }
}

void MainWindow::setBatchControls(bool converting) {
    if (closing_) {
        return;
    }
    historyOn_.store(engine_->settings().saveHistory);
    if (converting) {
        progress_->setValue(0);
        progress_->show();
    } else {
        const int converted = engine_->batchConverted();
        const int failed = engine_->batchFailed();
        if (converted + failed > 0) {
            QString text = QStringLiteral("%1 converted").arg(converted);
            if (failed > 0) {
                text += QStringLiteral(", %1 not converted").arg(failed);
            }
            desktop_.notify(QStringLiteral("Conversions finished"), text);
        }
        saveHistoryIfChanged();
    }
    chooseDestinationButton_->setEnabled(!converting);
    formatBox_->setEnabled(!converting);
    command("Settings1")->setEnabled(!converting);
    updateCommandStates();
}

bool MainWindow::editBatchSettings(int videoCount) {
    return runSettingsDialog(videoCount);
}

void MainWindow::saveSettings() {
    makeFolders(configFolder());
    saveSettingsFile(engine_->settings(), paths_.settingsFile);
}

bool MainWindow::confirmShutdown() {
    return showMessage(kQuestionMessage,
                       "The computer will be switched off when the conversions are done. "
                       "Go on?") == 1;
}

void MainWindow::openAddVideos() {
    addVideos();
}

int MainWindow::focusedRow() {
    return list_->focusedRow();
}

void MainWindow::closeMainWindow() {
    QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
}

QString MainWindow::cellText(int row, int column) {
    return readEntry(row, QString(), [&](const VideoEntry& entry) {
        switch (column) {
            case 0:
                return fromPath(entry.sourcePath);
            case 1:
                return QString::fromStdString(entryDurationText(entry));
            case 2:
                return fromPath(entryNameText(entry));
            case 3:
                return fromPath(entryStatusText(entry, engine_->channel()));
            default:
                return QString();
        }
    });
}

int MainWindow::cellImage(int row) {
    return readEntry(row, -1, [](const VideoEntry& entry) {
        switch (entry.status.load()) {
            case EntryStatus::Ready:
                return 0;
            case EntryStatus::Ok:
                return 2;
            case EntryStatus::NotFound:
            case EntryStatus::Cancelled:
            case EntryStatus::CancelledNotFound:
            case EntryStatus::ConversionError:
                return 3;
            default:
                return 1;
        }
    });
}

QString MainWindow::cellToolTip(int row, int column) {
    return readEntry(row, QString(), [&](const VideoEntry& entry) {
        if (column == 3 && !entry.failureReason.empty()) {
            return fromPath(entry.failureReason);
        }
        return column == 0 ? fromPath(entry.sourcePath) : QString();
    });
}

bool MainWindow::focusedEntry(int* row, EntryStatus* status) {
    const int focused = list_->focusedRow();
    std::lock_guard lock(engine_->mutex());
    const VideoEntry* entry = engine_->entryList().at(focused);
    if (entry == nullptr) {
        return false;
    }
    *row = focused;
    *status = entry->status.load();
    return true;
}

void MainWindow::afterRemoval(int row) {
    list_->removeRow(row);
    const int count = engine_->entryList().count();
    if (count > 0) {
        list_->gotoRow(std::clamp(row, 0, count - 1));
    }
    showEntryCount();
    updateCommandStates();
}

void MainWindow::playVideo() {
    int row;
    EntryStatus status;
    if (!focusedEntry(&row, &status) ||
        (status != EntryStatus::Ok && status != EntryStatus::Ready)) {
        return;
    }
    QString file;
    {
        std::lock_guard lock(engine_->mutex());
        const VideoEntry& entry = *engine_->entryList().at(row);
        file = fromPath(status == EntryStatus::Ok ? entry.outputPath : entry.sourcePath);
    }
    if (file.isEmpty() || !QFileInfo::exists(file)) {
        showMessage(kInformationMessage,
                    toPath(QStringLiteral("The file %1 does not exist.").arg(file)));
        return;
    }
    // With no player of our own at hand, the desktop's is better than nothing.
    const QString player = fromPath(paths_.player);
    if (engine_->settings().useInternalPlayer && QFileInfo(player).isExecutable() &&
        desktop_.launchPlayer(player, file)) {
        return;
    }
    if (!desktop_.openPath(file)) {
        showMessage(kInformationMessage,
                    toPath(QStringLiteral("No program could be found to play %1.").arg(file)));
    }
}

void MainWindow::removeEntry() {
    int row;
    EntryStatus status;
    if (engine_->batchActive() || !focusedEntry(&row, &status)) {
        return;
    }
    if (!isFinished(status) && status != EntryStatus::Ready) {
        showMessage(kInformationMessage, "This entry cannot be removed while it is converted.");
        return;
    }
    if (showMessage(kQuestionMessage,
                    "Remove this entry from the list? Its files stay where they are.") != 1) {
        return;
    }
    if (engine_->removeEntryAt(row) == Engine::CommandResult::Done) {
        afterRemoval(row);
    }
}

void MainWindow::deleteVideo() {
    int row;
    EntryStatus status;
    if (engine_->batchActive() || !focusedEntry(&row, &status) ||
        (!isFinished(status) && status != EntryStatus::Ready)) {
        return;
    }
    const char* question = status == EntryStatus::Ok
                               ? "Delete the converted video and remove its entry from the list?"
                               : "Remove this entry from the list? It has no converted video "
                                 "to delete.";
    if (showMessage(kQuestionMessage, question) != 1) {
        return;
    }
    std::string error;
    std::string output;
    {
        std::lock_guard lock(engine_->mutex());
        output = engine_->entryList().at(row)->outputPath;
    }
    // Decided under the engine's lock; told after it is free again.
    const Engine::CommandResult result = engine_->deleteVideoAt(row, &error);
    if (result == Engine::CommandResult::Done) {
        afterRemoval(row);
    } else if (result == Engine::CommandResult::FileFailed) {
        showMessage(kInformationMessage,
                    "The video " + output + " could not be deleted: " + error + ".");
    }
}

void MainWindow::renameVideo() {
    int row;
    EntryStatus status;
    if (!focusedEntry(&row, &status) || status != EntryStatus::Ok) {
        return;
    }
    std::string name;
    {
        std::lock_guard lock(engine_->mutex());
        name = engine_->entryList().at(row)->name;
    }
    for (;;) {
        const std::optional<std::string> answer = desktop_.promptNonEmpty(
            this, "Rename Video", "New name of the converted video (without its extension):", name,
            250);
        if (!answer) {
            return;
        }
        name = *answer;
        std::string error;
        switch (engine_->renameOutput(row, name, &error)) {
            case Engine::CommandResult::Done:
                list_->updateRow(row);
                return;
            case Engine::CommandResult::BadName:
                showMessage(kInformationMessage,
                            "A name cannot hold a \"/\", nor be \".\" or \"..\". Please "
                            "choose another one.");
                continue;  // asked again
            case Engine::CommandResult::NoFreeName:
                showMessage(kInformationMessage,
                            "No free file name could be made from this name in the "
                            "destination folder.");
                return;
            case Engine::CommandResult::FileFailed:
                showMessage(kInformationMessage,
                            "The video could not be renamed: " + error + ". It keeps its name.");
                return;
            default:
                return;
        }
    }
}

void MainWindow::removeMissingEntries() {
    if (engine_->batchActive() ||
        showMessage(kQuestionMessage, "Remove all entries with unexisting videos ?") != 1) {
        return;
    }
    if (engine_->removeMissingEntries() < 0) {
        return;
    }
    refreshEntryList();
    const int count = engine_->entryList().count();
    if (count > 0) {
        list_->gotoRow(count - 1);
    }
    showEntryCount();
    updateCommandStates();
}

void MainWindow::showFailureReason() {
    int row;
    EntryStatus status;
    if (!focusedEntry(&row, &status)) {
        return;
    }
    std::string source;
    std::string reason;
    {
        std::lock_guard lock(engine_->mutex());
        source = engine_->entryList().at(row)->sourcePath;
        reason = engine_->entryList().at(row)->failureReason;
    }
    if (!reason.empty()) {
        desktop_.showText(this, QStringLiteral("Why it failed"),
                          fromPath(source) + QStringLiteral("\n\n") + fromPath(reason));
    }
}

void MainWindow::pump() {
    QCoreApplication::processEvents();
}

int MainWindow::addNames(const QStringList& names) {
    adding_ = true;
    skipped_.clear();
    int handled = 0;
    // Folders are searched first; the files found are then probed several
    // at once, and enter the list in the order found.
    std::vector<std::string> found;
    const auto collect = [&found](const std::string& path) { found.push_back(path); };
    const auto skip = [this](const std::string& path, const std::string& reason) {
        skipped_.push_back(fromPath(path) + QStringLiteral(": ") + QString::fromStdString(reason));
    };
    for (const QString& name : names) {
        pump();
        if (closeRequested_ || closing_) {
            break;
        }
        addDroppedName(
            toPath(name), collect, [this] { pump(); }, skip);
        ++handled;
    }
    admitAll(found);
    adding_ = false;
    if (!closeRequested_ && !closing_) {
        reportSkipped();
    }
    return handled;
}

void MainWindow::admitAll(const std::vector<std::string>& paths) {
    if (paths.empty() || closeRequested_ || closing_) {
        return;
    }
    AdmitOptions options;
    options.pump = [this] { pump(); };
    engine_->admitFiles(paths, options);
}

void MainWindow::reportSkipped() {
    if (skipped_.empty()) {
        return;
    }
    constexpr std::size_t kShown = 15;
    QStringList lines;
    for (std::size_t i = 0; i < skipped_.size() && i < kShown; ++i) {
        lines << skipped_[i];
    }
    if (skipped_.size() > kShown) {
        lines << QStringLiteral("... and %1 more").arg(skipped_.size() - kShown);
    }
    skipped_.clear();
    showMessage(kInformationMessage, toPath(QStringLiteral("Some items could not be added:\n\n") +
                                            lines.join(QLatin1Char('\n'))));
}

bool MainWindow::addVideos() {
    if (adding_ || engine_->batchActive()) {
        return false;
    }
    ConversionSettings& settings = engine_->settings();
    if (settings.lastAddFolder[0] == '\0') {
        storeText(settings.lastAddFolder, videosFolder());
    }
    const QStringList files =
        desktop_.openFiles(this, "Add Videos", fromPath(settings.lastAddFolder),
                           qtFileFilter(buildVideoFilter()), kMaxAddedFiles);
    if (files.isEmpty()) {
        return false;
    }
    adding_ = true;
    std::vector<std::string> paths;
    for (const QString& file : files.mid(0, kMaxAddedFiles)) {
        paths.push_back(toPath(file));
    }
    admitAll(paths);
    adding_ = false;
    storeText(settings.lastAddFolder, toPath(QFileInfo(files.last()).absolutePath() + "/"));
    return true;
}

void MainWindow::dropNames(const QStringList& names) {
    if (adding_ || engine_->batchActive() || names.isEmpty()) {
        return;
    }
    if (addNames(names) > 0) {
        storeText(engine_->settings().lastAddFolder,
                  toPath(QFileInfo(names.last()).absolutePath() + "/"));
    }
    if (!closeRequested_ && !closing_) {
        engine_->startBatch();
    }
}

void MainWindow::addCommandLineFiles(const QStringList& names) {
    dropNames(names);
}

bool MainWindow::takeHandedOver(const QStringList& names) {
    if (closing_ || closeRequested_) {
        return false;
    }
    heldNames_ += names;
    if (!isMinimized()) {
        raise();
        activateWindow();
    }
    takeHeldNames();
    return true;
}

void MainWindow::takeHeldNames() {
    if (closing_ || closeRequested_) {
        return;
    }
    const bool busy = firstActivation_ || adding_ || engine_->batchActive() ||
                      QApplication::activeModalWidget() != nullptr;
    if (!heldNames_.isEmpty() && !busy) {
        const QStringList names = std::exchange(heldNames_, {});
        // The status shows no count while they are added.
        panels_[0]->setText(QStringLiteral("F1 Help"));
        panels_[0]->setToolTip({});
        dropNames(names);
    }
    if (heldNames_.isEmpty()) {
        heldTimer_->stop();
        panels_[0]->setText(QStringLiteral("F1 Help"));
        panels_[0]->setToolTip({});
        return;
    }
    panels_[0]->setText(QStringLiteral("%1 waiting").arg(heldNames_.size()));
    panels_[0]->setToolTip(
        QStringLiteral("%1 files or folders opened with Vidmill wait to be added when the "
                       "current work is done")
            .arg(heldNames_.size()));
    heldTimer_->start();
}

void MainWindow::dragEnterEvent(QDragEnterEvent* event) {
    if (event->mimeData()->hasUrls() && !adding_ && !engine_->batchActive()) {
        for (const QUrl& url : event->mimeData()->urls()) {
            if (url.isLocalFile()) {
                event->acceptProposedAction();
                return;
            }
        }
    }
    event->ignore();
}

void MainWindow::dropEvent(QDropEvent* event) {
    if (adding_ || engine_->batchActive()) {
        event->ignore();
        return;
    }
    QStringList names;
    for (const QUrl& url : event->mimeData()->urls()) {
        if (url.isLocalFile()) {
            names << url.toLocalFile();
        }
    }
    event->acceptProposedAction();
    // Handled after the drop has returned to the desktop, which waits for it.
    QMetaObject::invokeMethod(
        this, [this, names] { dropNames(names); }, Qt::QueuedConnection);
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (closing_ || closeRequested_) {
        event->accept();
        return;
    }
    if (engine_->batchActive()) {
        const int left = std::max(1, engine_->batchTotal() - engine_->finishedCount());
        const std::string question =
            left == 1 ? std::string("A conversion is not finished yet. Stop it and exit?")
                      : "There are " + std::to_string(left) +
                            " conversions not finished yet. Stop them and exit?";
        if (showMessage(kQuestionMessage, question) != 1) {
            event->ignore();
            return;
        }
    }
    // Only noted here: the shut-down itself runs once the event loop has
    // returned, and a search in progress stops at its next file.
    closeRequested_ = true;
    // Probes still running are cut short; nothing more is added.
    stopAdding_.store(1);
    event->accept();
}

void MainWindow::saveHistoryIfChanged(bool wait) {
    historyOn_.store(engine_->settings().saveHistory && !closing_);
    if (closing_ || !engine_->settings().saveHistory) {
        return;
    }
    const std::uint64_t changes = engine_->historyChanges();
    // A save that failed (a full disk, say) is tried again at each turn.
    if (changes != savedHistoryChanges_ || !historySaver_->lastSaved()) {
        makeFolders(configFolder());
        historySaver_->request();
        savedHistoryChanges_ = changes;
    }
    if (wait) {
        historySaver_->flush();
    }
}

void MainWindow::shutDown() {
    if (shutDownDone_) {
        return;
    }
    shutDownDone_ = true;
    closing_ = true;
    historyTimer_->stop();
    // The final history is written below, from the swept list.
    historyOn_.store(false);
    historySaver_->stop();
    saveSettings();
    // Every worker stops and ends before the list goes, whatever the list's
    // state: a batch of requeued entries leaves it unmodified.
    if (engine_->listModified() || !engine_->batchIdle()) {
        engine_->exitSweep();
        if (engine_->settings().saveHistory) {
            makeFolders(configFolder());
            saveHistoryFile(engine_->entryList(), paths_.historyFile);
        }
    }
    gui_.stopGuiCall();
    // Last of all: the computer goes off only once everything is saved.
    if (engine_->shutdownPending()) {
        powerOffComputer();
    }
}

void MainWindow::powerOffComputer() {
    QString why;
    if (!desktop_.powerOff(&why)) {
        // The window is gone by now, but the user still expects the computer
        // to go off: say why it did not.
        desktop_.messageBox(nullptr, kInformationMessage,
                            QStringLiteral("The conversions are done, but the computer could not "
                                           "be switched off (%1). Please switch it off yourself.")
                                .arg(why));
    }
}

}  // namespace vidmill
