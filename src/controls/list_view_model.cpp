#include "controls/list_view_model.h"

#include <QThread>

#include <algorithm>

namespace vidmill {

namespace {
const QList<int> kCellRoles{Qt::DisplayRole, Qt::DecorationRole, Qt::ToolTipRole};
}  // namespace

ListViewModel::ListViewModel(QObject* parent) : QAbstractTableModel(parent) {
    flushTimer_.setSingleShot(true);
    flushTimer_.setInterval(0);
    connect(&flushTimer_, &QTimer::timeout, this, &ListViewModel::flushMarks);
}

void ListViewModel::setSource(ListDataSource* source) {
    source_ = source;
    markRows(0, count_);
}

void ListViewModel::setCaptions(const QStringList& captions) {
    const int oldCount = static_cast<int>(captions_.size());
    const int newCount = static_cast<int>(captions.size());
    if (newCount > oldCount) {
        beginInsertColumns({}, oldCount, newCount - 1);
        captions_ = captions;
        endInsertColumns();
    } else if (newCount < oldCount) {
        beginRemoveColumns({}, newCount, oldCount - 1);
        captions_ = captions;
        endRemoveColumns();
    } else {
        captions_ = captions;
    }
    if (newCount > 0) {
        emit headerDataChanged(Qt::Horizontal, 0, newCount - 1);
    }
}

void ListViewModel::setImages(const QList<QIcon>& images) {
    images_ = images;
    markRows(0, count_);
}

void ListViewModel::setCount(int count) {
    count = std::max(count, 0);
    if (count > count_) {
        beginInsertRows({}, count_, count - 1);
        count_ = count;
        endInsertRows();
    } else if (count < count_) {
        beginRemoveRows({}, count, count_ - 1);
        count_ = count;
        endRemoveRows();
    }
}

void ListViewModel::eraseRow(int row) {
    if (row < 0 || row >= count_) {
        return;
    }
    // Before the signals, so that marks made by their receivers use the new numbering.
    shiftMarksAbove(row);
    beginRemoveRows({}, row, row);
    --count_;
    endRemoveRows();
}

void ListViewModel::markRows(int first, int end) {
    Q_ASSERT(QThread::currentThread() == thread());
    first = std::max(first, 0);
    if (end <= first) {
        return;
    }
    // The first run that overlaps or touches [first, end), then every further one it swallows.
    auto it = std::lower_bound(marks_.begin(), marks_.end(), first,
                               [](const Run& run, int row) { return run.second < row; });
    auto last = it;
    while (last != marks_.end() && last->first <= end) {
        first = std::min(first, last->first);
        end = std::max(end, last->second);
        ++last;
    }
    if (it == last) {
        marks_.insert(it, Run{first, end});
    } else {
        *it = Run{first, end};
        marks_.erase(it + 1, last);
    }
    if (!flushTimer_.isActive()) {
        flushTimer_.start();
    }
}

void ListViewModel::shiftMarksAbove(int removedRow) {
    std::vector<Run> shifted;
    shifted.reserve(marks_.size());
    for (auto [first, end] : marks_) {
        if (first > removedRow) {
            --first;
        }
        if (end > removedRow) {
            --end;
        }
        if (first >= end) {
            continue;
        }
        if (!shifted.empty() && shifted.back().second >= first) {
            shifted.back().second = std::max(shifted.back().second, end);
        } else {
            shifted.emplace_back(first, end);
        }
    }
    marks_.swap(shifted);
}

void ListViewModel::flushMarks() {
    // Taken first: a receiver of dataChanged may mark rows again, and those wait for the next
    // flush.
    std::vector<Run> runs;
    runs.swap(marks_);
    const int lastColumn = columnCount() - 1;
    if (lastColumn < 0) {
        return;
    }
    for (const auto& [first, end] : runs) {
        const int stop = std::min(end, count_);
        if (first >= stop) {
            break;
        }
        emit dataChanged(index(first, 0), index(stop - 1, lastColumn), kCellRoles);
    }
}

int ListViewModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : count_;
}

int ListViewModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(captions_.size());
}

QVariant ListViewModel::data(const QModelIndex& index, int role) const {
    if (source_ == nullptr || !index.isValid() || index.row() >= count_ ||
        index.column() >= captions_.size()) {
        return {};
    }
    switch (role) {
        case Qt::DisplayRole:
            return source_->cellText(index.row(), index.column());
        case Qt::DecorationRole: {
            if (index.column() != 0) {
                return {};
            }
            const int image = source_->cellImage(index.row());
            if (image < 0 || image >= images_.size()) {
                return {};
            }
            return images_.at(image);
        }
        case Qt::ToolTipRole: {
            QString tip = source_->cellToolTip(index.row(), index.column());
            if (tip.isEmpty()) {
                return {};
            }
            // A tip may name a file such as "<b>x</b>": escaped, it shows as
            // written rather than as markup.
            return QStringLiteral("<p style='white-space:pre-wrap'>%1</p>")
                .arg(tip.toHtmlEscaped());
        }
        default:
            return {};
    }
}

QVariant ListViewModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
        section >= captions_.size()) {
        return {};
    }
    return captions_.at(section);
}

Qt::ItemFlags ListViewModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) {
        return Qt::NoItemFlags;
    }
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
}

}  // namespace vidmill
