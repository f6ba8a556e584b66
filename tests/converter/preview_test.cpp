// Previews: ten seconds of a video made with the settings, one file at a
// time in their folder, and nothing of ours left when the maker goes.

#include "engine/preview_maker.h"

#include <gtest/gtest.h>

#include <dirent.h>

#include <chrono>
#include <string>
#include <vector>

#include "converter_harness.h"
#include "formats/format_preset.h"
#include "support/temp_dir.h"

namespace vidmill::test {
namespace {

std::vector<std::string> filesIn(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* listing = opendir(folder.c_str())) {
        while (const dirent* entry = readdir(listing)) {
            if (entry->d_name[0] != '.') {
                names.emplace_back(entry->d_name);
            }
        }
        closedir(listing);
    }
    return names;
}

TEST(PreviewTest, TenSecondsFromTheMiddleReplaceTheLastPreview) {
    TempDir dir;
    const std::string folder = dir.file("cache/preview");
    // Left by an earlier run: ours goes, a stranger's stays.
    ASSERT_EQ(runProgram({"mkdir", "-p", folder}).status, 0);
    writeFile(folder + "/preview-OLD123.mp4", "old");
    writeFile(folder + "/notes.txt", "mine");

    QueuedGuiCall gui;
    ConversionSettings settings;
    setDefaultSettings(settings);
    applyPreset(settings, findPresetById(700));
    settings.targetSizeKb = 2'000;  // the bitrate the whole video would get
    std::string source = dir.file("long.mkv");
    ASSERT_EQ(runProgram({"ffmpeg", "-v", "error", "-f", "lavfi", "-i",
                          "testsrc2=size=320x240:rate=25:duration=30", "-c:v", "ffv1", source})
                  .status,
              0);
    std::vector<std::string> made;
    {
        PreviewMaker maker(VIDMILL_CONVERTER_PATH, folder, gui);
        EXPECT_EQ(filesIn(folder), std::vector<std::string>{"notes.txt"});
        for (int i = 0; i < 2; ++i) {
            bool done = false;
            maker.start(source, 30, settings, [&](const std::string& file, const std::string& why) {
                EXPECT_EQ(why, "");
                made.push_back(file);
                done = true;
            });
            const auto limit = std::chrono::steady_clock::now() + std::chrono::minutes(2);
            while (!done && std::chrono::steady_clock::now() < limit) {
                gui.pump(std::chrono::milliseconds(100));
            }
            ASSERT_TRUE(done);
        }
        ASSERT_EQ(made.size(), 2u);
        EXPECT_FALSE(fileExists(made[0]));
        EXPECT_EQ(filesIn(folder).size(), 2u);  // the second preview and the stranger's
        const auto info = probeWithFfprobe(made[1]);
        ASSERT_TRUE(info);
        EXPECT_NEAR(info->duration, 10.0, 0.2);
    }
    EXPECT_FALSE(fileExists(made[1]));
    EXPECT_EQ(filesIn(folder), std::vector<std::string>{"notes.txt"});
}

TEST(PreviewTest, ThePreviewKeepsTheCutsStartAndTheSizesBitrate) {
    ConversionSettings settings;
    setDefaultSettings(settings);
    settings.cutFromMs = 65'000;
    settings.cutToMs = 70'000;
    ConversionSettings preview = previewSettings(settings, 600);
    EXPECT_EQ(preview.cutFromMs, 65'000u);
    EXPECT_EQ(preview.cutToMs, 70'000u);  // the cut is shorter than a preview

    settings.cutFromMs = settings.cutToMs = 0;
    settings.targetSizeKb = 25'000;
    preview = previewSettings(settings, 600);
    EXPECT_EQ(preview.cutFromMs, 295'000u);
    EXPECT_EQ(preview.cutToMs, 305'000u);
    EXPECT_EQ(preview.targetSizeKb, 0u);
    // 25 MB over ten minutes leave about 190 kbit/s beside 128 of sound.
    EXPECT_NEAR(preview.videoBitrate, 190, 10);
}

}  // namespace
}  // namespace vidmill::test
