#include "controls/list_view_data.h"

#include <QAccessible>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QScrollBar>
#include <QSignalBlocker>

#include <algorithm>

namespace vidmill {

namespace {
constexpr int kIconSize = 16;
constexpr int kRowPadding = 6;
constexpr int kDefaultColumnWidth = 100;
}  // namespace

ListViewData::ListViewData(QWidget* parent) : QTableView(parent) {
    setModel(&model_);
    setEditTriggers(NoEditTriggers);
    setSelectionBehavior(SelectRows);
    setSelectionMode(ExtendedSelection);
    setShowGrid(false);
    setWordWrap(false);
    setCornerButtonEnabled(false);
    setTabKeyNavigation(false);
    setIconSize(QSize(kIconSize, kIconSize));
    setHorizontalScrollMode(ScrollPerPixel);
    setContextMenuPolicy(Qt::CustomContextMenu);

    // One fixed row height, never measured from the contents: that is what keeps a long list
    // from asking for rows that are not on screen.
    QHeaderView* rows = verticalHeader();
    rows->hide();
    rows->setSectionResizeMode(QHeaderView::Fixed);
    applyRowHeight();

    QHeaderView* columns = horizontalHeader();
    columns->setHighlightSections(false);
    columns->setSectionsClickable(false);
    columns->setStretchLastSection(false);
    columns->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);

    // The selection stays visible while another widget has the focus.
    QPalette colours = palette();
    for (auto role : {QPalette::Highlight, QPalette::HighlightedText}) {
        colours.setColor(QPalette::Inactive, role, colours.color(QPalette::Active, role));
    }
    setPalette(colours);

    connect(this, &QAbstractItemView::doubleClicked, this,
            [this](const QModelIndex& index) { emit activatedRow(index.row()); });
    connect(this, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& pos) { emit contextMenuAt(viewport()->mapToGlobal(pos)); });
    connect(selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &ListViewData::focusOrSelectionChanged);
    connect(selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            &ListViewData::focusOrSelectionChanged);
}

ListViewData::~ListViewData() {
    // The model is a member and goes before the view's bases; detach it while this is whole.
    setModel(nullptr);
}

void ListViewData::setDataSource(ListDataSource* source) {
    model_.setSource(source);
}

void ListViewData::setColumns(const QStringList& captions, const QList<int>& widths) {
    model_.setCaptions(captions);
    QHeaderView* header = horizontalHeader();
    for (int column = 0; column < captions.size(); ++column) {
        const int width = column < widths.size() ? widths.at(column) : kDefaultColumnWidth;
        if (width == 0) {
            header->setSectionResizeMode(column, QHeaderView::Stretch);
        } else if (width < 0) {
            header->setSectionResizeMode(column, QHeaderView::Fixed);
            header->resizeSection(column, -width);
        } else {
            header->setSectionResizeMode(column, QHeaderView::Interactive);
            header->resizeSection(column, width);
        }
    }
}

void ListViewData::setImages(const QList<QIcon>& images) {
    model_.setImages(images);
}

void ListViewData::setRowCount(int count) {
    // Qt would move a focus that falls off the end to the last remaining row; it goes instead.
    if (focusedRow() >= std::max(count, 0)) {
        selectionModel()->clearCurrentIndex();
    }
    model_.setCount(count);
}

int ListViewData::rowCount() const {
    return model_.count();
}

void ListViewData::clearRows() {
    setRowCount(0);
}

void ListViewData::redrawRows(int count) {
    model_.markRows(0, std::min(count, model_.count()));
}

void ListViewData::updateRow(int row) {
    if (row >= 0 && row < model_.count()) {
        model_.markRows(row, row + 1);
    }
}

void ListViewData::removeRow(int row) {
    model_.eraseRow(row);
}

int ListViewData::focusedRow() const {
    const QModelIndex current = currentIndex();
    return current.isValid() ? current.row() : -1;
}

void ListViewData::setFocusedRow(int row) {
    const QModelIndex index = rowIndex(row);
    if (index.isValid()) {
        selectionModel()->setCurrentIndex(index, QItemSelectionModel::NoUpdate);
    } else {
        selectionModel()->clearCurrentIndex();
    }
}

bool ListViewData::isRowSelected(int row) const {
    const QModelIndex index = rowIndex(row);
    return index.isValid() && selectionModel()->isSelected(index);
}

void ListViewData::setRowSelected(int row, bool selected) {
    const QModelIndex index = rowIndex(row);
    if (index.isValid()) {
        selectionModel()->select(
            index, (selected ? QItemSelectionModel::Select : QItemSelectionModel::Deselect) |
                       QItemSelectionModel::Rows);
    }
}

void ListViewData::selectAllRows(bool selected) {
    const int count = model_.count();
    const int columns = model_.columnCount();
    if (!selected) {
        selectionModel()->clearSelection();
    } else if (count > 0 && columns > 0) {
        selectionModel()->select(
            QItemSelection(model_.index(0, 0), model_.index(count - 1, columns - 1)),
            QItemSelectionModel::ClearAndSelect);
    }
}

