#include "converter/converter_options.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <functional>
#include <map>

#include "process/channel_layout.h"
#include "process/converter_words.h"

namespace vidmill {

namespace {

using namespace converter_word;

constexpr int kMaxDimension = 16384;
constexpr int kMaxRateTerm = 1000000;
constexpr int kMaxFramesPerSecond = 1000;
constexpr std::int64_t kMaxBitrateKbit = 1000000;
constexpr int kMaxChannels = 8;
constexpr int kMaxSampleRate = 768000;
constexpr int kMaxVolume = 65536;
constexpr std::size_t kMaxNameLength = 49;
// The widest constant-quality scale of the encoders that have one (SVT-AV1, VP9).
constexpr int kMaxConstantQuality = 63;
constexpr int kMaxOutputDescriptor = 1023;
// A kilobyte up to a terabyte.
constexpr std::int64_t kMinTargetSize = 1000;
constexpr std::int64_t kMaxTargetSize = 1000LL * 1000 * 1000 * 1000;

// A whole number in [low, high] that fills the text.
std::optional<int> parseInt(std::string_view text, int low, int high) {
    int value = 0;
    const char* end = text.data() + text.size();
    auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end || value < low || value > high) {
        return std::nullopt;
    }
    return value;
}

// A time in seconds, "150" or "12.345": at most a day, to the millisecond.
std::optional<double> parseSeconds(std::string_view text) {
    const auto dot = text.find('.');
    auto whole = parseInt(text.substr(0, dot), 0, 24 * 3600);
    if (!whole) {
        return std::nullopt;
    }
    double seconds = *whole;
    if (dot != std::string_view::npos) {
        std::string_view fraction = text.substr(dot + 1);
        auto thousandths = parseInt(fraction, 0, 999);
        if (!thousandths || fraction.size() > 3) {
            return std::nullopt;
        }
        double scale = 0.1;
        for (char c : fraction) {
            seconds += (c - '0') * scale;
            scale /= 10;
        }
    }
    return seconds;
}

// "N/D" or "N".
std::optional<Ratio> parseRate(std::string_view text) {
    const auto slash = text.find('/');
    auto num = parseInt(text.substr(0, slash), 1, kMaxRateTerm);
    if (!num) {
        return std::nullopt;
    }
    if (slash == std::string_view::npos) {
        return *num <= kMaxFramesPerSecond ? std::optional<Ratio>(Ratio{*num, 1}) : std::nullopt;
    }
    auto den = parseInt(text.substr(slash + 1), 1, kMaxRateTerm);
    if (!den || *num > std::int64_t{kMaxFramesPerSecond} * *den) {
        return std::nullopt;
    }
    return Ratio{*num, *den};
}

std::optional<Ratio> parseAspect(std::string_view text) {
    const auto colon = text.find(':');
    if (colon == std::string_view::npos) {
        return std::nullopt;
    }
    auto width = parseInt(text.substr(0, colon), 1, kMaxDimension);
    auto height = parseInt(text.substr(colon + 1), 1, kMaxDimension);
    if (!width || !height) {
        return std::nullopt;
    }
    return Ratio{*width, *height};
}

std::optional<PictureSize> parseSize(std::string_view text) {
    const auto x = text.find('x');
    if (x == std::string_view::npos) {
        return std::nullopt;
    }
    auto width = parseInt(text.substr(0, x), 1, kMaxDimension);
    auto height = parseInt(text.substr(x + 1), 1, kMaxDimension);
    if (!width || !height) {
        return std::nullopt;
    }
    return PictureSize{*width, *height};
}

// "1500kb" (video) or "128.0kb" (audio, one optional decimal part) in bit/s.
std::optional<std::int64_t> parseKilobits(std::string_view text, bool allowFraction) {
    if (text.size() < 3 || text.substr(text.size() - 2) != "kb") {
        return std::nullopt;
    }
    text.remove_suffix(2);
    const auto dot = text.find('.');
    if (dot != std::string_view::npos && !allowFraction) {
        return std::nullopt;
    }
    auto whole = parseInt(text.substr(0, dot), 0, kMaxBitrateKbit);
    if (!whole) {
        return std::nullopt;
    }
    std::int64_t bits = std::int64_t{*whole} * 1000;
    if (dot != std::string_view::npos) {
        std::string_view fraction = text.substr(dot + 1);
        if (fraction.empty() || fraction.size() > 3 ||
            !std::all_of(fraction.begin(), fraction.end(),
                         [](char c) { return c >= '0' && c <= '9'; })) {
            return std::nullopt;
        }
        std::int64_t scale = 100;
        for (char c : fraction) {
            bits += (c - '0') * scale;
            scale /= 10;
        }
    }
    if (bits <= 0) {
        return std::nullopt;
    }
    return bits;
}

bool isName(std::string_view text) {
    return !text.empty() && text.size() <= kMaxNameLength &&
           std::all_of(text.begin(), text.end(), [](unsigned char c) {
               return std::isalnum(c) != 0 || c == '_' || c == '-';
           });
}

bool isFourcc(std::string_view text) {
    return !text.empty() && text.size() <= 4 &&
           std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isalnum(c); });
}

