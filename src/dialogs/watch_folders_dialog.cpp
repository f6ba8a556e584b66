#include "dialogs/watch_folders_dialog.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

namespace vidmill {

WatchFoldersDialog::WatchFoldersDialog(const QStringList& folders, std::function<QString()> pick,
                                       QWidget* parent)
    : QDialog(parent), pick_(std::move(pick)) {
    setObjectName("WatchFoldersDialog");
    setWindowTitle(QStringLiteral("Watch Folders"));
    auto* note = new QLabel(
        QStringLiteral("Videos that appear in these folders (subfolders included) are added "
                       "and converted once they are complete. Videos whose converted file is "
                       "already in the destination folder are skipped."),
        this);
    note->setWordWrap(true);
    list_ = new QListWidget(this);
    list_->setObjectName("Folders1");
    list_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    list_->addItems(folders);
    auto* add = new QPushButton(QStringLiteral("&Add Folder..."), this);
    add->setObjectName("AddFolder1");
    remove_ = new QPushButton(QStringLiteral("&Remove"), this);
    remove_->setObjectName("RemoveFolder1");
    remove_->setEnabled(false);
    connect(add, &QPushButton::clicked, this, &WatchFoldersDialog::addFolder);
    connect(remove_, &QPushButton::clicked, this, &WatchFoldersDialog::removeSelected);
    connect(list_, &QListWidget::itemSelectionChanged, this,
            [this] { remove_->setEnabled(!list_->selectedItems().isEmpty()); });
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setObjectName("OK1");
    buttons->button(QDialogButtonBox::Cancel)->setObjectName("Cancel1");
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* side = new QVBoxLayout;
    side->addWidget(add);
    side->addWidget(remove_);
    side->addStretch(1);
    auto* middle = new QHBoxLayout;
    middle->addWidget(list_, 1);
    middle->addLayout(side);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(note);
    layout->addLayout(middle, 1);
    layout->addWidget(buttons);
    resize(520, 300);
}

QStringList WatchFoldersDialog::folders() const {
    QStringList folders;
    for (int row = 0; row < list_->count(); ++row) {
        folders << list_->item(row)->text();
    }
    return folders;
}

void WatchFoldersDialog::addFolder() {
    const QString chosen = pick_ ? pick_() : QString();
    if (chosen.isEmpty()) {
        return;
    }
    const QString folder = QDir::cleanPath(QDir(chosen).absolutePath());
    // Each folder once.
    if (list_->findItems(folder, Qt::MatchExactly).isEmpty()) {
        list_->addItem(folder);
    }
}

void WatchFoldersDialog::removeSelected() {
    qDeleteAll(list_->selectedItems());
}

}  // namespace vidmill
