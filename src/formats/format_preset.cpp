#include "formats/format_preset.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "system/path_utils.h"
#include "system/text_utils.h"

namespace vidmill {
namespace {

constexpr int16_t kOriginal = kOriginalValue;

constexpr std::array<FrameSize, 19> kDefaultFrameSizes = {{
    {80, 60},
    {128, 96},
    {160, 120},
    {176, 96},
    {176, 144},
    {208, 160},
    {240, 160},
    {320, 180},
    {320, 240},
    {368, 192},
    {368, 208},
    {480, 320},
    {640, 360},
    {640, 480},
    {720, 480},
    {720, 576},
    {800, 600},
    {1024, 768},
    {kOriginal, kOriginal},
}};
constexpr std::array<float, 8> kDefaultFrameRates = {12, 15, 20, 23.976f, 25, 29.976f, 30, -1};
constexpr std::array<int16_t, 24> kDefaultVideoBitrates = {
    90,   150,  190,  216,  384,  400,  500,  512,  700,  768,  800,  1000,
    1150, 1200, 1300, 1400, 1500, 2000, 2376, 2400, 3000, 4000, 8000, kOriginal};
constexpr std::array<int16_t, 13> kDefaultAudioBitrates = {16,  32,  48,  56,  64,  96, 112,
                                                           128, 160, 192, 224, 256, 320};
constexpr std::array<int32_t, 8> kDefaultSampleRates = {8000,  12000, 16000, 22050,
                                                        24000, 32000, 44100, 48000};
constexpr std::array<int16_t, 2> kChannelChoices = {1, 2};

constexpr std::array<FrameSize, 3> kPspSizes = {{{176, 96}, {368, 192}, {368, 208}}};
constexpr std::array<float, 2> kPspRates = {14.985f, 29.976f};
constexpr std::array<int32_t, 1> kPspMpeg4SampleRates = {24000};
constexpr std::array<int32_t, 1> kPspH264SampleRates = {48000};
constexpr std::array<FrameSize, 3> kIpodSizes = {{{160, 120}, {320, 180}, {320, 240}}};
constexpr std::array<FrameSize, 3> kIpodNanoSizes = {{{320, 192}, {320, 240}, {480, 320}}};
constexpr std::array<FrameSize, 6> kZuneSizes = {
    {{160, 120}, {320, 180}, {320, 240}, {480, 368}, {512, 384}, {640, 480}}};
constexpr std::array<FrameSize, 4> kAppleTvSizes = {
    {{640, 360}, {640, 480}, {960, 540}, {1280, 720}}};
constexpr std::array<float, 4> kAppleTvRates = {15, 23.976f, 25, 29.976f};
constexpr std::array<float, 3> kAppleTvH264Rates = {15, 23.976f, 25};
constexpr std::array<FrameSize, 5> kPhoneSizes = {
    {{128, 96}, {176, 144}, {352, 288}, {704, 576}, {1408, 1152}}};
constexpr std::array<const char*, 2> kPhoneVideoCodecs = {"MP4", "H263"};
constexpr std::array<FrameSize, 5> kPocketPcSizes = {
    {{240, 160}, {320, 240}, {480, 272}, {640, 480}, {800, 600}}};
constexpr std::array<float, 6> kPocketPcRates = {20, 23.976f, 24, 25, 29.976f, 30};
constexpr std::array<int16_t, 8> kPocketPcVideoBitrates = {256, 384, 512,  640,
                                                           768, 900, 1500, 2000};
constexpr std::array<int16_t, 6> kPocketPcAudioBitrates = {64, 80, 96, 128, 160, 196};
constexpr std::array<int32_t, 4> kPocketPcSampleRates = {22050, 32000, 44100, 48000};
constexpr std::array<const char*, 2> kMp4VideoCodecs = {"MP4", "H264"};
constexpr std::array<FrameSize, 2> kDvdSizes = {{{720, 480}, {720, 576}}};
constexpr std::array<const char*, 2> kDvdAudioCodecs = {"MP3", "AC3"};
constexpr std::array<FrameSize, 2> kVcdSizes = {{{352, 240}, {352, 288}}};
constexpr std::array<FrameSize, 2> kSvcdSizes = {{{480, 480}, {480, 576}}};
// Opus codes these rates only.
constexpr std::array<int32_t, 5> kOpusSampleRates = {8000, 12000, 16000, 24000, 48000};
constexpr std::array<int32_t, 10> kOriginalSampleRates = {8000,  12000, 16000, 22050, 24000,
                                                          32000, 44100, 48000, 96000, kOriginal};
constexpr std::array<int16_t, 3> kChannelsOrOriginal = {1, 2, kOriginal};
// A lossless codec has no bitrate to choose.
constexpr std::array<int16_t, 1> kNoAudioBitrate = {kOriginal};

constexpr FormatPreset preset(int16_t id, const char* name, int16_t width, int16_t height,
                              float frameRate, int16_t videoBitrate, int16_t audioBitrate,
                              int16_t channels, int32_t sampleRate, const char* videoCodec,
                              const char* audioCodec, const char* container, const char* extension,
                              bool audioOnly) {
    return FormatPreset{
        id,       name,       width,      height,     frameRate, videoBitrate, audioBitrate,
        channels, sampleRate, videoCodec, audioCodec, container, extension,    nullptr,
        true,     audioOnly,  0,          {},         {},        {},           {},
        {},       {},         {},         {}};
}

using PresetTable = std::array<FormatPreset, kPresetCount>;

constexpr FormatPreset& rowWithId(PresetTable& table, int id) {
    for (FormatPreset& row : table) {
        if (row.id == id) {
            return row;
        }
    }
    throw "no such preset";  // stops the compilation of the table
}

constexpr PresetTable makeTable() {
    constexpr const char* kNone = nullptr;
    constexpr bool kVideo = false;
    constexpr bool kAudio = true;
    PresetTable table = {{
        preset(100, "PSP MPEG-4 Video (*.mp4)", 368, 208, 29.976f, 1500, 128, 2, 24000, "mpeg4",
               "AAC", "psp", "mp4", kVideo),
        preset(110, "PSP H264 Video (*.mp4)", 368, 208, 29.976f, 1500, 128, 2, 48000, "H264", "AAC",
               "psp", "mp4", kVideo),
        preset(200, "iPod Video (*.mp4)", 320, 240, 29.976f, 512, 128, 2, 44100, "MP4", "AAC",
               kNone, "mp4", kVideo),
        preset(210, "iPod Nano Video (*.mp4)", 320, 240, 29.976f, 512, 128, 2, 44100, "MP4", "AAC",
               kNone, "mp4", kVideo),
        preset(220, "iPod Touch Video (*.mp4)", 320, 240, 29.976f, 512, 128, 2, 44100, "MP4", "AAC",
               kNone, "mp4", kVideo),
        preset(300, "iPhone Video (*.mp4)", 320, 240, 29.976f, 512, 128, 2, 44100, "MP4", "AAC",
               kNone, "mp4", kVideo),
        preset(400, "Zune Video (*.mp4)", 320, 240, 29.976f, 512, 128, 2, 44100, "MP4", "AAC",
               kNone, "mp4", kVideo),
        preset(500, "Apple TV Video (*.mp4)", 1280, 720, 29.976f, 512, 128, 2, 44100, "MPEG4",
               "AAC", kNone, "mp4", kVideo),
        preset(510, "Apple TV H264 Video (*.mp4)", 1280, 720, 25, 512, 128, 2, 44100, "H264", "AAC",
               kNone, "mp4", kVideo),
        preset(600, "Mobile Phone 3GP Video (*.3gp)", 176, 144, 15, 190, 32, 2, 8000, "MP4", "AAC",
               kNone, "3gp", kVideo),
        preset(610, "Mobile Phone 3G2 Video (*.3g2)", 352, 288, 15, 190, 32, 2, 16000, "MP4", "AAC",
               kNone, "3g2", kVideo),
        preset(1000, "Pocket PC Video (*.wmv)", 320, 240, 24, 768, 160, 2, 32000, "WMV2", "WMAV2",
               kNone, "wmv", kVideo),
        preset(700, "MP4 Video (*.mp4)", kOriginal, kOriginal, 29.976f, 1200, 128, 2, 48000, "MP4",
               "AAC", kNone, "mp4", kVideo),
        preset(750, "Youtube Video (*.flv)", 320, 240, 29.976f, 1000, 128, 2, 22050, "FLV", "MP3",
               kNone, "flv", kVideo),
        preset(800, "DVD Video (*.vob)", 720, 480, 29.976f, 1500, 128, 2, 48000, "MPEG2", "MP3",
               kNone, "vob", kVideo),
        preset(810, "VCD Video (*.mpg)", 352, 240, 29.976f, 1150, 224, 2, 44100, "MPEG1", "MP3",
               kNone, "mpg", kVideo),
        preset(820, "SVCD Video (*.mpg)", 480, 480, 29.976f, 4000, 224, 2, 48000, "MPEG2", "MP3",
               kNone, "mpg", kVideo),
        preset(900, "MPEG-1 Video (*.mpg)", kOriginal, kOriginal, 29.976f, 1150, 224, 2, 44100,
               "MPEG1", "MP3", kNone, "mpg", kVideo),
        preset(910, "MPEG-2 Video (*.mpg)", kOriginal, kOriginal, 29.976f, 4000, 224, 2, 48000,
               "MPEG2", "MP3", kNone, "mpg", kVideo),
        preset(920, "ASF Video (*.asf)", kOriginal, kOriginal, 29.976f, 1500, 128, 2, 48000,
               "msmpeg4v2", "MP3", kNone, "asf", kVideo),
        preset(930, "Windows Media Video (*.wmv)", kOriginal, kOriginal, -1, 512, 192, 2, 48000,
               "WMV1", "MP3", kNone, "wmv", kVideo),
        preset(940, "QuickTime Video (*.mov)", kOriginal, kOriginal, 29.976f, 1500, 128, 2, 48000,
               "MP4", "AAC", kNone, "mov", kVideo),
        preset(950, "Mobile AVI Video (*.avi)", 320, 240, 25, 4000, 128, 2, 44100, "msmpeg4v2",
               "MP3", kNone, "avi", kVideo),
        preset(960, "DivX Video (*.avi)", kOriginal, kOriginal, 29.976f, 4000, 128, 2, 48000,
               "DIVX", "MP3", kNone, "avi", kVideo),
        preset(970, "XviD Video (*.avi)", kOriginal, kOriginal, 29.976f, 4000, 128, 2, 48000,
               "XVID", "MP3", kNone, "avi", kVideo),
        preset(5000, "MP3 Audio (*.mp3)", kOriginal, kOriginal, -1, kOriginal, 192, 2, 48000, "",
               "MP3", kNone, "mp3", kAudio),
        preset(5020, "AC3 Audio (*.ac3)", kOriginal, kOriginal, -1, kOriginal, 128, 2, 48000, "",
               "AC3", kNone, "ac3", kAudio),
        preset(5030, "AAC Audio (*.m4a)", kOriginal, kOriginal, -1, kOriginal, 128, 2, 44100, "",
               "AAC", kNone, "m4a", kAudio),
        preset(5040, "Ogg Vorbis Audio (*.ogg)", kOriginal, kOriginal, -1, kOriginal, 128, 2, 44100,
               "", "VORBIS", kNone, "ogg", kAudio),
        preset(5050, "WAV Audio (*.wav)", kOriginal, kOriginal, -1, kOriginal, 128, 2, 44100, kNone,
               "pcm", kNone, "wav", kAudio),
        preset(5060, "Windows Media Audio (*.wma)", kOriginal, kOriginal, -1, kOriginal, 128, 2,
               44100, kNone, "WMA", kNone, "wma", kAudio),
        preset(5070, "MP2 Audio (*.mp2)", kOriginal, kOriginal, -1, kOriginal, 128, 2, 44100, kNone,
               "MP2", kNone, "mp2", kAudio),
        preset(1100, "H.265 Video (*.mp4)", kOriginal, kOriginal, -1, 2000, 128, 2, 48000, "H265",
               "AAC", kNone, "mp4", kVideo),
        preset(1200, "AV1 Video (*.mkv)", kOriginal, kOriginal, -1, 2000, 128, 2, 48000, "AV1",
               "OPUS", "matroska", "mkv", kVideo),
        preset(1300, "WebM VP9 Video (*.webm)", kOriginal, kOriginal, -1, 2000, 128, 2, 48000,
               "VP9", "OPUS", "webm", "webm", kVideo),
        preset(1400, "Matroska Video, all tracks (*.mkv)", kOriginal, kOriginal, -1, 3000, 160,
               kOriginal, kOriginal, "H264", "AAC", "matroska", "mkv", kVideo),
        preset(5080, "Opus Audio (*.opus)", kOriginal, kOriginal, -1, kOriginal, 128, 2, 48000,
               kNone, "OPUS", kNone, "opus", kAudio),
        preset(5090, "FLAC Audio (*.flac)", kOriginal, kOriginal, -1, kOriginal, kOriginal, 2,
               kOriginal, kNone, "FLAC", kNone, "flac", kAudio),
    }};

    for (int id : {100, 110}) {
        rowWithId(table, id).frameSizes = kPspSizes;
        rowWithId(table, id).frameRates = kPspRates;
    }
    rowWithId(table, 100).sampleRates = kPspMpeg4SampleRates;
    rowWithId(table, 110).sampleRates = kPspH264SampleRates;
    rowWithId(table, 200).frameSizes = kIpodSizes;
    for (int id : {210, 220, 300}) {
        rowWithId(table, id).frameSizes = kIpodNanoSizes;
    }
    rowWithId(table, 400).frameSizes = kZuneSizes;
    rowWithId(table, 500).frameSizes = kAppleTvSizes;
    rowWithId(table, 510).frameSizes = kAppleTvSizes;
    rowWithId(table, 500).frameRates = kAppleTvRates;
    rowWithId(table, 510).frameRates = kAppleTvH264Rates;
    for (int id : {600, 610}) {
        rowWithId(table, id).frameSizes = kPhoneSizes;
        rowWithId(table, id).videoCodecs = kPhoneVideoCodecs;
    }
    FormatPreset& pocketPc = rowWithId(table, 1000);
    pocketPc.frameSizes = kPocketPcSizes;
    pocketPc.frameRates = kPocketPcRates;
    pocketPc.videoBitrates = kPocketPcVideoBitrates;
    pocketPc.audioBitrates = kPocketPcAudioBitrates;
    pocketPc.sampleRates = kPocketPcSampleRates;
    rowWithId(table, 700).videoCodecs = kMp4VideoCodecs;
    rowWithId(table, 800).frameSizes = kDvdSizes;
    rowWithId(table, 800).audioCodecs = kDvdAudioCodecs;
    rowWithId(table, 810).frameSizes = kVcdSizes;
    rowWithId(table, 820).frameSizes = kSvcdSizes;
    // Apple's players take H.265 in MP4 only under this tag.
    rowWithId(table, 1100).extraOptions = "-vtag hvc1";
    rowWithId(table, 1400).extraOptions = "-alltracks";
    rowWithId(table, 1100).quality = 28;
    rowWithId(table, 1200).quality = 35;
    rowWithId(table, 1300).quality = 33;
    rowWithId(table, 1400).quality = 23;
    for (int id : {1200, 1300}) {
        rowWithId(table, id).sampleRates = kOpusSampleRates;
    }
    rowWithId(table, 5080).sampleRates = kOpusSampleRates;
    rowWithId(table, 1400).sampleRates = kOriginalSampleRates;
    rowWithId(table, 1400).channelCounts = kChannelsOrOriginal;
    rowWithId(table, 5090).sampleRates = kOriginalSampleRates;
    rowWithId(table, 5090).audioBitrates = kNoAudioBitrate;
    return table;
}

constexpr PresetTable kPresets = makeTable();

struct CodecName {
    const char* display;
    const char* converter;
};

// Looked up in this order; the first match wins.
constexpr std::array<CodecName, 26> kCodecNameTable = {{
    {"MP4", "mpeg4"},        {"MPEG-4", "mpeg4"},    {"WMV1", "wmv1"},
    {"WMV2", "wmv2"},        {"H264", "libx264"},    {"H263", "h263"},
    {"MPG1", "mpeg1video"},  {"MPG2", "mpeg2video"}, {"MPEG1", "mpeg1video"},
    {"MPEG2", "mpeg2video"}, {"MSV2", "msmpeg4v2"},  {"MJPG", "mjpeg"},
    {"AAC", "libfaac"},      {"MP3", "libmp3lame"},  {"PCM", "pcm_s16le"},
    {"WMA", "wmav1"},        {"AMR", "libamr_nb"},   {"AC3", "ac3"},
    {"PCM8", "pcm_s8"},      {"ACC", "libfaac"},     {"H265", "libx265"},
    {"HEVC", "libx265"},     {"AV1", "libsvtav1"},   {"VP9", "libvpx-vp9"},
    {"OPUS", "libopus"},     {"FLAC", "flac"},
}};

// The constant-quality scales of the encoders behind these names: 1 is the
// best, `worst` the smallest file.
struct QualityRange {
    const char* codec;
    int worst;
};
constexpr std::array<QualityRange, 4> kQualityRanges = {{
    {"libx264", 51},
    {"libx265", 51},
    {"libsvtav1", 63},
    {"libvpx-vp9", 63},
}};

// Letter case is folded for ASCII only, whatever the locale, so that paths
// and codec names compare the same everywhere.
char asciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

char asciiUpper(char c) {
    return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c;
}

std::string_view textOrEmpty(const char* text) {
    return text != nullptr ? std::string_view(text) : std::string_view();
}

template <typename T, typename Match>
int indexWhere(std::span<const T> list, int* found, Match match) {
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (match(list[i])) {
            if (found != nullptr) {
                *found = int(i);
            }
            return int(i);
        }
    }
    if (found != nullptr) {
        *found = -1;
    }
    return 0;
}

}  // namespace

