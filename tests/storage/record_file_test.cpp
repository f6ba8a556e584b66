#include "storage/record_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <iterator>

#include "support/file_bytes.h"
#include "support/temp_dir.h"

namespace vidmill {
namespace {

long long sizeOnDisk(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? info.st_size : -1;
}

class RecordFileTest : public ::testing::Test {
  protected:
    TempDir dir;
    std::string path = dir.file("record.bin");
};

TEST_F(RecordFileTest, LargeWriteGoesOutInPiecesAndKeepsFewerThanABufferWaiting) {
    auto file = openRecordFile(path, true);
    ASSERT_TRUE(file);
    std::string data(20000, '\0');
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = char(i * 7);
    }
    EXPECT_EQ(file->writeBytes(data.data(), int(data.size())), 20000);
    // Pieces of 9998, 9998 and 4: two have reached the disk, four bytes wait.
    EXPECT_EQ(sizeOnDisk(path), 19996);
    EXPECT_EQ(file->tell(), 20000);
    EXPECT_TRUE(closeRecordFile(std::move(file)));
    EXPECT_EQ(fileBytes(path), data);
}

TEST_F(RecordFileTest, SmallWritesWaitUntilTheBufferWouldFill) {
    auto file = openRecordFileSized(path, true, 10);
    ASSERT_TRUE(file);
    file->writeBytes("abcdefgh", 8);  // one piece: 8 + 0 < 10
    EXPECT_EQ(sizeOnDisk(path), 0);
    file->writeBytes("ij", 2);  // 8 + 2 reaches the size: the 8 go out first
    EXPECT_EQ(sizeOnDisk(path), 8);
    file->flush();
    EXPECT_EQ(sizeOnDisk(path), 10);
    file.reset();
    EXPECT_EQ(fileBytes(path), "abcdefghij");
}

TEST_F(RecordFileTest, NumbersAndTextsHaveTheirExactBytes) {
    {
        auto file = openRecordFile(path, true);
        file->writeUInt16(0xBEEF);
        file->writeUInt32(0x01020304);
        EXPECT_EQ(file->writeText16("abc"), 1);
        EXPECT_EQ(file->writeText32("abc"), 1);
        EXPECT_EQ(file->writeRaw("SIG"), 3);
        EXPECT_EQ(file->writeText16(""), 1);
    }
    EXPECT_EQ(fileBytes(path), std::string("\xEF\xBE\x04\x03\x02\x01"
                                           "\x03\x00"
                                           "abc"
                                           "\x03\x00\x00\x00"
                                           "abc"
                                           "SIG"
                                           "\x00\x00",
                                           23));
    auto file = openRecordFile(path, false);
    uint16_t u16 = 0;
    uint32_t u32 = 0;
    EXPECT_EQ(file->readUInt16(u16), 2);
    EXPECT_EQ(file->readUInt32(u32), 4);
    EXPECT_EQ(u16, 0xBEEF);
    EXPECT_EQ(u32, 0x01020304u);
    EXPECT_EQ(file->readText16(262), "abc");
    EXPECT_EQ(file->readText32(262), "abc");
    EXPECT_EQ(file->readSignature("SIG"), 1);
    char text[10] = "junk";
    EXPECT_EQ(file->readText16Into(text, sizeof text), 1);
    EXPECT_STREQ(text, "");
    // At the end of the file: short reads leave values and refuse signatures.
    u16 = 77;
    EXPECT_EQ(file->readUInt16(u16), 0);
    EXPECT_EQ(u16, 77);
    EXPECT_EQ(file->readSignature("X"), 0);
}

TEST_F(RecordFileTest, Text16IntoAcceptsCapacityMinusTwoAndRefusesLongerButSkipsIt) {
    {
        auto file = openRecordFile(path, true);
        file->writeText16(std::string(260, 'a'));
        file->writeText16(std::string(261, 'b'));
        file->writeUInt16(4242);
        file->writeText16(std::string(48, 'c'));
        file->writeText16(std::string(49, 'd'));
        file->writeUInt16(4343);
    }
    auto file = openRecordFile(path, false);
    char path262[262];
    EXPECT_EQ(file->readText16Into(path262, 262), 1);
    EXPECT_EQ(std::string(path262), std::string(260, 'a'));
    EXPECT_EQ(file->readText16Into(path262, 262), 0);
    EXPECT_STREQ(path262, "");
    uint16_t marker = 0;
    file->readUInt16(marker);
    EXPECT_EQ(marker, 4242);  // the refused text's bytes were skipped

    char codec[50];
    EXPECT_EQ(file->readText16Into(codec, 50), 1);
    EXPECT_EQ(std::strlen(codec), 48u);
    EXPECT_EQ(file->readText16Into(codec, 50), 0);
    file->readUInt16(marker);
    EXPECT_EQ(marker, 4343);
}

TEST_F(RecordFileTest, LongTextsAreCutToTheCapacityAndTheFollowingFieldsStayReadable) {
    {
        auto file = openRecordFile(path, true);
        file->writeText32(std::string(300, 'x'));
        file->writeUInt32(99);
        file->writeText16(std::string(300, 'y'));
        file->writeUInt32(98);
    }
    auto file = openRecordFile(path, false);
    EXPECT_EQ(file->readText32(258), std::string(257, 'x'));
    uint32_t marker = 0;
    file->readUInt32(marker);
    EXPECT_EQ(marker, 99u);
    EXPECT_EQ(file->readText16(258), std::string(257, 'y'));
    file->readUInt32(marker);
    EXPECT_EQ(marker, 98u);
}

TEST_F(RecordFileTest, HostileLengthsGiveEmptyTextsWithoutHugeAllocations) {
    // A 16-bit length of 0xFFFF (negative as a signed number), a 32-bit length
    // of 4 GiB - 1 over a short file, and a length cut off by the end.
    writeBytes(path, std::string("\xFF\xFF"
                                 "abc",
                                 5));
    {
        auto file = openRecordFile(path, false);
        char buffer[262] = "junk";
        EXPECT_EQ(file->readText16Into(buffer, 262), 0);
        EXPECT_STREQ(buffer, "");
    }
    {
        auto file = openRecordFile(path, false);
        EXPECT_EQ(file->readText16(1 << 30), "");
    }
    writeBytes(path, std::string("\xFF\xFF\xFF\xFF"
                                 "abcdef",
                                 10));
    {
        auto file = openRecordFile(path, false);
        EXPECT_EQ(file->readText32(100), "abcdef");  // what the file holds, no more
    }
    writeBytes(path, std::string("\x05", 1));
    {
        auto file = openRecordFile(path, false);
        EXPECT_EQ(file->readText32(100), "");
    }
    {
        auto file = openRecordFile(path, false);
        char buffer[10] = "junk";
        EXPECT_EQ(file->readText16Into(buffer, 10), 0);
        EXPECT_STREQ(buffer, "");
    }
}

TEST_F(RecordFileTest, TruncatedTextKeepsWhatCameAndReportsIt) {
    writeBytes(path, std::string("\x0A\x00"
                                 "abc",
                                 5));
    auto file = openRecordFile(path, false);
    char buffer[262];
    EXPECT_EQ(file->readText16Into(buffer, 262), 0);
    EXPECT_STREQ(buffer, "abc");
}

TEST_F(RecordFileTest, TellAndSeekRereadTheSameBytes) {
    {
        auto file = openRecordFileSized(path, true, 16);
        for (uint32_t i = 0; i < 100; ++i) {
            file->writeUInt32(i);
        }
        EXPECT_EQ(file->tell(), 400);
        EXPECT_EQ(file->seek(8), 8);
        file->writeUInt32(1000);  // overwrite the third number
    }
    auto file = openRecordFileSized(path, false, 16);
    uint32_t value = 0;
    file->readUInt32(value);
    file->readUInt32(value);
    int64_t mark = file->tell();
    EXPECT_EQ(mark, 8);
    file->readUInt32(value);
    EXPECT_EQ(value, 1000u);
    for (int i = 0; i < 20; ++i) {
        file->readUInt32(value);
    }
    EXPECT_EQ(file->seek(mark), mark);
    file->readUInt32(value);
    EXPECT_EQ(value, 1000u);
    file->readUInt32(value);
    EXPECT_EQ(value, 3u);
    EXPECT_EQ(file->tell(), 16);
}

TEST_F(RecordFileTest, SignatureMismatchConsumesTheBytes) {
    writeBytes(path, "VIDMILL-HISTORYrest");
    auto file = openRecordFile(path, false);
    int64_t start = file->tell();
    EXPECT_EQ(file->readSignature("VIDMILL-SETTING"), 0);
    EXPECT_EQ(file->tell(), 15);
    file->seek(start);
    EXPECT_EQ(file->readSignature("vidmill-history"), 0);  // letter case matters
    file->seek(start);
    EXPECT_EQ(file->readSignature("VIDMILL-HISTORY"), 1);
}

TEST_F(RecordFileTest, ReadsLargerThanTheBufferComeInPieces) {
    std::string data(25000, 'q');
    data[24999] = 'z';
    writeBytes(path, data);
    auto file = openRecordFileSized(path, false, 100);
    std::string got(30000, '\0');
    EXPECT_EQ(file->readBytes(got.data(), 30000), 25000);
    EXPECT_EQ(got.substr(0, 25000), data);
}

TEST_F(RecordFileTest, UnopenableFilesGiveNoRecordFile) {
    EXPECT_FALSE(openRecordFile(dir.file("missing.bin"), false));
    EXPECT_FALSE(openRecordFile(dir.file("no/such/folder/x.bin"), true));
    EXPECT_FALSE(openRecordFile(dir.path(), false));
    EXPECT_FALSE(openRecordFile(dir.path(), true));
    EXPECT_TRUE(closeRecordFile(nullptr));
}

TEST_F(RecordFileTest, DescriptorIsNotInheritedByPrograms) {
    auto file = openRecordFile(path, true);
    bool foundCloseOnExec = false;
    for (int fd = 3; fd < 256; ++fd) {
        int flags = fcntl(fd, F_GETFD);
        char link[64];
        char target[4096];
        snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        ssize_t n = readlink(link, target, sizeof target - 1);
        if (flags >= 0 && n > 0 && std::string(target, size_t(n)) == path) {
            foundCloseOnExec = (flags & FD_CLOEXEC) != 0;
        }
    }
    EXPECT_TRUE(foundCloseOnExec);
}

TEST_F(RecordFileTest, FailedWritesAreReportedWhenAsked) {
    // /dev/full accepts the open and fails every write.
    auto file = openRecordFile("/dev/full", true);
    ASSERT_TRUE(file);
    EXPECT_EQ(file->writeUInt32(7), 4);  // still accepted into the buffer
    EXPECT_FALSE(file->writeFailed());
    EXPECT_FALSE(file->sync());
    EXPECT_TRUE(file->writeFailed());
    EXPECT_FALSE(file->close());
}

TEST_F(RecordFileTest, OverlongText16IsCutSoTheFileStaysReadable) {
    {
        auto file = openRecordFile(path, true);
        EXPECT_EQ(file->writeText16(std::string(70000, 'x')), 0);
        file->writeUInt16(515);
    }
    auto file = openRecordFile(path, false);
    EXPECT_EQ(file->readText16(40000).size(), size_t(kMaxText16Length));
    uint16_t marker = 0;
    file->readUInt16(marker);
    EXPECT_EQ(marker, 515);
}

}  // namespace
}  // namespace vidmill
