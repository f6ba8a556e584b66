#pragma once

// The converter's command line: exactly the options that the engine writes,
// one option or value per argument, the output path last (a probe names
// none). Anything else is refused before a file is touched.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vidmill {

struct PictureSize {
    int width = 0;
    int height = 0;
};

struct Ratio {
    int num = 0;
    int den = 1;
};

// A rectangle of the picture, in the source's pixels before any turn.
struct CropRect {
    int width = 0;
    int height = 0;
    int x = 0;
    int y = 0;
};

enum class PictureChoice { Off, Auto, On };

struct ConverterOptions {
    std::string inputPath;                     // -i
    std::optional<std::string> outputPath;     // last argument; absent for a probe
    int outputFd = -1;                         // -outfd: the output file, already open
    int inputFd = -1;                          // -infd: the input file, already open
    bool overwrite = false;                    // -y
    bool noAudio = false;                      // -an
    bool noVideo = false;                      // -vn
    std::string channelName;                   // -qzmap; empty: no progress reports
    int slotIndex = -1;                        // -qzind
    std::string videoCodec;                    // -vcodec, as written
    std::string videoTag;                      // -vtag, as written
    std::string audioCodec;                    // -acodec, as written
    std::string container;                     // -f
    std::optional<PictureSize> frameSize;      // -s WxH
    std::optional<Ratio> frameRate;            // -r N/D
    std::optional<std::int64_t> videoBitrate;  // -b, in bit/s
    bool sameQuality = false;                  // -sameq
    std::optional<int> constantQuality;        // -crf N: the encoder's constant-quality scale
    std::optional<std::int64_t> audioBitrate;  // -ab, in bit/s
    std::optional<int> channels;               // -ac
    std::optional<int> sampleRate;             // -ar
    int volume = 256;                          // -vol: 256 leaves the level as it is
    std::optional<Ratio> aspect;               // -aspect W:H, display aspect
    bool allTracks = false;                    // -alltracks: every audio track and subtitle
    std::optional<std::int64_t> targetSize;    // -targetsize BYTES: the video's bitrate fills it
    bool twoPass = false;                      // -twopass, where the video encoder has two passes
    std::string passFolder;                    // -passdir: where first passes keep their logs
    double cutFrom = 0.0;                      // -ss SECONDS: the output starts there
    std::optional<double> cutTo;               // -to SECONDS: and ends there
    PictureChoice crop = PictureChoice::Off;   // -crop off|auto|W:H:X:Y
    CropRect cropRect;                         // the fixed one (crop On)
    // Found by a look at the pictures unless told: what a person expects.
    PictureChoice deinterlace = PictureChoice::Auto;  // -deint off|auto|on
    std::string fieldOrder = "auto";                  // for On: "tff", "bff", or as each frame says

    bool isProbe() const { return !outputPath.has_value(); }
    bool cuts() const { return cutFrom > 0.0 || cutTo.has_value(); }
    // Asked for two passes, or for a size that two passes meet best.
    bool wantsTwoPasses() const { return twoPass || targetSize.has_value(); }
    bool audioOptionsRequested() const {
        return audioBitrate.has_value() || channels.has_value() || sampleRate.has_value();
    }
};

struct ParsedOptions {
    std::optional<ConverterOptions> options;  // absent when the command line is refused
    std::string error;                        // one line saying why
};

// `args` is the argument vector without the program name.
ParsedOptions parseConverterOptions(const std::vector<std::string>& args);

// What --help prints, made from the tables that the parser reads.
const std::string& converterUsage();

// The encoder this FFmpeg knows for a codec name the engine writes: legacy
// names are mapped (libfaac -> aac, vorbis -> libvorbis, libamr_nb ->
// libopencore_amrnb, divx/xvid -> mpeg4); other names pass through.
std::string encoderNameFor(std::string_view codecName);

// The fourcc stored for a -vtag value. The engine writes the DivX and XviD
// tags in lower case, which players know only in upper case (DIVX, XVID);
// any other tag is stored as written, so that "hvc1" stays hvc1.
std::uint32_t fourccFor(std::string_view tag);

}  // namespace vidmill
