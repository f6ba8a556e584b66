#include "engine/list/entry_list.h"

namespace vidmill {
EntryList::EntryList()
    : entries_([](RecordFile& file, VideoEntry& entry) { writeEntry(file, entry); },
               [this](RecordFile& file) { return readEntry(file, readVersion_); }) {}

int EntryList::renumberRows() {
    renumberFrom(0);
    return 1;
}

void EntryList::renumberFrom(int index) {
    for (int i = std::max(index, 0); i < entries_.count(); ++i) {
        entries_.at(i)->row = i;
    }
}

int EntryList::countReady(int* cancelled) const {
    int ready = 0;
    int stopped = 0;
    for (const auto& entry : entries_) {
        EntryStatus status = entry->status.load(std::memory_order_relaxed);
        ready += status == EntryStatus::Ready;
        stopped += status == EntryStatus::Cancelled;
    }
    if (cancelled != nullptr) {
        *cancelled = stopped;
    }
    return ready;
}

int EntryList::requeueCancelled() {
    for (const auto& entry : entries_) {
        if (entry->status.load(std::memory_order_relaxed) == EntryStatus::Cancelled) {
            entry->status.store(EntryStatus::Ready, std::memory_order_relaxed);
        }
    }
    return countReady();
}

int EntryList::writeAll(RecordFile& file) {
    return entries_.writeAll(file);
}

int EntryList::readAll(RecordFile& file, int historyVersion) {
    readVersion_ = historyVersion;
    int total = entries_.readAll(file);
    readVersion_ = kCurrentHistoryVersion;
    return total;
}

}  // namespace vidmill
