#include "engine/batch/conversion_run.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <utility>

#include "engine/engine.h"
#include "formats/converter_command.h"
#include "process/converter_runner.h"
#include "process/pass_folder.h"
#include "process/progress_channel.h"
#include "system/path_utils.h"

namespace vidmill {

namespace {

bool folderIsFull(const std::string& folder) {
    struct statvfs info {};
    // "Full" with a little slack: a converter fails before the last block goes.
    return statvfs(folder.c_str(), &info) == 0 &&
           static_cast<std::uint64_t>(info.f_bavail) * info.f_frsize < 64 * 1024;
}

}  // namespace

// The last line that says something, without our converter's name before it,
// control characters and all.
std::string lastMessageLine(const std::string& errors) {
    std::size_t end = errors.find_last_not_of(" \t\r\n");
    if (end == std::string::npos) {
        return {};
    }
    const std::size_t begin = errors.find_last_of('\n', end);
    std::string line = errors.substr(begin == std::string::npos ? 0 : begin + 1,
                                     end + 1 - (begin == std::string::npos ? 0 : begin + 1));
    static const std::string kPrefix = "vidmill-convert: ";
    if (line.rfind(kPrefix, 0) == 0) {
        line.erase(0, kPrefix.size());
    }
    for (char& c : line) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            c = ' ';
        }
    }
    constexpr std::size_t kLongest = 300;
    if (line.size() > kLongest) {
        line.resize(kLongest);
    }
    return line;
}

ConversionRun::ConversionRun(ConversionJob job, const ConversionSettings& settings,
                             ProgressChannel& channel, const EngineTiming& timing,
                             const std::atomic<bool>& killAll,
                             std::function<void(double reachedSeconds)> onPass)
    : job_(std::move(job)),
      settings_(settings),
      channel_(channel),
      timing_(timing),
      killAll_(killAll),
      onPass_(std::move(onPass)) {}

std::vector<std::string> ConversionRun::command(int audioFallback) const {
    // The converter writes into the part file, through the descriptor; the
    // part's name tells it the container by its extension and names the
    // file in its messages.
    HandedFiles handed;
    handed.partPath = job_.partPath;
    handed.outputFd = kOutputDescriptor;
    handed.inputFd = job_.sourceFd >= 0 ? kInputDescriptor : -1;
    handed.passFolder = job_.passFolder;
    return buildConvertCommand(job_.converterPath, job_.sourcePath, job_.outputPath,
                               channel_.channelName(), job_.progressSlot, settings_, audioFallback,
                               handed)
        .args;
}

int ConversionRun::run() {
    int result = kConverterNotStarted;
    bool stalled = false;
    std::string errors;
    int started = runWatched(command(0), job_.priority, &result, &stalled, &errors);
    if (started != 0 && !stalled && result == kAudioOptionsRefused) {
        started = runWatched(command(1), kNormalPriority, &result, &stalled, &errors);
    }
    const int converterCode = started != 0 ? result : kConverterNotStarted;
    if (started != 0) {
        if (stalled) {
            // It may have closed a cut file properly when it got the stop byte.
            result = kOutputMissing;
        } else if (struct stat written{};
                   ::fstat(job_.partFd, &written) != 0 || written.st_size == 0) {
            endedEmpty_ = result == 0;
            result = kOutputMissing;
        }
    }
    if (result == 0) {
        note_ = converterNote(errors);
    }
    // Judged before the output goes: a full disk is no longer full after.
    if (stalled) {
        failureReason_ = "no progress";
    } else if (result != 0) {
        failureReason_ =
            failureReasonFor(job_.converterPath, converterCode, errors, job_.outputPath);
    }
    return result;
}

