#include "formats/converter_command.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>

#include "formats/format_preset.h"
#include "formats/settings_rules.h"
#include "process/converter_words.h"
#include "system/text_utils.h"

namespace vidmill {
namespace {

using namespace converter_word;

// The rate at which MPEG-1 and MPEG-2 video start: slower video is raised.
constexpr float kMinMpegFrameRate = 20.0f;
// The rate written for "Original" when there are no pictures to time.
constexpr float kNoPicturesFrameRate = 20.0f;

bool isMpeg12Codec(std::string_view codec) {
    for (std::string_view name : {"MPG1", "MPG2", "MPEG1", "MPEG2"}) {
        if (equalsIgnoringCase(codec, name)) {
            return true;
        }
    }
    return false;
}

std::string quoted(std::string_view path) {
    std::string text = "\"";
    text += path;
    text += '"';
    return text;
}

std::string format(const char* pattern, auto... values) {
    char text[64];
    std::snprintf(text, sizeof text, pattern, values...);
    return text;
}

// The converter counts frames per 1001 seconds; 0 when the rate gives none
// (the "Original" rate, or a value no file could have had).
long rateInThousandths(float rate) {
    // NaN fails this test too.
    if (!(rate > 0.0f)) {
        return 0;
    }
    const double thousandths = std::trunc(double(rate) * 1000.0);
    return thousandths >= double(INT32_MAX) ? long(INT32_MAX) : long(thousandths);
}

// "NAME VALUE " in the text and two arguments; `lead` puts a space before
// it, where the customary line has one.
void addOption(ConverterCommand& command, const char* name, std::string_view value,
               bool lead = false) {
    command.add(std::string(lead ? " " : "") + name + " " + std::string(value) + " ",
                {name, value});
}

void addFlag(ConverterCommand& command, const char* name, bool lead = false) {
    command.add(std::string(lead ? " " : "") + name + " ", {name});
}

void addProgram(ConverterCommand& command, std::string_view converterPath) {
    command.add(quoted(converterPath), {converterPath});
    addFlag(command, kOverwrite, true);
}

void addDisableOptions(ConverterCommand& command, bool audio, bool video) {
    if (audio) {
        addFlag(command, kNoAudio, true);
    }
    if (video) {
        addFlag(command, kNoVideo, true);
    }
}

void addChannel(ConverterCommand& command, std::string_view channelName, int slot) {
    addOption(command, kChannel, channelName, true);
    addOption(command, kSlot, std::to_string(slot), true);
}

void addInput(ConverterCommand& command, std::string_view sourcePath) {
    command.add(std::string(kInput) + " " + quoted(sourcePath) + " ", {kInput, sourcePath});
}

// How the converter gets at its files changes nothing of what the command
// does: the text shows none of it, and names the final output.
void addHandedFiles(ConverterCommand& command, const HandedFiles& handed, bool twoPasses) {
    if (handed.outputFd >= 0) {
        command.args.insert(command.args.end(), {kOutputFd, std::to_string(handed.outputFd)});
    }
    if (handed.inputFd >= 0) {
        command.args.insert(command.args.end(), {kInputFd, std::to_string(handed.inputFd)});
    }
    if (twoPasses && !handed.passFolder.empty()) {
        command.args.insert(command.args.end(), {kPassFolder, std::string(handed.passFolder)});
    }
}

// Options written into a preset as they stand.
void addExtraOptions(ConverterCommand& command, std::string_view options) {
    ConverterCommand piece;
    piece.text = std::string(options) + " ";
    std::size_t start = 0;
    while (start < options.size()) {
        std::size_t end = options.find(' ', start);
        if (end == std::string_view::npos) {
            end = options.size();
        }
        if (end > start) {
            piece.args.emplace_back(options.substr(start, end - start));
        }
        start = end + 1;
    }
    command.append(piece);
}

}  // namespace

void ConverterCommand::add(std::string_view pieceText,
                           std::initializer_list<std::string_view> pieceArgs) {
    text += pieceText;
    for (std::string_view arg : pieceArgs) {
        args.emplace_back(arg);
    }
}

void ConverterCommand::append(const ConverterCommand& piece) {
    text += piece.text;
    args.insert(args.end(), piece.args.begin(), piece.args.end());
}

ConverterCommand buildProbeCommand(std::string_view converterPath, std::string_view sourcePath,
                                   std::string_view channelName, int progressSlot) {
    ConverterCommand command;
    addProgram(command, converterPath);
    addChannel(command, channelName, progressSlot);
    addInput(command, sourcePath);
    return command;
}

ConverterCommand buildConvertCommand(std::string_view converterPath, std::string_view sourcePath,
                                     std::string_view outputPath, std::string_view channelName,
                                     int progressSlot, const ConversionSettings& settings,
                                     int audioFallback, const HandedFiles& handed) {
    const FormatPreset& row = presetRow(findPresetById(settings.presetId));
    ConverterCommand command;
    addProgram(command, converterPath);
    addDisableOptions(command, settings.disableAudio, settings.disableVideo || row.audioOnly);
    addInput(command, sourcePath);
    addChannel(command, channelName, progressSlot);
    if (row.extraOptions != nullptr && row.extraOptions[0] != '\0') {
        addExtraOptions(command, row.extraOptions);
    }
    command.append(buildCodecOptions(textOf(settings.videoCodec), textOf(settings.audioCodec),
                                     row.container != nullptr ? row.container : ""));

    ConversionSettings values = settings;
    if (isMpeg12Codec(textOf(values.videoCodec)) && values.frameRate > 0.0f &&
        values.frameRate < kMinMpegFrameRate) {
        values.frameRate = kMinMpegFrameRate;
    }
    // Without pictures a rate changes nothing, and the line keeps its
    // customary 20 for "Original"; with pictures "Original" keeps the
    // source's rate, which 20 would not.
    if ((settings.disableVideo || row.audioOnly) && !(values.frameRate > 0.0f)) {
        values.frameRate = kNoPicturesFrameRate;
    }
    command.append(buildMediaOptions(values, audioFallback));

    if (!settings.disableVideo && !row.audioOnly) {
        command.append(buildPictureOptions(settings));
    }
    command.append(buildCutOptions(settings));
    if (values.aspect == 1) {
        addOption(command, kAspect, "4:3", true);
    } else if (values.aspect == 2) {
        addOption(command, kAspect, "16:9", true);
    }
    addHandedFiles(command, handed, wantsTwoPasses(settings));
    command.text += quoted(outputPath);
    const std::string_view written = handed.partPath.empty() ? outputPath : handed.partPath;
    if (written.starts_with("-")) {
        command.args.emplace_back(kEndOfOptions);  // a path, not an option
    }
    command.args.emplace_back(written);
    return command;
}

ConverterCommand buildPictureOptions(const ConversionSettings& settings) {
    ConverterCommand command;
    if (settings.cropMode == kCropAuto) {
        addOption(command, kCrop, "auto");
    } else if (settings.cropMode == kCropFixed) {
        addOption(command, kCrop, cropRectText(settings));
    }
    // Finding interlaced video is the converter's own default: only a
    // choice the person made adds a word.
    if (settings.deinterlace == kDeinterlaceOff) {
        addOption(command, kDeinterlace, "off");
    } else if (settings.deinterlace == kDeinterlaceOn) {
        addOption(command, kDeinterlace, "on");
    }
    return command;
}

ConverterCommand buildCutOptions(const ConversionSettings& settings) {
    ConverterCommand command;
    auto seconds = [](uint32_t ms) { return format("%u.%03u", ms / 1000, ms % 1000); };
    if (settings.cutFromMs > 0) {
        addOption(command, kCutFrom, seconds(settings.cutFromMs));
    }
    if (settings.cutToMs > settings.cutFromMs) {
        addOption(command, kCutTo, seconds(settings.cutToMs));
    }
    return command;
}

ConverterCommand buildCodecOptions(std::string_view videoCodec, std::string_view audioCodec,
                                   std::string_view container) {
    ConverterCommand command;
    if (!videoCodec.empty()) {
        const std::string name = converterCodecName(videoCodec);
        // DivX and XviD are MPEG-4 in their own wrapping.
        if (name == "divx" || name == "xvid") {
            addOption(command, kVideoCodec, "mpeg4");
            addOption(command, kVideoTag, name);
        } else {
            addOption(command, kVideoCodec, name);
        }
    }
    if (!audioCodec.empty()) {
        const std::string name = converterCodecName(audioCodec);
        addOption(command, kAudioCodec, name);
    }
    if (!container.empty()) {
        addOption(command, kContainer, container);
    }
    return command;
}

ConverterCommand buildMediaOptions(const ConversionSettings& settings, int audioFallback) {
    // A display aspect lets the converter size the frame itself.
    const int width = settings.aspect != 0 ? kOriginalValue : settings.frameWidth;
    const int height = settings.aspect != 0 ? kOriginalValue : settings.frameHeight;
    const int videoBitrate = settings.videoBitrate;
    float audioBitrate = settings.audioBitrate;
    int channels = settings.channels;
    long sampleRate = settings.sampleRate;
    // AMR narrow band knows one setting only.
    if (equalsIgnoringCase(textOf(settings.audioCodec), "AMR")) {
        audioBitrate = 12.2f;
        channels = 1;
        sampleRate = 8000;
    }

    ConverterCommand command;
    if (width != kOriginalValue) {
        addOption(command, kFrameSize, format("%dx%d", width, height));
    }
    if (const long rate = rateInThousandths(settings.frameRate); rate > 0) {
        addOption(command, kFrameRate, format("%ld/1001", rate));
    }
    const std::string_view videoCodec = textOf(settings.videoCodec);
    if (settings.targetSizeKb > 0) {
        // The size decides the bitrate, in two passes where the encoder has them.
        addOption(command, kTargetSize,
                  std::to_string(std::uint64_t(settings.targetSizeKb) * 1000));
    } else if (settings.videoQuality > 0 && hasConstantQuality(videoCodec)) {
        const int quality = std::min<int>(settings.videoQuality, maxQualityOf(videoCodec));
        addOption(command, kConstantQuality, format("%d", quality));
    } else {
        if (videoBitrate != kOriginalValue) {
            addOption(command, kVideoBitrate, format("%dkb", videoBitrate));
        }
        if (width == kOriginalValue && videoBitrate == kOriginalValue) {
            addFlag(command, kSameQuality);
        } else if (settings.twoPass && videoBitrate != kOriginalValue) {
            addFlag(command, kTwoPass);
        }
    }
    if (audioFallback == 0) {
        if (audioBitrate != float(kOriginalValue)) {
            addOption(command, kAudioBitrate, format("%.1fkb", double(audioBitrate)));
        }
        if (channels != kOriginalValue) {
            addOption(command, kChannels, format("%d", channels));
        }
        if (sampleRate != kOriginalValue) {
            addOption(command, kSampleRate, format("%ld", sampleRate));
        }
    }
    addOption(command, kVolume, format("%ld", long(settings.volume) * 256 / 100), true);
    return command;
}

}  // namespace vidmill
