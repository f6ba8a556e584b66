// The main window's entry commands: play, remove, delete, rename, remove
// the missing ones, and why an entry failed.

#include "app/main_window.h"

#include <QFileInfo>
#include <algorithm>

#include "app/desktop.h"
#include "app/qt_paths.h"

namespace vidmill {

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
    focusNear(row);
}

void MainWindow::focusNear(int row) {
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
        desktop_.launchPlayer(player, file, frameGeometry())) {
        return;
    }
    if (!desktop_.openPath(file)) {
        showMessage(kInformationMessage,
                    toPath(QStringLiteral("No program could be found to play %1.").arg(file)));
    }
}

std::vector<int> MainWindow::chosenRows() const {
    const QList<int> selected = list_->selectedRows();
    std::vector<int> rows(selected.begin(), selected.end());
    if (rows.empty() && list_->focusedRow() >= 0) {
        rows.push_back(list_->focusedRow());
    }
    return rows;
}

int MainWindow::countRows(const std::vector<int>& rows, bool (*wanted)(EntryStatus)) {
    std::lock_guard lock(engine_->mutex());
    int count = 0;
    for (int row : rows) {
        const VideoEntry* entry = engine_->entryList().at(row);
        count += entry != nullptr && wanted(entry->status.load()) ? 1 : 0;
    }
    return count;
}

namespace {

bool removable(EntryStatus status) {
    return isFinished(status) || status == EntryStatus::Ready;
}

bool converted(EntryStatus status) {
    return status == EntryStatus::Ok;
}

}  // namespace

void MainWindow::afterRemovingMany(int firstRow) {
    refreshEntryList();
    // The selection stayed on row numbers that now hold other entries: a
    // Delete Video right after would reach files nobody chose.
    list_->selectAllRows(false);
    focusNear(firstRow);
}

void MainWindow::removeEntry() {
    if (engine_->batchState() != BatchState::Idle) {
        return;
    }
    const std::vector<int> rows = chosenRows();
    if (rows.size() > 1) {
        const int count = countRows(rows, removable);
        if (count == 0) {
            showMessage(kInformationMessage,
                        "None of the selected entries can be removed while they are converted.");
            return;
        }
        const QString question =
            QStringLiteral(
                "Remove the %1 selected entries from the list? Their files stay where "
                "they are.")
                .arg(count);
        if (showMessage(kQuestionMessage, question.toStdString()) == 1 &&
            engine_->removeEntriesAt(rows, false) > 0) {
            afterRemovingMany(rows.front());
        }
        return;
    }
    int row;
    EntryStatus status;
    if (!focusedEntry(&row, &status)) {
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
    if (engine_->batchState() != BatchState::Idle) {
        return;
    }
    const std::vector<int> rows = chosenRows();
    if (rows.size() > 1) {
        const int count = countRows(rows, removable);
        if (count == 0) {
            return;
        }
        const QString question =
            QStringLiteral(
                "Delete the converted videos of the %1 selected entries (%2 converted) "
                "and remove the entries from the list?")
                .arg(count)
                .arg(countRows(rows, converted));
        if (showMessage(kQuestionMessage, question.toStdString()) != 1) {
            return;
        }
        std::vector<std::string> failures;
        if (engine_->removeEntriesAt(rows, true, &failures) > 0) {
            afterRemovingMany(rows.front());
        }
        if (!failures.empty()) {
            std::string text = "These videos could not be deleted and keep their entries:\n";
            for (const std::string& failure : failures) {
                text += "\n" + failure;
            }
            showMessage(kInformationMessage, text);
        }
        return;
    }
    int row;
    EntryStatus status;
    if (!focusedEntry(&row, &status) || (!isFinished(status) && status != EntryStatus::Ready)) {
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

void MainWindow::stopConversion() {
    const std::vector<int> rows = chosenRows();
    if (rows.size() <= 1) {
        engine_->stopEntry();
        return;
    }
    const int count = countRows(rows, isInProgress);
    if (count == 0) {
        return;
    }
    const QString question = QStringLiteral("Stop the %1 selected conversions?").arg(count);
    if (showMessage(kQuestionMessage, question.toStdString()) == 1) {
        engine_->stopEntriesAt(rows);
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
        // A copy to another disk may take a while: the window stays live,
        // with the commands that change the list held back meanwhile.
        adding_ = true;
        updateCommandStates();
        const Engine::CommandResult result =
            engine_->renameOutput(row, name, &error, [this] { pump(); });
        adding_ = false;
        updateCommandStates();
        switch (result) {
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
    if (engine_->batchState() != BatchState::Idle ||
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
    const bool ok = status == EntryStatus::Ok;
    {
        std::lock_guard lock(engine_->mutex());
        const VideoEntry& entry = *engine_->entryList().at(row);
        source = entry.sourcePath;
        reason = ok ? entry.note : entry.failureReason;
    }
    if (!reason.empty()) {
        desktop_.showText(
            this, ok ? QStringLiteral("About this conversion") : QStringLiteral("Why it failed"),
            fromPath(source) + QStringLiteral("\n\n") + fromPath(reason));
    }
}

}  // namespace vidmill
