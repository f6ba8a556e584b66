#include "process/progress_channel.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>

#include "process/channel_layout.h"
#include "system/file_descriptor.h"

namespace vidmill {

namespace layout = channel_layout;

namespace {

// Random names meet a taken one about never; the bound only keeps a broken
// name source from spinning.
constexpr int kMaxNameAttempts = 64;
// A block without creator fields is either being created right now or was
// left half-made by a crash; only the latter is old.
constexpr time_t kHalfMadeAgeSeconds = 60;
constexpr const char* kShmFolder = "/dev/shm";

class ReadOnlyMapping {
  public:
    ReadOnlyMapping(int fd, std::size_t size) : size_(size) {
        void* p = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
        data_ = p == MAP_FAILED ? nullptr : static_cast<const std::byte*>(p);
    }
    ReadOnlyMapping(const ReadOnlyMapping&) = delete;
    ReadOnlyMapping& operator=(const ReadOnlyMapping&) = delete;
    ~ReadOnlyMapping() {
        if (data_ != nullptr) {
            munmap(const_cast<std::byte*>(data_), size_);
        }
    }
    const std::byte* data() const { return data_; }

  private:
    const std::byte* data_;
    std::size_t size_;
};

// Start time of a process in clock ticks after boot, 0 when unknown.
std::uint64_t processStartTime(pid_t pid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    FILE* file = std::fopen(path, "re");
    if (file == nullptr) {
        return 0;
    }
    char text[1024];
    const std::size_t length = std::fread(text, 1, sizeof text - 1, file);
    std::fclose(file);
    text[length] = '\0';
    // The command name in parentheses may itself hold blanks and parentheses.
    const char* p = std::strrchr(text, ')');
    if (p == nullptr) {
        return 0;
    }
    ++p;
    // The fields after the name start with field 3 (state); the start time is field 22.
    for (int field = 3; field < 22; ++field) {
        p = std::strchr(p + 1, ' ');
        if (p == nullptr) {
            return 0;
        }
    }
    return std::strtoull(p + 1, nullptr, 10);
}

std::uint64_t pidNamespaceInode() {
    struct stat info {};
    return stat("/proc/self/ns/pid", &info) == 0 ? static_cast<std::uint64_t>(info.st_ino) : 0;
}

bool creatorIsGone(const std::byte* block) {
    const std::uint64_t namespaceInode = layout::loadU64(block, layout::kCreatorNamespaceOffset);
    const std::uint64_t ours = pidNamespaceInode();
    if (namespaceInode != 0 && ours != 0 && namespaceInode != ours) {
        return false;  // a process id from another namespace tells us nothing
    }
    const auto pid = static_cast<std::int64_t>(layout::loadU64(block, layout::kCreatorPidOffset));
    if (pid <= 0 || pid > std::numeric_limits<pid_t>::max()) {
        return true;
    }
    if (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
        return true;
    }
    const std::uint64_t startTime = layout::loadU64(block, layout::kCreatorStartOffset);
    if (startTime == 0) {
        return false;
    }
    const std::uint64_t now = processStartTime(static_cast<pid_t>(pid));
    // The process id has been reused by another process.
    return now != 0 && now != startTime;
}

// `info` is that of a regular file of this user and of the block's size.
bool isStale(int fd, const struct stat& info) {
    ReadOnlyMapping mapping(fd, layout::kBlockSize);
    if (mapping.data() == nullptr) {
        return false;
    }
    if (layout::loadU64(mapping.data(), layout::kCreatorMagicOffset, __ATOMIC_ACQUIRE) ==
        layout::kCreatorMagic) {
        return creatorIsGone(mapping.data());
    }
    const time_t changed = info.st_ctime > info.st_mtime ? info.st_ctime : info.st_mtime;
    return time(nullptr) - changed > kHalfMadeAgeSeconds;
}

// Whether an entry of the shared-memory folder may be one of our blocks: only
// then is it opened, and never in a way that could wait (a FIFO) or follow a
// link somewhere else.
bool mayBeOurBlock(const struct stat& info) {
    return S_ISREG(info.st_mode) && info.st_uid == geteuid() &&
           info.st_size == static_cast<off_t>(layout::kBlockSize);
}

bool readRandom(void* buffer, std::size_t size) {
    auto* bytes = static_cast<unsigned char*>(buffer);
    while (size > 0) {
        const ssize_t got = getrandom(bytes, size, 0);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        bytes += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

}  // namespace

std::string ProgressChannel::randomName() {
    static_assert(layout::kNameLength == 12);
    constexpr std::uint64_t kNames = 1000000000000ull;
    // Values at or above the last whole multiple would favour the low names.
    constexpr std::uint64_t kLimit = UINT64_MAX - UINT64_MAX % kNames;
    std::uint64_t value = 0;
    do {
        if (!readRandom(&value, sizeof value)) {
            return {};
        }
    } while (value >= kLimit);
    char text[layout::kNameLength + 1];
    std::snprintf(text, sizeof text, "%012llu", static_cast<unsigned long long>(value % kNames));
    return text;
}

double clampPercent(double percent) {
    if (!(percent >= 0.0)) {
        return 0.0;
    }
    return percent > 100.0 ? 100.0 : percent;
}

void ProgressChannel::openChannel() {
    openChannelWith(randomName);
}

void ProgressChannel::openChannelWith(const std::function<std::string()>& nextName) {
    closeChannel();
    removeStaleBlocks();
    openError_ = EEXIST;
    for (int attempt = 0; attempt < kMaxNameAttempts; ++attempt) {
        errno = 0;
        const std::string name = nextName();
        if (!layout::isChannelName(name)) {
            openError_ = errno != 0 ? errno : EINVAL;
            return;
        }
        if (createBlock(name)) {
            openError_ = 0;
            break;
        }
        openError_ = errno;
        if (errno != EEXIST) {
            return;
        }
    }
    if (view_ == nullptr) {
        return;
    }
    highWater_.store(0, std::memory_order_relaxed);
    for (int i = 0; i < layout::kSlotCount; ++i) {
        clearSlot(i);
    }
}

// Creates, sizes and maps the block; leaves errno at EEXIST when the name is taken.
bool ProgressChannel::createBlock(const std::string& name) {
    const std::string objectName = layout::objectName(name);
    FileDescriptor fd(shm_open(objectName.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0600));
    if (fd.get() < 0) {
        return false;
    }
    void* mapping = MAP_FAILED;
    // fchmod: the mode must not depend on the umask, or the converter could not attach.
    // The pages are reserved now: on a full /dev/shm a block that was only
    // sized would kill us with SIGBUS at its first write, not fail here.
    if (fchmod(fd.get(), 0600) == 0 &&
        (errno = posix_fallocate(fd.get(), 0, static_cast<off_t>(layout::kBlockSize))) == 0) {
        mapping =
            mmap(nullptr, layout::kBlockSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
    }
    if (mapping == MAP_FAILED) {
        const int error = errno;
        shm_unlink(objectName.c_str());
        errno = error == EEXIST ? EIO : error;
        return false;
    }
    view_ = static_cast<std::byte*>(mapping);
    channelName_ = name;
    const pid_t self = getpid();
    layout::storeU64(view_, layout::kCreatorPidOffset, static_cast<std::uint64_t>(self));
    layout::storeU64(view_, layout::kCreatorStartOffset, processStartTime(self));
    layout::storeU64(view_, layout::kCreatorNamespaceOffset, pidNamespaceInode());
    layout::storeU64(view_, layout::kCreatorMagicOffset, layout::kCreatorMagic, __ATOMIC_RELEASE);
    return true;
}

void ProgressChannel::closeChannel() {
    if (view_ != nullptr) {
        munmap(view_, layout::kBlockSize);
        view_ = nullptr;
        shm_unlink(layout::objectName(channelName_).c_str());
    }
    channelName_.clear();
    highWater_.store(0, std::memory_order_relaxed);
}

void ProgressChannel::unlinkChannel() {
    if (view_ != nullptr && !channelName_.empty()) {
        shm_unlink(layout::objectName(channelName_).c_str());
    }
}

int ProgressChannel::removeStaleBlocks() {
    DIR* folder = opendir(kShmFolder);
    if (folder == nullptr) {
        return 0;
    }
    const int folderFd = dirfd(folder);
    int removed = 0;
    while (const dirent* item = readdir(folder)) {
        const std::string_view fileName = item->d_name;
        if (fileName.substr(0, layout::kObjectPrefix.size()) != layout::kObjectPrefix ||
            !layout::isChannelName(fileName.substr(layout::kObjectPrefix.size()))) {
            continue;
        }
        // Anyone may put anything under such a name: look before opening, and
        // open so that neither a FIFO nor a link can hold or mislead us.
        struct stat seen {};
        if (fstatat(folderFd, item->d_name, &seen, AT_SYMLINK_NOFOLLOW) != 0 ||
            !mayBeOurBlock(seen)) {
            continue;
        }
        FileDescriptor fd(
            openat(folderFd, item->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        struct stat info {};
        if (fd.get() < 0 || fstat(fd.get(), &info) != 0 || !mayBeOurBlock(info) ||
            !isStale(fd.get(), info)) {
            continue;
        }
        // Make sure the name still refers to the block we judged: another
        // instance may have removed it and created a new one meanwhile.
        struct stat current {};
        if (fstatat(folderFd, item->d_name, &current, AT_SYMLINK_NOFOLLOW) == 0 &&
            current.st_ino == info.st_ino && current.st_dev == info.st_dev &&
            unlinkat(folderFd, item->d_name, 0) == 0) {
            ++removed;
        }
    }
    closedir(folder);
    return removed;
}

bool ProgressChannel::validSlot(int index) const {
    return view_ != nullptr && layout::isSlotIndex(index);
}

void ProgressChannel::clearSlot(int index) {
    const std::size_t slot = layout::slotOffset(index);
    layout::storeU64(view_, slot + layout::kPercentOffset, 0);
    layout::storeByte(view_, slot + layout::kStopOffset, 0);
    layout::storeU64(view_, slot + layout::kAmountOffset, 0);
    layout::storeU64(view_, slot + layout::kPassOffset, 0);
    layout::storeU64(view_, slot + layout::kDurationOffset, 0);
    layout::storeByte(view_, slot + layout::kInUseOffset, 0, __ATOMIC_RELEASE);
}

int ProgressChannel::allocateSlot() {
    if (view_ == nullptr) {
        return -1;
    }
    // A slot is taken by turning its in-use byte from 0 to 1 in one step,
    // on every path: two takers (probes of files being added beside the
    // workers of a batch) must never share a slot, or one reads the
    // other's duration, or the duration cleared by the other's release.
    for (;;) {
        const int high = highWater_.load(std::memory_order_acquire);
        for (int i = 0; i < high; ++i) {
            if (claimSlot(i)) {
                return i;
            }
        }
        // The last slot stays unused, as it always has.
        if (high + 1 >= layout::kSlotCount) {
            return -1;
        }
        int expected = high;
        highWater_.compare_exchange_strong(expected, high + 1, std::memory_order_acq_rel);
        // Whoever raised the mark, the slot below it may be free.
        if (claimSlot(high)) {
            return high;
        }
    }
}

bool ProgressChannel::claimSlot(int index) {
    auto* inUse =
        reinterpret_cast<std::uint8_t*>(view_ + layout::slotOffset(index) + layout::kInUseOffset);
    std::uint8_t expected = 0;
    return __atomic_compare_exchange_n(inUse, &expected, std::uint8_t(1), false, __ATOMIC_ACQUIRE,
                                       __ATOMIC_RELAXED);
}

void ProgressChannel::resetSlots() {
    if (view_ == nullptr) {
        return;
    }
    // Slots still held (a probe of files being added while a batch ends)
    // keep their holder and contents: the mark comes down only to just past
    // the last of them.
    int high = highWater_.load(std::memory_order_acquire);
    int lowered = high;
    while (lowered > 0 &&
           layout::loadByte(view_, layout::slotOffset(lowered - 1) + layout::kInUseOffset,
                            __ATOMIC_ACQUIRE) == 0) {
        --lowered;
    }
    // A slot taken meanwhile above the new mark is still found: taking
    // always goes through its in-use byte.
    highWater_.compare_exchange_strong(high, lowered, std::memory_order_acq_rel);
}

void ProgressChannel::releaseSlot(int index) {
    if (validSlot(index)) {
        clearSlot(index);
    }
}

void ProgressChannel::requestStop(int index) {
    if (validSlot(index)) {
        layout::storeByte(view_, layout::slotOffset(index) + layout::kStopOffset, 1);
    }
}

int ProgressChannel::readProgress(int index, double& percent, std::int64_t* scaledAmount) const {
    if (!validSlot(index)) {
        return 0;
    }
    const std::size_t slot = layout::slotOffset(index);
    percent = clampPercent(layout::loadDouble(view_, slot + layout::kPercentOffset));
    if (scaledAmount != nullptr) {
        const double units =
            std::trunc(layout::loadDouble(view_, slot + layout::kAmountOffset) * (1.0 / 1024.0));
        // A value that fits no integer (or is no number) must not reach the conversion.
        constexpr double kLimit = 9.2e18;
        if (std::isnan(units)) {
            *scaledAmount = 0;
        } else if (units >= kLimit || units <= -kLimit) {
            *scaledAmount = units > 0 ? std::numeric_limits<std::int64_t>::max()
                                      : std::numeric_limits<std::int64_t>::min();
        } else {
            *scaledAmount = static_cast<std::int64_t>(units);
        }
    }
    return 1;
}

int ProgressChannel::readOverall(double& average) const {
    average = 0.0;
    if (view_ == nullptr) {
        return 0;
    }
    const int high = highWater_.load(std::memory_order_relaxed);
    int count = 0;
    double sum = 0.0;
    for (int i = 0; i < high; ++i) {
        const std::size_t slot = layout::slotOffset(i);
        if (layout::loadByte(view_, slot + layout::kInUseOffset) == 1) {
            ++count;
            sum += clampPercent(layout::loadDouble(view_, slot + layout::kPercentOffset));
        }
    }
    if (count > 0) {
        average = sum / count;
    }
    return count;
}

int ProgressChannel::readDuration(int index, double& seconds) const {
    if (!validSlot(index)) {
        return 0;
    }
    seconds = layout::loadDouble(view_, layout::slotOffset(index) + layout::kDurationOffset);
    return 1;
}

int ProgressChannel::readPass(int index) const {
    if (!validSlot(index)) {
        return 0;
    }
    const std::uint64_t pass =
        layout::loadU64(view_, layout::slotOffset(index) + layout::kPassOffset);
    return pass <= 2 ? int(pass) : 0;
}

}  // namespace vidmill
