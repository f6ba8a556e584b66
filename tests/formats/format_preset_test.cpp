#include "formats/format_preset.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>

namespace vidmill {
namespace {

TEST(ConversionSettingsTest, DefaultsAreTheFirstFormatWithoutCodecNames) {
    ConversionSettings settings;
    storeText(settings.videoCodec, "H264");
    settings.volume = 300;
    settings.maxConcurrent = 9;
    settings.exitAfter = true;
    setDefaultSettings(settings);

    EXPECT_EQ(settings, ConversionSettings{});
    EXPECT_EQ(settings.presetId, 100);
    EXPECT_EQ(textOf(settings.videoCodec), "");
    EXPECT_EQ(textOf(settings.audioCodec), "");
    EXPECT_EQ(settings.maxConcurrent, 2);
    EXPECT_EQ(settings.volume, 100);
    EXPECT_EQ(settings.converterPriority, 2);
    EXPECT_TRUE(settings.showToolbar && settings.showMainSettings && settings.showStatusBar &&
                settings.reservedFlag && settings.showTips && settings.saveHistory &&
                settings.removeStopped && settings.useInternalPlayer);
    // The first format's own values.
    const FormatPreset& first = presetRow(0);
    EXPECT_EQ(settings.frameWidth, first.width);
    EXPECT_EQ(settings.frameRate, first.frameRate);
    EXPECT_EQ(settings.sampleRate, first.sampleRate);
}

TEST(ConversionSettingsTest, ApplyPresetTakesTheRowAndResetsTheOptionsAroundIt) {
    ConversionSettings settings;
    settings.disableVideo = settings.disableAudio = true;
    settings.aspect = 2;
    settings.volume = 250;
    storeText(settings.videoCodec, "H264");

    applyPreset(settings, findPresetById(5050));
    EXPECT_EQ(settings.presetId, 5050);
    EXPECT_EQ(textOf(settings.videoCodec), "");  // the row has none
    EXPECT_EQ(textOf(settings.audioCodec), "pcm");
    EXPECT_EQ(settings.frameRate, -1.0f);
    EXPECT_EQ(settings.videoBitrate, -1);
    EXPECT_FALSE(settings.disableVideo || settings.disableAudio);
    EXPECT_EQ(settings.aspect, 0);
    EXPECT_EQ(settings.volume, 100);

    for (int outside : {-1, kPresetCount}) {
        applyPreset(settings, outside);
        EXPECT_EQ(settings.presetId, 100);
        EXPECT_EQ(textOf(settings.videoCodec), "mpeg4");
    }
}

TEST(ConversionSettingsTest, BatchCopyTakesConversionValuesOnly) {
    ConversionSettings source;
    storeText(source.destinationFolder, "/videos/out");
    storeText(source.reservedText, "kept");
    storeText(source.lastAddFolder, "/videos/in");
    applyPreset(source, findPresetById(970));
    source.frameRate = 23.976f;
    source.aspect = 1;
    source.disableAudio = true;
    source.volume = 75;
    source.converterPriority = 4;
    source.maxConcurrent = 7;
    source.shutdownAfter = true;
    source.showTips = false;

    ConversionSettings target{};
    target.maxConcurrent = 0;
    target.showTips = true;
    target.lastUpdateCheckDay = 5;
    copyBatchValues(target, source);

    ConversionSettings expected = source;
    expected.maxConcurrent = 0;
    expected.shutdownAfter = false;
    expected.showTips = true;
    expected.lastUpdateCheckDay = 5;
    EXPECT_EQ(target, expected);
}

TEST(FormatPresetTest, UnknownIdsAndIndexesFallBackToTheFirstRow) {
    EXPECT_EQ(findPresetById(12345), 0);
    EXPECT_EQ(findPresetById(5070), 31);
    EXPECT_EQ(presetAt(-1), 0);
    EXPECT_EQ(presetAt(kPresetCount), 0);
    EXPECT_EQ(presetAt(31), 31);
    EXPECT_EQ(presetExtension(5070), ".mp2");
    EXPECT_EQ(presetExtension(12345), ".mp4");
    EXPECT_EQ(presetExtension(610), ".3g2");
}

// Each format's own values must be selectable in the lists the settings
// dialog offers for it, and its name must announce its extension.
TEST(FormatPresetTest, EveryRowOffersItsOwnValuesAndNamesItsExtension) {
    std::set<int> ids;
    std::set<std::string> names;
    ASSERT_EQ(formatPresets().size(), size_t(kPresetCount));
    for (const FormatPreset& row : formatPresets()) {
        SCOPED_TRACE(row.id);
        EXPECT_TRUE(ids.insert(row.id).second);
        EXPECT_TRUE(names.insert(row.name).second);
        EXPECT_TRUE(std::string(row.name).ends_with(std::string(" (*.") + row.extension + ")"));
        int found = -2;
        indexOfSize(frameSizesOf(row), row.width, row.height, &found);
        EXPECT_NE(found, -1);
        indexOfFloat(frameRatesOf(row), row.frameRate, &found);
        EXPECT_NE(found, -1);
        indexOfInt16(videoBitratesOf(row), row.videoBitrate, &found);
        EXPECT_NE(found, -1);
        indexOfInt16(audioBitratesOf(row), row.audioBitrate, &found);
        EXPECT_NE(found, -1);
        indexOfInt32(sampleRatesOf(row), row.sampleRate, &found);
        EXPECT_NE(found, -1);
        indexOfInt16(channelChoicesOf(row), row.channels, &found);
        EXPECT_NE(found, -1);
        if (!row.videoCodecs.empty()) {
            indexOfName(row.videoCodecs, row.videoCodec, &found);
            EXPECT_NE(found, -1);
        }
        if (!row.audioCodecs.empty()) {
            indexOfName(row.audioCodecs, row.audioCodec, &found);
            EXPECT_NE(found, -1);
        }
        EXPECT_EQ(row.audioOnly, row.id >= 5000);
        EXPECT_TRUE(row.customisable);
    }
}

TEST(FormatPresetTest, LookupsGiveTheFirstMatchOrTheFirstEntry) {
    const FormatPreset& psp = presetRow(findPresetById(100));
    int found = 0;
    EXPECT_EQ(indexOfFloat(frameRatesOf(psp), 29.976f, &found), 1);
    EXPECT_EQ(found, 1);
    // Only the very same float matches.
    EXPECT_EQ(indexOfFloat(frameRatesOf(psp), std::nextafter(29.976f, 30.0f), &found), 0);
    EXPECT_EQ(found, -1);

    const FormatPreset& phone = presetRow(findPresetById(600));
    EXPECT_EQ(indexOfName(phone.videoCodecs, "h263", &found), 1);
    EXPECT_EQ(indexOfName(phone.videoCodecs, "", &found), 0);
    EXPECT_EQ(found, -1);
    EXPECT_EQ(indexOfName({}, "MP4", &found), 0);
    EXPECT_EQ(found, -1);

    EXPECT_EQ(indexOfSize(frameSizesOf(phone), 352, 288), 2);
    EXPECT_EQ(indexOfSize(frameSizesOf(phone), 352, 240, &found), 0);
    EXPECT_EQ(found, -1);
    EXPECT_EQ(indexOfInt16(videoBitratesOf(psp), -1), 23);  // "Original" ends the list
}

TEST(FormatPresetTest, CodecNamesAndLabels) {
    EXPECT_EQ(converterCodecName("aac"), "libfaac");
    EXPECT_EQ(converterCodecName("ACC"), "libfaac");
    EXPECT_EQ(converterCodecName("XviD"), "xvid");
    EXPECT_EQ(converterCodecName("DIVX"), "divx");
    EXPECT_EQ(converterCodecName("mpeg4"), "mpeg4");
    EXPECT_EQ(converterCodecName("Mpeg-4"), "mpeg4");
    EXPECT_EQ(converterCodecName("pcm8"), "pcm_s8");
    EXPECT_EQ(converterCodecName(""), "");
    EXPECT_EQ(converterCodecName(static_cast<const char*>(nullptr)), "");
    EXPECT_EQ(converterCodecName(std::string(80, 'Q')), std::string(49, 'q'));

    EXPECT_EQ(codecLabel(""), "(Default)");
    EXPECT_EQ(codecLabel(static_cast<const char*>(nullptr)), "(Default)");
    EXPECT_EQ(codecLabel("wmav2"), "WMAV2");

    EXPECT_EQ(frameRateLabel(14.985f), "14.985");
    EXPECT_EQ(frameRateLabel(29.976f), "29.976");
    EXPECT_EQ(frameRateLabel(23.976f), "23.976");
    EXPECT_EQ(frameRateLabel(30), "30");
    EXPECT_EQ(frameRateLabel(25), "25");
}

}  // namespace
}  // namespace vidmill
