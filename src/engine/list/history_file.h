#pragma once

// The history file: the entry list between runs, after a signature that
// names the version of its entry records.

#include <ctime>
#include <string>
#include <string_view>

#include "storage/settings_file.h"

namespace vidmill {

class EntryList;

// Version 1 kept an entry's size in 4 bytes, version 2 in 8. Neither
// signature starts the other, so the reader can try one after the other.
inline constexpr std::string_view kHistorySignatureV1 = "VidmillHistory/1";
inline constexpr std::string_view kHistorySignatureV2 = "VidmillHistory/2";

// Beside the history file, under its name with ".extra" added: what entries
// hold that their records have no room for (the subfolder of an output
// below the destination). A history written without it reads as before, and
// a reader that knows nothing of it reads the history unchanged.
inline constexpr std::string_view kHistoryExtraSignature = "VidmillHistoryExtra/1";
std::string historyExtraPath(const std::string& historyPath);

// Reads the entries of a version 1 or 2 history file into the empty list and
// numbers their rows; Pending entries come back Cancelled. Reading stops at
// the first record that is cut short or holds values that no version wrote
// (a status outside the list, a negative duration): the entries before it
// stay. 1 when a history file was recognised; 0 leaves the list unchanged.
int loadHistoryFile(EntryList& list, const std::string& path);

struct HistoryLoad {
    // A version 1 or 2 history file was read.
    bool recognised = false;
    // The file was not as this program writes it: a record cut short or not
    // ours, bytes after the last record, or no history signature at all.
    bool damaged = false;
    // Entries that could be read, now in the list.
    int entriesRead = 0;
    // The name (without the folder) that the damaged file was kept under;
    // empty when it could not be moved aside.
    std::string keptAs;
};

// Loads the history at start-up. A damaged file is first kept aside, beside
// it, as "<name>.damaged-YYYYMMDD-HHMMSS" (local time `now`; "-1", "-2", ...
// added when that name is taken, which is never replaced), and the entries
// that could be read are saved as the new history, so that neither the
// damaged bytes nor the readable entries are lost.
HistoryLoad loadHistoryAtStart(EntryList& list, const std::string& path,
                               std::time_t now = std::time(nullptr));

// The one message for the user about the settings and history files read at
// start-up; empty when both were as written.
std::string startupFilesMessage(const SettingsLoad& settings, const HistoryLoad& history);

// Writes the list as a version 2 file (Pending entries become Cancelled),
// replacing the file only once the new one is complete on the disk, and its
// extra file before it. 1 when it was saved; 0 leaves the old file as it
// was.
int saveHistoryFile(EntryList& list, const std::string& path);

}  // namespace vidmill
