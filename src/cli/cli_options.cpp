#include "cli/cli_options.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "formats/format_preset.h"
#include "formats/settings_rules.h"
#include "system/size_time_text.h"

namespace vidmill {
namespace {

bool parseInt(const std::string& text, long low, long high, long& value) {
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    long parsed = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || parsed < low || parsed > high) {
        return false;
    }
    value = parsed;
    return true;
}

bool parseRate(const std::string& text, float& value) {
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    double parsed = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(parsed) || parsed <= 0 || parsed > 1000) {
        return false;
    }
    value = float(parsed);
    return true;
}

bool parseSize(const std::string& text, int16_t& width, int16_t& height) {
    size_t x = text.find('x');
    long w = 0;
    long h = 0;
    if (x == std::string::npos || !parseInt(text.substr(0, x), kMinFrameSide, kMaxFrameSide, w) ||
        !parseInt(text.substr(x + 1), kMinFrameSide, kMaxFrameSide, h) || w % 2 != 0 ||
        h % 2 != 0) {
        return false;
    }
    width = int16_t(w);
    height = int16_t(h);
    return true;
}

bool validCodecName(const std::string& name) {
    if (name.empty() || name.size() >= size_t(kCodecNameCapacity)) {
        return false;
    }
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7f) {
            return false;
        }
    }
    return true;
}