int ConversionRun::runWatched(const std::vector<std::string>& args, int priority, int* exitCode,
                              bool* stalled, std::string* errors) {
    using Clock = std::chrono::steady_clock;
    const int slot = job_.progressSlot;
    // The slot's figures as last seen, and when they last changed.
    struct Reading {
        double percent = -1;
        std::int64_t amount = -1;
        double duration = -1;
        bool operator==(const Reading&) const = default;
    };
    Reading last;
    auto lastChange = Clock::now();
    Clock::time_point killAt{};
    double reached = -1;  // seconds of the source converted, as last seen
    auto judge = [&] {
        if (killAll_.load()) {
            return false;
        }
        if (slot < 0) {
            return true;  // nothing to judge it by
        }
        const auto now = Clock::now();
        if (*stalled) {
            return now < killAt;
        }
        if (job_.paused != nullptr && job_.paused->load()) {
            // A pause of a day is no stall: the clock starts again at the
            // resume. A converter that was still loading when the pause came
            // is held now.
            applyConverterPauses();
            lastChange = now;
            return true;
        }
        Reading reading;
        channel_.readProgress(slot, reading.percent, &reading.amount);
        channel_.readDuration(slot, reading.duration);
        if (!(reading == last)) {
            last = reading;
            lastChange = now;
            if (reading.percent >= 0 && reading.duration > 0) {
                // Of two passes, the first writes nothing and the second
                // makes the file: each is half the percentage.
                const double share = std::min(reading.percent, 100.0) / 100;
                switch (channel_.readPass(slot)) {
                    case 1:
                        reached = 0;
                        break;
                    case 2:
                        reached = reading.duration * std::max(2 * share - 1, 0.0);
                        break;
                    default:
                        reached = reading.duration * share;
                        break;
                }
            }
        } else if (now - lastChange >= std::chrono::milliseconds(timing_.stallTimeoutMs)) {
            *stalled = true;
            channel_.requestStop(slot);
            killAt = now + std::chrono::milliseconds(timing_.stallGraceMs);
        }
        return true;
    };
    auto watch = [&] {
        const bool keep = judge();
        onPass_(reached);
        return keep;
    };
    return runConverterWatched(args, exitCode, priority, timing_.progressPollMs, watch, errors,
                               std::max(job_.conversionsAtOnce, 1), job_.partFd, job_.paused,
                               job_.sourceFd);
}

std::string failureReasonFor(const std::string& converterPath, int converterCode,
                             const std::string& errors, const std::string& outputPath) {
    std::string folder;
    splitPath(outputPath, &folder, nullptr, nullptr);
    if (folder.empty()) {
        folder = ".";
    }
    const std::string message = lastMessageLine(errors);
    const int result = converterCode;
    if (result == kConverterNotStarted) {
        return access(converterPath.c_str(), X_OK) != 0 ? "converter not found"
                                                        : "the converter could not be started";
    }
    if (result == kInvalidMedia) {
        return "not a usable media file";
    }
    // The cache's own fault, with its cause: not the destination's.
    if (message.rfind(kPassLogsFault, 0) == 0) {
        return message;
    }
    if (access(folder.c_str(), W_OK | X_OK) != 0) {
        return "output folder is not writable";
    }
    if (message.find("No space left on device") != std::string::npos || folderIsFull(folder)) {
        return "disk full";
    }
    if (!message.empty()) {
        return message;
    }
    if (result == 0) {
        return "the converter wrote no output";
    }
    if (result <= kSignalExitBase - 1 && result >= kSignalExitBase - 64) {
        return "the converter was killed by signal " + std::to_string(kSignalExitBase - result);
    }
    return "the converter failed with exit code " + std::to_string(result);
}

std::string converterNote(const std::string& errors) {
    static const std::string kNote = "vidmill-convert: note: ";
    std::string notes;
    for (std::size_t at = errors.find(kNote); at != std::string::npos;
         at = errors.find(kNote, at + 1)) {
        const std::size_t end = errors.find('\n', at);
        std::string note =
            errors.substr(at + kNote.size(),
                          end == std::string::npos ? std::string::npos : end - at - kNote.size());
        for (char& c : note) {
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
                c = ' ';
            }
        }
        // Both passes of a video say what they found alike.
        if (!note.empty() && notes.find(note) == std::string::npos) {
            notes += (notes.empty() ? "" : "; ") + note;
        }
    }
    return notes;
}

}  // namespace vidmill
