#include "formats/converter_command.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>

#include "formats/format_preset.h"
#include "system/text_utils.h"

namespace vidmill {
namespace {

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

void addDisableOptions(ConverterCommand& command, bool audio, bool video) {
    if (audio) {
        command.add(" -an ", {"-an"});
    }
    if (video) {
        command.add(" -vn ", {"-vn"});
    }
}

void addChannel(ConverterCommand& command, std::string_view channelName, int slot) {
    const std::string slotText = std::to_string(slot);
    command.add(" -qzmap " + std::string(channelName) + " ", {"-qzmap", channelName});
    command.add(" -qzind " + slotText + " ", {"-qzind", slotText});
}

void addInput(ConverterCommand& command, std::string_view sourcePath) {
    command.add("-i " + quoted(sourcePath) + " ", {"-i", sourcePath});
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
    command.add(quoted(converterPath) + " -y ", {converterPath, "-y"});
    addChannel(command, channelName, progressSlot);
    addInput(command, sourcePath);
    return command;
}

ConverterCommand buildConvertCommand(std::string_view converterPath, std::string_view sourcePath,
                                     std::string_view outputPath, std::string_view channelName,
                                     int progressSlot, const ConversionSettings& settings,
                                     int audioFallback) {
    const FormatPreset& row = presetRow(findPresetById(settings.presetId));
    ConverterCommand command;
    command.add(quoted(converterPath) + " -y ", {converterPath, "-y"});
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
        command.add(" -aspect 4:3 ", {"-aspect", "4:3"});
    } else if (values.aspect == 2) {
        command.add(" -aspect 16:9 ", {"-aspect", "16:9"});
    }
    command.add(quoted(outputPath), {outputPath});
    return command;
}

ConverterCommand buildPictureOptions(const ConversionSettings& settings) {
    ConverterCommand command;
    if (settings.cropMode == kCropAuto) {
        command.add("-crop auto ", {"-crop", "auto"});
    } else if (settings.cropMode == kCropFixed) {
        const std::string rect = cropRectText(settings);
        command.add("-crop " + rect + " ", {"-crop", rect});
    }
    // Finding interlaced video is the converter's own default: only a
    // choice the person made adds a word.
    if (settings.deinterlace == kDeinterlaceOff) {
        command.add("-deint off ", {"-deint", "off"});
    } else if (settings.deinterlace == kDeinterlaceOn) {
        command.add("-deint on ", {"-deint", "on"});
    }
    return command;
}

ConverterCommand buildCutOptions(const ConversionSettings& settings) {
    ConverterCommand command;
    auto seconds = [](uint32_t ms) { return format("%u.%03u", ms / 1000, ms % 1000); };
    if (settings.cutFromMs > 0) {
        const std::string from = seconds(settings.cutFromMs);
        command.add("-ss " + from + " ", {"-ss", from});
    }
    if (settings.cutToMs > settings.cutFromMs) {
        const std::string to = seconds(settings.cutToMs);
        command.add("-to " + to + " ", {"-to", to});
    }
    return command;
}

ConverterCommand buildCodecOptions(std::string_view videoCodec, std::string_view audioCodec,
                                   std::string_view container) {
    ConverterCommand command;
    if (!videoCodec.empty()) {
        const std::string name = converterCodecName(videoCodec);
        // DivX and XviD are MPEG-4 in their own wrapping.
        if (name == "divx") {
            command.add("-vcodec mpeg4 -vtag divx ", {"-vcodec", "mpeg4", "-vtag", "divx"});
        } else if (name == "xvid") {
            command.add("-vcodec mpeg4 -vtag xvid ", {"-vcodec", "mpeg4", "-vtag", "xvid"});
        } else {
            command.add("-vcodec " + name + " ", {"-vcodec", name});
        }
    }
    if (!audioCodec.empty()) {
        const std::string name = converterCodecName(audioCodec);
        command.add("-acodec " + name + " ", {"-acodec", name});
    }
    if (!container.empty()) {
        command.add("-f " + std::string(container) + " ", {"-f", container});
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
        const std::string size = format("%dx%d", width, height);
        command.add("-s " + size + " ", {"-s", size});
    }
    if (const long rate = rateInThousandths(settings.frameRate); rate > 0) {
        const std::string value = format("%ld/1001", rate);
        command.add("-r " + value + " ", {"-r", value});
    }
    const std::string_view videoCodec = textOf(settings.videoCodec);
    if (settings.targetSizeKb > 0) {
        // The size decides the bitrate, in two passes where the encoder has them.
        const std::string bytes = std::to_string(std::uint64_t(settings.targetSizeKb) * 1000);
        command.add("-targetsize " + bytes + " ", {"-targetsize", bytes});
    } else if (settings.videoQuality > 0 && hasConstantQuality(videoCodec)) {
        const int quality = std::min<int>(settings.videoQuality, maxQualityOf(videoCodec));
        const std::string value = format("%d", quality);
        command.add("-crf " + value + " ", {"-crf", value});
    } else {
        if (videoBitrate != kOriginalValue) {
            const std::string value = format("%dkb", videoBitrate);
            command.add("-b " + value + " ", {"-b", value});
        }
        if (width == kOriginalValue && videoBitrate == kOriginalValue) {
            command.add("-sameq ", {"-sameq"});
        } else if (settings.twoPass && videoBitrate != kOriginalValue) {
            command.add("-twopass ", {"-twopass"});
        }
    }
    if (audioFallback == 0) {
        if (audioBitrate != float(kOriginalValue)) {
            const std::string value = format("%.1fkb", double(audioBitrate));
            command.add("-ab " + value + " ", {"-ab", value});
        }
        if (channels != kOriginalValue) {
            const std::string value = format("%d", channels);
            command.add("-ac " + value + " ", {"-ac", value});
        }
        if (sampleRate != kOriginalValue) {
            const std::string value = format("%ld", sampleRate);
            command.add("-ar " + value + " ", {"-ar", value});
        }
    }
    const std::string volume = format("%ld", long(settings.volume) * 256 / 100);
    command.add(" -vol " + volume + " ", {"-vol", volume});
    return command;
}

}  // namespace vidmill
