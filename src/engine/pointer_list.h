#pragma once

// An ordered list that owns its elements, grows in fixed steps and carries
// the functions that write its elements to a record file and read them back.

#include <algorithm>
#include <cstdint>
#include <functional>
#include <iterator>
#include <memory>
#include <utility>
#include <vector>

#include "storage/record_file.h"

namespace vidmill {

template <typename T>
class PointerList {
  public:
    using WriteItem = std::function<void(RecordFile&, T&)>;
    // May give none, when the record does not hold a usable element.
    using ReadItem = std::function<std::unique_ptr<T>(RecordFile&)>;

    static constexpr int kMaxCount = 1073741819;

    PointerList(int initialCapacity, int growth, WriteItem writeItem = {}, ReadItem readItem = {})
        : capacity_(std::max(initialCapacity, 2)),
          growth_(std::max(growth, 1)),
          writeItem_(std::move(writeItem)),
          readItem_(std::move(readItem)) {
        items_.reserve(size_t(capacity_));
    }
    PointerList(const PointerList&) = delete;
    PointerList& operator=(const PointerList&) = delete;

    // Frees the elements in list order.
    ~PointerList() { clear(); }

    int count() const { return int(items_.size()); }
    int capacity() const { return capacity_; }
    int growth() const { return growth_; }

    // The element at `index`, or none when the index lies outside the list.
    T* at(int index) const {
        return index >= 0 && index < count() ? items_[size_t(index)].get() : nullptr;
    }

    // Stores `item` at `index` and gives the index; -1 for an index outside
    // 0..count or a full list, and then `item` stays with the caller.
    int insertAt(int index, std::unique_ptr<T>& item) {
        if (index < 0 || index > count() || count() >= kMaxCount) {
            return -1;
        }
        if (count() + 1 >= capacity_) {
            setCapacity(capacity_ + growth_);
        }
        items_.insert(items_.begin() + index, std::move(item));
        return index;
    }
    int insertAt(int index, std::unique_ptr<T>&& item) { return insertAt(index, item); }

    int append(std::unique_ptr<T>& item) { return insertAt(count(), item); }
    int append(std::unique_ptr<T>&& item) { return insertAt(count(), item); }

    // Takes the element out of the list and hands it to the caller; none for
    // an index outside the list, which then stays unchanged.
    std::unique_ptr<T> removeAt(int index) {
        if (index < 0 || index >= count()) {
            return nullptr;
        }
        std::unique_ptr<T> item = std::move(items_[size_t(index)]);
        items_.erase(items_.begin() + index);
        return item;
    }

    // Takes out, in one pass, every element for which `remove(element,
    // index)` holds; the others keep their order. Gives the removed ones in
    // list order.
    template <typename Predicate>
    std::vector<std::unique_ptr<T>> removeWhere(Predicate remove) {
        std::vector<std::unique_ptr<T>> removed;
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

    // Sets the room to `newCapacity`, kept between count and kMaxCount.
    void reserve(int newCapacity) { setCapacity(std::clamp(newCapacity, count(), kMaxCount)); }

    // Frees every element in list order.
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
            std::unique_ptr<T> item = readItem_(file);
            if (item && insertAt(next, item) >= 0) {
                ++next;
            }
        }
        return total;
    }

    auto begin() const { return items_.begin(); }
    auto end() const { return items_.end(); }

  private:
    void setCapacity(int capacity) {
        if (capacity == capacity_) {
            return;
        }
        std::vector<std::unique_ptr<T>> moved;
        moved.reserve(size_t(capacity));
        std::move(items_.begin(), items_.end(), std::back_inserter(moved));
        items_ = std::move(moved);
        capacity_ = capacity;
    }

    std::vector<std::unique_ptr<T>> items_;
    int capacity_;
    int growth_;
    WriteItem writeItem_;
    ReadItem readItem_;
};

}  // namespace vidmill
