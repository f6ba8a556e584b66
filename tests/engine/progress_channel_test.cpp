#include "engine/progress_channel.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "engine/channel_layout.h"
#include "engine/slot_writer.h"

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

// A seed of this test process's own, so that test programs running side by
// side do not compete for the same names.
std::uint32_t ownSeed() {
    return 0x9e3779b9u * static_cast<std::uint32_t>(getpid());
}

class ProgressChannelTest : public ::testing::Test {
  protected:
    void SetUp() override {
        channel.openChannelSeeded(ownSeed());
        ASSERT_TRUE(channel.isOpen());
    }
    ProgressChannel channel;
};

TEST(ChannelNameGeneratorTest, NamesFollowTheGeneratorForFixedSeeds) {
    // Worked out by hand from the two multiply-with-carry states.
    const struct {
        std::uint32_t seed;
        const char* first;
        const char* second;
    } cases[] = {
        {129752, "964126165705", "394860588774"},
        {1, "793914927987", "191778360652"},
        {1700000000, "310728709597", "967721354954"},
        {0xFFFFFFFFu, "602930017728", "049636443582"},
        {0x83073291u + 5, "350068264454", "322852583330"},  // B starts below A
    };
    for (const auto& c : cases) {
        ChannelNameGenerator generator(c.seed);
        EXPECT_EQ(generator.nextName(), c.first) << c.seed;
        EXPECT_EQ(generator.nextName(), c.second) << c.seed;
    }
    EXPECT_EQ(ChannelNameGenerator::seedFromTime(0), 129752u);
    EXPECT_EQ(ChannelNameGenerator::seedFromTime(1700000000), 1700000000u);
}

TEST(ProgressChannelOpenTest, CreatesAPrivateBlockOfTheExactSizeAndRemovesItOnClose) {
    std::string name;
    {
        ProgressChannel channel;
        channel.openChannelSeeded(ownSeed());
        ASSERT_TRUE(channel.isOpen());
        name = channel.channelName();
        EXPECT_EQ(name, ChannelNameGenerator(ownSeed()).nextName());

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

        channel.openChannelSeeded(ownSeed());
        name = channel.channelName();
        EXPECT_TRUE(blockExists(name));
    }
    EXPECT_FALSE(blockExists(name)) << "the destructor closes the channel";
}

TEST(ProgressChannelOpenTest, TwoChannelsFromTheSameSecondGetDifferentNames) {
    ProgressChannel first;
    ProgressChannel second;
    first.openChannelSeeded(ownSeed());
    second.openChannelSeeded(ownSeed());
    ASSERT_TRUE(first.isOpen());
    ASSERT_TRUE(second.isOpen());
    ChannelNameGenerator generator(ownSeed());
    EXPECT_EQ(first.channelName(), generator.nextName());
    EXPECT_EQ(second.channelName(), generator.nextName());

    // The second one must not have cleared the first one's slots.
    const int slot = first.allocateSlot();
    SlotWriter::attach(first.channelName(), slot).writePercent(30);
    ProgressChannel third;
    third.openChannelSeeded(ownSeed());
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
    own.openChannelSeeded(ownSeed());
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
    const std::string base = std::to_string(100000000 + getpid() % 100000000);
    const std::string deadCreator = "001" + base.substr(0, 9);
    const std::string liveCreator = "002" + base.substr(0, 9);
    const std::string reusedPid = "003" + base.substr(0, 9);
    const std::string beingMade = "004" + base.substr(0, 9);
    makeBlock(deadCreator, true, static_cast<std::uint64_t>(child), 0);
    makeBlock(liveCreator, true, static_cast<std::uint64_t>(getpid()), ownStart);
    makeBlock(reusedPid, true, static_cast<std::uint64_t>(getpid()), ownStart + 1);
    makeBlock(beingMade, false, 0, 0);

    ProgressChannel channel;
    channel.openChannelSeeded(ownSeed());
    EXPECT_FALSE(blockExists(deadCreator));
    EXPECT_TRUE(blockExists(liveCreator));
    EXPECT_FALSE(blockExists(reusedPid));
    EXPECT_TRUE(blockExists(beingMade)) << "a block still being made is left alone";
    EXPECT_TRUE(blockExists(channel.channelName()));

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

    channel.resetSlots();
    EXPECT_EQ(channel.allocateSlot(), slot) << "allocation starts again at 0";
    double percent = 0;
    channel.readProgress(slot, percent);
    EXPECT_EQ(percent, 55) << "allocation leaves the fields as they are";

    channel.releaseSlot(slot);
    for (int offset = 0; offset < 48; ++offset) {
        if ((offset > 0 && offset < 8) || (offset > 16 && offset < 24)) {
            continue;  // reserved
        }
        EXPECT_EQ(raw.bytes()[48 * slot + offset], 0) << "offset " << offset;
    }
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
    SlotWriter writers[] = {SlotWriter::attach(name, -1),
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
}

}  // namespace
}  // namespace vidmill
