#pragma once

#include <QAbstractTableModel>
#include <QIcon>
#include <QList>
#include <QStringList>
#include <QTimer>

#include <utility>
#include <vector>

#include "controls/list_data_source.h"

namespace vidmill {

// A table model that stores no row data: it knows how many rows there are and asks its
// ListDataSource for every cell it is asked to show. Changed rows are marked without touching the
// source and announced later, coalesced into runs, so that an owner may mark rows while holding
// the lock its source takes.
class ListViewModel : public QAbstractTableModel {
    Q_OBJECT
  public:
    explicit ListViewModel(QObject* parent = nullptr);

    void setSource(ListDataSource* source);
    void setCaptions(const QStringList& captions);
    void setImages(const QList<QIcon>& images);

    // Rows are added or taken at the end, so rows already shown keep their identity.
    void setCount(int count);
    int count() const { return count_; }
    // The row goes and later rows move up one, marks included.
    void eraseRow(int row);

    // Records rows first..end-1 as changed and schedules one flush; never calls the source and
    // emits nothing. GUI thread only.
    void markRows(int first, int end);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

  private:
    // Half-open [first, end) runs of marked rows, sorted, neither overlapping nor touching.
    using Run = std::pair<int, int>;

    void flushMarks();
    void shiftMarksAbove(int removedRow);

    ListDataSource* source_ = nullptr;
    QStringList captions_;
    QList<QIcon> images_;
    int count_ = 0;
    std::vector<Run> marks_;
    QTimer flushTimer_;
};

}  // namespace vidmill
