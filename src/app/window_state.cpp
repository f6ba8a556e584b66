#include "app/window_state.h"

#include <stdio.h>
#include <QFile>
#include <QSettings>

#include <algorithm>

namespace vidmill {

namespace {

constexpr int kMaxColumns = 16;

}  // namespace

WindowState loadWindowState(const std::string& path) {
    WindowState state;
    if (path.empty() || !QFile::exists(QFile::decodeName(QByteArray::fromStdString(path)))) {
        return state;
    }
    QSettings file(QFile::decodeName(QByteArray::fromStdString(path)), QSettings::IniFormat);
    state.geometry = file.value("window/geometry").toByteArray();
    for (const QVariant& width : file.value("list/columns").toList().mid(0, kMaxColumns)) {
        bool ok = false;
        const int value = width.toInt(&ok);
        // A damaged value must not hide a column or make it absurdly wide.
        state.columnWidths << (ok ? std::clamp(value, 20, 4000) : 100);
    }
    state.keepFolderStructure = file.value("adding/keepFolderStructure", false).toBool();
    state.skipExisting = file.value("converting/skipExisting", false).toBool();
    state.watchFolders = file.value("watch/folders").toStringList();
    return state;
}

bool saveWindowState(const std::string& path, const WindowState& state) {
    if (path.empty()) {
        return false;
    }
    const QString name = QFile::decodeName(QByteArray::fromStdString(path));
    // QSettings writes in place; the text is made here and saved whole.
    const QString scratch = name + QStringLiteral(".new");
    {
        QSettings file(scratch, QSettings::IniFormat);
        file.clear();
        file.setValue("window/geometry", state.geometry);
        QVariantList widths;
        for (int width : state.columnWidths) {
            widths << width;
        }
        file.setValue("list/columns", widths);
        file.setValue("adding/keepFolderStructure", state.keepFolderStructure);
        file.setValue("converting/skipExisting", state.skipExisting);
        file.setValue("watch/folders", state.watchFolders);
        file.sync();
        if (file.status() != QSettings::NoError) {
            QFile::remove(scratch);
            return false;
        }
    }
    // rename() replaces the old file in one step.
    return ::rename(QFile::encodeName(scratch).constData(), path.c_str()) == 0;
}

}  // namespace vidmill
