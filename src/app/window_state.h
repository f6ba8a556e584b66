#pragma once

// What the window remembers of itself beside the settings file, in a small
// file of its own (the settings file keeps its format): where it stood and
// how large it was, the list's column widths, and whether added folders keep
// their layout under the destination.

#include <QByteArray>
#include <QList>
#include <QStringList>
#include <string>

namespace vidmill {

struct WindowState {
    QByteArray geometry;  // QWidget::saveGeometry; empty: never saved
    QList<int> columnWidths;
    bool keepFolderStructure = false;
    // Videos whose output name holds a file already are not converted.
    bool skipExisting = false;
    // Folders whose new videos are added and converted as if dropped.
    QStringList watchFolders;
    bool operator==(const WindowState&) const = default;
};

// The state stored at `path`; defaults when there is none or it is unreadable.
WindowState loadWindowState(const std::string& path);
// Writes it safely (a complete new file replaces the old); false on failure.
bool saveWindowState(const std::string& path, const WindowState& state);

}  // namespace vidmill
