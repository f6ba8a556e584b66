// The main window's ways in: the Add dialog, drops, the command line and
// files handed over by a later start.

#include "app/window/main_window.h"

#include <sys/stat.h>
#include <QApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QLabel>
#include <QMimeData>
#include <QStatusBar>
#include <QTimer>
#include <QUrl>
#include <algorithm>

#include "app/desktop.h"
#include "app/notice_label.h"
#include "app/qt_paths.h"
#include "engine/adding/video_files.h"
#include "engine/batch/output_path.h"
#include "formats/settings_rules.h"
#include "system/path_utils.h"
#include "system/user_folders.h"

namespace vidmill {

namespace {

constexpr int kMaxAddedFiles = 1000;

}  // namespace

void MainWindow::pump() {
    QCoreApplication::processEvents();
}

void MainWindow::beginAdding() {
    adding_ = true;
    skipped_.clear();
    invalidSkipped_ = 0;
    stopAdding_.store(0);
    updateCommandStates();
    emit addingChanged(true);
}

void MainWindow::endAdding() {
    adding_ = false;
    emit addingChanged(false);
    if (closeRequested_ || closing_) {
        return;
    }
    statusBar()->clearMessage();
    updateCommandStates();
    if (!reportLater_) {
        reportSkipped();
    }
}

int MainWindow::addNames(const QStringList& names) {
    beginAdding();
    int handled = 0;
    // Folders are searched first; the files found are then probed several
    // at once, and enter the list in the order found.
    std::vector<std::string> found;
    std::vector<std::string> subfolders;
    // With the folder structure kept, a file found at FOLDER/a/b/x goes to
    // DEST/a/b; files named directly go to DEST itself.
    std::size_t base = 0;
    const auto collect = [&](const std::string& path) {
        found.push_back(path);
        const std::size_t slash = path.rfind('/');
        subfolders.push_back(base > 0 && slash != std::string::npos && slash > base
                                 ? path.substr(base, slash - base)
                                 : std::string());
    };
    const auto skip = [this](const std::string& path, const std::string& reason) {
        skipped_.push_back(fromPath(path) + QStringLiteral(": ") + QString::fromStdString(reason));
    };
    for (const QString& name : names) {
        pump();
        if (closeRequested_ || closing_ || stopAdding_.load() != 0) {
            break;
        }
        const std::string path = toPath(name);
        struct stat info {};
        if (lstat(path.c_str(), &info) != 0) {
            // Named on the command line or handed over, and not there.
            skip(path, "not found");
        } else {
            base = S_ISDIR(info.st_mode) || (S_ISLNK(info.st_mode) && QFileInfo(name).isDir())
                       ? path.size() + (path.back() == '/' ? 0 : 1)
                       : 0;
            addDroppedName(
                path, collect, [this] { pump(); }, skip);
        }
        ++handled;
    }
    admitAll(found, keepFolderStructure_ ? subfolders : std::vector<std::string>());
    endAdding();
    return handled;
}

void MainWindow::admitAll(const std::vector<std::string>& paths,
                          const std::vector<std::string>& subfolders) {
    if (paths.empty() || closeRequested_ || closing_ || stopAdding_.load() != 0) {
        return;
    }
    const int total = static_cast<int>(paths.size());
    const auto showProgress = [this, total](int done) {
        if (total > 1) {
            statusBar()->showMessage(
                QStringLiteral("Adding %1 of %2\u2026  (Esc cancels)").arg(done + 1).arg(total));
        }
    };
    showProgress(0);
    AdmitOptions options;
    options.outputSubfolders = subfolders;
    // What a watched folder found is converted only while it is that file.
    for (const std::string& path : paths) {
        const auto found = watchedIdentities_.find(path);
        options.sourceIdentities.push_back(found != watchedIdentities_.end() ? found->second
                                                                             : FileIdentity{});
        if (found != watchedIdentities_.end()) {
            watchedIdentities_.erase(found);
        }
    }
    options.pump = [this] { pump(); };
    // Rejected files are listed in one message at the end, not one box each.
    options.reportInvalid = false;
    options.onResult = [&](std::size_t index, AdmitOutcome outcome) {
        const QString path = fromPath(paths[index]);
        switch (outcome) {
            case AdmitOutcome::Admitted:
                break;
            case AdmitOutcome::InvalidMedia:
                ++invalidSkipped_;
                skipped_.push_back(path + QStringLiteral(": Invalid video"));
                break;
            case AdmitOutcome::Unreadable:
                skipped_.push_back(path + QStringLiteral(": could not be read as a video"));
                break;
            case AdmitOutcome::ListFull:
                skipped_.push_back(path + QStringLiteral(": the list is full"));
                break;
        }
        showProgress(static_cast<int>(index) + 1);
    };
    engine_->admitFiles(paths, options);
}

void MainWindow::reportSkipped() {
    if (skipped_.empty()) {
        return;
    }
    if (skipped_.size() == 1 && invalidSkipped_ == 1) {
        // One video that is no video: the plain message of a single file.
        const QString line = skipped_.front();
        skipped_.clear();
        showMessage(kPlainMessage,
                    toPath(line.left(line.size() - QStringLiteral(": Invalid video").size()) +
                           QStringLiteral(" Invalid video")));
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

QString MainWindow::lastAddFolder() {
    std::string folder(textOf(engine_->settings().lastAddFolder));
    if (folder.empty()) {
        folder = videosFolder();
        engine_->changeSettings([&](ConversionSettings& s) { storeText(s.lastAddFolder, folder); });
    }
    return fromPath(folder);
}

void MainWindow::rememberAddFolder(const QString& folder) {
    const std::string path = toPath(folder + "/");
    engine_->changeSettings([&](ConversionSettings& s) { storeText(s.lastAddFolder, path); });
}

bool MainWindow::addVideos() {
    if (adding_ || engine_->batchState() != BatchState::Idle) {
        return false;
    }
    const QStringList files = desktop_.openFiles(this, "Add Videos", lastAddFolder(),
                                                 qtFileFilter(buildVideoFilter()), kMaxAddedFiles);
    if (files.isEmpty()) {
        return false;
    }
    beginAdding();
    std::vector<std::string> paths;
    for (const QString& file : files.mid(0, kMaxAddedFiles)) {
        paths.push_back(toPath(file));
    }
    admitAll(paths);
    rememberAddFolder(QFileInfo(files.last()).absolutePath());
    endAdding();
    return true;
}

bool MainWindow::addFolder() {
    if (adding_ || engine_->batchState() != BatchState::Idle) {
        return false;
    }
    const QString folder = desktop_.pickFolder(this, "Add Folder", lastAddFolder());
    if (folder.isEmpty()) {
        return false;
    }
    // Searched as a drop is, without starting a batch: as Add.
    addNames({folder});
    rememberAddFolder(QDir(folder).absolutePath());
    return true;
}

void MainWindow::dropNames(const QStringList& names) {
    if (adding_ || engine_->batchState() != BatchState::Idle || names.isEmpty()) {
        return;
    }
    if (addNames(names) > 0) {
        rememberAddFolder(QFileInfo(names.last()).absolutePath());
    }
    // An add cancelled with Esc starts nothing.
    if (!closeRequested_ && !closing_ && stopAdding_.load() == 0) {
        startBatch();
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
    // The later start waits for this answer; adding them may start a batch
    // and open its dialog, so they are taken once the answer has gone.
    QTimer::singleShot(0, this, [this] { takeHeldNames(); });
    return true;
}

void MainWindow::takeHeldNames() {
    if (closing_ || closeRequested_) {
        return;
    }
    // A watch asks nothing, and runs with nobody there to close a window:
    // only work under way, or a batch being asked for, holds it up.
    const bool working =
        firstActivation_ || adding_ || askingForBatch_ || engine_->batchState() != BatchState::Idle;
    const bool busy = working || QApplication::activeModalWidget() != nullptr;
    if (!heldNames_.isEmpty() && !busy) {
        const QStringList names = std::exchange(heldNames_, {});
        // The status shows no count of them while they are added.
        showWaitingCount();
        dropNames(names);
    } else if (!watchedNames_.isEmpty() && !working) {
        // Added as a drop, and converted without a question: nobody may be
        // there to answer it. What could not be added is told once the
        // batch is under way, so that no message holds it up.
        const QStringList names = std::exchange(watchedNames_, {});
        showWaitingCount();
        reportLater_ = true;
        if (addNames(names) > 0 && !closeRequested_ && !closing_ && stopAdding_.load() == 0) {
            startBatch(false);
        }
        reportLater_ = false;
        reportSkipped();
    }
    showWaitingCount();
    if (heldNames_.isEmpty() && watchedNames_.isEmpty()) {
        heldTimer_->stop();
    } else {
        heldTimer_->start();
    }
}

void MainWindow::showWaitingCount() {
    const auto waiting = heldNames_.size() + watchedNames_.size();
    panels_[0]->setText(waiting == 0 ? QStringLiteral("F1 Help")
                                     : QStringLiteral("%1 waiting").arg(waiting));
    panels_[0]->setToolTip(
        waiting == 0
            ? QString()
            : QStringLiteral("%1 files or folders wait to be added when the current work is done")
                  .arg(waiting));
}

void MainWindow::showNotice() {
    if (!previewNotice_.isEmpty() || !watchNotice_.isEmpty()) {
        noticePanel_->setNotice(previewNotice_.isEmpty() ? watchNotice_ : previewNotice_);
    } else if (watchFolders_.isEmpty()) {
        noticePanel_->setNotice({});
    } else {
        noticePanel_->setNotice(
            watchFolders_.size() == 1
                ? QStringLiteral("Watching %1").arg(QFileInfo(watchFolders_.front()).fileName())
                : QStringLiteral("Watching %1 folders").arg(watchFolders_.size()),
            QStringLiteral("Watched: ") + watchFolders_.join(", "));
    }
}

void MainWindow::editWatchFolders() {
    QStringList folders = watchFolders_;
    if (!desktop_.editWatchFolders(this, folders) || folders == watchFolders_) {
        return;
    }
    watchFolders_ = folders;
    startWatching();
    if (windowStateTimer_ != nullptr) {
        storeWindowState();
    }
}

void MainWindow::startWatching() {
    if (watchTimer_ == nullptr) {
        watchTimer_ = new QTimer(this);
        watchTimer_->setInterval(1000);
        connect(watchTimer_, &QTimer::timeout, this, [this] { lookAtWatchedFolders(); });
    }
    watch_.reset();
    watchNotice_.clear();
    std::vector<std::string> folders;
    for (const QString& folder : watchFolders_) {
        folders.push_back(toPath(folder));
    }
    if (!folders.empty()) {
        // The outputs must never come back as new videos.
        watchedDestination_ = textOf(engine_->settings().destinationFolder);
        watch_ = std::make_unique<FolderWatch>(folders, watchedDestination_);
        watchTimer_->start();
    } else {
        watchTimer_->stop();
    }
    const bool watching = !watchFolders_.isEmpty();
    engine_->setSkipExisting(skipsConverted(skipExisting_, watching));
    actions_.skipExisting->setChecked(skipsConverted(skipExisting_, watching));
    updateCommandStates();
    showNotice();
}

void MainWindow::lookAtWatchedFolders() {
    if (!watch_ || closing_) {
        return;
    }
    if (watchedDestination_ != textOf(engine_->settings().destinationFolder)) {
        // The new destination's files must not come back as new videos.
        startWatching();
    }
    std::vector<WatchNotice> notices;
    const std::vector<WatchedFile> complete = watch_->poll(&notices);
    if (!notices.empty()) {
        // A folder back needs no notice: the panel tells what is watched.
        const WatchNotice& last = notices.back();
        watchNotice_ = last.kind == WatchNotice::Kind::FolderBack ? QString() : fromPath(last.text);
        showNotice();
    }
    if (complete.empty()) {
        return;
    }
    // As if dropped: at once when the window is free, else once it is. A
    // video converted before (each start finds the folder's videos anew)
    // would only be listed as skipped: its output carries its mark.
    QStringList names;
    for (const auto& [path, identity] : complete) {
        std::string name;
        std::string output;
        splitPath(path, nullptr, &name, nullptr);
        if (!findMarkedOutput(&output, watchedDestination_, name, engine_->settings().presetId,
                              sourceMarkText(path, identity))) {
            names << fromPath(path);
            watchedIdentities_[path] = identity;
        }
    }
    if (names.isEmpty()) {
        return;
    }
    watchedNames_ += names;
    takeHeldNames();
}

void MainWindow::dragEnterEvent(QDragEnterEvent* event) {
    if (event->mimeData()->hasUrls() && !adding_ && engine_->batchState() == BatchState::Idle) {
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
    if (adding_ || engine_->batchState() != BatchState::Idle) {
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

}  // namespace vidmill