std::span<const FormatPreset> formatPresets() {
    return kPresets;
}

int findPresetById(int id) {
    for (int i = 0; i < kPresetCount; ++i) {
        if (kPresets[std::size_t(i)].id == id) {
            return i;
        }
    }
    return 0;
}

int presetAt(int index) {
    return index >= 0 && index < kPresetCount ? index : 0;
}

const FormatPreset& presetRow(int index) {
    return kPresets[std::size_t(presetAt(index))];
}

std::string presetExtension(int presetId) {
    return std::string(".") + presetRow(findPresetById(presetId)).extension;
}

std::span<const FrameSize> frameSizesOf(const FormatPreset& row) {
    return row.frameSizes.empty() ? std::span<const FrameSize>(kDefaultFrameSizes) : row.frameSizes;
}

std::span<const float> frameRatesOf(const FormatPreset& row) {
    return row.frameRates.empty() ? std::span<const float>(kDefaultFrameRates) : row.frameRates;
}

std::span<const int16_t> videoBitratesOf(const FormatPreset& row) {
    return row.videoBitrates.empty() ? std::span<const int16_t>(kDefaultVideoBitrates)
                                     : row.videoBitrates;
}

std::span<const int16_t> audioBitratesOf(const FormatPreset& row) {
    return row.audioBitrates.empty() ? std::span<const int16_t>(kDefaultAudioBitrates)
                                     : row.audioBitrates;
}

