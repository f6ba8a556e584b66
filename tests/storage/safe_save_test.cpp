#include "storage/safe_save.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "storage/record_file.h"
#include "support/file_bytes.h"
#include "support/temp_dir.h"

namespace vidmill {
namespace {

namespace fs = std::filesystem;

int filesIn(const std::string& folder) {
    return int(std::distance(fs::directory_iterator(folder), {}));
}

auto writing(const std::string& content) {
    return [content](RecordFile& file) { file.writeRaw(content); };
}

// Lets writes beyond `bytes` fail with EFBIG, as on a full disk.
class FileSizeLimit {
  public:
    explicit FileSizeLimit(rlim_t bytes) {
        oldHandler_ = std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &old_);
        rlimit limited = old_;
        limited.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limited);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &old_);
        std::signal(SIGXFSZ, oldHandler_);
    }

  private:
    rlimit old_;
    void (*oldHandler_)(int);
};

class SafeSaveTest : public ::testing::Test {
  protected:
    TempDir dir;
    std::string path = dir.file("settings");
};

TEST_F(SafeSaveTest, ReplacesTheFileAndLeavesNothingElseBehind) {
    EXPECT_TRUE(saveFileSafely(path, writing("first")));
    EXPECT_EQ(fileBytes(path), "first");
    chmod(path.c_str(), 0640);

    EXPECT_TRUE(saveFileSafely(path, writing("second, longer")));
    EXPECT_EQ(fileBytes(path), "second, longer");
    EXPECT_EQ(filesIn(dir.path()), 1);
    struct stat info;
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);  // the user's permissions stay
}

TEST_F(SafeSaveTest, AWriteThatFailsKeepsTheOldFile) {
    writeBytes(path, "the user's settings");
    {
        FileSizeLimit limit(1000);
        EXPECT_FALSE(saveFileSafely(path, writing(std::string(20000, 'n'))));
    }
    EXPECT_EQ(fileBytes(path), "the user's settings");
    EXPECT_EQ(filesIn(dir.path()), 1);
}

TEST_F(SafeSaveTest, PlacesThatCannotTakeTheFileFailWithoutDamage) {
    EXPECT_FALSE(saveFileSafely(dir.file("missing/settings"), writing("x")));
    fs::create_directory(path);
    writeBytes(path + "/inside", "kept");
    EXPECT_FALSE(saveFileSafely(path, writing("x")));
    EXPECT_EQ(fileBytes(path + "/inside"), "kept");
    EXPECT_EQ(filesIn(dir.path()), 1);
}

TEST_F(SafeSaveTest, ALinkStaysALinkToTheSavedFile) {
    fs::create_directory(dir.file("real"));
    const std::string target = dir.file("real/settings");
    writeBytes(target, "old");
    fs::create_symlink(target, path);

    EXPECT_TRUE(saveFileSafely(path, writing("new")));
    EXPECT_TRUE(fs::is_symlink(path));
    EXPECT_EQ(fileBytes(target), "new");
    EXPECT_EQ(filesIn(dir.file("real")), 1);
}

// What a save killed before its rename leaves is removed; a file that only
// looks like it is not.
TEST_F(SafeSaveTest, LeftoversOfInterruptedSavesAreRemovedAndNothingElse) {
    std::string leftover;
    ASSERT_TRUE(saveFileSafely(path, [&](RecordFile& file) {
        file.writeRaw("saved");
        for (const auto& item : fs::directory_iterator(dir.path())) {
            leftover = item.path().string();
        }
    }));
    ASSERT_TRUE(leftover.starts_with(path + "."));
    writeBytes(leftover, "half a save");
    writeBytes(path + ".saving-Zz09aB", "half of another");

    const std::vector<std::string> kept = {
        path + ".saving-Zz09a",   path + ".saving-Zz09aBC",        path + ".saving-Zz_9aB",
        path + ".saving-Zz09aB~", dir.file("other.saving-Zz09aB"), path + "x.saving-Zz09aB",
        path + ".saving-Dir123",  path + ".saving-Link12",
    };
    for (const std::string& name : kept) {
        if (name.ends_with("Dir123")) {
            fs::create_directory(name);
        } else if (name.ends_with("Link12")) {
            fs::create_symlink(path, name);
        } else {
            writeBytes(name, "not ours");
        }
    }
    EXPECT_EQ(removeInterruptedSaves(path), 2);
    EXPECT_FALSE(fs::exists(leftover));
    EXPECT_EQ(fileBytes(path), "saved");
    for (const std::string& name : kept) {
        EXPECT_TRUE(fs::exists(fs::symlink_status(name))) << name;
    }
    EXPECT_EQ(removeInterruptedSaves(dir.file("missing/settings")), 0);
}

}  // namespace
}  // namespace vidmill
