// The main window's entry commands: play, remove, delete, rename, remove
// the missing ones, and why an entry failed.

#include "app/window/main_window.h"

#include <QFileInfo>
#include <QLabel>
#include <QTimer>
#include <algorithm>
#include <optional>

#include "app/desktop.h"
#include "app/notice_label.h"
#include "app/qt_paths.h"
#include "engine/list/entry_status_text.h"

namespace vidmill {

bool MainWindow::focusedEntry(int* row, EntryStatus* status) {
    const int focused = list_->focusedRow();
    const std::optional<EntryView> entry = engine_->entryAt(focused);
    if (!entry) {
        return false;
    }
    *row = focused;
    *status = entry->status;
    return true;
}

void MainWindow::afterRemoval(int row) {
    list_->removeRow(row);
    focusNear(row);
}

void MainWindow::focusNear(int row) {
    const int count = engine_->entryCount();
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
    const EntryView entry = engine_->entryAt(row).value_or(EntryView{});
    const QString file = fromPath(status == EntryStatus::Ok ? entry.outputPath : entry.sourcePath);
    if (file.isEmpty() || !QFileInfo::exists(file)) {
        showMessage(kInformationMessage,
                    toPath(QStringLiteral("The file %1 does not exist.").arg(file)));
        return;
    }
    playFile(file);
}

void MainWindow::previewVideo() {
    int row = -1;
    EntryStatus status;
    if (preview_ == nullptr || !focusedEntry(&row, &status)) {
        return;
    }
    const EntryView entry = engine_->entryAt(row).value_or(EntryView{});
    const std::string& source = entry.sourcePath;
    const std::string& name = entry.name;
    const double seconds = entry.duration;
    const ConversionSettings settings = engine_->settings();
    previewNotice_ = QStringLiteral("Making a preview of %1...").arg(fromPath(name));
    showNotice();
    // The answer waits for the next turn of the event loop: a message box
    // must not hold the preview's thread.
    preview_->start(
        source, seconds, settings, [this](const std::string& file, const std::string& error) {
            QTimer::singleShot(0, this, [this, file, error] {
                previewNotice_.clear();
                showNotice();
                if (!file.empty()) {
                    playFile(fromPath(file));
                } else if (!error.empty()) {
                    showMessage(kInformationMessage, "No preview could be made: " + error);
                }
            });
        });
}

void MainWindow::playFile(const QString& file) {
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

std::vector<MainWindow::ChosenEntry> MainWindow::chosenEntries() {
    const std::vector<int> rows = chosenRows();
    std::vector<ChosenEntry> chosen;
    for (int row : rows) {
        if (const std::optional<EntryView> entry = engine_->entryAt(row)) {
            chosen.push_back({row, entry->id, entry->status, entry->sourcePath});
        }
    }
    return chosen;
}

namespace {

bool removable(EntryStatus status) {
    return isFinished(status) || status == EntryStatus::Ready;
}

bool converted(EntryStatus status) {
    return status == EntryStatus::Ok;
}

template <typename Chosen>
int countChosen(const std::vector<Chosen>& chosen, bool (*wanted)(EntryStatus)) {
    return static_cast<int>(std::count_if(
        chosen.begin(), chosen.end(), [wanted](const auto& one) { return wanted(one.status); }));
}

}  // namespace

void MainWindow::afterRemovingMany(int firstRow) {
    refreshEntryList();
    // The selection stayed on row numbers that now hold other entries: a
    // Delete Video right after would reach files nobody chose.
    list_->selectAllRows(false);
    focusNear(firstRow);
}

void MainWindow::removeChosen(const std::vector<ChosenEntry>& chosen, bool deleteVideos) {
    std::vector<int> rows;
    for (const ChosenEntry& one : chosen) {
        rows.push_back(one.row);
    }
    // Decided under the engine's lock; told after it is free again.
    const CommandOutcome outcome = engine_->removeEntriesAt(rows, deleteVideos);
    const auto& failures = outcome.failures;
    if (outcome.removed > 0) {
        if (chosen.size() > 1) {
            afterRemovingMany(rows.front());
        } else {
            afterRemoval(rows.front());
        }
    }
    if (failures.empty()) {
        return;
    }
    if (chosen.size() == 1) {
        showMessage(kInformationMessage, "The video " + failures.front().first +
                                             " could not be deleted: " + failures.front().second +
                                             ".");
        return;
    }
    std::string text = "These videos could not be deleted and keep their entries:\n";
    for (const auto& [path, reason] : failures) {
        text += "\n" + path + ": " + reason;
    }
    showMessage(kInformationMessage, text);
}

void MainWindow::removeEntry() {
    if (engine_->batchState() != BatchState::Idle) {
        return;
    }
    const std::vector<ChosenEntry> chosen = chosenEntries();
    if (chosen.empty()) {
        return;
    }
    const bool many = chosen.size() > 1;
    const int count = countChosen(chosen, removable);
    if (count == 0) {
        showMessage(kInformationMessage,
                    many ? "None of the selected entries can be removed while they are converted."
                         : "This entry cannot be removed while it is converted.");
        return;
    }
    const std::string question =
        many ? QStringLiteral(
                   "Remove the %1 selected entries from the list? Their files stay where "
                   "they are.")
                   .arg(count)
                   .toStdString()
             : std::string("Remove this entry from the list? Its files stay where they are.");
    if (showMessage(kQuestionMessage, question) == 1) {
        removeChosen(chosen, false);
    }
}

void MainWindow::deleteVideo() {
    if (engine_->batchState() != BatchState::Idle) {
        return;
    }
    const std::vector<ChosenEntry> chosen = chosenEntries();
    const int count = countChosen(chosen, removable);
    if (count == 0) {
        return;
    }
    std::string question;
    if (chosen.size() > 1) {
        question = QStringLiteral(
                       "Delete the converted videos of the %1 selected entries (%2 converted) "
                       "and remove the entries from the list?")
                       .arg(count)
                       .arg(countChosen(chosen, converted))
                       .toStdString();
    } else if (converted(chosen.front().status)) {
        question = "Delete the converted video and remove its entry from the list?";
    } else {
        question = "Remove this entry from the list? It has no converted video to delete.";
    }
    if (showMessage(kQuestionMessage, question) == 1) {
        removeChosen(chosen, true);
    }
}

void MainWindow::stopConversion() {
    const std::vector<ChosenEntry> chosen = chosenEntries();
    // The entries asked about, by identity: rows may change while the
    // question is open (a handed-over file comes in, a conversion ends),
    // and the answer must reach these entries or none.
    std::vector<std::uint64_t> ids;
    for (const ChosenEntry& one : chosen) {
        if (isInProgress(one.status)) {
            ids.push_back(one.id);
        }
    }
    if (ids.empty()) {
        return;
    }
    const std::string question =
        chosen.size() > 1
            ? QStringLiteral("Stop the %1 selected conversions?").arg(ids.size()).toStdString()
            : "Stop the conversion of " + chosen.front().sourcePath + "?";
    if (showMessage(kQuestionMessage, question) == 1) {
        engine_->stopEntries(ids);
    }
}

void MainWindow::renameVideo() {
    int row;
    EntryStatus status;
    if (!focusedEntry(&row, &status) || status != EntryStatus::Ok) {
        return;
    }
    std::string name = engine_->entryAt(row).value_or(EntryView{}).name;
    for (;;) {
        const std::optional<std::string> answer = desktop_.promptNonEmpty(
            this, "Rename Video", "New name of the converted video (without its extension):", name,
            250);
        if (!answer) {
            return;
        }
        name = *answer;
        const CommandOutcome outcome = engine_->renameOutput(row, name);
        switch (outcome.result) {
            case CommandResult::Done:
                list_->updateRow(row);
                return;
            case CommandResult::BadName:
                showMessage(kInformationMessage,
                            "A name cannot hold a \"/\", nor be \".\" or \"..\". Please "
                            "choose another one.");
                continue;  // asked again
            case CommandResult::NoFreeName:
                showMessage(kInformationMessage,
                            "No free file name could be made from this name in the "
                            "video's folder.");
                return;
            case CommandResult::FileFailed:
                showMessage(kInformationMessage, "The video could not be renamed: " + outcome.why +
                                                     ". It keeps its name.");
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
    if (!engine_->removeMissingEntries().done()) {
        return;
    }
    refreshEntryList();
    const int count = engine_->entryCount();
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
    const bool ok = status == EntryStatus::Ok;
    const EntryView entry = engine_->entryAt(row).value_or(EntryView{});
    const std::string& source = entry.sourcePath;
    const std::string reason = ok ? convertedEntryTip(entry) : entry.failureReason;
    if (!reason.empty()) {
        desktop_.showText(
            this, ok ? QStringLiteral("About this conversion") : QStringLiteral("Why it failed"),
            fromPath(source) + QStringLiteral("\n\n") + fromPath(reason));
    }
}

}  // namespace vidmill
