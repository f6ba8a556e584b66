#pragma once

// The byte layout of the progress channel: the shared-memory block through
// which a running converter reports to the engine. Both sides (the engine's
// ProgressChannel and the converter's SlotWriter) use only these constants
// and accessors, so the wire format lives in this one file.
//
// Block: kBlockSize bytes; slot i (0 <= i < kSlotCount) at kSlotSize * i.
// Every multi-byte value is little-endian; doubles are IEEE 754.
//
//   slot offset  size  writer     meaning
//    0           1     engine     in use (1) / free (0)
//    8           8     converter  progress in percent (double)
//   16           1     engine     stop request (1 asks the converter to end)
//   24           8     converter  running amount (double)
//   32           8     converter  the pass (uint64): 0 the only one, 1 or 2 of two
//   40           8     converter  source duration in seconds (double)
//
// The kSpareSize bytes after the last slot belong to no slot. The engine keeps
// there what it needs to sweep away blocks of crashed instances:
//
//   spare offset  size  meaning
//    0            8     kCreatorMagic once the creator fields below are valid
//    8            8     process id of the creating process (int64)
//   16            8     start time of that process in clock ticks after boot
//                       (field 22 of /proc/<pid>/stat; 0 when unknown), so a
//                       reused process id is not mistaken for the creator
//   24            8     inode of the creator's pid namespace (0 when unknown):
//                       a process id means something only in its namespace
//
// Fields are read and written one at a time with atomic operations on the
// naturally aligned field (the mapping is page aligned): there is no lock,
// and each reader accepts whatever value it finds.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace vidmill::channel_layout {

inline constexpr int kSlotCount = 1000;
inline constexpr std::size_t kSlotSize = 48;
inline constexpr std::size_t kBlockSize = 48100;
inline constexpr std::size_t kSpareOffset = kSlotCount * kSlotSize;
inline constexpr std::size_t kSpareSize = kBlockSize - kSpareOffset;

inline constexpr std::size_t kInUseOffset = 0;
inline constexpr std::size_t kPercentOffset = 8;
inline constexpr std::size_t kStopOffset = 16;
inline constexpr std::size_t kAmountOffset = 24;
inline constexpr std::size_t kPassOffset = 32;
inline constexpr std::size_t kDurationOffset = 40;

inline constexpr std::size_t kCreatorMagicOffset = kSpareOffset;
inline constexpr std::size_t kCreatorPidOffset = kSpareOffset + 8;
inline constexpr std::size_t kCreatorStartOffset = kSpareOffset + 16;
inline constexpr std::size_t kCreatorNamespaceOffset = kSpareOffset + 24;
// "VMCHAN01" read as a little-endian number.
inline constexpr std::uint64_t kCreatorMagic = 0x31304e4148434d56ull;

static_assert(kSpareSize == 100);
static_assert(kCreatorNamespaceOffset + 8 <= kBlockSize);

// Length of the channel name that the converter is told: decimal digits only.
inline constexpr std::size_t kNameLength = 12;

// The shared-memory object carries this prefix before the channel name, so
// that the engine can recognise its own blocks when it sweeps /dev/shm.
inline constexpr std::string_view kObjectPrefix = "vidmill-chan-";

inline bool isChannelName(std::string_view name) {
    if (name.size() != kNameLength) {
        return false;
    }
    for (char c : name) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

// The name for shm_open: "/" + prefix + channel name.
inline std::string objectName(std::string_view channelName) {
    std::string name = "/";
    name += kObjectPrefix;
    name += channelName;
    return name;
}

inline bool isSlotIndex(int index) {
    return index >= 0 && index < kSlotCount;
}

inline std::size_t slotOffset(int index) {
    return kSlotSize * static_cast<std::size_t>(index);
}

// Field accessors on the mapped block. `block` is the start of the mapping.

// The engine stores the in-use byte with release and loads it with acquire
// order, so that a slot's cleared fields are visible before it shows as free.
inline std::uint8_t loadByte(const std::byte* block, std::size_t offset,
                             int order = __ATOMIC_RELAXED) {
    return __atomic_load_n(reinterpret_cast<const std::uint8_t*>(block + offset), order);
}

inline void storeByte(std::byte* block, std::size_t offset, std::uint8_t value,
                      int order = __ATOMIC_RELAXED) {
    __atomic_store_n(reinterpret_cast<std::uint8_t*>(block + offset), value, order);
}

inline std::uint64_t toLittleEndian(std::uint64_t value) {
    if constexpr (std::endian::native == std::endian::big) {
        return __builtin_bswap64(value);
    } else {
        return value;
    }
}

inline std::uint64_t loadU64(const std::byte* block, std::size_t offset,
                             int order = __ATOMIC_RELAXED) {
    return toLittleEndian(
        __atomic_load_n(reinterpret_cast<const std::uint64_t*>(block + offset), order));
}

inline void storeU64(std::byte* block, std::size_t offset, std::uint64_t value,
                     int order = __ATOMIC_RELAXED) {
    __atomic_store_n(reinterpret_cast<std::uint64_t*>(block + offset), toLittleEndian(value),
                     order);
}

inline double loadDouble(const std::byte* block, std::size_t offset) {
    return std::bit_cast<double>(loadU64(block, offset));
}

inline void storeDouble(std::byte* block, std::size_t offset, double value) {
    storeU64(block, offset, std::bit_cast<std::uint64_t>(value));
}

}  // namespace vidmill::channel_layout
