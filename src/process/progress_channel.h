#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace vidmill {

// The shared-memory block through which running converters report their
// duration and progress and receive stop requests; see channel_layout.h for
// the bytes.
//
// When opening fails the channel is absent: every operation then does
// nothing and reports nothing. A slot index outside 0..999 is treated like
// -1 (no slot).
//
// Every operation may be called from any thread at any time.
class ProgressChannel {
  public:
    ProgressChannel() = default;
    ProgressChannel(const ProgressChannel&) = delete;
    ProgressChannel& operator=(const ProgressChannel&) = delete;
    ~ProgressChannel() { closeChannel(); }

    // Creates the block under a fresh name drawn from the kernel's random
    // source, so that nobody can take our name before us; a name that is
    // taken all the same is passed over for another.
    void openChannel();
    // The same with the names drawn from nextName (tests choose them).
    void openChannelWith(const std::function<std::string()>& nextName);
    // Unmaps and removes the block. Converters still attached keep their own
    // mapping until they end.
    void closeChannel();
    // Removes the block's name only, keeping the mapping: for a program that
    // ends at once while its threads may still read the slots.
    void unlinkChannel();

    bool isOpen() const { return view_ != nullptr; }
    // The errno of the last opening that failed, 0 after one that worked.
    int openError() const { return openError_; }
    // Empty while the channel is absent.
    const std::string& channelName() const { return channelName_; }
    int highWater() const { return highWater_.load(std::memory_order_relaxed); }

    // Slot index, or -1 when the channel is absent or full. Slot 999 is never
    // handed out.
    int allocateSlot();
    void releaseSlot(int index);
    // Lets the search for a free slot start low again; slots still held
    // stay theirs.
    void resetSlots();
    void requestStop(int index);

    // 1 with the clamped percent (and optionally the amount in units of 1024),
    // or 0 without touching the outputs.
    int readProgress(int index, double& percent, std::int64_t* scaledAmount = nullptr) const;
    // The number of slots in use; their mean clamped percent goes to average.
    int readOverall(double& average) const;
    // 1 with the duration in seconds as the converter stored it, or 0.
    int readDuration(int index, double& seconds) const;
    // Which pass the converter runs: 0 its only one, 1 or 2 of two.
    int readPass(int index) const;

    // Removes the blocks of this user whose creating process no longer runs;
    // gives how many were removed. Opening a channel does this first. Only
    // regular files of this user and of the block's size are looked into;
    // nothing under the name (a FIFO, a link, another user's file) can
    // make it wait.
    static int removeStaleBlocks();

    // A fresh channel name from the kernel's random source.
    static std::string randomName();

  private:
    bool validSlot(int index) const;
    void clearSlot(int index);
    bool createBlock(const std::string& name);

    // Turns the slot's in-use byte from 0 to 1; false when it was taken.
    bool claimSlot(int index);

    std::byte* view_ = nullptr;
    std::string channelName_;
    int openError_ = 0;
    std::atomic<int> highWater_{0};
};

// A percent as the engine reads it: not-a-number and below 0 give 0, above
// 100 gives 100.
double clampPercent(double percent);

}  // namespace vidmill
