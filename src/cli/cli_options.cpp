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
    if (x == std::string::npos || !parseInt(text.substr(0, x), 16, 8192, w) ||
        !parseInt(text.substr(x + 1), 16, 8192, h) || w % 2 != 0 || h % 2 != 0) {
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

bool takesValue(const std::string& arg) {
    static const char* const kWithValue[] = {
        "--preset",      "--dest",   "--jobs",       "--size",     "--fps",
        "--vbitrate",    "--vcodec", "--abitrate",   "--channels", "--rate",
        "--volume",      "--acodec", "--files-from", "--quality",  "--shard",
        "--target-size", "--from",   "--to",         "--crop",     "--deinterlace",
    };
    for (const char* name : kWithValue) {
        if (arg == name) {
            return true;
        }
    }
    return false;
}

}  // namespace

const char* cliUsage() {
    return "usage: vidmill-cli [options] FILE|FOLDER...\n"
           "Converts videos, and every supported file in the folders named, with the\n"
           "same engine and converter as the desktop program.\n"
           "\n"
           "  --preset ID          output format (default 100)\n"
           "  --list-presets       print the id, extension and name of every format\n"
           "  --dest DIR           destination folder (created when missing;\n"
           "                       default: Vidmill in your videos folder)\n"
           "  --jobs N             conversions at once, 1 to 20 (default 2)\n"
           "  --size WxH|original  frame size\n"
           "  --fps RATE|original  frame rate\n"
           "  --vbitrate KBITS|original  video bitrate (instead of the constant quality\n"
           "                       of the H.265, AV1, VP9 and Matroska formats)\n"
           "  --quality N          constant quality: 1 is best; up to 51 for H.264 and\n"
           "                       H.265, 63 for AV1 and VP9 (lower gives larger files)\n"
           "  --target-size SIZE   fit each file in SIZE (25M, 800K, 1.5G; 1M is\n"
           "                       1,000,000 bytes): the video bitrate comes from the\n"
           "                       size and the length, in two passes where the codec\n"
           "                       has them\n"
           "  --two-pass           encode the video bitrate in two passes (better\n"
           "                       quality at the same size)\n"
           "  --from TIME          convert from this time on (90, 1:30 or 1:02:03.5)\n"
           "  --to TIME            and up to this time (default: the end)\n"
           "  --crop off|auto|W:H:X:Y  remove black bars: found in each video (auto)\n"
           "                       or a fixed rectangle, before any scaling\n"
           "  --deinterlace auto|on|off  deinterlace (auto: interlaced videos only)\n"
           "  --vcodec NAME        video codec\n"
           "  --no-video           leave the video out\n"
           "  --abitrate KBITS|original  audio bitrate\n"
           "  --channels 1|2|original    audio channels\n"
           "  --rate HZ|original   audio sample rate\n"
           "  --volume PERCENT     volume, 0 to 500 (100 is unchanged)\n"
           "  --acodec NAME        audio codec\n"
           "  --no-audio           leave the audio out\n"
           "  --no-keep-dates      converted files get the time of their making instead\n"
           "                       of their sources' modification time\n"
           "  --keep-tree          the outputs of a folder's files go to the same\n"
           "                       subfolders below the destination\n"
           "  --files-from FILE    also convert the files and folders listed in FILE,\n"
           "                       one a line (- reads standard input)\n"
           "  --skip-existing      leave out a file whose output name already holds a\n"
           "                       file (listed as skipped) instead of taking the next\n"
           "                       free name\n"
           "  --watch              keep running and convert every video that appears in\n"
           "                       the folders named (subfolders included) once it is\n"
           "                       complete; implies --skip-existing; Ctrl+C ends it\n"
           "  --shard K/N          take only the K-th of N equal shares of the sorted\n"
           "                       list of files found, so that N runs over the same\n"
           "                       inputs take each file once\n"
           "  --json               report on standard output as JSON, one object a\n"
           "                       line: start, progress (at most once a second per\n"
           "                       file), end and a final summary; errors still go to\n"
           "                       standard error\n"
           "  --dry-run            probe each file and print its converter command line\n"
           "                       instead of converting\n"
           "  --help, --version\n"
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
        if (!takesValue(args[i]) || i + 1 >= args.size()) {
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

    bool qualityGiven = false;
    bool bitrateGiven = false;
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
        auto flag = [&](const char* name) { return arg == name; };
        if (flag("--help") || flag("-h")) {
            options.help = true;
            continue;
        }
        if (flag("--version")) {
            options.version = true;
            continue;
        }
        if (flag("--list-presets")) {
            options.listPresets = true;
            continue;
        }
        if (flag("--dry-run")) {
            options.dryRun = true;
            continue;
        }
        if (flag("--json")) {
            options.json = true;
            continue;
        }
        if (flag("--keep-tree")) {
            options.keepTree = true;
            continue;
        }
        if (flag("--skip-existing")) {
            options.skipExisting = true;
            continue;
        }
        if (flag("--watch")) {
            options.watch = true;
            continue;
        }
        if (flag("--two-pass")) {
            options.settings.twoPass = true;
            continue;
        }
        if (flag("--no-keep-dates")) {
            options.settings.keepSourceDates = false;
            continue;
        }
        if (flag("--no-video")) {
            options.settings.disableVideo = true;
            continue;
        }
        if (flag("--no-audio")) {
            options.settings.disableAudio = true;
            continue;
        }
        if (!takesValue(arg)) {
            error = "unknown option '" + arg + "'";
            return false;
        }
        if (i + 1 >= args.size()) {
            error = "option '" + arg + "' needs a value";
            return false;
        }
        const std::string& value = args[++i];
        auto bad = [&](const std::string& what) {
            error = "bad value '" + value + "' for " + arg + ": " + what;
            return false;
        };
        const bool original = value == "original";
        long number = 0;
        ConversionSettings& s = options.settings;
        if (arg == "--preset") {
            continue;  // applied above
        } else if (arg == "--dest") {
            if (value.empty()) {
                return bad("a folder is needed");
            }
            if (value.size() >= size_t(kFolderTextCapacity) - 1) {
                return bad("the folder path is too long");
            }
            options.destination = value;
        } else if (arg == "--files-from") {
            if (value.empty()) {
                return bad("a file, or - for standard input, is needed");
            }
            options.filesFrom.push_back(value);
        } else if (arg == "--shard") {
            const size_t slash = value.find('/');
            long share = 0;
            long shares = 0;
            if (slash == std::string::npos ||
                !parseInt(value.substr(0, slash), 1, 1000000, share) ||
                !parseInt(value.substr(slash + 1), 1, 1000000, shares) || share > shares) {
                return bad("K/N with 1 <= K <= N is needed");
            }
            options.shard = int(share);
            options.shards = int(shares);
        } else if (arg == "--target-size") {
            if (!parseTargetSize(value, s.targetSizeKb)) {
                return bad("expected a size such as 25M, 800K or 1.5G, from 1K to 1000G");
            }
        } else if (arg == "--from" || arg == "--to") {
            uint32_t ms = 0;
            if (!parseClockTime(value, ms)) {
                return bad("expected a time such as 90, 1:30 or 1:02:03.5");
            }
            if (arg == "--to" && ms == 0) {
                return bad("the end of the cut must come after its start");
            }
            (arg == "--from" ? s.cutFromMs : s.cutToMs) = ms;
        } else if (arg == "--crop") {
            if (value == "off" || value == "auto") {
                s.cropMode = value == "off" ? kCropOff : kCropAuto;
            } else if (!readCropRect(value, s)) {
                return bad("expected off, auto or W:H:X:Y in pixels, with W and H from " +
                           std::to_string(kMinCropSide) + " to " + std::to_string(kMaxCropSide));
            }
        } else if (arg == "--deinterlace") {
            if (value == "auto") {
                s.deinterlace = kDeinterlaceAuto;
            } else if (value == "on") {
                s.deinterlace = kDeinterlaceOn;
            } else if (value == "off") {
                s.deinterlace = kDeinterlaceOff;
            } else {
                return bad("expected auto, on or off");
            }
        } else if (arg == "--jobs") {
            if (!parseInt(value, 1, 20, number)) {
                return bad("expected 1 to 20");
            }
            s.maxConcurrent = int16_t(number);
        } else if (arg == "--size") {
            if (original) {
                s.frameWidth = s.frameHeight = kOriginalValue;
            } else if (!parseSize(value, s.frameWidth, s.frameHeight)) {
                return bad("expected WIDTHxHEIGHT with even numbers from 16 to 8192, or original");
            }
        } else if (arg == "--fps") {
            if (original) {
                s.frameRate = float(kOriginalValue);
            } else if (!parseRate(value, s.frameRate)) {
                return bad("expected a rate above 0 (e.g. 25 or 29.97), or original");
            }
        } else if (arg == "--quality") {
            if (!parseInt(value, 1, kMaxVideoQuality, number)) {
                return bad("expected 1 to 63");
            }
            s.videoQuality = uint8_t(number);
            qualityGiven = true;
        } else if (arg == "--vbitrate") {
            bitrateGiven = true;
            s.videoQuality = 0;
            if (original) {
                s.videoBitrate = kOriginalValue;
            } else if (!parseInt(value, 8, 32767, number)) {
                return bad("expected kbit/s from 8 to 32767, or original");
            }
            if (!original) {
                s.videoBitrate = int16_t(number);
            }
        } else if (arg == "--abitrate") {
            if (original) {
                s.audioBitrate = kOriginalValue;
            } else if (!parseInt(value, 8, 640, number)) {
                return bad("expected kbit/s from 8 to 640, or original");
            }
            if (!original) {
                s.audioBitrate = int16_t(number);
            }
        } else if (arg == "--channels") {
            if (original) {
                s.channels = kOriginalValue;
            } else if (!parseInt(value, 1, 2, number)) {
                return bad("expected 1, 2 or original");
            }
            if (!original) {
                s.channels = int16_t(number);
            }
        } else if (arg == "--rate") {
            if (original) {
                s.sampleRate = kOriginalValue;
            } else if (!parseInt(value, 8000, 192000, number)) {
                return bad("expected Hz from 8000 to 192000, or original");
            }
            if (!original) {
                s.sampleRate = int32_t(number);
            }
        } else if (arg == "--volume") {
            if (!parseInt(value, 0, 500, number)) {
                return bad("expected percent from 0 to 500");
            }
            s.volume = int16_t(number);
        } else if (arg == "--vcodec" || arg == "--acodec") {
            if (!validCodecName(value)) {
                return bad("expected a codec name");
            }
            storeText(arg == "--vcodec" ? s.videoCodec : s.audioCodec, value);
        }
    }
    const bool converts = !options.help && !options.version && !options.listPresets;
    if (converts && options.inputs.empty() && options.filesFrom.empty()) {
        error = "no file or folder given";
        return false;
    }
    const std::string_view videoCodec = textOf(options.settings.videoCodec);
    if (qualityGiven && bitrateGiven) {
        error = "--quality and --vbitrate cannot be combined: choose one";
        return false;
    }
    if (options.settings.cutToMs != 0 && options.settings.cutToMs <= options.settings.cutFromMs) {
        error = "--to must come after --from";
        return false;
    }
    if (options.settings.targetSizeKb > 0 && (qualityGiven || bitrateGiven)) {
        error =
            "--target-size decides the video bitrate: it cannot be combined with "
            "--quality or --vbitrate";
        return false;
    }
    if (options.settings.twoPass && qualityGiven) {
        error = "--two-pass is for a bitrate: it cannot be combined with --quality";
        return false;
    }
    // A size or two passes work from a bitrate, never from the format's quality.
    if (options.settings.targetSizeKb > 0 || options.settings.twoPass) {
        options.settings.videoQuality = 0;
    }
    if (qualityGiven && !hasConstantQuality(videoCodec)) {
        error =
            "--quality needs a video codec with a constant quality (H264, H265, AV1 or VP9); "
            "this format's is '" +
            std::string(videoCodec) + "'";
        return false;
    }
    if (qualityGiven && options.settings.videoQuality > maxQualityOf(videoCodec)) {
        error = "bad value for --quality: " + std::string(videoCodec) + " takes 1 to " +
                std::to_string(maxQualityOf(videoCodec));
        return false;
    }
    if (converts && options.json && options.dryRun) {
        error = "--json and --dry-run cannot be combined";
        return false;
    }
    if (converts && options.watch &&
        (options.dryRun || options.shards > 0 || !options.filesFrom.empty())) {
        error = "--watch cannot be combined with --dry-run, --shard or --files-from";
        return false;
    }
    // A restart of a watch must not convert again what it converted before.
    options.skipExisting = options.skipExisting || options.watch;
    return true;
}

}  // namespace vidmill
