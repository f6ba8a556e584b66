// The rules that enable the window's commands.

#include "app/command_state.h"

#include <gtest/gtest.h>

#include <set>

namespace vidmill {
namespace {

using C = Command;
using S = EntryStatus;

// What the window offers whatever it is doing.
const std::set<Command> kAlwaysOn = {C::OpenFolder,          C::Exit,          C::ToolbarSettings,
                                     C::KeepFolderStructure, C::WatchFolders,  C::ViewToolbar,
                                     C::ViewSettings,        C::ViewStatusBar, C::Help,
                                     C::TipOfTheDay,         C::HomePage,      C::About};

CommandFacts focused(S status, bool reason = false) {
    return {.entryCount = 3,
            .hasFocused = true,
            .focusedStatus = status,
            .focusedHasReason = reason,
            .previewsPossible = true};
}
template <typename Change>
CommandFacts with(CommandFacts facts, Change change) {
    change(facts);
    return facts;
}
CommandFacts inBatch(CommandFacts facts) {
    facts.batchActive = facts.batchHoldsSettings = true;
    return facts;
}

struct Row {
    const char* name;
    CommandFacts facts;
    std::set<Command> enabled;  // besides kAlwaysOn
};

const Row kRows[] = {
    {"empty", {}, {C::AddVideos, C::AddFolder, C::Convert, C::Settings, C::SkipExisting}},
    {"idle ok",
     focused(S::Ok, true),
     {C::AddVideos, C::AddFolder, C::Convert, C::RemoveEntry, C::DeleteVideo, C::RemoveMissing,
      C::Play, C::Rename, C::Preview, C::ShowReason, C::Settings, C::SkipExisting}},
    {"idle failed",
     focused(S::ConversionError, true),
     {C::AddVideos, C::AddFolder, C::Convert, C::RemoveEntry, C::DeleteVideo, C::RemoveMissing,
      C::Preview, C::ShowReason, C::Settings, C::SkipExisting}},
    {"idle missing",
     focused(S::NotFound),
     {C::AddVideos, C::AddFolder, C::Convert, C::RemoveMissing, C::Settings, C::SkipExisting}},
    {"idle missing among several selected",
     with(focused(S::NotFound), [](CommandFacts& f) { f.selectedCount = 2; }),
     {C::AddVideos, C::AddFolder, C::Convert, C::RemoveEntry, C::DeleteVideo, C::RemoveMissing,
      C::Settings, C::SkipExisting}},
    {"all selected, none focused",
     {.entryCount = 3, .selectedCount = 3},
     {C::AddVideos, C::AddFolder, C::Convert, C::RemoveEntry, C::DeleteVideo, C::RemoveMissing,
      C::Settings, C::SkipExisting}},
    {"batch, converting",
     inBatch(focused(S::Converting, true)),
     {C::StopConversion, C::StopAll, C::PauseAll, C::Preview, C::SkipExisting}},
    {"batch, ok",
     inBatch(focused(S::Ok)),
     {C::StopAll, C::PauseAll, C::Play, C::Rename, C::Preview, C::SkipExisting}},
    {"batch, popup without a focus",
     inBatch({.forPopup = true, .entryCount = 3, .selectedCount = 1}),
     {C::StopConversion, C::PauseAll, C::SkipExisting}},
    {"batch, menu without a focus",
     inBatch({.entryCount = 3}),
     {C::StopAll, C::PauseAll, C::SkipExisting}},
    {"adding",
     with(focused(S::Ok, true), [](CommandFacts& f) { f.adding = true; }),
     {C::StopAll, C::ShowReason, C::Settings, C::SkipExisting}},
    {"adding, popup",
     with(focused(S::Ready), [](CommandFacts& f) { f.adding = f.forPopup = true; }),
     {C::Settings, C::SkipExisting}},
    {"watching, no previews",
     with(focused(S::Ready),
          [](CommandFacts& f) {
              f.watching = true;
              f.previewsPossible = false;
          }),
     {C::AddVideos, C::AddFolder, C::Convert, C::RemoveEntry, C::DeleteVideo, C::RemoveMissing,
      C::Play, C::Rename, C::Settings}},
};

TEST(CommandStateTest, EachCommandIsEnabledExactlyWhenItsRuleAllows) {
    for (const Row& row : kRows) {
        const CommandStates states = commandStates(row.facts);
        for (std::size_t index = 0; index < kCommandCount; ++index) {
            const auto command = static_cast<Command>(index);
            const bool expected = row.enabled.count(command) + kAlwaysOn.count(command) > 0;
            EXPECT_EQ(states[index], expected) << row.name << ", command " << index;
        }
    }
}

}  // namespace
}  // namespace vidmill
