#include "storage/settings_file.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <vector>

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
    s.frameWidth = 720;
    s.frameHeight = 576;
    s.frameRate = 14.985f;
    s.videoBitrate = -1;
    s.videoQuality = 63;
    s.aspect = 2;
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
    s.keepSourceDates = false;
    s.targetSizeKb = 4'000'000;
    s.twoPass = true;
    s.cutFromMs = 90'500;
    s.cutToMs = kMaxCutMs;
    s.cropMode = kCropFixed;
    s.cropWidth = 1920;
    s.cropHeight = 800;
    s.cropX = 16383;
    s.cropY = 140;
    s.deinterlace = kDeinterlaceOff;
    return s;
}

class SettingsFileTest : public ::testing::Test {
  protected:
    TempDir dir;
    std::string path = dir.file("settings");
};

TEST_F(SettingsFileTest, EveryFieldSurvivesARoundTrip) {
    ConversionSettings audioOff = changedSettings();
    audioOff.disableVideo = false;
    audioOff.disableAudio = true;
    audioOff.frameWidth = audioOff.frameHeight = -1;
    audioOff.frameRate = -1;
    for (const ConversionSettings& saved : {changedSettings(), audioOff, ConversionSettings{}}) {
        ASSERT_TRUE(saveSettingsFile(saved, path));
        ConversionSettings loaded;
        const SettingsLoad load = loadSettingsFile(loaded, path, [](int) { return true; });
        EXPECT_EQ(load.state, SettingsFileState::Read);
        EXPECT_EQ(settingsLoadMessage(load), "");
        EXPECT_EQ(loaded, saved);
    }
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

TEST_F(SettingsFileTest, EveryFieldKeepsItsPlaceAndEncoding) {
    // Written by the version before the fields became a table; any field
    // moved, resized or encoded otherwise changes these bytes.
    const std::string stored =
        "5669646d696c6c53657474696e67732f313f0100093d000184610100005c26050280072003ff3f8c00020000"
        "0000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
        "000000000000000000000000000000000000000000000000000000000004002f6f7574080072657365727665"
        "6412002f686f6d652f6d652f566964656f732f696ece1300000000b8460b00001400000001d00240028fc26f"
        "41ffff02000040010100ffffffffdb010400483236340600564f5242495300010105";
    ConversionSettings settings = changedSettings();
    storeText(settings.destinationFolder, "/out");
    storeText(settings.videoCodec, "H264");
    ASSERT_TRUE(saveSettingsFile(settings, path));
    std::string hex;
    for (unsigned char c : fileBytes(path)) {
        hex += "0123456789abcdef"[c >> 4];
        hex += "0123456789abcdef"[c & 15];
    }
    EXPECT_EQ(hex, stored);
}

TEST_F(SettingsFileTest, AFileWithoutThePriorityLoadsWithTheNormalOne) {
    ASSERT_TRUE(saveSettingsFile(changedSettings(), path));
    const std::string bytes = fileBytes(path);
    writeBytes(path, bytes.substr(0, bytes.size() - 1));

    ConversionSettings loaded;
    loaded.converterPriority = 4;
    ASSERT_EQ(loadSettingsFile(loaded, path).state, SettingsFileState::Read);
    ConversionSettings expected = changedSettings();
    expected.converterPriority = 2;
    EXPECT_EQ(loaded, expected);
}

TEST_F(SettingsFileTest, AFileNotOursIsSaidAndKeptAsideAndAMissingOneChangesNothing) {
    ASSERT_TRUE(saveSettingsFile(changedSettings(), path));
    std::string bytes = fileBytes(path);
    bytes[0] ^= 0x20;
    writeBytes(path, bytes);

    ConversionSettings settings;
    storeText(settings.destinationFolder, "/mine");
    for (const std::string& content : {bytes, bytes.substr(0, 5), std::string()}) {
        writeBytes(path, content);
        const SettingsLoad load = loadSettingsFile(settings, path);
        EXPECT_FALSE(load.recognised());
        EXPECT_TRUE(load.damaged());
        EXPECT_FALSE(settingsLoadMessage(load).empty());
    }
    EXPECT_EQ(loadSettingsFile(settings, dir.file("missing")).state, SettingsFileState::NotRead);
    EXPECT_EQ(loadSettingsFile(settings, dir.path()).state, SettingsFileState::NotRead);
    EXPECT_TRUE(settingsLoadMessage(loadSettingsFile(settings, dir.path())).empty());

    // At start-up the damaged bytes are kept aside, named in the message.
    writeBytes(path, bytes);
    const SettingsLoad atStart = loadSettingsAtStart(settings, path, {}, 0);
    EXPECT_EQ(fileBytes(dir.file(atStart.keptAs)), bytes);
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_NE(settingsLoadMessage(atStart).find("kept as " + atStart.keptAs), std::string::npos);
    ConversionSettings expected;
    storeText(expected.destinationFolder, "/mine");
    EXPECT_EQ(settings, expected);
}

// Bytes lost or inserted anywhere shift every field after them: the file
// then counts as damaged as a whole, and nothing of it is used. The stored
// record asks for the power-off and the exit after the batch.
TEST_F(SettingsFileTest, ShiftedCutOrOverlongFilesGiveAllDefaults) {
    ASSERT_TRUE(saveSettingsFile(changedSettings(), path));
    const std::string bytes = fileBytes(path);
    const size_t signature = kSettingsSignature.size();
    std::vector<std::string> damaged;
    for (size_t at = signature; at <= bytes.size(); ++at) {
        for (const std::string run :
             {std::string(1, '\0'), std::string("\x01\x01"), std::string("rp\x72\x72")}) {
            damaged.push_back(bytes.substr(0, at) + run + bytes.substr(at));
        }
    }
    // Cut anywhere but right before the priority, which older files lack.
    for (size_t length = signature; length < bytes.size() - 1; ++length) {
        damaged.push_back(bytes.substr(0, length));
    }
    {
        auto file = openRecordFile(path, true);
        file->writeRaw(kSettingsSignature);
        file->writeBytes(std::string(100, '\0').data(), 100);
        file->writeText16(std::string(262, 'x'));  // more than the record holds
    }
    damaged.push_back(fileBytes(path) + bytes.substr(signature + 100 + 2 + 261));

    for (const std::string& content : damaged) {
        writeBytes(path, content);
        ConversionSettings loaded;
        storeText(loaded.destinationFolder, "/before");
        loaded.shutdownAfter = true;
        const SettingsLoad load = loadSettingsFile(loaded, path);
        ASSERT_EQ(load.state, SettingsFileState::Damaged) << testing::PrintToString(content);
        ASSERT_EQ(loaded, ConversionSettings{}) << testing::PrintToString(content);
    }
}

// A single stored value out of range goes back to its default, and a file
// with such a value asks for nothing after the batch.
TEST_F(SettingsFileTest, ValuesOutOfRangeAreResetOneByOne) {
    const size_t flagsAt = kSettingsSignature.size() + 100 + 3 * 2 + 2;  // empty texts
    struct Case {
        std::function<void(ConversionSettings&)> store;
        std::function<void(std::string&)> poke;
        std::vector<std::string> reset;
    };
    const Case cases[] = {
        {[](auto& s) { s.frameWidth = 29296; }, {}, {"Frame Size"}},
        {[](auto& s) { s.frameHeight = -1; }, {}, {"Frame Size"}},
        {[](auto& s) { s.frameRate = std::nanf(""); }, {}, {"Frame Rate"}},
        {[](auto& s) { s.maxConcurrent = 0; }, {}, {"Max concurrent conversions"}},
        {[](auto& s) { s.volume = 130; }, {}, {"Volume"}},
        {[](auto& s) { s.sampleRate = 7; }, {}, {"Sample Rate"}},
        {[](auto& s) { s.channels = 6; }, {}, {"Channels"}},
        {[](auto& s) { s.presetId = 101; }, {}, {"Video Format"}},
        {[](auto& s) { s.converterPriority = 9; }, {}, {"Converter Process Priority"}},
        {[](auto& s) { s.disableVideo = s.disableAudio = true; },
         {},
         {"Disable Video", "Disable Audio"}},
        {{}, [&](std::string& b) { b[flagsAt] = 2; }, {"Show Toolbar"}},
        {[](auto& s) { s.videoQuality = 64; }, {}, {"Quality"}},
        {{},
         [](std::string& b) { b[kSettingsSignature.size() + 1] = 2; },
         {"Keep the dates of the source files"}},
        {[](auto& s) { s.targetSizeKb = kMaxTargetSizeKb + 1; }, {}, {"Fit in a size"}},
        {{}, [](std::string& b) { b[kSettingsSignature.size() + 6] = 2; }, {"Two passes"}},
        {[](auto& s) { s.cutFromMs = 5000, s.cutToMs = 4000; }, {}, {"From", "To"}},
        {[](auto& s) { s.cropMode = kCropFixed, s.cropWidth = 8, s.cropHeight = 800; },
         {},
         {"Remove black bars"}},
        {[](auto& s) { s.deinterlace = 3; }, {}, {"Deinterlace"}},
    };
    for (const Case& c : cases) {
        ConversionSettings stored;
        stored.exitAfter = true;
        if (c.store) {
            c.store(stored);
        }
        ASSERT_TRUE(saveSettingsFile(stored, path));
        std::string bytes = fileBytes(path);
        if (c.poke) {
            c.poke(bytes);
        }
        writeBytes(path, bytes);

        ConversionSettings loaded;
        const SettingsLoad load =
            loadSettingsFile(loaded, path, [](int id) { return id == 100 || id == 5070; });
        SCOPED_TRACE(c.reset.front());
        EXPECT_EQ(load.state, SettingsFileState::ValuesReset);
        std::vector<std::string> reset = c.reset;
        reset.push_back("Exit program after conversion(s)");
        EXPECT_EQ(load.reset, reset);
        EXPECT_EQ(loaded, ConversionSettings{});
    }

    const SettingsLoad load{SettingsFileState::ValuesReset, {"Frame Size", "Volume"}};
    EXPECT_EQ(settingsLoadMessage(load),
              "The settings file was damaged; these settings were reset to their defaults: "
              "Frame Size, Volume.");
    EXPECT_EQ(settingsLoadMessage({SettingsFileState::Damaged, {}}),
              "The settings file was damaged and could not be read; all settings were reset to "
              "their defaults.");
}

}  // namespace
}  // namespace vidmill
