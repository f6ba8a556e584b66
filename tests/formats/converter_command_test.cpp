#include "formats/converter_command.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <limits>
#include <set>

#include "formats/format_preset.h"

namespace vidmill {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

// Splits the text form the way a shell-like reader would: blanks separate,
// double quotes group.
std::vector<std::string> tokens(const std::string& text) {
    std::vector<std::string> out;
    std::string current;
    bool inQuotes = false;
    bool inToken = false;
    for (char c : text) {
        if (c == '"') {
            inQuotes = !inQuotes;
            inToken = true;
        } else if (c == ' ' && !inQuotes) {
            if (inToken) {
                out.push_back(current);
            }
            current.clear();
            inToken = false;
        } else {
            current += c;
            inToken = true;
        }
    }
    if (inToken) {
        out.push_back(current);
    }
    return out;
}

class ConverterCommandTest : public ::testing::Test {
  protected:
    ConverterCommandTest() {
        setDefaultSettings(settings);
        applyPreset(settings, 0);
        slot = 3;
    }

    ConverterCommand convert(int audioFallback = 0) {
        return buildConvertCommand("/app/conv", "/in/a.avi", "/out/a.mp4", "123456789012", slot,
                                   settings, audioFallback);
    }

    void usePreset(int id) { applyPreset(settings, findPresetById(id)); }

