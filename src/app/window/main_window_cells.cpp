// The main window's list cells: what each visible row shows, read from its
// entry as a copy taken under the engine's lock.

#include "app/window/main_window.h"

#include "app/qt_paths.h"
#include "engine/list/entry_status_text.h"

namespace vidmill {

void MainWindow::entryChanged(int row) {
    // The engine holds its lock: the list only marks the row now and repaints
    // it once the lock is free.
    if (!closing_) {
        list_->updateRow(row);
    }
}

QString MainWindow::cellText(int row, int column) {
    return readEntry(row, QString(), [&](const EntryView& entry) {
        switch (column) {
            case 0:
                return fromPath(entry.sourcePath);
            case 1:
                return QString::fromStdString(entryDurationText(entry));
            case 2:
                return fromPath(entryNameText(entry, engine_->settings().presetId));
            case 3:
                return fromPath(entryStatusText(entry, engine_->channel()));
            default:
                return QString();
        }
    });
}

int MainWindow::cellImage(int row) {
    return readEntry(row, -1, [](const EntryView& entry) {
        switch (entry.status) {
            case EntryStatus::Ready:
                return 0;
            case EntryStatus::Ok:
            case EntryStatus::Skipped:  // its converted video is there
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
    return readEntry(row, QString(), [&](const EntryView& entry) {
        if (column == 3 && entry.status == EntryStatus::Ok) {
            return fromPath(convertedEntryTip(entry));
        }
        if (column == 3 && !entry.failureReason.empty()) {
            return fromPath(entry.failureReason);
        }
        return column == 0 ? fromPath(entry.sourcePath) : QString();
    });
}

}  // namespace vidmill