void ListViewData::invertSelection() {
    const int count = model_.count();
    const int lastColumn = model_.columnCount() - 1;
    if (count == 0 || lastColumn < 0) {
        return;
    }
    // The gaps between the selected runs, handed over as one selection.
    QItemSelection inverted;
    const auto addRun = [&](int first, int last) {
        if (first <= last) {
            inverted.append(
                QItemSelectionRange(model_.index(first, 0), model_.index(last, lastColumn)));
        }
    };
    int next = 0;
    for (const auto& [first, last] : selectedRuns()) {
        addRun(next, first - 1);
        next = last + 1;
    }
    addRun(next, count - 1);
    // Qt finds what changed by comparing every old range with every new one, which takes seconds
    // once both are fragmented. The two are disjoint here, so the change is known: apply it
    // quietly and announce it once.
    QItemSelectionModel* model = selectionModel();
    const QItemSelection previous = model->selection();
    {
        const QSignalBlocker quiet(model);
        model->clearSelection();
        model->select(inverted, QItemSelectionModel::Select);
    }
    emit model->selectionChanged(inverted, previous);
}

void ListViewData::gotoRow(int row) {
    const QModelIndex target = rowIndex(row);
    if (!target.isValid()) {
        return;
    }
    const int previous = focusedRow();
    if (previous >= 0 && previous != row) {
        setRowSelected(previous, false);
    }
    // Through the view, so that Shift with a key that moves extends from here.
    gotoInProgress_ = true;
    setCurrentIndex(target);
    gotoInProgress_ = false;
    const int left = horizontalScrollBar()->value();
    scrollTo(target, EnsureVisible);
    horizontalScrollBar()->setValue(left);
}

QList<int> ListViewData::selectedRows() const {
    QList<int> rows;
    for (const auto& [first, last] : selectedRuns()) {
        for (int row = first; row <= last; ++row) {
            rows.append(row);
        }
    }
    return rows;
}

int ListViewData::selectedCount() const {
    int count = 0;
    for (const auto& [first, last] : selectedRuns()) {
        count += last - first + 1;
    }
    return count;
}

std::vector<std::pair<int, int>> ListViewData::selectedRuns() const {
    std::vector<std::pair<int, int>> runs;
    const QItemSelection selection = selectionModel()->selection();
    for (const QItemSelectionRange& range : selection) {
        if (range.left() == 0) {
            runs.emplace_back(range.top(), range.bottom());
        }
    }
    std::sort(runs.begin(), runs.end());
    std::vector<std::pair<int, int>> merged;
    for (const auto& run : runs) {
        if (!merged.empty() && run.first <= merged.back().second + 1) {
            merged.back().second = std::max(merged.back().second, run.second);
        } else {
            merged.push_back(run);
        }
    }
    return merged;
}

QModelIndex ListViewData::rowIndex(int row) const {
    if (row < 0 || row >= model_.count()) {
        return {};
    }
    return model_.index(row, 0);
}

void ListViewData::applyRowHeight() {
    const int height = std::max(fontMetrics().height(), kIconSize) + kRowPadding;
    verticalHeader()->setMinimumSectionSize(height);
    verticalHeader()->setDefaultSectionSize(height);
}

void ListViewData::dataChanged(const QModelIndex& topLeft, const QModelIndex& bottomRight,
                               const QList<int>& roles) {
    if (!topLeft.isValid() || !bottomRight.isValid() || topLeft == bottomRight) {
        QTableView::dataChanged(topLeft, bottomRight, roles);
        return;
    }
    // Qt repaints the whole viewport for any change wider than one cell; a run of rows needs
    // only its own band, and none at all when it is off screen.
    const int top = rowViewportPosition(topLeft.row());
    const int bottom = rowViewportPosition(bottomRight.row()) + rowHeight(bottomRight.row());
    const QRect band =
        QRect(0, top, viewport()->width(), bottom - top).intersected(viewport()->rect());
    if (!band.isEmpty()) {
        viewport()->update(band);
    }
#if QT_CONFIG(accessibility)
    if (QAccessible::isActive()) {
        QAccessibleTableModelChangeEvent event(this, QAccessibleTableModelChangeEvent::DataChanged);
        event.setFirstRow(topLeft.row());
        event.setFirstColumn(topLeft.column());
        event.setLastRow(bottomRight.row());
        event.setLastColumn(bottomRight.column());
        QAccessible::updateAccessibility(&event);
    }
#endif
}

void ListViewData::keyPressEvent(QKeyEvent* event) {
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
        (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
        if (const int row = focusedRow(); row >= 0) {
            emit activatedRow(row);
            event->accept();
            return;
        }
    }
    QTableView::keyPressEvent(event);
}

QItemSelectionModel::SelectionFlags ListViewData::selectionCommand(const QModelIndex& index,
                                                                   const QEvent* event) const {
    if (gotoInProgress_) {
        return QItemSelectionModel::Select | QItemSelectionModel::Rows;
    }
    return QTableView::selectionCommand(index, event);
}

QModelIndex ListViewData::moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) {
    if ((action == MoveHome || action == MoveEnd) && model_.count() > 0) {
        const int column = std::max(currentIndex().column(), 0);
        return model_.index(action == MoveHome ? 0 : model_.count() - 1, column);
    }
    return QTableView::moveCursor(action, modifiers);
}

void ListViewData::changeEvent(QEvent* event) {
    QTableView::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        applyRowHeight();
    }
}

}  // namespace vidmill
