#include "process/slot_writer.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <utility>

#include "process/channel_layout.h"

namespace vidmill {

namespace layout = channel_layout;

SlotWriter SlotWriter::attach(std::string_view channelName, int slotIndex) {
    SlotWriter writer;
    if (!layout::isSlotIndex(slotIndex) || !layout::isChannelName(channelName)) {
        return writer;
    }
    const std::string name = layout::objectName(channelName);
    // Whatever lies under the name is looked at before use: a FIFO must not
    // hold us, and only a block of our own user and of the layout's size is
    // the engine's (a smaller one would fault on access).
    const int fd = shm_open(name.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0);
    if (fd < 0) {
        return writer;
    }
    struct stat info {};
    void* mapping = MAP_FAILED;
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == geteuid() &&
        info.st_size == static_cast<off_t>(layout::kBlockSize)) {
        mapping = mmap(nullptr, layout::kBlockSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    }
    close(fd);  // the mapping keeps the block alive
    if (mapping == MAP_FAILED) {
        return writer;
    }
    writer.block_ = static_cast<std::byte*>(mapping);
    writer.slot_ = layout::slotOffset(slotIndex);
    return writer;
}

SlotWriter::SlotWriter(SlotWriter&& other) noexcept
    : block_(std::exchange(other.block_, nullptr)), slot_(other.slot_) {}

SlotWriter& SlotWriter::operator=(SlotWriter&& other) noexcept {
    if (this != &other) {
        reset();
        block_ = std::exchange(other.block_, nullptr);
        slot_ = other.slot_;
    }
    return *this;
}

SlotWriter::~SlotWriter() {
    reset();
}

void SlotWriter::reset() {
    if (block_ != nullptr) {
        munmap(block_, layout::kBlockSize);
        block_ = nullptr;
    }
}

void SlotWriter::writeDuration(double seconds) {
    if (block_ != nullptr) {
        layout::storeDouble(block_, slot_ + layout::kDurationOffset, seconds);
    }
}

void SlotWriter::writePercent(double percent) {
    if (block_ != nullptr) {
        layout::storeDouble(block_, slot_ + layout::kPercentOffset, percent);
    }
}

void SlotWriter::writeAmount(double amount) {
    if (block_ != nullptr) {
        layout::storeDouble(block_, slot_ + layout::kAmountOffset, amount);
    }
}

void SlotWriter::writePass(int pass) {
    if (block_ != nullptr) {
        layout::storeU64(block_, slot_ + layout::kPassOffset, std::uint64_t(pass));
    }
}

bool SlotWriter::stopRequested() const {
    return block_ != nullptr && layout::loadByte(block_, slot_ + layout::kStopOffset) != 0;
}

}  // namespace vidmill