// Applies one option's value; false when the value is malformed.
using ValueSetter = std::function<bool(ConverterOptions&, const std::string&)>;

struct ValueOption {
    const char* placeholder;  // what the usage calls the value
    const char* help;         // lines of the usage
    ValueSetter set;
};

const std::map<std::string, ValueOption, std::less<>>& valueOptions() {
    static const std::map<std::string, ValueOption, std::less<>> options = {
        {kInput,
         {"FILE", "the input file (with -infd: its name, for messages)",
          [](ConverterOptions& o, const std::string& v) {
              o.inputPath = v;
              return !v.empty();
          }}},
        {kChannel,
         {"NAME", "the shared-memory progress channel to report in\n(empty: report nothing)",
          [](ConverterOptions& o, const std::string& v) {
              // Empty when the engine has no channel: the run then reports nothing.
              o.channelName = v;
              return v.empty() || channel_layout::isChannelName(v);
          }}},
        {kSlot,
         {"N", "this run's slot in the channel",
          [](ConverterOptions& o, const std::string& v) {
              auto slot = parseInt(v, -1, channel_layout::kSlotCount - 1);
              o.slotIndex = slot.value_or(-1);
              return slot.has_value();
          }}},
        {kOutputFd,
         {"FD", "write the output through this open descriptor;\nOUTPUT then only names it",
          [](ConverterOptions& o, const std::string& v) {
              // Never one of the standard streams.
              auto fd = parseInt(v, 3, kMaxOutputDescriptor);
              o.outputFd = fd.value_or(-1);
              return fd.has_value();
          }}},
        {kInputFd,
         {"FD", "read the input through this open descriptor",
          [](ConverterOptions& o, const std::string& v) {
              // The file as the engine found it: `-i` then only names it.
              auto fd = parseInt(v, 3, kMaxOutputDescriptor);
              o.inputFd = fd.value_or(-1);
              return fd.has_value();
          }}},
        {kVideoCodec,
         {"NAME",
          "video encoder (libfaac, vorbis, divx, xvid and\nthe other legacy names are mapped)",
          [](ConverterOptions& o, const std::string& v) {
              o.videoCodec = v;
              return isName(v);
          }}},
        {kVideoTag,
         {"TAG", "the video stream's fourcc (divx, xvid, hvc1, ...)",
          [](ConverterOptions& o, const std::string& v) {
              o.videoTag = v;
              return isFourcc(v);
          }}},
        {kAudioCodec,
         {"NAME", "audio encoder",
          [](ConverterOptions& o, const std::string& v) {
              o.audioCodec = v;
              return isName(v);
          }}},
        {kContainer,
         {"FORMAT", "output container (mp4, avi, matroska, ...)",
          [](ConverterOptions& o, const std::string& v) {
              o.container = v;
              return isName(v);
          }}},
        {kFrameSize,
         {"WxH", "frame size",
          [](ConverterOptions& o, const std::string& v) {
              o.frameSize = parseSize(v);
              return o.frameSize.has_value();
          }}},
        {kFrameRate,
         {"N[/D]", "frame rate, such as 25 or 30000/1001",
          [](ConverterOptions& o, const std::string& v) {
              o.frameRate = parseRate(v);
              return o.frameRate.has_value();
          }}},
        {kVideoBitrate,
         {"Nkb", "video bitrate in kbit/s, such as 1500kb",
          [](ConverterOptions& o, const std::string& v) {
              o.videoBitrate = parseKilobits(v, false);
              return o.videoBitrate.has_value();
          }}},
        {kConstantQuality,
         {"N", "constant quality on the encoder's scale, 1 to 63",
          [](ConverterOptions& o, const std::string& v) {
              o.constantQuality = parseInt(v, 1, kMaxConstantQuality);
              return o.constantQuality.has_value();
          }}},
        {kAudioBitrate,
         {"N[.N]kb", "audio bitrate in kbit/s, such as 128.0kb",
          [](ConverterOptions& o, const std::string& v) {
              o.audioBitrate = parseKilobits(v, true);
              return o.audioBitrate.has_value();
          }}},
        {kChannels,
         {"N", "audio channels, 1 to 8",
          [](ConverterOptions& o, const std::string& v) {
              o.channels = parseInt(v, 1, kMaxChannels);
              return o.channels.has_value();
          }}},
        {kSampleRate,
         {"HZ", "audio sample rate",
          [](ConverterOptions& o, const std::string& v) {
              o.sampleRate = parseInt(v, 1, kMaxSampleRate);
              return o.sampleRate.has_value();
          }}},
        {kVolume,
         {"N", "volume: 256 leaves it as it is, 512 doubles it",
          [](ConverterOptions& o, const std::string& v) {
              auto volume = parseInt(v, 0, kMaxVolume);
              o.volume = volume.value_or(256);
              return volume.has_value();
          }}},
        {kTargetSize,
         {"BYTES", "choose the video bitrate that fills this size",
          [](ConverterOptions& o, const std::string& v) {
              std::int64_t bytes = 0;
              const char* end = v.data() + v.size();
              auto [stop, error] = std::from_chars(v.data(), end, bytes);
              if (v.empty() || error != std::errc() || stop != end || bytes < kMinTargetSize ||
                  bytes > kMaxTargetSize) {
                  return false;
              }
              o.targetSize = bytes;
              return true;
          }}},
        {kPassFolder,
         {"DIR", "where two passes keep the first pass's log\n(an absolute path)",
          [](ConverterOptions& o, const std::string& v) {
              o.passFolder = v;
              return !v.empty() && v[0] == '/';
          }}},
        {kCutFrom,
         {"SECONDS", "start the output there (such as 90 or 12.345)",
          [](ConverterOptions& o, const std::string& v) {
              auto seconds = parseSeconds(v);
              o.cutFrom = seconds.value_or(0.0);
              return seconds.has_value();
          }}},
        {kCutTo,
         {"SECONDS", "and end it there",
          [](ConverterOptions& o, const std::string& v) {
              o.cutTo = parseSeconds(v);
              return o.cutTo.has_value() && *o.cutTo > 0.0;
          }}},
        {kCrop,
         {"off|auto|W:H:X:Y",
          "remove black bars: found (auto) or a fixed\nrectangle, before any scaling",
          [](ConverterOptions& o, const std::string& v) {
              if (v == "off" || v == "auto") {
                  o.crop = v == "off" ? PictureChoice::Off : PictureChoice::Auto;
                  return true;
              }
              int values[4] = {};
              std::size_t start = 0;
              for (int i = 0; i < 4; ++i) {
                  const std::size_t end = i < 3 ? v.find(':', start) : v.size();
                  if (end == std::string::npos) {
                      return false;
                  }
                  auto value = parseInt(std::string_view(v).substr(start, end - start),
                                        i < 2 ? 16 : 0, kMaxDimension);
                  if (!value) {
                      return false;
                  }
                  values[i] = *value;
                  start = end + 1;
              }
              o.crop = PictureChoice::On;
              o.cropRect = CropRect{values[0], values[1], values[2], values[3]};
              return true;
          }}},
        {kDeinterlace,
         {"off|auto|on", "deinterlace (auto: the interlaced videos only)",
          [](ConverterOptions& o, const std::string& v) {
              o.deinterlace = v == "on"     ? PictureChoice::On
                              : v == "auto" ? PictureChoice::Auto
                                            : PictureChoice::Off;
              return v == "on" || v == "auto" || v == "off";
          }}},
        {kAspect,
         {"W:H", "display aspect ratio",
          [](ConverterOptions& o, const std::string& v) {
              o.aspect = parseAspect(v);
              return o.aspect.has_value();
          }}},
    };
    return options;
}

