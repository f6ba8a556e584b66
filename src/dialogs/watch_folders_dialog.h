#pragma once

// The list of watched folders: every video that appears in one of them
// (subfolders included) is added and converted as if it had been dropped.

#include <QDialog>
#include <QStringList>
#include <functional>

class QListWidget;
class QPushButton;

namespace vidmill {

// Controls: Folders1 (the list), AddFolder1, RemoveFolder1, OK1, Cancel1.
class WatchFoldersDialog : public QDialog {
    Q_OBJECT
  public:
    // `pick` asks for one more folder; empty when the user cancelled.
    WatchFoldersDialog(const QStringList& folders, std::function<QString()> pick,
                       QWidget* parent = nullptr);
    QStringList folders() const;

  private:
    void addFolder();
    void removeSelected();

    std::function<QString()> pick_;
    QListWidget* list_;
    QPushButton* remove_;
};

}  // namespace vidmill
