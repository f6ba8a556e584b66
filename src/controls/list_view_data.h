#pragma once

#include <QIcon>
#include <QList>
#include <QStringList>
#include <QTableView>

#include <utility>
#include <vector>

#include "controls/list_data_source.h"
#include "controls/list_view_model.h"

namespace vidmill {

// The list of entries: a table view that holds no row data and asks its ListDataSource for each
// visible cell. Rows have one fixed height, so a list of any length only ever asks for the rows
// on screen. Read-only, whole-row and extended selection.
class ListViewData : public QTableView {
    Q_OBJECT
  public:
    explicit ListViewData(QWidget* parent = nullptr);
    ~ListViewData() override;

    // None: cells show nothing. The source must outlive the list or be replaced first.
    void setDataSource(ListDataSource* source);
    // A width of 0 stretches the column to fill; a negative width -w is a fixed width w that the
    // user cannot change; any other width is the column's initial, user-resizable width.
    void setColumns(const QStringList& captions, const QList<int>& widths);
    // Index -> icon of column 0, as cellImage() gives it.
    void setImages(const QList<QIcon>& images);

    // Rows are added or taken at the end; focus and selection stay where the row still exists.
    void setRowCount(int count);
    int rowCount() const;
    void clearRows();
    // Repaints rows 0..count-1.
    void redrawRows(int count);
    // Marks the row for repaint. Safe to call while holding a lock that the source's cellText()
    // takes: the source is asked only after control returns to the event loop.
    void updateRow(int row);
    // The row goes; later rows move up one.
    void removeRow(int row);

    // Focused row or -1.
    int focusedRow() const;
    void setFocusedRow(int row);
    bool isRowSelected(int row) const;
    void setRowSelected(int row, bool selected);
    void selectAllRows(bool selected);
    void invertSelection();
    // Deselects the focused row, then focuses, selects and shows the row; other selected rows
    // stay selected.
    void gotoRow(int row);
    // Ascending.
    QList<int> selectedRows() const;
    // How many rows are selected, without listing them.
    int selectedCount() const;

  signals:
    // Focus or selection changed.
    void focusOrSelectionChanged();
    // Double-click or Enter on a row.
    void activatedRow(int row);
    // Right-click or the menu key; the owner shows its popup there.
    void contextMenuAt(const QPoint& globalPos);

  protected:
    void dataChanged(const QModelIndex& topLeft, const QModelIndex& bottomRight,
                     const QList<int>& roles = QList<int>()) override;
    void keyPressEvent(QKeyEvent* event) override;
    // Home and End go to the first and the last row, as in a list.
    QModelIndex moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) override;
    QItemSelectionModel::SelectionFlags selectionCommand(const QModelIndex& index,
                                                         const QEvent* event) const override;
    void changeEvent(QEvent* event) override;

  private:
    // Inclusive [first, last] runs of selected rows, ascending and merged.
    std::vector<std::pair<int, int>> selectedRuns() const;
    QModelIndex rowIndex(int row) const;
    void applyRowHeight();

    ListViewModel model_;
    bool gotoInProgress_ = false;
};

}  // namespace vidmill