std::span<const int32_t> sampleRatesOf(const FormatPreset& row) {
    return row.sampleRates.empty() ? std::span<const int32_t>(kDefaultSampleRates)
                                   : row.sampleRates;
}

std::span<const int16_t> channelChoicesOf(const FormatPreset& row) {
    return row.channelCounts.empty() ? std::span<const int16_t>(kChannelChoices)
                                     : row.channelCounts;
}

int indexOfInt16(std::span<const int16_t> list, int value, int* found) {
    return indexWhere(list, found, [&](int16_t item) { return item == value; });
}

int indexOfInt32(std::span<const int32_t> list, int32_t value, int* found) {
    return indexWhere(list, found, [&](int32_t item) { return item == value; });
}

int indexOfFloat(std::span<const float> list, float value, int* found) {
    return indexWhere(list, found, [&](float item) { return item == value; });
}

int indexOfSize(std::span<const FrameSize> list, int width, int height, int* found) {
    return indexWhere(list, found, [&](const FrameSize& item) {
        return item.width == width && item.height == height;
    });
}

int indexOfName(std::span<const char* const> list, std::string_view name, int* found) {
    return indexWhere(list, found, [&](const char* item) {
        return !name.empty() && equalsIgnoringCase(textOrEmpty(item), name);
    });
}

