#include "process/progress_channel.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "process/channel_layout.h"
#include "process/slot_writer.h"

namespace vidmill {
namespace {

// The block as another process sees it, mapped by name and read byte by byte
// at the documented offsets.
class RawBlock {
  public:
    explicit RawBlock(const std::string& channelName) {
        const std::string name = "/vidmill-chan-" + channelName;
        const int fd = shm_open(name.c_str(), O_RDWR, 0);
        if (fd >= 0) {
            void* p = mmap(nullptr, 48100, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
            close(fd);
            bytes_ = p == MAP_FAILED ? nullptr : static_cast<unsigned char*>(p);
        }
    }
    RawBlock(const RawBlock&) = delete;
    RawBlock& operator=(const RawBlock&) = delete;
    ~RawBlock() {
        if (bytes_ != nullptr) {
            munmap(bytes_, 48100);
        }
    }
    bool valid() const { return bytes_ != nullptr; }
    unsigned char* bytes() { return bytes_; }
    void putDouble(std::size_t offset, double value) {
        const auto bits = std::bit_cast<std::uint64_t>(value);
        for (int i = 0; i < 8; ++i) {
            bytes_[offset + i] = static_cast<unsigned char>(bits >> (8 * i));
        }
    }
    double getDouble(std::size_t offset) const {
        std::uint64_t bits = 0;
        for (int i = 0; i < 8; ++i) {
            bits |= std::uint64_t{bytes_[offset + i]} << (8 * i);
        }
        return std::bit_cast<double>(bits);
    }
    std::uint64_t getU64(std::size_t offset) const {
        return std::bit_cast<std::uint64_t>(getDouble(offset));
    }

  private:
    unsigned char* bytes_ = nullptr;
};

bool blockExists(const std::string& channelName) {
    struct stat info {};
    return stat(("/dev/shm/vidmill-chan-" + channelName).c_str(), &info) == 0;
}

// Names of this test process's own, so that test programs running side by
// side do not meet.
std::string ownName(int kind) {
    const std::string base = std::to_string(100000000 + getpid() % 100000000);
    return "00" + std::to_string(kind) + base.substr(0, 9);
}

// Runs `work` in a child process; false when it did not end within the limit
// (it is killed then) or ended otherwise than with status 0. A test of
// something that could hang fails this way instead of hanging.
bool endsWell(const std::function<bool()>& work) {
    std::fflush(nullptr);  // or the child would write our buffered output again
    const pid_t child = fork();
    if (child == 0) {
        _exit(work() ? 0 : 1);
    }
    if (child < 0) {
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    int status = 0;
    while (waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

class ProgressChannelTest : public ::testing::Test {
  protected:
    void SetUp() override {
        channel.openChannel();
        ASSERT_TRUE(channel.isOpen());
    }
    ProgressChannel channel;
};

TEST(ProgressChannelOpenTest, CreatesAPrivateBlockOfTheExactSizeAndRemovesItOnClose) {
    std::string name;
    {
        ProgressChannel channel;
        channel.openChannel();
        ASSERT_TRUE(channel.isOpen());
        EXPECT_EQ(channel.openError(), 0);
        name = channel.channelName();
        EXPECT_TRUE(channel_layout::isChannelName(name)) << name;

        struct stat info {};
        ASSERT_EQ(stat(("/dev/shm/vidmill-chan-" + name).c_str(), &info), 0);
        EXPECT_EQ(info.st_size, 48100);
        EXPECT_EQ(info.st_mode & 0777, 0600u);

        RawBlock raw(name);
        ASSERT_TRUE(raw.valid());
        EXPECT_EQ(raw.getU64(48008), static_cast<std::uint64_t>(getpid()));

        channel.closeChannel();
        EXPECT_FALSE(channel.isOpen());
        EXPECT_FALSE(blockExists(name));

        channel.openChannel();
        EXPECT_NE(channel.channelName(), name) << "a fresh name each time";
        name = channel.channelName();
        EXPECT_TRUE(blockExists(name));
    }
    EXPECT_FALSE(blockExists(name)) << "the destructor closes the channel";
}

TEST(ProgressChannelOpenTest, AFullSharedMemoryFolderLeavesTheChannelClosedAndUsAlive) {
    // A private /dev/shm too small for the block, in a mount namespace of a
    // child's own; anyone can fill the real one.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", "/dev/shm", "tmpfs", 0, "size=16k") != 0) {
            _exit(77);
        }
        ProgressChannel channel;
        channel.openChannel();
        _exit(!channel.isOpen() && channel.openError() == ENOSPC ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77) {
        GTEST_SKIP() << "no mount namespace here (it needs root)";
    }
    ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(ProgressChannelOpenTest, NamesTakenByAnythingArePassedOverWithoutWaiting) {
    namespace layout = channel_layout;
    // Anyone may make files under the names: a FIFO, which an opening for
    // reading would wait on for ever, and a file of the block's size.
    const std::string fifo = ownName(5);
    const std::string plain = ownName(6);
    const std::string free = ownName(7);
    const std::string fifoPath = "/dev/shm" + layout::objectName(fifo);
    const std::string plainPath = "/dev/shm" + layout::objectName(plain);
    ASSERT_EQ(mkfifo(fifoPath.c_str(), 0666), 0);
    const int fd = open(plainPath.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 48100), 0);
    close(fd);

    EXPECT_TRUE(endsWell([&] {
        std::vector<std::string> names = {fifo, plain, free};
        std::size_t next = 0;
        ProgressChannel channel;
        channel.openChannelWith([&] { return names[next++]; });
        const bool opened = channel.isOpen() && channel.channelName() == free && next == 3;
        // Writers may meet the same things under a name.
        const bool writersIdle =
            !SlotWriter::attach(fifo, 0).active() && SlotWriter::attach(free, 0).active();
        return opened && writersIdle;
    })) << "the opening waited, or did not take the first free name";
    struct stat info {};
    EXPECT_EQ(lstat(fifoPath.c_str(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode)) << "what is not ours stays";
    EXPECT_EQ(lstat(plainPath.c_str(), &info), 0);
    EXPECT_FALSE(blockExists(free)) << "closed at the end";
    unlink(fifoPath.c_str());
    unlink(plainPath.c_str());

    // Names that are not channel names end the opening with a reason.
    ProgressChannel refused;
    refused.openChannelWith([] { return std::string("12345"); });
    EXPECT_FALSE(refused.isOpen());
    EXPECT_EQ(refused.openError(), EINVAL);

    // Two channels at once get two names; the second leaves the first alone.
    ProgressChannel first;
    ProgressChannel second;
    first.openChannel();
    second.openChannel();
    ASSERT_TRUE(first.isOpen());
    ASSERT_TRUE(second.isOpen());
    EXPECT_NE(first.channelName(), second.channelName());
    const int slot = first.allocateSlot();
    SlotWriter::attach(first.channelName(), slot).writePercent(30);
    ProgressChannel third;
    third.openChannel();
    double percent = 0;
    ASSERT_EQ(first.readProgress(slot, percent), 1);
    EXPECT_EQ(percent, 30);
}

TEST(ProgressChannelOpenTest, SweepsTheBlocksOfProcessesThatNoLongerRun) {
    namespace layout = channel_layout;
    const pid_t child = fork();
    if (child == 0) {
        _exit(0);
    }
    ASSERT_GT(child, 0);
    ASSERT_EQ(waitpid(child, nullptr, 0), child);

    // Our own start time, as the channel records it.
    ProgressChannel own;
    own.openChannel();
    ASSERT_TRUE(own.isOpen());
    const std::uint64_t ownStart = RawBlock(own.channelName()).getU64(48016);
    own.closeChannel();

    auto makeBlock = [](const std::string& name, bool withCreator, std::uint64_t pid,
                        std::uint64_t start) {
        const int fd = shm_open(layout::objectName(name).c_str(), O_CREAT | O_RDWR, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, 48100), 0);
        close(fd);
        if (withCreator) {
            RawBlock raw(name);
            raw.putDouble(48008, std::bit_cast<double>(pid));
            raw.putDouble(48016, std::bit_cast<double>(start));
            raw.putDouble(48000, std::bit_cast<double>(layout::kCreatorMagic));
        }
    };
    const std::string deadCreator = ownName(1);
    const std::string liveCreator = ownName(2);
    const std::string reusedPid = ownName(3);
    const std::string beingMade = ownName(4);
    makeBlock(deadCreator, true, static_cast<std::uint64_t>(child), 0);
    makeBlock(liveCreator, true, static_cast<std::uint64_t>(getpid()), ownStart);
    makeBlock(reusedPid, true, static_cast<std::uint64_t>(getpid()), ownStart + 1);
    makeBlock(beingMade, false, 0, 0);

    // What only looks like a stale block is never opened in a way that could
    // wait, nor removed: a FIFO, a link to a stale block, a stale block of
    // the wrong size and (when we may make one) of another user.
    const std::string fifo = ownName(5);
    const std::string link = ownName(6);
    const std::string wrongSize = ownName(7);
    const std::string foreign = ownName(8);
    const std::string target = ownName(9);
    auto path = [](const std::string& name) { return "/dev/shm" + layout::objectName(name); };
    ASSERT_EQ(mkfifo(path(fifo).c_str(), 0600), 0);
    makeBlock(target, true, static_cast<std::uint64_t>(child), 0);
    ASSERT_EQ(rename(path(target).c_str(), (path(target) + ".away").c_str()), 0);
    ASSERT_EQ(symlink((path(target) + ".away").c_str(), path(link).c_str()), 0);
    makeBlock(wrongSize, true, static_cast<std::uint64_t>(child), 0);
    ASSERT_EQ(truncate(path(wrongSize).c_str(), 48101), 0);
    const bool privileged = geteuid() == 0;
    if (privileged) {
        makeBlock(foreign, true, static_cast<std::uint64_t>(child), 0);
        ASSERT_EQ(chown(path(foreign).c_str(), 65534, 65534), 0);
    }

    EXPECT_TRUE(endsWell([] {
        ProgressChannel channel;
        channel.openChannel();
        const bool opened = channel.isOpen() && blockExists(channel.channelName());
        channel.closeChannel();
        return opened;
    })) << "the sweep waited";
    EXPECT_FALSE(blockExists(deadCreator));
    EXPECT_TRUE(blockExists(liveCreator));
    EXPECT_FALSE(blockExists(reusedPid));
    EXPECT_TRUE(blockExists(beingMade)) << "a block still being made is left alone";
    for (const std::string& name : {fifo, link, wrongSize}) {
        struct stat info {};
        EXPECT_EQ(lstat(path(name).c_str(), &info), 0) << name;
        unlink(path(name).c_str());
    }
    EXPECT_TRUE(blockExists(target + ".away")) << "nothing is removed through a link";
    unlink((path(target) + ".away").c_str());
    if (privileged) {
        EXPECT_TRUE(blockExists(foreign)) << "another user's block stays";
        unlink(path(foreign).c_str());
    }
    shm_unlink(layout::objectName(liveCreator).c_str());
    shm_unlink(layout::objectName(beingMade).c_str());
}

TEST_F(ProgressChannelTest, AllocatesInOrderAndReusesReleasedSlots) {
    EXPECT_EQ(channel.allocateSlot(), 0);
    EXPECT_EQ(channel.allocateSlot(), 1);
    EXPECT_EQ(channel.allocateSlot(), 2);
    channel.releaseSlot(1);
    EXPECT_EQ(channel.allocateSlot(), 1);
    EXPECT_EQ(channel.allocateSlot(), 3);
    EXPECT_EQ(channel.highWater(), 4);

    RawBlock raw(channel.channelName());
    ASSERT_TRUE(raw.valid());
    EXPECT_EQ(raw.bytes()[48 * 3], 1) << "in-use byte of slot 3";
    EXPECT_EQ(raw.bytes()[48 * 4], 0);
}

TEST_F(ProgressChannelTest, ReleaseClearsTheSlotButAllocationDoesNot) {
    const int slot = channel.allocateSlot();
    RawBlock raw(channel.channelName());
    ASSERT_TRUE(raw.valid());
    raw.putDouble(48 * slot + 8, 55);
    raw.putDouble(48 * slot + 24, 7000);
    raw.putDouble(48 * slot + 40, 99);
    channel.requestStop(slot);
    EXPECT_EQ(raw.bytes()[48 * slot + 16], 1);

    // A reset while the slot is held (a probe still runs as a batch ends)
    // neither hands it out again nor clears it.
    channel.resetSlots();
    EXPECT_EQ(channel.allocateSlot(), slot + 1);
    double percent = 0;
    channel.readProgress(slot, percent);
    EXPECT_EQ(percent, 55);
    channel.releaseSlot(slot + 1);

    channel.releaseSlot(slot);
    for (int offset = 0; offset < 48; ++offset) {
        if ((offset > 0 && offset < 8) || (offset > 16 && offset < 24)) {
            continue;  // reserved
        }
        EXPECT_EQ(raw.bytes()[48 * slot + offset], 0) << "offset " << offset;
    }
}

TEST_F(ProgressChannelTest, ThreadsTakingSlotsAtOnceNeverShareOne) {
    // Probes beside the workers of a batch, and a batch that ends meanwhile.
    constexpr int kThreads = 8;
    std::vector<std::atomic<int>> holders(1000);
    std::atomic<int> shared{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            while (!go) {
                std::this_thread::yield();
            }
            for (int i = 0; i < 3000; ++i) {
                const int slot = channel.allocateSlot();
                ASSERT_GE(slot, 0);
                if (holders[std::size_t(slot)].fetch_add(1) != 0) {
                    ++shared;
                }
                if (t == 0 && i % 3 == 0) {
                    channel.resetSlots();
                }
                std::this_thread::yield();  // held a while, as a probe holds it
                holders[std::size_t(slot)].fetch_sub(1);
                channel.releaseSlot(slot);
            }
        });
    }
    go = true;
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(shared.load(), 0);
}

TEST_F(ProgressChannelTest, HandsOutAtMost999SlotsAndNeverTheLast) {
    for (int i = 0; i < 999; ++i) {
        ASSERT_EQ(channel.allocateSlot(), i);
    }
    EXPECT_EQ(channel.allocateSlot(), -1);
    EXPECT_EQ(channel.highWater(), 999);
    channel.releaseSlot(500);
    EXPECT_EQ(channel.allocateSlot(), 500);
    EXPECT_EQ(channel.allocateSlot(), -1);

    double average = -1;
    EXPECT_EQ(channel.readOverall(average), 999);
    EXPECT_EQ(average, 0);
}

TEST_F(ProgressChannelTest, ReadingsAreClampedAndScaledWithoutChangingTheBlock) {
    const int slot = channel.allocateSlot();
    RawBlock raw(channel.channelName());
    ASSERT_TRUE(raw.valid());
    const std::size_t percentAt = 48 * slot + 8;
    const std::size_t amountAt = 48 * slot + 24;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();

    const struct {
        double stored;
        double read;
    } percents[] = {{150, 100}, {-3, 0}, {nan, 0}, {42.5, 42.5}, {inf, 100}, {-inf, 0}};
    for (const auto& p : percents) {
        raw.putDouble(percentAt, p.stored);
        double percent = -1;
        ASSERT_EQ(channel.readProgress(slot, percent), 1);
        EXPECT_EQ(percent, p.read) << p.stored;
    }
    raw.putDouble(percentAt, 150);
    double percent = 0;
    channel.readProgress(slot, percent);
    EXPECT_EQ(raw.getDouble(percentAt), 150) << "the stored value stays";

    const struct {
        double stored;
        std::int64_t read;
    } amounts[] = {{5000, 4},
                   {1023.9, 0},
                   {-5000, -4},
                   {nan, 0},
                   {1e300, std::numeric_limits<std::int64_t>::max()},
                   {-inf, std::numeric_limits<std::int64_t>::min()}};
    for (const auto& a : amounts) {
        raw.putDouble(amountAt, a.stored);
        std::int64_t amount = -99;
        ASSERT_EQ(channel.readProgress(slot, percent, &amount), 1);
        EXPECT_EQ(amount, a.read) << a.stored;
    }

    raw.putDouble(48 * slot + 40, -7.25);
    double seconds = 0;
    ASSERT_EQ(channel.readDuration(slot, seconds), 1);
    EXPECT_EQ(seconds, -7.25) << "the duration is given as stored";
}

TEST_F(ProgressChannelTest, OverallProgressAveragesTheSlotsInUse) {
    double average = -1;
    EXPECT_EQ(channel.readOverall(average), 0);
    EXPECT_EQ(average, 0);

    const int a = channel.allocateSlot();
    const int b = channel.allocateSlot();
    const int c = channel.allocateSlot();
    SlotWriter::attach(channel.channelName(), a).writePercent(20);
    SlotWriter::attach(channel.channelName(), b).writePercent(60);
    SlotWriter::attach(channel.channelName(), c).writePercent(90);
    channel.releaseSlot(c);
    EXPECT_EQ(channel.readOverall(average), 2);
    EXPECT_EQ(average, 40);

    SlotWriter::attach(channel.channelName(), b).writePercent(500);  // counts as 100
    EXPECT_EQ(channel.readOverall(average), 2);
    EXPECT_EQ(average, 60);
}

TEST_F(ProgressChannelTest, NoSlotAndOutOfRangeSlotsDoNothing) {
    const int slot = channel.allocateSlot();
    RawBlock raw(channel.channelName());
    ASSERT_TRUE(raw.valid());
    unsigned char before[48100];
    std::memcpy(before, raw.bytes(), sizeof before);

    for (int index : {-1, -2, 1000, 1016, std::numeric_limits<int>::min()}) {
        channel.requestStop(index);
        channel.releaseSlot(index);
        double percent = 7;
        double seconds = 8;
        std::int64_t amount = 9;
        EXPECT_EQ(channel.readProgress(index, percent, &amount), 0);
        EXPECT_EQ(channel.readDuration(index, seconds), 0);
        EXPECT_EQ(percent, 7);
        EXPECT_EQ(seconds, 8);
        EXPECT_EQ(amount, 9);
    }
    EXPECT_EQ(std::memcmp(before, raw.bytes(), sizeof before), 0);
    EXPECT_EQ(raw.bytes()[48 * slot], 1);

    // Slot 999 is never handed out, but is a valid place to look.
    double seconds = 1;
    EXPECT_EQ(channel.readDuration(999, seconds), 1);
    EXPECT_EQ(seconds, 0);
}

TEST(ProgressChannelAbsentTest, EveryOperationOfAnAbsentChannelDoesNothing) {
    ProgressChannel channel;
    EXPECT_FALSE(channel.isOpen());
    EXPECT_EQ(channel.channelName(), "");
    EXPECT_EQ(channel.allocateSlot(), -1);
    channel.releaseSlot(0);
    channel.requestStop(0);
    channel.resetSlots();
    double percent = 7;
    double average = 7;
    EXPECT_EQ(channel.readProgress(0, percent), 0);
    EXPECT_EQ(channel.readDuration(0, percent), 0);
    EXPECT_EQ(percent, 7);
    EXPECT_EQ(channel.readOverall(average), 0);
    EXPECT_EQ(average, 0);
    channel.closeChannel();
}

TEST_F(ProgressChannelTest, SlotWriterWritesItsOwnSlotInLittleEndian) {
    channel.allocateSlot();
    const int slot = channel.allocateSlot();
    SlotWriter writer = SlotWriter::attach(channel.channelName(), slot);
    ASSERT_TRUE(writer.active());
    writer.writePercent(12.5);
    writer.writeAmount(4096);
    writer.writeDuration(3600.75);

    RawBlock raw(channel.channelName());
    ASSERT_TRUE(raw.valid());
    const unsigned char* s = raw.bytes() + 48 * slot;
    // 12.5 is 0x4029000000000000: its lowest byte comes first.
    const unsigned char percentBytes[8] = {0, 0, 0, 0, 0, 0, 0x29, 0x40};
    EXPECT_EQ(std::memcmp(s + 8, percentBytes, 8), 0);
    EXPECT_EQ(raw.getDouble(48 * slot + 24), 4096);
    EXPECT_EQ(raw.getDouble(48 * slot + 40), 3600.75);
    EXPECT_EQ(raw.getDouble(8), 0) << "slot 0 untouched";

    double seconds = 0;
    std::int64_t amount = 0;
    double percent = 0;
    channel.readDuration(slot, seconds);
    channel.readProgress(slot, percent, &amount);
    EXPECT_EQ(seconds, 3600.75);
    EXPECT_EQ(percent, 12.5);
    EXPECT_EQ(amount, 4);
    EXPECT_EQ(channel.readPass(slot), 0);
    writer.writePass(2);
    EXPECT_EQ(channel.readPass(slot), 2);
    EXPECT_EQ(channel.readPass(slot - 1), 0);

    EXPECT_FALSE(writer.stopRequested());
    channel.requestStop(slot - 1);
    EXPECT_FALSE(writer.stopRequested());
    channel.requestStop(slot);
    EXPECT_TRUE(writer.stopRequested());
    EXPECT_EQ(s[16], 1);

    SlotWriter moved = std::move(writer);
    EXPECT_FALSE(writer.active());
    EXPECT_TRUE(moved.stopRequested());
}

TEST_F(ProgressChannelTest, SlotWriterStaysInactiveWhereItCannotAttach) {
    const std::string name = channel.channelName();
    const std::string missing = name == "000000000000" ? "000000000001" : "000000000000";
    // A block one byte too small would fault; one too big is not the engine's.
    std::vector<std::string> odd;
    for (off_t size : {48099, 48101}) {
        odd.push_back(ownName(size == 48099 ? 1 : 2));
        const std::string path = "/dev/shm/vidmill-chan-" + odd.back();
        const int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, size), 0);
        close(fd);
    }
    SlotWriter writers[] = {SlotWriter::attach(name, -1),
                            SlotWriter::attach(odd[0], 0),
                            SlotWriter::attach(odd[1], 0),
                            SlotWriter::attach(name, 1000),
                            SlotWriter::attach(name, -7),
                            SlotWriter::attach("12345", 0),
                            SlotWriter::attach("../../etc/xx", 0),
                            SlotWriter::attach(missing, 0),
                            SlotWriter()};
    for (SlotWriter& writer : writers) {
        EXPECT_FALSE(writer.active());
        writer.writePercent(50);
        writer.writeDuration(50);
        EXPECT_FALSE(writer.stopRequested());
    }
    double average = 0;
    EXPECT_EQ(channel.readOverall(average), 0);
    for (const std::string& other : odd) {
        unlink(("/dev/shm/vidmill-chan-" + other).c_str());
    }
}

}  // namespace
}  // namespace vidmill