struct Flag {
    const char* name;
    bool ConverterOptions::*field;
    const char* help;
};

constexpr Flag kFlags[] = {
    {kOverwrite, &ConverterOptions::overwrite, "replace an output that exists"},
    {kNoAudio, &ConverterOptions::noAudio, "leave the audio out"},
    {kNoVideo, &ConverterOptions::noVideo, "leave the video out"},
    {kSameQuality, &ConverterOptions::sameQuality, "constant high quality instead of a bitrate"},
    {kAllTracks, &ConverterOptions::allTracks, "keep every audio track and subtitle"},
    {kTwoPass, &ConverterOptions::twoPass, "encode the video in two passes"},
};

bool setFlag(ConverterOptions& options, std::string_view name) {
    for (const Flag& flag : kFlags) {
        if (name == flag.name) {
            options.*flag.field = true;
            return true;
        }
    }
    return false;
}

bool isKnownOption(std::string_view name) {
    ConverterOptions scratch;
    return setFlag(scratch, name) || valueOptions().count(name) != 0;
}

ParsedOptions refuse(std::string message) {
    return ParsedOptions{std::nullopt, std::move(message)};
}

// One option of the usage: its words, and its help from the column on.
void addUsageLine(std::string& text, std::string words, const char* help) {
    constexpr std::size_t kHelpColumn = 24;
    text += "  " + words + std::string(std::max<std::size_t>(kHelpColumn - words.size(), 2), ' ');
    for (const char* c = help; *c != '\0'; ++c) {
        text += *c;
        if (*c == '\n') {
            text += std::string(2 + kHelpColumn, ' ');
        }
    }
    text += '\n';
}

}  // namespace

