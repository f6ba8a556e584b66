#include "storage/settings_file.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>

#include "storage/record_file.h"
#include "support/file_bytes.h"
#include "support/temp_dir.h"

namespace vidmill {
namespace {

// Every field away from its default.
ConversionSettings changedSettings() {
    ConversionSettings s;
    storeText(s.destinationFolder, std::string(259, 'd') + "\xc3\xa9");
    storeText(s.reservedText, "reserved");
    storeText(s.lastAddFolder, "/home/me/Videos/in");
    s.presetId = 5070;
    s.showToolbar = false;
    s.reservedFlag = false;
    s.showMainSettings = false;
    s.showStatusBar = false;
    s.lastUpdateCheckDay = 739000;
    s.showTips = false;
    s.maxConcurrent = 20;
    s.saveHistory = false;
    s.removeStopped = false;
    s.disableVideo = true;
    s.frameWidth = -1;
    s.frameHeight = 576;
    s.frameRate = 14.985f;
    s.videoBitrate = -1;
    s.aspect = 2;
    s.disableAudio = true;
    s.audioBitrate = 320;
    s.channels = 1;
    s.sampleRate = -1;
    s.volume = 475;
    storeText(s.videoCodec, std::string(49, 'v'));  // the longest of each
    storeText(s.audioCodec, "VORBIS");
    s.useInternalPlayer = false;
    s.shutdownAfter = true;
    s.exitAfter = true;
    s.converterPriority = 5;
    return s;
}

class SettingsFileTest : public ::testing::Test {
  protected:
    TempDir dir;
    std::string path = dir.file("settings");
};

TEST_F(SettingsFileTest, EveryFieldSurvivesARoundTrip) {
    const ConversionSettings saved = changedSettings();
    ASSERT_TRUE(saveSettingsFile(saved, path));
    ConversionSettings loaded;
    ASSERT_TRUE(loadSettingsFile(loaded, path));
    EXPECT_EQ(loaded, saved);

    ASSERT_TRUE(saveSettingsFile(ConversionSettings{}, path));
    ASSERT_TRUE(loadSettingsFile(loaded, path));
    EXPECT_EQ(loaded, ConversionSettings{});
}

TEST_F(SettingsFileTest, TheFileHasItsFixedLayout) {
    ConversionSettings settings;
    ASSERT_TRUE(saveSettingsFile(settings, path));
    const std::string plain = fileBytes(path);
    const size_t signature = kSettingsSignature.size();
    ASSERT_EQ(plain.size(), 153 + signature);
    EXPECT_TRUE(plain.starts_with(kSettingsSignature));
    EXPECT_EQ(plain.substr(signature, 100 + 6), std::string(106, '\0'));  // block, 3 empty texts
    EXPECT_EQ(plain.substr(signature + 106, 2), std::string("\x64\x00", 2));  // preset 100
    EXPECT_EQ(plain.back(), '\x02');

    storeText(settings.destinationFolder, "/out");
    storeText(settings.videoCodec, "H264");
    storeText(settings.audioCodec, "AAC");
    settings.frameRate = 29.976f;
    ASSERT_TRUE(saveSettingsFile(settings, path));
    const std::string bytes = fileBytes(path);
    EXPECT_EQ(bytes.size(), 153 + signature + 4 + 4 + 3);
    EXPECT_EQ(bytes.substr(signature + 100, 6), std::string("\x04\x00/out", 6));
    // The rate as IEEE single precision, low byte first.
    uint32_t bits = 0;
    std::memcpy(&bits, &settings.frameRate, 4);
    const size_t rateAt = signature + 100 + 6 + 4 + 2 + 4 + 4 + 1 + 2 + 3 + 4;
    EXPECT_EQ(getUInt32LE(reinterpret_cast<const uint8_t*>(bytes.data() + rateAt)), bits);
}

TEST_F(SettingsFileTest, AFileWithoutThePriorityLoadsWithTheNormalOne) {
    ASSERT_TRUE(saveSettingsFile(changedSettings(), path));
    const std::string bytes = fileBytes(path);
    writeBytes(path, bytes.substr(0, bytes.size() - 1));

    ConversionSettings loaded;
    loaded.converterPriority = 4;
    ASSERT_TRUE(loadSettingsFile(loaded, path));
    ConversionSettings expected = changedSettings();
    expected.converterPriority = 2;
    EXPECT_EQ(loaded, expected);
}

TEST_F(SettingsFileTest, AForeignOrMissingFileChangesNothing) {
    ASSERT_TRUE(saveSettingsFile(changedSettings(), path));
    std::string bytes = fileBytes(path);
    bytes[0] ^= 0x20;
    writeBytes(path, bytes);

    ConversionSettings settings;
    storeText(settings.destinationFolder, "/mine");
    EXPECT_FALSE(loadSettingsFile(settings, path));
    EXPECT_FALSE(loadSettingsFile(settings, dir.file("missing")));
    EXPECT_FALSE(loadSettingsFile(settings, dir.path()));
    ConversionSettings expected;
    storeText(expected.destinationFolder, "/mine");
    EXPECT_EQ(settings, expected);
}

// A file cut anywhere gives each field either its stored value or the value
// it had: never a mixture of both.
TEST_F(SettingsFileTest, ACutFileKeepsTheFieldsItDoesNotReach) {
    const ConversionSettings stored = changedSettings();
    ASSERT_TRUE(saveSettingsFile(stored, path));
    const std::string bytes = fileBytes(path);

    for (size_t length = kSettingsSignature.size(); length < bytes.size() - 1; ++length) {
        SCOPED_TRACE(length);
        writeBytes(path, bytes.substr(0, length));
        ConversionSettings loaded;
        loaded.converterPriority = 3;
        ASSERT_TRUE(loadSettingsFile(loaded, path));
        const ConversionSettings before;
#define EXPECT_STORED_OR_KEPT(field) \
    EXPECT_TRUE(loaded.field == stored.field || loaded.field == before.field) << #field
        EXPECT_STORED_OR_KEPT(presetId);
        EXPECT_STORED_OR_KEPT(lastUpdateCheckDay);
        EXPECT_STORED_OR_KEPT(maxConcurrent);
        EXPECT_STORED_OR_KEPT(frameHeight);
        EXPECT_TRUE(loaded.frameRate == stored.frameRate || loaded.frameRate == before.frameRate);
        EXPECT_STORED_OR_KEPT(aspect);
        EXPECT_STORED_OR_KEPT(audioBitrate);
        EXPECT_STORED_OR_KEPT(sampleRate);
        EXPECT_STORED_OR_KEPT(volume);
#undef EXPECT_STORED_OR_KEPT
        // A text cut short keeps what came, and stays terminated in its buffer.
        EXPECT_TRUE(textOf(stored.destinationFolder).starts_with(textOf(loaded.destinationFolder)));
        EXPECT_TRUE(textOf(stored.videoCodec).starts_with(textOf(loaded.videoCodec)));
        EXPECT_LT(strnlen(loaded.videoCodec, kCodecNameCapacity), size_t(kCodecNameCapacity));
        EXPECT_EQ(loaded.converterPriority, 2);
    }
}

TEST_F(SettingsFileTest, OverlongAndGarbageTextLengthsAreRefused) {
    {
        auto file = openRecordFile(path, true);
        file->writeRaw(kSettingsSignature);
        file->writeBytes(std::string(100, '\0').data(), 100);
        file->writeText16(std::string(262, 'x'));  // more than the record holds
        file->writeText16("reserved");
        file->writeText16("/in");
        file->writeUInt16(810);
        file->writeUInt16(0xFFFF);  // not a flag pair: the next text lengths are garbage
    }
    ConversionSettings settings;
    storeText(settings.destinationFolder, "/before");
    ASSERT_TRUE(loadSettingsFile(settings, path));
    EXPECT_EQ(textOf(settings.destinationFolder), "");
    EXPECT_EQ(textOf(settings.reservedText), "reserved");
    EXPECT_EQ(textOf(settings.lastAddFolder), "/in");
    EXPECT_EQ(settings.presetId, 810);
    EXPECT_EQ(settings.maxConcurrent, kDefaultMaxConcurrent);

    // Lengths that claim the whole 16-bit range, with nothing behind them.
    std::string bytes(kSettingsSignature);
    bytes += std::string(100, '\0') + "\xff\xff\xff\x7f\x00\x80";
    writeBytes(path, bytes);
    ConversionSettings fresh;
    ASSERT_TRUE(loadSettingsFile(fresh, path));
    EXPECT_EQ(textOf(fresh.destinationFolder), "");
    EXPECT_EQ(fresh.presetId, kDefaultPresetId);
}

}  // namespace
}  // namespace vidmill
