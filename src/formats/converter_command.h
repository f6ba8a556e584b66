#pragma once

// The converter's command lines: the probe, which only opens a source so that
// the converter reports its duration, and the conversion with the options of
// a settings record and its output format.

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "storage/conversion_settings.h"

namespace vidmill {

// A command in two forms built from the same pieces: the argument vector that
// the runner starts (program first, every path one intact argument, no shell
// in between) and the same command as one line with quoted paths, for
// display.
struct ConverterCommand {
    std::vector<std::string> args;
    std::string text;

    // Appends a piece: its text exactly as given and its arguments.
    void add(std::string_view pieceText, std::initializer_list<std::string_view> pieceArgs);
    void append(const ConverterCommand& piece);
};

// The converter opens the source and reports its duration in the given
// progress slot of the named channel; no output is written.
ConverterCommand buildProbeCommand(std::string_view converterPath, std::string_view sourcePath,
                                   std::string_view channelName, int progressSlot);

// What the runner hands the converter beside its command: files open
// already, and where two passes keep their log.
struct HandedFiles {
    std::string_view partPath;    // written instead of the output; empty: the output itself
    int outputFd = -1;            // the file written, open as this descriptor
    int inputFd = -1;             // the source, open as this descriptor
    std::string_view passFolder;  // for a conversion in two passes; empty: none
};

// The conversion of the source into the output with the settings' options.
// With `audioFallback` set the bitrate, channel and sample rate options are
// left out, for converters that refuse them. The settings are only read:
// MPEG-1/2 video slower than 20 fps is raised to 20 in the command alone.
// The files handed over go into the arguments only: the text shows the
// command as it converts, naming the final output.
ConverterCommand buildConvertCommand(std::string_view converterPath, std::string_view sourcePath,
                                     std::string_view outputPath, std::string_view channelName,
                                     int progressSlot, const ConversionSettings& settings,
                                     int audioFallback, const HandedFiles& handed = {});

// The crop and the deinterlacing; nothing for choices that leave the
// picture as it is.
ConverterCommand buildPictureOptions(const ConversionSettings& settings);
// The part of the source converted: -ss and -to in seconds; nothing for the whole.
ConverterCommand buildCutOptions(const ConversionSettings& settings);

// Codec options from display names (empty gives none) and the container.
ConverterCommand buildCodecOptions(std::string_view videoCodec, std::string_view audioCodec,
                                   std::string_view container);

// Frame size, rate, bitrates (or the constant quality, for a codec that has
// one; or the size to fit in, which decides the video's bitrate), two passes
// for a bitrate, audio options and volume. A frame rate of 0 or
// below ("Original") gives no rate option, so the source's rate is kept.
ConverterCommand buildMediaOptions(const ConversionSettings& settings, int audioFallback);

}  // namespace vidmill