void setDefaultSettings(ConversionSettings& settings) {
    storeText(settings.destinationFolder, "");
    storeText(settings.reservedText, "");
    storeText(settings.lastAddFolder, "");
    applyPreset(settings, 0);
    settings.showToolbar = true;
    settings.reservedFlag = true;
    settings.showMainSettings = true;
    settings.showStatusBar = true;
    settings.lastUpdateCheckDay = 0;
    settings.showTips = true;
    settings.maxConcurrent = kDefaultMaxConcurrent;
    settings.saveHistory = true;
    settings.removeStopped = true;
    settings.useInternalPlayer = true;
    settings.shutdownAfter = false;
    settings.exitAfter = false;
    settings.converterPriority = kNormalConverterPriority;
    settings.targetSizeKb = 0;
    settings.twoPass = false;
    settings.cutFromMs = settings.cutToMs = 0;
    settings.cropMode = kCropOff;
    settings.cropWidth = settings.cropHeight = settings.cropX = settings.cropY = 0;
    settings.deinterlace = kDeinterlaceAuto;
    // Until the user picks a codec the converter chooses its own.
    storeText(settings.videoCodec, "");
    storeText(settings.audioCodec, "");
}

void applyPreset(ConversionSettings& settings, int rowIndex) {
    const FormatPreset& row = presetRow(rowIndex);
    settings.presetId = row.id;
    settings.frameWidth = row.width;
    settings.frameHeight = row.height;
    settings.frameRate = row.frameRate;
    settings.videoBitrate = row.videoBitrate;
    settings.videoQuality = row.quality;
    settings.audioBitrate = row.audioBitrate;
    settings.channels = row.channels;
    settings.sampleRate = row.sampleRate;
    storeText(settings.videoCodec, textOrEmpty(row.videoCodec));
    storeText(settings.audioCodec, textOrEmpty(row.audioCodec));
    settings.disableVideo = false;
    settings.aspect = 0;
    settings.disableAudio = false;
    settings.volume = kNormalVolume;
}

