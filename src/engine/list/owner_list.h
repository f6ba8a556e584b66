#pragma once

// An ordered list of shared elements, with the functions that write its
// elements to a record file and read them back. An element taken out of the
// list lives on for as long as someone else holds it: a worker thread that
// still ends its conversion, say.

#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "storage/record_file.h"

namespace vidmill {

template <typename T>
class OwnerList {
  public:
    using WriteItem = std::function<void(RecordFile&, T&)>;
    // May give none, when the record does not hold a usable element.
    using ReadItem = std::function<std::shared_ptr<T>(RecordFile&)>;

    static constexpr int kMaxCount = 1073741819;

    explicit OwnerList(WriteItem writeItem = {}, ReadItem readItem = {})
        : writeItem_(std::move(writeItem)), readItem_(std::move(readItem)) {}
    OwnerList(const OwnerList&) = delete;
    OwnerList& operator=(const OwnerList&) = delete;

    int count() const { return int(items_.size()); }

    // The element at `index`, or none when the index lies outside the list.
    T* at(int index) const { return owner(index).get(); }
    std::shared_ptr<T> owner(int index) const {
        return index >= 0 && index < count() ? items_[std::size_t(index)] : nullptr;
    }

    // Stores `item` at `index` and gives the index; -1 for an index outside
    // 0..count, no item or a full list, and then the list holds nothing of
    // it.
    int insertAt(int index, std::shared_ptr<T> item) {
        if (!item || index < 0 || index > count() || count() >= kMaxCount) {
            return -1;
        }
        items_.insert(items_.begin() + index, std::move(item));
        return index;
    }
    int append(std::shared_ptr<T> item) { return insertAt(count(), std::move(item)); }

    // Takes the element out of the list and hands it to the caller; none for
    // an index outside the list, which then stays unchanged.
    std::shared_ptr<T> removeAt(int index) {
        if (index < 0 || index >= count()) {
            return nullptr;
        }
        std::shared_ptr<T> item = std::move(items_[std::size_t(index)]);
        items_.erase(items_.begin() + index);
        return item;
    }

    // Takes out, in one pass, every element for which `remove(element,
    // index)` holds; the others keep their order. Gives the removed ones in
    // list order.
    template <typename Predicate>
    std::vector<std::shared_ptr<T>> removeWhere(Predicate remove) {
        std::vector<std::shared_ptr<T>> removed;
        std::size_t kept = 0;
        for (std::size_t i = 0; i < items_.size(); ++i) {
            if (remove(*items_[i], int(i))) {
                removed.push_back(std::move(items_[i]));
            } else {
                items_[kept++] = std::move(items_[i]);
            }
        }
        items_.resize(kept);
        return removed;
    }

    // Lets go of every element, in list order.
    void clear() {
        for (auto& item : items_) {
            item.reset();
        }
        items_.clear();
    }

    // The count as a signed 16-bit number, then every element in order.
    int writeAll(RecordFile& file) {
        file.writeUInt16(uint16_t(int16_t(count())));
        if (writeItem_) {
            for (auto& item : items_) {
                writeItem_(file, *item);
            }
        }
        return count();
    }

    // A signed 16-bit count, then that many elements, stored from index 0 on
    // in the order read; gives the count read. An element the reader could
    // not make leaves no gap.
    int readAll(RecordFile& file) {
        uint16_t stored = 0;
        file.readUInt16(stored);
        int total = int16_t(stored);
        int next = 0;
        for (int i = 0; i < total && readItem_; ++i) {
            if (insertAt(next, readItem_(file)) >= 0) {
                ++next;
            }
        }
        return total;
    }

    auto begin() const { return items_.begin(); }
    auto end() const { return items_.end(); }

  private:
    std::vector<std::shared_ptr<T>> items_;
    WriteItem writeItem_;
    ReadItem readItem_;
};

}  // namespace vidmill
