#include "app/command_state.h"

namespace vidmill {

namespace {

// Any video that could be read can be previewed, converted or not.
bool previewable(EntryStatus status) {
    return status != EntryStatus::NotFound && status != EntryStatus::CancelledNotFound &&
           status != EntryStatus::GetVideoInfo && status != EntryStatus::Pending;
}

}  // namespace

CommandStates commandStates(const CommandFacts& facts) {
    CommandStates states;
    states.fill(true);
    const auto set = [&states](Command command, bool on) {
        states[static_cast<std::size_t>(command)] = on;
    };
    const bool active = facts.batchActive;
    // An add under way holds back everything that starts work or changes the
    // list; Esc (Stop All) cancels it.
    const bool free = !active && !facts.adding;
    set(Command::AddVideos, free);
    set(Command::AddFolder, free);
    set(Command::Convert, free);
    set(Command::StopAll, facts.forPopup ? active && facts.hasFocused : active || facts.adding);
    set(Command::PauseAll, active);
    set(Command::Settings, !facts.batchHoldsSettings);
    set(Command::SkipExisting, !facts.watching);
    if (!facts.hasFocused) {
        // Rows selected without a focus (select all) still take the commands
        // that act on every selected row.
        const bool selected = facts.selectedCount > 0;
        for (Command command :
             {Command::Play, Command::Preview, Command::Rename, Command::ShowReason}) {
            set(command, false);
        }
        set(Command::RemoveEntry, selected && free);
        set(Command::DeleteVideo, selected && free);
        set(Command::StopConversion, selected && active);
        set(Command::RemoveMissing, facts.entryCount > 0 && free);
        return states;
    }
    const EntryStatus status = facts.focusedStatus;
    // With several rows selected the focused one alone does not decide.
    const bool many = facts.selectedCount > 1;
    set(Command::ShowReason, facts.focusedHasReason && !isInProgress(status));
    const bool playable = status == EntryStatus::Ok || status == EntryStatus::Ready;
    set(Command::Play, playable && !facts.adding);
    set(Command::Rename, playable && !facts.adding);
    set(Command::Preview, facts.previewsPossible && !facts.adding && previewable(status));
    set(Command::StopConversion, active && (many || isInProgress(status)));
    const bool removable = free && (many || isFinished(status) || status == EntryStatus::Ready);
    set(Command::RemoveEntry, removable);
    set(Command::DeleteVideo, removable);
    set(Command::RemoveMissing, free);
    return states;
}

}  // namespace vidmill
