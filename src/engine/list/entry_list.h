#pragma once

// Every video of the window, in the order in which it was added; an entry's
// `row` is always its index here.

#include <cstdint>
#include <memory>

#include "engine/list/owner_list.h"
#include "engine/list/video_entry.h"

namespace vidmill {

inline constexpr int kMaxEntries = 30000;

// The history file version whose records are read when none is named.
inline constexpr int kCurrentHistoryVersion = 2;

class EntryList {
  public:
    EntryList();
    EntryList(const EntryList&) = delete;
    EntryList& operator=(const EntryList&) = delete;

    OwnerList<VideoEntry>& entries() { return entries_; }
    const OwnerList<VideoEntry>& entries() const { return entries_; }
    int count() const { return entries_.count(); }
    VideoEntry* at(int index) const { return entries_.at(index); }

    // Sets every entry's row to its index; gives 1.
    int renumberRows();
    // Renumbers from `index` to the end, after a removal at `index`.
    void renumberFrom(int index);
    // Number of Ready entries; `cancelled`, when given, gets the number of
    // Cancelled ones.
    int countReady(int* cancelled = nullptr) const;
    // Every Cancelled entry becomes Ready; gives the number of Ready entries.
    int requeueCancelled();

    // The entries as history records, preceded by their signed 16-bit count.
    int writeAll(RecordFile& file);
    // Reads the records of a history file of the given version into the list.
    int readAll(RecordFile& file, int historyVersion = kCurrentHistoryVersion);

    // Written to and read from the history file; 0 in this program.
    int32_t reserved = 0;

  private:
    int readVersion_ = kCurrentHistoryVersion;
    OwnerList<VideoEntry> entries_;
};

}  // namespace vidmill