// "25M", "800k", "1.5G", "300KB": kilobytes of 1000 bytes, from 1K to 1000G.
bool parseTargetSize(const std::string& text, uint32_t& kilobytes) {
    std::size_t end = 0;
    while (end < text.size() &&
           (std::isdigit(static_cast<unsigned char>(text[end])) != 0 || text[end] == '.')) {
        ++end;
    }
    std::string unit = text.substr(end);
    std::transform(unit.begin(), unit.end(), unit.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    if (unit.size() == 2 && unit[1] == 'B') {
        unit.pop_back();
    }
    double scale = 0;
    if (unit == "K") {
        scale = 1;
    } else if (unit == "M") {
        scale = 1e3;
    } else if (unit == "G") {
        scale = 1e6;
    }
    const std::string number = text.substr(0, end);
    if (scale == 0 || number.empty() || number.front() == '.' ||
        std::count(number.begin(), number.end(), '.') > 1) {
        return false;
    }
    const double value = std::strtod(number.c_str(), nullptr) * scale;
    if (!(value >= 1.0) || value > double(kMaxTargetSizeKb)) {
        return false;
    }
    kilobytes = uint32_t(std::llround(value));
    return true;
}

// What the options have said so far: the checks that weigh one option
// against another run once all are read.
struct Parse {
    CliOptions& options;
    bool qualityGiven = false;
    bool bitrateGiven = false;
};

// Takes the option's value (a flag gets none) into the options; gives what
// a bad value should have been, or nothing when it was taken.
using ApplyOption = std::string (*)(Parse& parse, const std::string& value);

struct CliOption {
    const char* name;
    // Also accepted, never shown; nullptr when there is none.
    const char* shortName;
    // What the usage calls the value; nullptr for a flag.
    const char* placeholder;
    // Lines of the usage, broken where they are to break.
    const char* help;
    ApplyOption apply;
};

// "original" or a whole number in [low, high] into `field`.
template <typename Field>
bool takeOriginalOr(const std::string& value, long low, long high, Field& field) {
    long number = 0;
    if (value == "original") {
        field = Field(kOriginalValue);
    } else if (parseInt(value, low, high, number)) {
        field = Field(number);
    } else {
        return false;
    }
    return true;
}

std::string takeCodec(const std::string& value, char (&field)[kCodecNameCapacity]) {
    if (!validCodecName(value)) {
        return "expected a codec name";
    }
    storeText(field, value);
    return {};
}

// In the order of the usage.
const std::vector<CliOption>& cliOptionTable() {
    static const std::vector<CliOption> table = {
        {"--preset", nullptr, "ID", "output format (default 100)",
         // Applied before the others, which change its values.
         [](Parse&, const std::string&) { return std::string(); }},
        {"--list-presets", nullptr, nullptr, "print the id, extension and name of every format",
         [](Parse& p, const std::string&) {
             p.options.listPresets = true;
             return std::string();
         }},
        {"--dest", nullptr, "DIR",
         "destination folder (created when missing;\n"
         "default: Vidmill in your videos folder)",
         [](Parse& p, const std::string& v) -> std::string {
             if (v.empty()) {
                 return "a folder is needed";
             }
             if (v.size() >= size_t(kFolderTextCapacity) - 1) {
                 return "the folder path is too long";
             }
             p.options.destination = v;
             return {};
         }},
        {"--jobs", nullptr, "N", "conversions at once, 1 to 20 (default 2)",
         [](Parse& p, const std::string& v) -> std::string {
             long number = 0;
             if (!parseInt(v, kMinConcurrent, kMaxConcurrent, number)) {
                 return "expected 1 to 20";
             }
             p.options.settings.maxConcurrent = int16_t(number);
             return {};
         }},
        {"--size", nullptr, "WxH|original", "frame size",
         [](Parse& p, const std::string& v) -> std::string {
             ConversionSettings& s = p.options.settings;
             if (v == "original") {
                 s.frameWidth = s.frameHeight = kOriginalValue;
             } else if (!parseSize(v, s.frameWidth, s.frameHeight)) {
                 return "expected WIDTHxHEIGHT with even numbers from 16 to 8192, or original";
             }
             return {};
         }},
        {"--fps", nullptr, "RATE|original", "frame rate",
         [](Parse& p, const std::string& v) -> std::string {
             ConversionSettings& s = p.options.settings;
             if (v == "original") {
                 s.frameRate = float(kOriginalValue);
             } else if (!parseRate(v, s.frameRate)) {
                 return "expected a rate above 0 (e.g. 25 or 29.97), or original";
             }
             return {};
         }},
        {"--vbitrate", nullptr, "KBITS|original",
         "video bitrate (instead of the constant quality\n"
         "of the H.265, AV1, VP9 and Matroska formats)",
         [](Parse& p, const std::string& v) -> std::string {
             p.bitrateGiven = true;
             p.options.settings.videoQuality = 0;
             if (!takeOriginalOr(v, kMinVideoBitrate, INT16_MAX, p.options.settings.videoBitrate)) {
                 return "expected kbit/s from 8 to 32767, or original";
             }
             return {};
         }},
        {"--quality", nullptr, "N",
         "constant quality: 1 is best; up to 51 for H.264 and\n"
         "H.265, 63 for AV1 and VP9 (lower gives larger files)",
         [](Parse& p, const std::string& v) -> std::string {
             long number = 0;
             if (!parseInt(v, 1, kMaxVideoQuality, number)) {
                 return "expected 1 to 63";
             }
             p.options.settings.videoQuality = uint8_t(number);
             p.qualityGiven = true;
             return {};
         }},
        {"--target-size", nullptr, "SIZE",
         "fit each file in SIZE (25M, 800K, 1.5G; 1M is\n"
         "1,000,000 bytes): the video bitrate comes from the\n"
         "size and the length, in two passes where the codec\n"
         "has them",
         [](Parse& p, const std::string& v) -> std::string {
             if (!parseTargetSize(v, p.options.settings.targetSizeKb)) {
                 return "expected a size such as 25M, 800K or 1.5G, from 1K to 1000G";
             }
             return {};
         }},
        {"--two-pass", nullptr, nullptr,
         "encode the video bitrate in two passes (better\n"
         "quality at the same size)",
         [](Parse& p, const std::string&) {
             p.options.settings.twoPass = true;
             return std::string();
         }},
        {"--from", nullptr, "TIME", "convert from this time on (90, 1:30 or 1:02:03.5)",
         [](Parse& p, const std::string& v) -> std::string {
             if (!parseClockTime(v, p.options.settings.cutFromMs)) {
                 return "expected a time such as 90, 1:30 or 1:02:03.5";
             }
             return {};
         }},
        {"--to", nullptr, "TIME", "and up to this time (default: the end)",
         [](Parse& p, const std::string& v) -> std::string {
             uint32_t ms = 0;
             if (!parseClockTime(v, ms)) {
                 return "expected a time such as 90, 1:30 or 1:02:03.5";
             }
             if (ms == 0) {
                 return "the end of the cut must come after its start";
             }
             p.options.settings.cutToMs = ms;
             return {};
         }},
        {"--crop", nullptr, "off|auto|W:H:X:Y",
         "remove black bars: found in each video (auto)\n"
         "or a fixed rectangle, before any scaling",
         [](Parse& p, const std::string& v) -> std::string {
             ConversionSettings& s = p.options.settings;
             if (v == "off" || v == "auto") {
                 s.cropMode = v == "off" ? kCropOff : kCropAuto;
             } else if (!readCropRect(v, s)) {
                 return "expected off, auto or W:H:X:Y in pixels, with W and H from " +
                        std::to_string(kMinCropSide) + " to " + std::to_string(kMaxCropSide);
             }
             return {};
         }},
        {"--deinterlace", nullptr, "auto|on|off", "deinterlace (auto: interlaced videos only)",
         [](Parse& p, const std::string& v) -> std::string {
             ConversionSettings& s = p.options.settings;
             if (v == "auto") {
                 s.deinterlace = kDeinterlaceAuto;
             } else if (v == "on") {
                 s.deinterlace = kDeinterlaceOn;
             } else if (v == "off") {
                 s.deinterlace = kDeinterlaceOff;
             } else {
                 return "expected auto, on or off";
             }
             return {};
         }},
        {"--vcodec", nullptr, "NAME", "video codec",
         [](Parse& p, const std::string& v) {
             return takeCodec(v, p.options.settings.videoCodec);
         }},
        {"--no-video", nullptr, nullptr, "leave the video out",
         [](Parse& p, const std::string&) {
             p.options.settings.disableVideo = true;
             return std::string();
         }},
        {"--abitrate", nullptr, "KBITS|original", "audio bitrate",
         [](Parse& p, const std::string& v) -> std::string {
             if (!takeOriginalOr(v, kMinAudioBitrate, kMaxAudioBitrate,
                                 p.options.settings.audioBitrate)) {
                 return "expected kbit/s from 8 to 640, or original";
             }
             return {};
         }},
        {"--channels", nullptr, "1|2|original", "audio channels",
         [](Parse& p, const std::string& v) -> std::string {
             if (!takeOriginalOr(v, 1, 2, p.options.settings.channels)) {
                 return "expected 1, 2 or original";
             }
             return {};
         }},
        {"--rate", nullptr, "HZ|original", "audio sample rate",
         [](Parse& p, const std::string& v) -> std::string {
             if (!takeOriginalOr(v, kMinSampleRate, kMaxSampleRate,
                                 p.options.settings.sampleRate)) {
                 return "expected Hz from 8000 to 192000, or original";
             }
             return {};
         }},
        {"--volume", nullptr, "PERCENT", "volume, 0 to 500 (100 is unchanged)",
         [](Parse& p, const std::string& v) -> std::string {
             long number = 0;
             if (!parseInt(v, 0, kMaxVolume, number)) {
                 return "expected percent from 0 to 500";
             }
             p.options.settings.volume = int16_t(number);
             return {};
         }},
        {"--acodec", nullptr, "NAME", "audio codec",
         [](Parse& p, const std::string& v) {
             return takeCodec(v, p.options.settings.audioCodec);
         }},
        {"--no-audio", nullptr, nullptr, "leave the audio out",
         [](Parse& p, const std::string&) {
             p.options.settings.disableAudio = true;
             return std::string();
         }},
        {"--no-keep-dates", nullptr, nullptr,
         "converted files get the time of their making instead\n"
         "of their sources' modification time",
         [](Parse& p, const std::string&) {
             p.options.settings.keepSourceDates = false;
             return std::string();
         }},
        {"--keep-tree", nullptr, nullptr,
         "the outputs of a folder's files go to the same\n"
         "subfolders below the destination",
         [](Parse& p, const std::string&) {
             p.options.keepTree = true;
             return std::string();
         }},
        {"--files-from", nullptr, "FILE",
         "also convert the files and folders listed in FILE,\n"
         "one a line (- reads standard input)",
         [](Parse& p, const std::string& v) -> std::string {
             if (v.empty()) {
                 return "a file, or - for standard input, is needed";
             }
             p.options.filesFrom.push_back(v);
             return {};
         }},
        {"--skip-existing", nullptr, nullptr,
         "leave out a file whose output name already holds a\n"
         "file (listed as skipped) instead of taking the next\n"
         "free name",
         [](Parse& p, const std::string&) {
             p.options.skipExisting = true;
             return std::string();
         }},
        {"--watch", nullptr, nullptr,
         "keep running and convert every video that appears in\n"
         "the folders named (subfolders included) once it is\n"
         "complete; implies --skip-existing; Ctrl+C ends it",
         [](Parse& p, const std::string&) {
             p.options.watch = true;
             return std::string();
         }},
        {"--shard", nullptr, "K/N",
         "take only the K-th of N equal shares of the sorted\n"
         "list of files found, so that N runs over the same\n"
         "inputs take each file once",
         [](Parse& p, const std::string& v) -> std::string {
             const size_t slash = v.find('/');
             long share = 0;
             long shares = 0;
             if (slash == std::string::npos || !parseInt(v.substr(0, slash), 1, 1000000, share) ||
                 !parseInt(v.substr(slash + 1), 1, 1000000, shares) || share > shares) {
                 return "K/N with 1 <= K <= N is needed";
             }
             p.options.shard = int(share);
             p.options.shards = int(shares);
             return {};
         }},
        {"--json", nullptr, nullptr,
         "report on standard output as JSON, one object a\n"
         "line: start, progress (at most once a second per\n"
         "file), end and a final summary; errors still go to\n"
         "standard error",
         [](Parse& p, const std::string&) {
             p.options.json = true;
             return std::string();
         }},
        {"--dry-run", nullptr, nullptr,
         "probe each file and print its converter command line\n"
         "instead of converting",
         [](Parse& p, const std::string&) {
             p.options.dryRun = true;
             return std::string();
         }},
        {"--help", "-h", nullptr, "print this help and exit",
         [](Parse& p, const std::string&) {
             p.options.help = true;
             return std::string();
         }},
        {"--version", nullptr, nullptr, "print the version and the licence and exit",
         [](Parse& p, const std::string&) {
             p.options.version = true;
             return std::string();
         }},
    };
    return table;
}

const CliOption* findOption(const std::string& word) {
    for (const CliOption& row : cliOptionTable()) {
        if (word == row.name || (row.shortName != nullptr && word == row.shortName)) {
            return &row;
        }
    }
    return nullptr;
}

// Where the help of an option starts, counted from after the indent.
constexpr size_t kHelpColumn = 21;

std::string makeUsage() {
    std::string text =
        "Usage: vidmill-cli [options] FILE|FOLDER...\n"
        "Converts videos, and every supported file in the folders named, with the\n"
        "same engine and converter as the desktop program.\n"
        "\n";
    for (const CliOption& row : cliOptionTable()) {
        std::string words = row.name;
        if (row.placeholder != nullptr) {
            words += std::string(" ") + row.placeholder;
        }
        // A long name and value push the help right, two blanks after them.
        const size_t blanks = words.size() + 2 <= kHelpColumn ? kHelpColumn - words.size() : 2;
        text += "  " + words + std::string(blanks, ' ');
        for (const char* c = row.help; *c != '\0'; ++c) {
            text += *c;
            if (*c == '\n') {
                text += std::string(2 + kHelpColumn, ' ');
            }
        }
        text += '\n';
    }
    text +=
        "\n"
        "In JSON strings, valid UTF-8 passes through and control characters are\n"
        "escaped; a byte of a name that is not valid UTF-8 is written as \\u00XX of\n"
        "its value (\\u0080 to \\u00ff always mean such a byte).\n"
        "\n"
        "Exit status:\n"
        "  0    every file converted or skipped (or the share held no file)\n"
        "  1    a file was rejected, failed because of the file itself, or was stopped\n"
        "  2    usage error\n"
        "  3    the machine let a conversion down: converter missing, destination\n"
        "       not writable or full, ... (trying again elsewhere may help; wins\n"
        "       over 1)\n"
        "  130  interrupted (Ctrl+C, SIGTERM, SIGHUP)\n";
    return text;
}

}  // namespace

