#pragma once

// When each command of the window may run, from what the window knows at the
// moment: one rule per command, whichever menu, popup or button shows it.
// No Qt here, so that the rules are tested without a window.

#include <array>
#include <cstddef>

#include "engine/list/video_entry.h"

namespace vidmill {

enum class Command {
    AddVideos,
    AddFolder,
    RemoveEntry,
    Convert,
    StopConversion,
    StopAll,
    RemoveMissing,
    Rename,
    DeleteVideo,
    OpenFolder,
    Play,
    Preview,
    ShowReason,
    Exit,
    Settings,
    // The toolbar's Settings: it still opens the dialog while a batch runs,
    // for the next batch.
    ToolbarSettings,
    PauseAll,
    KeepFolderStructure,
    SkipExisting,
    WatchFolders,
    ViewToolbar,
    ViewSettings,
    ViewStatusBar,
    Help,
    TipOfTheDay,
    HomePage,
    About,
};
inline constexpr std::size_t kCommandCount = static_cast<std::size_t>(Command::About) + 1;

// What the window knows that the commands depend on.
struct CommandFacts {
    // A batch converts, or its workers live or wait.
    bool batchActive = false;
    // From the batch's start to its end: the settings it runs on stay put.
    bool batchHoldsSettings = false;
    // Videos are being added: nothing else may start or change the list.
    bool adding = false;
    // The states asked for are the list's popup's: its Stop All stops a
    // batch only, never an add, and only over a focused entry.
    bool forPopup = false;
    int entryCount = 0;
    int selectedCount = 0;
    bool hasFocused = false;
    EntryStatus focusedStatus = EntryStatus::Ready;
    // The focused entry has a failure reason, or for a converted one a note
    // on how it went.
    bool focusedHasReason = false;
    bool previewsPossible = false;
    bool watching = false;
};

using CommandStates = std::array<bool, kCommandCount>;

CommandStates commandStates(const CommandFacts& facts);

inline bool commandEnabled(const CommandStates& states, Command command) {
    return states[static_cast<std::size_t>(command)];
}

}  // namespace vidmill