const std::string& converterUsage() {
    static const std::string usage = [] {
        std::string text =
            "Usage: vidmill-convert [options] -i INPUT [OUTPUT]\n"
            "  or:  vidmill-convert -probeserver -qzmap NAME\n"
            "The converter that Vidmill starts for every probe and every conversion; it\n"
            "is not meant to be run by hand. Without OUTPUT it probes INPUT: the length\n"
            "goes to the progress channel and the exit status says whether the file can\n"
            "be converted. The output path comes last; one that starts with '-' follows\n"
            "'--'. With\n"
            "-probeserver it probes the files that its standard input asks for, one\n"
            "request a line, until that input ends.\n"
            "\n"
            "Options:\n";
        for (const Flag& flag : kFlags) {
            addUsageLine(text, flag.name, flag.help);
        }
        for (const auto& [name, option] : valueOptions()) {
            addUsageLine(text, name + " " + option.placeholder, option.help);
        }
        addUsageLine(text, "--help", "print this help and exit (as the only option)");
        addUsageLine(text, "--version", "print the version and the licence and exit");
        text +=
            "\n"
            "Exit status:\n"
            "  0    converted, or stopped on request with the output closed\n"
            "  1    out of memory or another unexpected failure\n"
            "  2    usage error\n"
            "  3    the input cannot be opened, read or decoded\n"
            "  4    the output cannot be created, written or closed\n"
            "  5    no such encoder, or it refused the video settings\n"
            "  6    no stream of the input fits the output\n"
            "  7    the input delivered nothing for too long\n"
            "  8    stopped by a signal: the output was removed\n"
            "  236  (-20) a probe found nothing decodable in the file\n"
            "  231  (-25) the audio encoder refused the audio options asked for\n";
        return text;
    }();
    return usage;
}

