// The engine on paths that only loaded machines, odd file systems and
// failing disks take: stopping a selection, a deletion that fails within a
// removal, the sweep of leftovers at a batch's start, and publishing where
// no hard link can be made.

#include <fcntl.h>
#include <linux/fs.h>
#include <linux/loop.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include "support/engine_inspector.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/batch/part_file.h"
#include "engine/engine.h"
#include "engine/gui_call.h"
#include "support/engine_fixture.h"
#include "support/fake_converter.h"
#include "support/file_bytes.h"
#include "support/temp_dir.h"

extern char** environ;

namespace vidmill {
namespace {

using namespace std::chrono_literals;

class EnginePathsTest : public EngineFixture {
  protected:
    explicit EnginePathsTest(EngineTiming timing = fastTiming()) : EngineFixture(timing) {}

    // Also runs what the workers left for the interface thread once `done`.
    template <typename Predicate>
    bool drainUntil(Predicate done, std::chrono::milliseconds limit = 20s) {
        if (!EngineFixture::drainUntil(done, limit)) {
            return false;
        }
        gui.runPending();
        return true;
    }
};

TEST_F(EnginePathsTest, StoppingSeveralRowsStopsOnlyThoseInProgress) {
    addVideo("done.avi", "output 10");
    ASSERT_TRUE(runBatch());
    const std::string running = "output 10; percent 5; waitstop 20000; onstop 0";
    for (const char* name : {"a.avi", "b.avi", "c.avi", "d.avi"}) {
        addVideo(name, running);
    }
    inspect(engine).settings().maxConcurrent = 3;
    engine.startBatch();
    using S = EntryStatus;
    ASSERT_TRUE(drainUntil([&] {
        return status(1) == S::Converting && status(2) == S::Converting &&
               status(3) == S::Converting;
    }));
    EXPECT_EQ(status(4), S::Pending);

    // A finished entry, a running one, a waiting one, one given twice and
    // one that is no longer listed.
    std::vector<std::uint64_t> chosen = ids({0, 1, 4, 1});
    chosen.push_back(createEntry("/gone.avi")->id);
    EXPECT_EQ(engine.stopEntries(chosen), 2);
    ASSERT_TRUE(drainUntil([&] { return engine.finishedCount() == 2; }));
    EXPECT_EQ(status(0), S::Ok);
    EXPECT_TRUE(exists(inspect(engine).entryList().at(0)->outputPath));
    EXPECT_EQ(status(1), S::Cancelled);
    EXPECT_EQ(status(4), S::Cancelled);
    for (int row : {2, 3}) {
        EXPECT_EQ(status(row), S::Converting) << row;
        EXPECT_FALSE(inspect(engine).entryList().at(row)->cancelRequested.load()) << row;
    }

    EXPECT_EQ(engine.stopEntries(ids({2, 3})), 2);
    ASSERT_TRUE(drainUntil([&] { return engine.batchState() == BatchState::Idle; }));
    EXPECT_EQ(status(2), S::Cancelled);
    EXPECT_EQ(status(3), S::Cancelled);
    EXPECT_EQ(engine.finishedCount(), 4);
    EXPECT_EQ(filesIn(out), std::vector<std::string>{"done.mp4"});
}

// A converted file that cannot be deleted: made immutable when we may (as
// root, where a read-only folder stops nobody), otherwise in a folder that
// takes no changes. Undone at the end, so that the test's folder can go.
class UndeletableFile {
  public:
    explicit UndeletableFile(const std::string& path) : path_(path) {
        if (geteuid() != 0) {
            folder_ = path.substr(0, path.rfind('/'));
            ok_ = chmod(folder_.c_str(), 0555) == 0;
            error_ = EACCES;
            return;
        }
        const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        int flags = 0;
        if (fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
            flags |= FS_IMMUTABLE_FL;
            ok_ = ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        }
        if (fd >= 0) {
            close(fd);
        }
        error_ = EPERM;
    }
    ~UndeletableFile() {
        if (!ok_) {
            return;
        }
        if (!folder_.empty()) {
            chmod(folder_.c_str(), 0755);
            return;
        }
        const int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
        int flags = 0;
        if (fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
            flags &= ~FS_IMMUTABLE_FL;
            ioctl(fd, FS_IOC_SETFLAGS, &flags);
        }
        if (fd >= 0) {
            close(fd);
        }
    }
    bool ok() const { return ok_; }
    // What deleting it fails with.
    int error() const { return error_; }