const char* cliUsage() {
    static const std::string usage = makeUsage();
    return usage.c_str();
}

bool parseCliOptions(const std::vector<std::string>& args, CliOptions& options,
                     std::string& error) {
    // The preset's values come first, whatever the order of the options; the
    // scan reads the words as the parse below does, so an option's value or
    // a name after "--" is never taken for --preset.
    long presetId = kDefaultPresetId;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--") {
            break;
        }
        const CliOption* option = findOption(args[i]);
        if (option == nullptr || option->placeholder == nullptr || i + 1 >= args.size()) {
            continue;
        }
        const std::string& value = args[++i];
        if (args[i - 1] == "--preset" &&
            (!parseInt(value, 0, 32767, presetId) ||
             presetRow(findPresetById(int(presetId))).id != presetId)) {
            error = "unknown preset '" + value + "' (see --list-presets)";
            return false;
        }
    }
    setDefaultSettings(options.settings);
    applyPreset(options.settings, findPresetById(int(presetId)));
    options.settings.maxConcurrent = kDefaultMaxConcurrent;

    Parse parse{options};
    bool endOfOptions = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (endOfOptions || arg.empty() || arg[0] != '-' || arg == "-") {
            options.inputs.push_back(arg);
            continue;
        }
        if (arg == "--") {
            endOfOptions = true;
            continue;
        }
        const CliOption* option = findOption(arg);
        if (option == nullptr) {
            error = "unknown option '" + arg + "'";
            return false;
        }
        static const std::string kNoValue;
        if (option->placeholder != nullptr && i + 1 >= args.size()) {
            error = "option '" + arg + "' needs a value";
            return false;
        }
        const std::string& value = option->placeholder != nullptr ? args[++i] : kNoValue;
        if (std::string expected = option->apply(parse, value); !expected.empty()) {
            error = "bad value '" + value + "' for " + arg + ": " + expected;
            return false;
        }
    }
    const bool converts = !options.help && !options.version && !options.listPresets;
    if (converts && options.inputs.empty() && options.filesFrom.empty()) {
        error = "no file or folder given";
        return false;
    }
    const std::string_view videoCodec = textOf(options.settings.videoCodec);
    switch (refusalOf(options.settings, {parse.qualityGiven, parse.bitrateGiven})) {
        case SettingsRefusal::None:
            break;
        case SettingsRefusal::NoStream:
            error = "--no-video and --no-audio cannot be combined: nothing would be converted";
            return false;
        case SettingsRefusal::QualityAndBitrate:
            error = "--quality and --vbitrate cannot be combined: choose one";
            return false;
        case SettingsRefusal::CutOutOfOrder:
            error = "--to must come after --from";
            return false;
        case SettingsRefusal::SizeAndRate:
            error =
                "--target-size decides the video bitrate: it cannot be combined with "
                "--quality or --vbitrate";
            return false;
        case SettingsRefusal::TwoPassesAndQuality:
            error = "--two-pass is for a bitrate: it cannot be combined with --quality";
            return false;
        case SettingsRefusal::NoConstantQuality:
            error =
                "--quality needs a video codec with a constant quality (H264, H265, AV1 or "
                "VP9); this format's is '" +
                std::string(videoCodec) + "'";
            return false;
        case SettingsRefusal::QualityOutOfRange:
            error = "bad value for --quality: " + std::string(videoCodec) + " takes 1 to " +
                    std::to_string(maxQualityOf(videoCodec));
            return false;
    }
    normaliseSettings(options.settings);
    if (converts && options.json && options.dryRun) {
        error = "--json and --dry-run cannot be combined";
        return false;
    }
    if (converts && options.watch &&
        (options.dryRun || options.shards > 0 || !options.filesFrom.empty())) {
        error = "--watch cannot be combined with --dry-run, --shard or --files-from";
        return false;
    }
    options.skipExisting = skipsConverted(options.skipExisting, options.watch);
    return true;
}

}  // namespace vidmill