ParsedOptions parseConverterOptions(const std::vector<std::string>& args) {
    ConverterOptions options;
    const std::size_t count = args.size();
    for (std::size_t i = 0; i < count; ++i) {
        const std::string& arg = args[i];
        // After "--" the last word is the output path, whatever it looks like.
        if (arg == kEndOfOptions && i + 2 == count) {
            if (args[i + 1].empty()) {
                return refuse("empty output path");
            }
            options.outputPath = args[i + 1];
            break;
        }
        // Otherwise the output path comes last and does not look like an
        // option: a mistyped option must not become a file.
        if (i + 1 == count && !isKnownOption(arg)) {
            if (arg.empty()) {
                return refuse("empty output path");
            }
            if (arg.size() > 1 && arg[0] == '-') {
                return refuse("unknown option '" + arg +
                              "' (an output path that starts with "
                              "'-' follows '--')");
            }
            options.outputPath = arg;
            break;
        }
        if (setFlag(options, arg)) {
            continue;
        }
        const auto option = valueOptions().find(arg);
        if (option == valueOptions().end()) {
            if (arg.empty() || arg[0] != '-') {
                return refuse("unexpected argument '" + arg + "' (the output path comes last)");
            }
            return refuse("unknown option '" + arg + "'");
        }
        if (i + 1 == count) {
            return refuse("missing value for " + arg);
        }
        const std::string& value = args[++i];
        if (!option->second.set(options, value)) {
            return refuse("malformed value '" + value + "' for " + arg);
        }
    }
    if (options.inputPath.empty()) {
        return refuse("no input file (-i) given");
    }
    if (options.outputFd >= 0 && options.isProbe()) {
        return refuse("-outfd needs an output path to name the file");
    }
    // Each names the video's quality its own way: together they contradict each other.
    if (options.constantQuality && options.videoBitrate) {
        return refuse("-crf and -b cannot be given together");
    }
    if (options.constantQuality && options.sameQuality) {
        return refuse("-crf and -sameq cannot be given together");
    }
    // A size decides the video's bitrate itself.
    if (options.targetSize &&
        (options.videoBitrate || options.constantQuality || options.sameQuality)) {
        return refuse("-targetsize cannot be given with -b, -crf or -sameq");
    }
    // Two passes share out a bitrate; a quality has none to share.
    if (options.twoPass && (options.constantQuality || options.sameQuality)) {
        return refuse("-twopass cannot be given with -crf or -sameq");
    }
    if (options.cutTo && *options.cutTo <= options.cutFrom) {
        return refuse("-to must come after -ss");
    }
    if (options.cuts() && options.isProbe()) {
        return refuse("-ss and -to need an output");
    }
    if (options.wantsTwoPasses() && options.isProbe()) {
        return refuse("-twopass and -targetsize need an output");
    }
    return ParsedOptions{std::move(options), {}};
}

std::string encoderNameFor(std::string_view codecName) {
    std::string name(codecName);
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    static const std::map<std::string, std::string, std::less<>> legacy = {
        {"libfaac", "aac"},  {"vorbis", "libvorbis"}, {"libamr_nb", "libopencore_amrnb"},
        {"divx", "mpeg4"},   {"xvid", "mpeg4"},       {"mp3", "libmp3lame"},
        {"h264", "libx264"},
    };
    auto found = legacy.find(name);
    return found != legacy.end() ? found->second : name;
}

std::uint32_t fourccFor(std::string_view tag) {
    auto sameLetters = [tag](std::string_view name) {
        return tag.size() == name.size() &&
               std::equal(tag.begin(), tag.end(), name.begin(), [](char a, char b) {
                   return std::tolower(static_cast<unsigned char>(a)) == b;
               });
    };
    const bool legacy = sameLetters("divx") || sameLetters("xvid");
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        const unsigned char c = i < tag.size() ? static_cast<unsigned char>(tag[i]) : ' ';
        value |= static_cast<std::uint32_t>(legacy ? std::toupper(c) : c) << (8 * i);
    }
    return value;
}

}  // namespace vidmill