  private:
    std::string path_;
    std::string folder_;
    bool ok_ = false;
    int error_ = 0;
};

TEST_F(EnginePathsTest, ADeletionThatFailsInARemovalKeepsItsEntryAndSaysWhy) {
    std::vector<std::string> paths;
    for (const char* name : {"a.avi", "b.avi", "c.avi"}) {
        paths.push_back(video(name, "probe: duration 1\nconvert: output 10"));
    }
    AdmitOptions options;
    options.outputSubfolders = {"", "kept", ""};
    ASSERT_EQ(engine.admitFiles(paths, options), 3);
    ASSERT_TRUE(runBatch());
    addVideo("ready.avi", "output 10");
    const std::string stuck = out + "/kept/b.mp4";
    ASSERT_EQ(inspect(engine).entryList().at(1)->outputPath, stuck);
    ASSERT_EQ(filesIn(out), (std::vector<std::string>{"a.mp4", "c.mp4", "kept"}));

    UndeletableFile guard(stuck);
    if (!guard.ok()) {
        GTEST_SKIP() << "no file here can be made undeletable (the file system takes no "
                        "immutable flag)";
    }
    const CommandOutcome outcome = engine.removeEntriesAt({0, 1, 2, 3}, true);
    EXPECT_EQ(outcome.removed, 3);
    EXPECT_EQ(
        outcome.failures,
        (std::vector<std::pair<std::string, std::string>>{{stuck, std::strerror(guard.error())}}));
    ASSERT_EQ(inspect(engine).entryList().count(), 1);
    EXPECT_EQ(inspect(engine).entryList().at(0)->name, "b");
    EXPECT_EQ(inspect(engine).entryList().at(0)->row, 0);
    EXPECT_EQ(status(0), EntryStatus::Ok);
    EXPECT_EQ(fileBytes(stuck).size(), 10u);
    EXPECT_EQ(filesIn(out), std::vector<std::string>{"kept"});
    EXPECT_TRUE(exists(dir.file("ready.avi"))) << "a source is never deleted";
}

class EngineSweepTest : public EnginePathsTest {
  protected:
    static constexpr std::chrono::seconds kAge{2};
    EngineSweepTest() : EnginePathsTest(shortAge()) {}
    static EngineTiming shortAge() {
        EngineTiming timing = fastTiming();
        timing.leftoverPartAge = kAge;
        return timing;
    }
};

std::time_t changedAt(const std::string& path) {
    struct stat info {};
    stat(path.c_str(), &info);
    return std::max(info.st_mtime, info.st_ctime);
}

TEST_F(EngineSweepTest, ABatchStartRemovesTheOldUnlockedPartsOfItsFolder) {
    const std::string old = partPathFor(out + "/old.mp4");
    leaveMarkedPart(old, "half");
    PartFile locked;
    ASSERT_EQ(locked.reserve(out + "/locked.mp4"), 0);
    // Both untouched for longer than the age the engine was given.
    const std::time_t made = std::max(changedAt(old), changedAt(locked.path()));
    const auto limit = std::chrono::steady_clock::now() + 20s;
    while (std::time(nullptr) <= made + kAge.count()) {
        ASSERT_LT(std::chrono::steady_clock::now(), limit);
        std::this_thread::sleep_for(20ms);
    }
    const std::string fresh = partPathFor(out + "/fresh.mp4");
    const std::time_t freshAt = std::time(nullptr);
    leaveMarkedPart(fresh, "new");
    addVideo("a.avi", "output 10");
    engine.startBatch();  // the sweep runs before any worker starts
    const std::time_t sweptAt = std::time(nullptr);
    ASSERT_TRUE(drainUntil([&] { return engine.batchState() == BatchState::Idle; }));

    EXPECT_FALSE(exists(old));
    EXPECT_TRUE(exists(locked.path())) << "held by a running conversion";
    EXPECT_TRUE(exists(out + "/a.mp4"));
    if (sweptAt - freshAt <= kAge.count()) {
        EXPECT_TRUE(exists(fresh)) << "changed just now";
    } else {
        std::printf(
            "not checked that a fresh part stays: the machine took %lld s to start "
            "the batch\n",
            static_cast<long long>(sweptAt - freshAt));
    }
}

// Publishing in `folder`, where the part file cannot get a second link.
// With `fillLinks` the part is given every link its file system allows
// (EMLINK); otherwise the file system must refuse links (EPERM, as FAT
// does). Gives what went wrong, or nothing; `skipped` says why it could
// not be tried.
std::string publishWithoutLinks(const std::string& folder, bool fillLinks, std::string* skipped) {
    const std::string final = folder + "/clip.mp4";
    PartFile part;
    if (const int error = part.reserve(final); error != 0) {
        return std::string("reserve: ") + std::strerror(error);
    }
    if (fillLinks) {
        const std::string links = folder + "/links";
        mkdir(links.c_str(), 0755);
        for (int i = 0;; ++i) {
            if (i == 200000) {
                *skipped = "this file system allows more links to a file than worth making";
                return {};
            }
            if (link(part.path().c_str(), (links + "/" + std::to_string(i)).c_str()) != 0) {
                if (errno != EMLINK) {
                    *skipped = std::string("links cannot be made here: ") + std::strerror(errno);
                    return {};
                }
                break;
            }
        }
    }
    const std::string self = "/proc/self/fd/" + std::to_string(part.fd());
    if (linkat(AT_FDCWD, self.c_str(), AT_FDCWD, (folder + "/probe").c_str(), AT_SYMLINK_FOLLOW) ==
        0) {
        return "a link to the part could be made: the test takes the wrong path";
    }
    if (write(part.fd(), "whole", 5) != 5) {
        return "cannot write the part";
    }

    std::string problems;
    const auto expect = [&](bool holds, const std::string& what) {
        if (!holds) {
            problems += what + "\n";
        }
    };
    const std::string taken = folder + "/taken.mp4";
    std::ofstream(taken) << "someone else's";
    expect(part.publish(taken) == EEXIST, "a taken name is refused with EEXIST");
    expect(fileBytes(taken) == "someone else's", "a taken name keeps its file");
    expect(part.reserved() && exists(part.path()), "a refused part stays reserved");

    // The part's name no longer leads to the part: moved away, and then
    // another file under that name.
    const std::string partName = part.path();
    const std::string moved = folder + "/moved";
    expect(rename(partName.c_str(), moved.c_str()) == 0, "the part can be moved");
    expect(part.publish(final) == ESTALE, "a part whose name went is refused with ESTALE");
    std::ofstream(partName) << "impostor";
    expect(part.publish(final) == ESTALE,
           "a part whose name leads elsewhere is refused with ESTALE");
    expect(!exists(final), "nothing takes the final name when refused");
    expect(fileBytes(partName) == "impostor", "the file under the part's name stays");

    expect(unlink(partName.c_str()) == 0 && rename(moved.c_str(), partName.c_str()) == 0,
           "the part can be put back");
    expect(part.publish(final) == 0, "the part is published");
    expect(fileBytes(final) == "whole", "the final name leads to what was written");
    expect(!exists(partName), "the part's name is gone");
    expect(!part.reserved(), "a published part is no longer reserved");
    return problems;
}

TEST(PublishWithoutLinksTest, APartWithAllTheLinksItMayHaveIsRenamed) {
    TempDir dir;
    std::string skipped;
    EXPECT_EQ(publishWithoutLinks(dir.path(), true, &skipped), "");
    if (!skipped.empty()) {
        GTEST_SKIP() << skipped;
    }
}

// Runs a program without a shell; gives its exit status, or -1.
int runQuietly(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    if (spawned != 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

// Attaches `image` to a free loop device that lets go of it once unmounted
// and closed; gives the open device and its path, or -1.
int attachLoop(const std::string& image, std::string* device) {
    const int control = open("/dev/loop-control", O_RDWR | O_CLOEXEC);
    if (control < 0) {
        return -1;
    }
    const int backing = open(image.c_str(), O_RDWR | O_CLOEXEC);
    int loop = -1;
    // Another program may take the free device first.
    for (int attempt = 0; attempt < 10 && loop < 0 && backing >= 0; ++attempt) {
        const int number = ioctl(control, LOOP_CTL_GET_FREE);
        if (number < 0) {
            break;
        }
        *device = "/dev/loop" + std::to_string(number);
        loop = open(device->c_str(), O_RDWR | O_CLOEXEC);
        loop_config config{};
        config.fd = static_cast<unsigned>(backing);
        config.info.lo_flags = LO_FLAGS_AUTOCLEAR;
        if (loop >= 0 && ioctl(loop, LOOP_CONFIGURE, &config) != 0) {
            close(loop);
            loop = -1;
        }
    }
    if (backing >= 0) {
        close(backing);
    }
    close(control);
    return loop;
}

TEST(PublishWithoutLinksTest, OnAFatFileSystemThePartIsRenamed) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "mounting a FAT image needs root";
    }
    std::string mkfs;
    for (const char* candidate : {"/usr/sbin/mkfs.vfat", "/sbin/mkfs.vfat"}) {
        if (access(candidate, X_OK) == 0) {
            mkfs = candidate;
        }
    }
    if (mkfs.empty()) {
        GTEST_SKIP() << "no mkfs.vfat (package dosfstools; scripts/setup installs it)";
    }
    TempDir dir;
    const std::string image = dir.file("fat.img");
    const std::string mountPoint = dir.file("fat");
    ASSERT_EQ(mkdir(mountPoint.c_str(), 0755), 0);
    std::ofstream(image).close();
    ASSERT_EQ(truncate(image.c_str(), 8 << 20), 0);
    ASSERT_EQ(runQuietly({mkfs, image}), 0);

    // The mount lives in a mount namespace of one thread of ours, and goes
    // with it: nothing is left mounted, whatever happens to the test.
    std::string skipped;
    std::string problems;
    std::thread inside([&] {
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            skipped = std::string("no mount namespace of our own: ") + std::strerror(errno);
            return;
        }
        std::string device;
        const int loop = attachLoop(image, &device);
        if (loop < 0) {
            skipped = std::string("no loop device: ") + std::strerror(errno);
            return;
        }
        if (mount(device.c_str(), mountPoint.c_str(), "vfat", 0, nullptr) != 0) {
            skipped = std::string("the FAT image cannot be mounted here (") + std::strerror(errno) +
                      "; a kernel without FAT support?)";
        } else {
            problems = publishWithoutLinks(mountPoint, false, &skipped);
            umount2(mountPoint.c_str(), MNT_DETACH);
        }
        close(loop);
    });
    inside.join();
    EXPECT_EQ(problems, "");
    if (!skipped.empty()) {
        GTEST_SKIP() << skipped;
    }
}

}  // namespace
}  // namespace vidmill
