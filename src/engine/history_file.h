#pragma once

// The history file: the entry list between runs, after a signature that
// names the version of its entry records.

#include <string>
#include <string_view>

namespace vidmill {

class EntryList;

// Version 1 kept an entry's size in 4 bytes, version 2 in 8. Neither
// signature starts the other, so the reader can try one after the other.
inline constexpr std::string_view kHistorySignatureV1 = "VidmillHistory/1";
inline constexpr std::string_view kHistorySignatureV2 = "VidmillHistory/2";

// Reads the entries of a version 1 or 2 history file into the empty list and
// numbers their rows; Pending entries come back Cancelled. 1 when a history
// file was recognised and read; 0 leaves the list unchanged.
int loadHistoryFile(EntryList& list, const std::string& path);

// Writes the list as a version 2 file (Pending entries become Cancelled),
// replacing the file only once the new one is complete on the disk. 1 when
// it was saved; 0 leaves the old file as it was.
int saveHistoryFile(EntryList& list, const std::string& path);

}  // namespace vidmill
