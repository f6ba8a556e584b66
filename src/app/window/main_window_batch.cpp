// The main window during and after a batch: its progress, the controls it
// locks, the settings at its start, closing, the history and power-off.

#include "app/window/main_window.h"

#include <QPushButton>

#include <QProgressBar>

#include <QLabel>

#include <QComboBox>

#include <QCloseEvent>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <utility>

#include "app/busy_indicator.h"
#include "app/desktop.h"
#include "engine/list/history_file.h"
#include "system/user_folders.h"

namespace vidmill {

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
            if (engine_->batchState() == BatchState::Idle) {
                progress_->hide();
            }
        });
        showEntryCount();
    }
    updateCommandStates();
}

bool MainWindow::runSettingsDialog(int videoCount) {
    ConversionSettings edited = engine_->settings();
    const bool accepted = desktop_.editSettings(
        this, edited, videoCount, videoCount == 0 && engine_->batchState() != BatchState::Idle);
    engine_->setSettings(edited);
    if (accepted) {
        saveSettings();
        showSettingsStrip();
        list_->redrawRows(engine_->entryCount());
    }
    return accepted;
}

void MainWindow::batchProgress(int percent, const std::string& text) {
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
                if (!closing_ && engine_->batchState() != BatchState::Idle) {
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
    batchHoldsSettings_ = converting;
    updateCommandStates();
}

bool MainWindow::confirmShutdown() {
    return showMessage(kQuestionMessage,
                       "The computer will be switched off when the conversions are done. "
                       "Go on?") == 1;
}

void MainWindow::convertVideos() {
    if (engine_->batchState() != BatchState::Idle) {
        return;
    }
    const bool asking = std::exchange(askingForBatch_, true);
    int ready = engine_->readyCount();
    const int stopped = engine_->stoppedCount();
    if (ready == 0 && stopped >= 1) {
        char text[200];
        snprintf(text, sizeof text,
                 "No video is ready to convert. Convert the %d stopped videos again?", stopped);
        if (showMessage(kQuestionMessage, text) == 1) {
            ready = engine_->requeueStopped();
            refreshEntryList();
            showEntryCount();
            gotoRow(engine_->entryCount() - 1);
        }
    }
    if (ready == 0) {
        addVideos();
    }
    startBatch();
    askingForBatch_ = asking;
}

bool MainWindow::startBatch(bool ask) {
    if (engine_->batchState() != BatchState::Idle) {
        return false;
    }
    const int ready = engine_->readyCount();
    if (ready <= 0) {
        return false;
    }
    // Unasked (a watched folder's videos), nobody may be there to answer:
    // a video that cannot fit fails on its own, with the same reason.
    if (ask) {
        const bool asking = std::exchange(askingForBatch_, true);
        const bool go = (!engine_->settings().shutdownAfter || confirmShutdown()) &&
                        runSettingsDialog(ready) && sizeFitsEveryVideo();
        askingForBatch_ = asking;
        if (!go) {
            return false;
        }
    }
    engine_->startBatch();
    if (!ask) {
        // Nobody asked for it: neither an exit nor a power-off follows it.
        engine_->markBatchStopped();
    }
    return engine_->batchState() != BatchState::Idle;
}

// A size that some videos cannot fit in is said before the batch, rather
// than by those videos' failures an hour into it.
bool MainWindow::sizeFitsEveryVideo() {
    const std::vector<Engine::SizeRefusal> refusals = engine_->sizeRefusals();
    if (refusals.empty()) {
        return true;
    }
    constexpr std::size_t kNamed = 5;
    std::string text =
        refusals.size() == 1
            ? std::string("This video cannot fit in the size chosen:\n")
            : std::to_string(refusals.size()) + " videos cannot fit in the size chosen:\n";
    for (std::size_t i = 0; i < refusals.size() && i < kNamed; ++i) {
        text += "\n" + refusals[i].sourcePath + ": " + refusals[i].reason;
    }
    if (refusals.size() > kNamed) {
        text += "\n... and " + std::to_string(refusals.size() - kNamed) + " more";
    }
    using Remedy = Engine::SizeRefusal::Remedy;
    switch (refusals.front().remedy) {  // the same format for all
        case Remedy::OtherFormat:
            text += "\n\nChoose a format that compresses its sound, or turn off Fit in a size.";
            break;
        case Remedy::LargerSizeOrLessSound:
            text +=
                "\n\nChoose a larger size or a lower audio bitrate in the settings, or remove "
                "these videos from the list.";
            break;
        case Remedy::LargerSize:
            text +=
                "\n\nChoose a larger size in the settings, or remove these videos from the list.";
            break;
    }
    showMessage(kInformationMessage, text);
    return false;
}

void MainWindow::stopAll() {
    if (engine_->batchState() == BatchState::Idle) {
        return;
    }
    if (showMessage(kQuestionMessage, "Stop all conversions?") == 1) {
        engine_->stopAll();
    } else {
        engine_->markBatchStopped();
    }
}

void MainWindow::togglePause() {
    if (engine_->batchPaused()) {
        engine_->resumeBatch();
    } else {
        engine_->pauseBatch();
    }
    busy_->setRunning(engine_->batchState() != BatchState::Idle && !engine_->batchPaused());
    updateCommandStates();
}

void MainWindow::batchStarted() {
    shutdownPending_ = false;
    setBatchControls(true);
}

void MainWindow::workerStarted() {
    setConvertingState(true);
}

void MainWindow::workerEnded() {
    updateCommandStates();
}

void MainWindow::batchEnded(bool stopped) {
    setConvertingState(false);
    setBatchControls(false);
    if (stopped) {
        return;
    }
    // Closing only posts the close: the shut-down runs once the event loop
    // is back, with nobody up the stack holding an entry.
    if (engine_->settings().shutdownAfter) {
        shutdownPending_ = true;
        QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
    } else if (engine_->settings().exitAfter) {
        QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
    }
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (closing_ || closeRequested_) {
        event->accept();
        return;
    }
    if (engine_->batchState() != BatchState::Idle) {
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
    engine_->hostClosing();
    historyTimer_->stop();
    if (watchTimer_ != nullptr) {
        watchTimer_->stop();
    }
    watch_.reset();
    preview_.reset();
    // The final history is written below, from the swept list.
    historyOn_.store(false);
    historySaver_->stop();
    saveSettings();
    if (!paths_.windowStateFile.empty()) {
        storeWindowState();
    }
    // Every worker stops and ends before the list goes, whatever the list's
    // state: a batch of requeued entries leaves it unmodified.
    if (engine_->listModified() || engine_->batchState() != BatchState::Idle) {
        engine_->exitSweep();
        if (engine_->settings().saveHistory) {
            makeFolders(configFolder());
            engine_->saveHistorySnapshot(paths_.historyFile);
        }
    }
    gui_.stopGuiCall();
    // Last of all: the computer goes off only once everything is saved.
    if (shutdownPending_) {
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
