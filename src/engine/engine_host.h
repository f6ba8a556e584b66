#pragma once

// What the engine tells whoever shows it: the desktop window or the
// terminal. The engine reports events and asks nothing: a question to the
// user is the caller's, before it gives the engine a command. Every call
// arrives on the interface thread; an event that a host has no use for is
// left to its default, which ignores it.

#include <string>

namespace vidmill {

enum MessageStyle : int {
    kPlainMessage = 0,
    kQuestionMessage = 33,  // OK and Cancel; go on only on OK
    kInformationMessage = 64,
};

class EngineHost {
  public:
    virtual ~EngineHost() = default;

    // Something the user should know: a file that is no video, a full list,
    // a destination that cannot take files. Never a question.
    virtual void message(MessageStyle style, const std::string& text) = 0;
    // Entries were appended to the list; `lastRow` is the newest one's.
    virtual void entriesAdded(int lastRow) {}
    // An entry's status or progress changed. Called with the engine's lock
    // held: read the entry's fields directly, call nothing of the engine
    // that locks.
    virtual void entryChanged(int row) {}
    // The batch's progress: percent for a bar, and the "%d / %d  %d%%"
    // text. Called with the engine's lock held.
    virtual void batchProgress(int percent, const std::string& text) {}
    // A batch began: its entries wait for their turn.
    virtual void batchStarted() {}
    // A conversion worker began; another one ended.
    virtual void workerStarted() {}
    virtual void workerEnded() {}
    // The batch is over, every worker has ended. `stopped`: Stop All was
    // given during it, whatever its answer; nothing is to follow it then.
    virtual void batchEnded(bool stopped) {}
};

}  // namespace vidmill