    ConversionSettings settings;
    int slot = 0;
};

TEST_F(ConverterCommandTest, PresetOneWithItsOwnValuesGivesTheExactLine) {
    ConverterCommand command = convert();
    EXPECT_EQ(command.text,
              "\"/app/conv\" -y -i \"/in/a.avi\"  -qzmap 123456789012  -qzind 3 -vcodec mpeg4 "
              "-acodec libfaac -f psp -s 368x208 -r 29975/1001 -b 1500kb -ab 128.0kb -ac 2 "
              "-ar 24000  -vol 256 \"/out/a.mp4\"");
    EXPECT_THAT(command.args,
                ElementsAre("/app/conv", "-y", "-i", "/in/a.avi", "-qzmap", "123456789012",
                            "-qzind", "3", "-vcodec", "mpeg4", "-acodec", "libfaac", "-f", "psp",
                            "-s", "368x208", "-r", "29975/1001", "-b", "1500kb", "-ab", "128.0kb",
                            "-ac", "2", "-ar", "24000", "-vol", "256", "/out/a.mp4"));
}

// Each of the formats that the line's rules describe gives, at its defaults,
// nothing but the rules' own words: what was added since adds a word only
// when chosen. "Original" keeps the source's rate where there are pictures.
TEST_F(ConverterCommandTest, TheFormatsAtTheirDefaultsSpeakOnlyTheLinesOwnWords) {
    const std::set<std::string> words = {
        "-y", "-an", "-vn", "-i",     "-qzmap", "-qzind", "-vcodec", "-vtag", "-acodec", "-f",
        "-s", "-r",  "-b",  "-sameq", "-ab",    "-ac",    "-ar",     "-vol",  "-aspect"};
    constexpr std::size_t kFormatsOfTheRules = 32;
    ASSERT_GT(formatPresets().size(), kFormatsOfTheRules);
    for (std::size_t index = 0; index < kFormatsOfTheRules; ++index) {
        const FormatPreset& row = formatPresets()[index];
        setDefaultSettings(settings);
        applyPreset(settings, int(index));
        const std::vector<std::string> args = convert().args;
        for (const std::string& arg : args) {
            if (arg.size() > 1 && arg[0] == '-' &&
                !std::isdigit(static_cast<unsigned char>(arg[1]))) {
                EXPECT_EQ(words.count(arg), 1u) << row.id << " " << arg;
            }
        }
        const bool rate = std::find(args.begin(), args.end(), "-r") != args.end();
        EXPECT_EQ(rate, row.audioOnly || row.frameRate > 0) << row.id;
    }
}

// A size decides the bitrate in place of the format's; two passes follow a
// bitrate; the cut and the picture's choices come last.
TEST_F(ConverterCommandTest, SizeTwoPassesCutAndPictureChoices) {
    struct Case {
        void (*change)(ConversionSettings&);
        std::vector<std::string> present;
        std::vector<std::string> absent;
    } cases[] = {
        {[](ConversionSettings& s) { s.targetSizeKb = 25'000; },
         {"-targetsize 25000000 -ab "},
         {"-b ", "-crf", "-twopass"}},
        {[](ConversionSettings& s) { s.twoPass = true; }, {"-b 1500kb -twopass -ab "}, {}},
        {[](ConversionSettings& s) {
             s.twoPass = true;
             s.videoBitrate = -1;
             s.frameWidth = s.frameHeight = -1;
         },
         {"-sameq"},
         {"-twopass"}},
        {[](ConversionSettings& s) {
             s.cutFromMs = 90'500;
             s.cutToMs = 3'600'000;
         },
         {"-vol 256 -ss 90.500 -to 3600.000 \"/out"},
         {}},
        {[](ConversionSettings& s) {
             s.cropMode = kCropFixed;
             s.cropWidth = 1920;
             s.cropHeight = 800;
             s.cropY = 140;
             s.deinterlace = kDeinterlaceOff;
         },
         {"-vol 256 -crop 1920:800:0:140 -deint off \"/out"},
         {}},
        {[](ConversionSettings& s) {
             s.cropMode = kCropAuto;
             s.deinterlace = kDeinterlaceOn;
             s.disableVideo = true;
         },
         {},
         {"-crop", "-deint"}},
    };
    for (const Case& c : cases) {
        setDefaultSettings(settings);
        applyPreset(settings, 0);
        c.change(settings);
        const std::string text = convert().text;
        for (const std::string& part : c.present) {
            EXPECT_THAT(text, HasSubstr(part));
        }
        for (const std::string& part : c.absent) {
            EXPECT_THAT(text, Not(HasSubstr(part)));
        }
    }
}

// The newer formats encode at a constant quality unless a bitrate is
// chosen; a quality beyond the codec's scale is cut to its end.
TEST_F(ConverterCommandTest, QualityFormatsAskForConstantQualityUnlessABitrateIsChosen) {
    const std::vector<std::string> videoTail = {"-vol", "256", "/out/a.mp4"};
    struct Case {
        int id;
        int quality;  // -1: the format's own
        std::vector<std::string> args;
    };
    const Case cases[] = {
        {1100,
         -1,
         {"-vtag", "hvc1", "-vcodec", "libx265", "-acodec", "libfaac", "-crf", "28", "-ab",
          "128.0kb", "-ac", "2", "-ar", "48000"}},
        {1200,
         -1,
         {"-vcodec", "libsvtav1", "-acodec", "libopus", "-f", "matroska", "-crf", "35", "-ab",
          "128.0kb", "-ac", "2", "-ar", "48000"}},
        {1300,
         63,
         {"-vcodec", "libvpx-vp9", "-acodec", "libopus", "-f", "webm", "-crf", "63", "-ab",
          "128.0kb", "-ac", "2", "-ar", "48000"}},
        {1400,
         63,
         {"-alltracks", "-vcodec", "libx264", "-acodec", "libfaac", "-f", "matroska", "-crf", "51",
          "-ab", "160.0kb"}},
        {1400,
         0,
         {"-alltracks", "-vcodec", "libx264", "-acodec", "libfaac", "-f", "matroska", "-b",
          "3000kb", "-ab", "160.0kb"}},
        {5080,
         -1,
         {"-acodec", "libopus", "-r", "20000/1001", "-sameq", "-ab", "128.0kb", "-ac", "2", "-ar",
          "48000"}},
        {5090, -1, {"-acodec", "flac", "-r", "20000/1001", "-sameq", "-ac", "2"}},
        // A quality left over from another format means nothing to MPEG-4.
        {100,
         30,
         {"-vcodec", "mpeg4", "-acodec", "libfaac", "-f", "psp", "-s", "368x208", "-r",
          "29975/1001", "-b", "1500kb", "-ab", "128.0kb", "-ac", "2", "-ar", "24000"}},
    };
    for (const Case& c : cases) {
        usePreset(c.id);
        if (c.quality >= 0) {
            settings.videoQuality = uint8_t(c.quality);
        }
        std::vector<std::string> args = convert().args;
        const bool audioOnly = c.id >= 5000;
        const std::vector<std::string> tail =
            audioOnly ? std::vector<std::string>{"-vol", "256", "/out/a.mp4"} : videoTail;
        const std::size_t head = audioOnly ? 5 : 4;  // program, -y, [-vn,] -i, source
        ASSERT_GT(args.size(), head + 4 + tail.size());
        EXPECT_EQ(args[2], audioOnly ? "-vn" : "-i") << c.id;
        std::vector<std::string> middle(args.begin() + long(head) + 4,
                                        args.end() - long(tail.size()));
        EXPECT_EQ(middle, c.args) << c.id << " quality " << c.quality;
        EXPECT_TRUE(std::equal(tail.begin(), tail.end(), args.end() - long(tail.size()))) << c.id;
    }
}

TEST_F(ConverterCommandTest, ProbeOpensTheSourceWithoutOutput) {
    slot = -1;
    ConverterCommand command = buildProbeCommand("/app/conv", "/in/a b.avi", "000000000042", slot);
    EXPECT_EQ(command.text, "\"/app/conv\" -y  -qzmap 000000000042  -qzind -1 -i \"/in/a b.avi\" ");
    EXPECT_THAT(command.args, ElementsAre("/app/conv", "-y", "-qzmap", "000000000042", "-qzind",
                                          "-1", "-i", "/in/a b.avi"));
}

TEST_F(ConverterCommandTest, TextAndArgumentsAgreeForEveryPresetAndOption) {
    for (const FormatPreset& row : formatPresets()) {
        for (int aspect : {0, 1, 2}) {
            for (int fallback : {0, 1}) {
                applyPreset(settings, findPresetById(row.id));
                settings.aspect = int16_t(aspect);
                settings.disableAudio = aspect == 1;
                settings.disableVideo = aspect == 2;
                ConverterCommand command = convert(fallback);
                EXPECT_EQ(tokens(command.text), command.args)
                    << row.id << " aspect " << aspect << " fallback " << fallback;
                EXPECT_EQ(command.args.back(), "/out/a.mp4");
            }
        }
    }
}

TEST_F(ConverterCommandTest, AudioOnlyFormatDropsVideoAndWritesTheCustomaryRate) {
    usePreset(5000);
    ASSERT_FALSE(settings.disableVideo);
    ConverterCommand command = convert();
    EXPECT_THAT(command.text, HasSubstr("\"/app/conv\" -y  -vn -i \"/in/a.avi\""));
    EXPECT_THAT(command.text,
                HasSubstr("-acodec libmp3lame -r 20000/1001 -sameq -ab 192.0kb -ac 2 -ar 48000 "));
}

TEST_F(ConverterCommandTest, DisabledAudioStillCarriesTheAudioOptions) {
    settings.disableAudio = true;
    settings.disableVideo = true;
    ConverterCommand command = convert();
    EXPECT_THAT(command.text, HasSubstr("\"/app/conv\" -y  -an  -vn -i "));
    EXPECT_THAT(command.text, HasSubstr("-acodec libfaac "));
    EXPECT_THAT(command.text, HasSubstr("-ab 128.0kb -ac 2 -ar 24000 "));
}

TEST_F(ConverterCommandTest, MpegVideoIsRaisedToTwentyOnlyForSlowKnownRates) {
    usePreset(810);  // MPEG1
    settings.frameRate = 15;
    EXPECT_THAT(convert().text, HasSubstr("-r 20000/1001 "));
    EXPECT_EQ(settings.frameRate, 15.0f);  // the record is only read

    storeText(settings.videoCodec, "mpg2");
    settings.frameRate = 12;
    EXPECT_THAT(convert().text, HasSubstr("-r 20000/1001 "));

    settings.frameRate = -1;
    EXPECT_THAT(convert().text, Not(HasSubstr("-r ")));
    settings.frameRate = 0;
    EXPECT_THAT(convert().text, Not(HasSubstr("-r ")));

    storeText(settings.videoCodec, "MP4");
    settings.frameRate = 15;
    EXPECT_THAT(convert().text, HasSubstr("-r 15000/1001 "));
}

TEST_F(ConverterCommandTest, RatesBecomeThousandthsPer1001Seconds) {
    const std::pair<float, const char*> cases[] = {
        {12, "12000"}, {14.985f, "14984"}, {15, "15000"},      {20, "20000"}, {23.976f, "23975"},
        {24, "24000"}, {25, "25000"},      {29.976f, "29975"}, {30, "30000"},
    };
    for (const auto& [rate, thousandths] : cases) {
        settings.frameRate = rate;
        EXPECT_THAT(convert().text, HasSubstr(std::string("-r ") + thousandths + "/1001 ")) << rate;
    }
}

TEST_F(ConverterCommandTest, RatesThatNoVideoHasGiveNoRateAndNoOverflow) {
    settings.frameRate = std::numeric_limits<float>::quiet_NaN();
    EXPECT_THAT(convert().text, Not(HasSubstr("-r ")));
    settings.frameRate = 1e-6f;
    EXPECT_THAT(convert().text, Not(HasSubstr("-r ")));
    settings.frameRate = std::numeric_limits<float>::infinity();
    EXPECT_THAT(convert().text, HasSubstr("-r 2147483647/1001 "));
    settings.frameRate = 3e38f;
    EXPECT_THAT(convert().text, HasSubstr("-r 2147483647/1001 "));
}

TEST_F(ConverterCommandTest, AspectReplacesTheFrameSize) {
    settings.frameWidth = 320;
    settings.frameHeight = 240;
    settings.aspect = 2;
    ConverterCommand command = convert();
    EXPECT_THAT(command.text, Not(HasSubstr("-s ")));
    EXPECT_THAT(command.text, HasSubstr(" -vol 256  -aspect 16:9 \"/out/a.mp4\""));
    EXPECT_THAT(command.text, Not(HasSubstr("-sameq")));  // the bitrate is still given

    settings.aspect = 1;
    EXPECT_THAT(convert().text, HasSubstr(" -aspect 4:3 \"/out/a.mp4\""));
}

TEST_F(ConverterCommandTest, OriginalSizeAndBitrateAskForSameQuality) {
    settings.frameWidth = settings.frameHeight = -1;
    settings.videoBitrate = -1;
    ConverterCommand command = convert();
    EXPECT_THAT(command.text, HasSubstr("-r 29975/1001 -sameq -ab "));
    EXPECT_THAT(command.text, Not(HasSubstr("-s ")));
    EXPECT_THAT(command.text, Not(HasSubstr("-b ")));

    settings.videoBitrate = 800;  // a bitrate alone is no reason for it
    EXPECT_THAT(convert().text, Not(HasSubstr("-sameq")));
}

TEST_F(ConverterCommandTest, AmrHasItsOwnAudioValuesAndFallbackDropsThem) {
    storeText(settings.audioCodec, "amr");
    settings.audioBitrate = 320;
    settings.channels = 2;
    settings.sampleRate = 48000;
    EXPECT_THAT(convert().text,
                HasSubstr("-acodec libamr_nb -f psp -s 368x208 -r 29975/1001 -b 1500kb "
                          "-ab 12.2kb -ac 1 -ar 8000  -vol 256 "));

    ConverterCommand fallback = convert(1);
    EXPECT_THAT(fallback.text, HasSubstr("-acodec libamr_nb "));
    EXPECT_THAT(fallback.text, HasSubstr("-b 1500kb  -vol 256 \"/out/a.mp4\""));
    EXPECT_THAT(fallback.text, Not(HasSubstr("-ab ")));
    EXPECT_THAT(fallback.text, Not(HasSubstr("-ac ")));
    EXPECT_THAT(fallback.text, Not(HasSubstr("-ar ")));
}

TEST_F(ConverterCommandTest, CodecOptionsFollowTheDisplayNames) {
    auto codecs = [](std::string_view video, std::string_view audio) {
        return buildCodecOptions(video, audio, "").text;
    };
    EXPECT_EQ(codecs("divX", ""), "-vcodec mpeg4 -vtag divx ");
    EXPECT_EQ(codecs("XVID", ""), "-vcodec mpeg4 -vtag xvid ");
    EXPECT_EQ(codecs("XviD", "mp3"), "-vcodec mpeg4 -vtag xvid -acodec libmp3lame ");
    EXPECT_EQ(codecs("MSV2", ""), "-vcodec msmpeg4v2 ");
    EXPECT_EQ(codecs("", "WMA"), "-acodec wmav1 ");
    EXPECT_EQ(codecs("", ""), "");
    EXPECT_THAT(buildCodecOptions("Divx", "", "avi").args,
                ElementsAre("-vcodec", "mpeg4", "-vtag", "divx", "-f", "avi"));

    storeText(settings.videoCodec, "");
    storeText(settings.audioCodec, "");
    ConverterCommand command = convert();
    EXPECT_THAT(command.text, Not(HasSubstr("-vcodec")));
    EXPECT_THAT(command.text, Not(HasSubstr("-acodec")));
}

TEST_F(ConverterCommandTest, VolumeIsScaledTo256ForFullVolume) {
    for (auto [percent, scaled] :
         {std::pair{0, " -vol 0 "}, {25, " -vol 64 "}, {125, " -vol 320 "}, {500, " -vol 1280 "}}) {
        settings.volume = int16_t(percent);
        EXPECT_THAT(convert().text, HasSubstr(scaled)) << percent;
    }
}

TEST_F(ConverterCommandTest, AwkwardPathsReachTheConverterAsOneArgumentEach) {
    const std::string converter = "/opt/my tools/conv \"x\"";
    const std::string source = "-in %s%n %d/\xc3\xa9t\xc3\xa9 \"clip\".avi";
    const std::string output = "/out/100% \xe6\x97\xa5\xe6\x9c\xac -x.mp4";
    ConverterCommand command =
        buildConvertCommand(converter, source, output, "123456789012", slot, settings, 0);
    ASSERT_GE(command.args.size(), 5u);
    EXPECT_EQ(command.args[0], converter);
    EXPECT_EQ(command.args[2], "-i");
    EXPECT_EQ(command.args[3], source);
    EXPECT_EQ(command.args.back(), output);
    EXPECT_THAT(command.text, HasSubstr("-i \"" + source + "\" "));

    ConverterCommand probe = buildProbeCommand(converter, source, "123456789012", slot);
    EXPECT_EQ(probe.args.back(), source);

    // An output that looks like an option reaches the converter as a path.
    const ConverterCommand dashed =
        buildConvertCommand(converter, source, "-x.mp4", "123456789012", slot, settings, 0);
    ASSERT_GE(dashed.args.size(), 2u);
    EXPECT_EQ(dashed.args[dashed.args.size() - 2], "--");
    EXPECT_EQ(dashed.args.back(), "-x.mp4");
}

// The files handed to the converter reach its arguments alone, before the
// part it writes; the pass folder only where two passes may be run.
TEST_F(ConverterCommandTest, HandedFilesGoIntoTheArgumentsAndNotTheText) {
    HandedFiles handed;
    handed.partPath = "/out/.a.mp4.part";
    handed.outputFd = 3;
    handed.inputFd = 4;
    handed.passFolder = "/cache/passes/x";
    struct Case {
        bool twoPass;
        std::vector<std::string> tail;
    };
    for (const Case& c :
         {Case{false, {"-vol", "256", "-outfd", "3", "-infd", "4", "/out/.a.mp4.part"}},
          Case{true,
               {"-outfd", "3", "-infd", "4", "-passdir", "/cache/passes/x", "/out/.a.mp4.part"}}}) {
        settings.twoPass = c.twoPass;
        const ConverterCommand command = buildConvertCommand(
            "/app/conv", "/in/a.avi", "/out/a.mp4", "123456789012", slot, settings, 0, handed);
        ASSERT_GE(command.args.size(), c.tail.size());
        EXPECT_EQ(std::vector<std::string>(command.args.end() - std::ptrdiff_t(c.tail.size()),
                                           command.args.end()),
                  c.tail)
            << c.twoPass;
        EXPECT_EQ(command.text, convert().text) << c.twoPass;
    }
}

}  // namespace
}  // namespace vidmill
