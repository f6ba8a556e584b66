#pragma once

// The texts a row of the list shows for an entry, built on the spot from the
// entry and its converter's progress.

#include <string>

namespace vidmill {

class ProgressChannel;
struct EntryView;

// "Pending", "Ready  (1.00 MB)", "Convert 42.0%  01:30 left", "OK     (2.00 MB)", ...
std::string entryStatusText(const EntryView& entry, const ProgressChannel& channel);

// The duration column: "%02d:%02d:%02d".
std::string entryDurationText(const EntryView& entry);

// The name column: "name (ext)" with the extension of the entry's format, or
// "NoName". A Ready entry takes the format chosen now (`readyPresetId`, when
// given): that is what it will become.
std::string entryNameText(const EntryView& entry, int readyPresetId = -1);

// The tip of a converted entry: what its converter noted, and then
// "Converted with: fit in 25 MB, from 0:10 to 2:30" when it was asked more
// than its format; empty when there is neither.
std::string convertedEntryTip(const EntryView& entry);

}  // namespace vidmill