namespace {

const QualityRange* qualityRangeOf(std::string_view videoCodec) {
    const std::string name = converterCodecName(videoCodec);
    for (const QualityRange& range : kQualityRanges) {
        if (name == range.codec) {
            return &range;
        }
    }
    return nullptr;
}

}  // namespace

bool hasConstantQuality(std::string_view videoCodec) {
    return qualityRangeOf(videoCodec) != nullptr;
}

int maxQualityOf(std::string_view videoCodec) {
    const QualityRange* range = qualityRangeOf(videoCodec);
    return range != nullptr ? range->worst : 0;
}

std::string converterCodecName(const char* displayName) {
    return converterCodecName(textOrEmpty(displayName));
}

std::string codecLabel(const char* codec) {
    return codecLabel(textOrEmpty(codec));
}

std::string converterCodecName(std::string_view display) {
    std::string name;
    for (const CodecName& codec : kCodecNameTable) {
        if (equalsIgnoringCase(codec.display, display)) {
            name = codec.converter;
            break;
        }
    }
    if (name.empty()) {
        name = display.substr(0, kCodecNameCapacity - 1);
    }
    for (char& c : name) {
        c = asciiLower(c);
    }
    return name;
}

std::string codecLabel(std::string_view text) {
    if (text.empty()) {
        return "(Default)";
    }
    std::string label(text.substr(0, kCodecNameCapacity - 1));
    for (char& c : label) {
        c = asciiUpper(c);
    }
    return label;
}

std::string frameRateLabel(float rate) {
    const double value = rate;
    const double whole = std::trunc(value);
    char text[64];
    if (value - whole >= 0.00001) {
        std::snprintf(text, sizeof text, "%.3f", value);
    } else {
        std::snprintf(text, sizeof text, "%.0f", whole);
    }
    return text;
}

}  // namespace vidmill
