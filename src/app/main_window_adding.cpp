// The main window's ways in: the Add dialog, drops, the command line and
// files handed over by a later start.

#include "app/main_window.h"

#include <QMimeData>

#include <QLabel>

#include <QApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QUrl>
#include <algorithm>

#include "app/desktop.h"
#include "app/qt_paths.h"
#include "engine/video_files.h"
#include "system/user_folders.h"

namespace vidmill {

namespace {

constexpr int kMaxAddedFiles = 1000;

}  // namespace

void MainWindow::openAddVideos() {
    addVideos();
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

}  // namespace vidmill
