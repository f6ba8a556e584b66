#pragma once

#include <cstddef>
#include <string_view>

namespace vidmill {

// The converter's side of one progress slot: attach by channel name and slot
// index, then report the duration and the progress and watch the stop byte.
// The block belongs to the engine; a writer maps it but never creates,
// resizes or removes it.
class SlotWriter {
  public:
    SlotWriter() = default;  // inactive: every call does nothing, stopRequested() is false

    // Inactive on slot -1, an out-of-range slot, a malformed name, a block
    // that does not exist, is not a regular file of this user or is not of
    // the layout's size, or any other failure.
    static SlotWriter attach(std::string_view channelName, int slotIndex);

    SlotWriter(SlotWriter&& other) noexcept;
    SlotWriter& operator=(SlotWriter&& other) noexcept;
    SlotWriter(const SlotWriter&) = delete;
    SlotWriter& operator=(const SlotWriter&) = delete;
    ~SlotWriter();

    bool active() const { return block_ != nullptr; }

    void writeDuration(double seconds);
    void writePercent(double percent);
    void writeAmount(double amount);
    // 0: the only pass; 1 or 2: that pass of two.
    void writePass(int pass);
    bool stopRequested() const;

  private:
    void reset();

    std::byte* block_ = nullptr;  // start of the whole mapping
    std::size_t slot_ = 0;        // byte offset of our slot in it
};

}  // namespace vidmill
