#include "converter/input/file_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "converter/convert_error.h"
#include "support/process_state.h"
#include "support/temp_dir.h"

namespace vidmill {
namespace {

using namespace std::chrono_literals;

int readSome(FileSource& source, std::string& into) {
    unsigned char buffer[64];
    const int count = avio_read(source.io(), buffer, sizeof buffer);
    if (count > 0) {
        into.append(reinterpret_cast<char*>(buffer), static_cast<std::size_t>(count));
    }
    return count;
}

TEST(FileSource, ReadsAndSeeksAFileWhateverItsName) {
    TempDir folder;
    const std::string path = folder.file("clip:1 \"q\".avi");
    {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, "0123456789", 10), 10);
        ::close(fd);
    }
    auto source = FileSource::open(path, nullptr);
    ASSERT_TRUE(source->seekable());
    EXPECT_EQ(avio_size(source->io()), 10);
    std::string text;
    EXPECT_EQ(readSome(*source, text), 10);
    EXPECT_EQ(text, "0123456789");
    EXPECT_EQ(avio_seek(source->io(), 4, SEEK_SET), 4);
    text.clear();
    readSome(*source, text);
    EXPECT_EQ(text, "456789");
}

TEST(FileSource, RefusesMissingFilesAndFolders) {
    TempDir folder;
    try {
        FileSource::open(folder.file("missing.avi"), nullptr);
        FAIL() << "a missing file was opened";
    } catch (const ConvertError& error) {
        EXPECT_EQ(error.exitCode(), exit_code::kInputFailed);
        EXPECT_NE(std::string(error.what()).find("No such file"), std::string::npos);
    }
    EXPECT_THROW(FileSource::open(folder.path(), nullptr), ConvertError);
}

class PipeSource : public ::testing::Test {
  protected:
    void SetUp() override {
        fifo_ = folder_.file("fifo");
        ASSERT_EQ(mkfifo(fifo_.c_str(), 0600), 0);
    }

    TempDir folder_;
    std::string fifo_;
};

TEST_F(PipeSource, WaitsForAWriterAndReadsToItsEnd) {
    auto source = FileSource::open(fifo_, nullptr, 60s);  // must not block without a writer
    EXPECT_FALSE(source->seekable());
    const pid_t reader = gettid();
    std::thread writer([this, reader] {
        // The writer comes once the read waits for it.
        EXPECT_TRUE(waitUntil([&] { return threadState(getpid(), reader) == 'S'; }, 60s));
        const int fd = ::open(fifo_.c_str(), O_WRONLY);
        ASSERT_EQ(::write(fd, "abc", 3), 3);
        ::close(fd);
    });
    std::string text;
    while (readSome(*source, text) > 0) {
    }
    writer.join();
    EXPECT_EQ(text, "abc");
    EXPECT_TRUE(avio_feof(source->io()));
    EXPECT_FALSE(source->stalled());
}

TEST_F(PipeSource, ASilentInputIsAnErrorAfterTheStallTimeout) {
    auto source = FileSource::open(fifo_, nullptr, 300ms);
    const int writer = ::open(fifo_.c_str(), O_WRONLY | O_NONBLOCK);  // connected, never writes
    ASSERT_GE(writer, 0);
    const auto start = std::chrono::steady_clock::now();
    std::string text;
    EXPECT_LT(readSome(*source, text), 0);
    EXPECT_TRUE(source->stalled());
    EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
    ::close(writer);
}

TEST_F(PipeSource, AStopRequestEndsAWaitingRead) {
    std::atomic<bool> stop{false};
    auto source = FileSource::open(
        fifo_, [&stop] { return stop.load(); }, 60s);
    const int writer = ::open(fifo_.c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(writer, 0);
    const pid_t reader = gettid();
    std::thread stopper([&stop, reader] {
        EXPECT_TRUE(waitUntil([&] { return threadState(getpid(), reader) == 'S'; }, 30s));
        stop = true;
    });
    const auto start = std::chrono::steady_clock::now();
    std::string text;
    EXPECT_EQ(readSome(*source, text), AVERROR_EXIT);
    stopper.join();
    EXPECT_TRUE(source->stopped());
    EXPECT_FALSE(source->stalled());
    // Well before the stall limit: the request ended the read.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 50s);
    ::close(writer);
}

}  // namespace
}  // namespace vidmill
