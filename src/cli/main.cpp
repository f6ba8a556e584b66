// vidmill-cli: the conversion engine without windows.

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "cli/cli_options.h"
#include "cli/cli_report.h"
#include "cli/shard.h"
#include "cli/terminal_host.h"
#include "cli/watch_loop.h"
#include "engine/adding/folder_watch.h"
#include "engine/adding/video_files.h"
#include "engine/batch/output_path.h"
#include "engine/batch/part_file.h"
#include "engine/engine.h"
#include "engine/gui_call.h"
#include "engine/list/entry_status_text.h"
#include "formats/converter_command.h"
#include "formats/format_preset.h"
#include "process/converter_runner.h"
#include "system/path_utils.h"
#include "system/user_folders.h"
#include "vidmill_version.h"

namespace vidmill {
namespace {

std::atomic<int> interruptions{0};
// Ctrl+Z: the converters are to be paused before we stop.
std::atomic<int> suspensions{0};

// How long converters get to end by themselves once we quit at once.
constexpr std::chrono::milliseconds kQuitGrace{1500};

// A path or message as the terminal shows it: one line, no control bytes.
std::string shown(const std::string& text) {
    return escapeControls(text);
}

void onInterrupt(int) {
    interruptions.fetch_add(1);
}

void onSuspend(int) {
    suspensions.fetch_add(1);
}

void catchSuspensions() {
    struct sigaction action {};
    action.sa_handler = onSuspend;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTSTP, &action, nullptr);
}

void installSignalHandlers() {
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    // A closed terminal stops the conversions like Ctrl+C does.
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(signal, &action, nullptr);
    }
    signal(SIGPIPE, SIG_IGN);
    // The converters run in process groups of their own, out of the
    // terminal's reach: a Ctrl+Z must hold them before it stops us.
    catchSuspensions();
}

void listPresets() {
    for (const FormatPreset& row : formatPresets()) {
        std::printf("%d\t%s\t%s\n", row.id, row.extension, row.name);
    }
}

std::string absolutePath(const std::string& path) {
    if (!path.empty() && path[0] == '/') {
        return path;
    }
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr) {
        return path;
    }
    return std::string(cwd) + "/" + path;
}

// The engine's timing, with the age at which a part file left in the
// destination counts as a killed run's taken from VIDMILL_LEFTOVER_PART_AGE
// (seconds) when it is set: a cluster whose runs restart at once may want it
// shorter, and so do the checks of that sweep.
EngineTiming cliTiming() {
    EngineTiming timing;
    if (const char* text = std::getenv("VIDMILL_LEFTOVER_PART_AGE")) {
        char* end = nullptr;
        errno = 0;
        const long seconds = std::strtol(text, &end, 10);
        if (errno == 0 && end != text && *end == '\0' && seconds >= 1 && seconds <= 86400) {
            timing.leftoverPartAge = std::chrono::seconds(seconds);
        } else {
            std::fprintf(stderr,
                         "vidmill-cli: VIDMILL_LEFTOVER_PART_AGE must be seconds from 1 to 86400; "
                         "using %lld\n",
                         static_cast<long long>(timing.leftoverPartAge.count()));
        }
    }
    return timing;
}

class Cli : private WatchRun {
  public:
    Cli(CliOptions& options, std::string converter, std::string destination)
        : options_(options),
          host_(stdout, stderr, isatty(STDOUT_FILENO) != 0),
          engine_(host_, gui_, std::move(converter), cliTiming()),
          json_(stdout, options.settings) {
        host_.attach(engine_);
        engine_.setProbeInterrupt(&interruptions);
        ConversionSettings settings = options.settings;
        storeText(settings.destinationFolder, destination);
        engine_.setSettings(settings);
        engine_.setSkipExisting(options.skipExisting);
    }

    int run();

  private:
    bool readList(const std::string& list);
    void addInput(const std::string& input);
    void collect(const std::string& path, const std::string& subfolder);
    void admitCollected();
    void rejectedFile(const std::string& path, const std::string& reason);
    void skipped(const std::string& path, const std::string& reason);
    // A file or input that the search turned down: `message` on standard
    // error, `reason` in the report. Held back until the share is known when
    // the run takes one.
    void refuse(const std::string& path, const std::string& message, const std::string& reason);
    // Keeps only this run's share of what the search found, and reports the
    // refusals in it.
    void takeShare();
    int dryRun();
    bool refuseWhatCannotFit();
    int convert();
    // Runs a batch of every Ready entry to its end, reports it and sweeps
    // what did not finish; `meanwhile` runs between looks at the batch.
    // False when it was interrupted.
    bool runBatch(const std::function<void()>& meanwhile);
    // Converts whatever appears in the folders named until interrupted.
    int watchFolders();
    bool interrupted() override;
    void pauseWhenAsked() override;
    bool admit(const WatchBatch& batch) override;
    bool convert(const std::function<void()>& look) override;
    void printSummary();
    int finish(int exitStatus);
    [[noreturn]] void abandon(bool stopping);
    // After Ctrl+Z: holds the conversions, stops as the terminal asked, and
    // lets them go on once we are continued (fg, bg).
    void suspendWhenAsked();
    // Counts how the entries ended; call with the list at rest or locked.
    void countOutcomes();

    CliOptions& options_;
    QueuedGuiCall gui_;
    TerminalHost host_;
    Engine engine_;
    JsonReporter json_;
    // What the search found, in order, with the subfolder each output goes to.
    std::vector<std::string> paths_;
    std::vector<std::string> subfolders_;
    // Of files a watch found: what each was, so that the file converted is
    // the file found.
    std::vector<FileIdentity> identities_;
    // With a share to take: everything the search found or turned down, in
    // order.
    std::vector<FoundFile> found_;
    RunCounts counts_;
    bool environmentFailed_ = false;
};

void Cli::rejectedFile(const std::string& path, const std::string& reason) {
    ++counts_.rejected;
    if (options_.json) {
        json_.rejected(path, reason);
    }
}

void Cli::skipped(const std::string& path, const std::string& reason) {
    if (interruptions.load() == 0) {
        refuse(path, "skipped: " + reason, "skipped: " + reason);
    }
}

void Cli::refuse(const std::string& path, const std::string& message, const std::string& reason) {
    if (options_.shards > 0) {
        found_.push_back({path, {}, message, reason});
        return;
    }
    std::fprintf(stderr, "vidmill-cli: %s: %s\n", shown(path).c_str(), message.c_str());
    rejectedFile(path, reason);
}

void Cli::collect(const std::string& path, const std::string& subfolder) {
    if (interruptions.load() != 0) {
        return;
    }
    if (options_.shards > 0) {
        found_.push_back({path, subfolder, {}, {}});
        return;
    }
    paths_.push_back(path);
    subfolders_.push_back(subfolder);
}

void Cli::takeShare() {
    if (options_.shards == 0) {
        return;
    }
    for (const FoundFile& item :
         vidmill::takeShare(std::move(found_), options_.shard, options_.shards)) {
        if (item.reason.empty()) {
            paths_.push_back(item.path);
            subfolders_.push_back(item.subfolder);
        } else {
            std::fprintf(stderr, "vidmill-cli: %s: %s\n", shown(item.path).c_str(),
                         item.message.c_str());
            rejectedFile(item.path, item.reason);
        }
    }
    found_.clear();
}

void Cli::addInput(const std::string& input) {
    struct stat info;
    if (stat(input.c_str(), &info) != 0) {
        refuse(input, "no such file or folder", "no such file or folder");
        return;
    }
    if (S_ISDIR(info.st_mode)) {
        // The search names every file below the folder as the folder's path,
        // "/", and the path inside it.
        auto found = [this, &input](const std::string& path) {
            collect(path, options_.keepTree ? subfolderBelow(input, path) : std::string());
        };
        auto skipOne = [this](const std::string& path, const std::string& reason) {
            skipped(path, reason);
        };
        // A second Ctrl+C does not wait for the end of a long search.
        auto pump = [this] {
            if (interruptions.load() >= 2) {
                abandon(false);
            }
            suspendWhenAsked();
        };
        if (addFolder(input, found, pump, skipOne) == 0) {
            refuse(input, "the folder cannot be read", "the folder cannot be read");
        }
        return;
    }
    std::string extension;
    splitPath(input, nullptr, nullptr, &extension);
    if (!isSupportedExtension(extension, kAllSupportedExtensions)) {
        refuse(input, "not a supported file type, skipped", "not a supported file type");
        return;
    }
    collect(input, "");
}

bool Cli::readList(const std::string& list) {
    std::FILE* file = list == "-" ? stdin : std::fopen(list.c_str(), "re");
    if (file == nullptr) {
        std::fprintf(stderr, "vidmill-cli: %s: the list cannot be read: %s\n", shown(list).c_str(),
                     std::strerror(errno));
        return false;
    }
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> closer(
        file, file == stdin ? [](std::FILE*) { return 0; } : std::fclose);
    char* line = nullptr;
    size_t capacity = 0;
    ssize_t length;
    // One path a line, as it stands: names may hold blanks at either end.
    while (interruptions.load() == 0 && (length = getline(&line, &capacity, file)) >= 0) {
        std::string path(line, size_t(length));
        if (!path.empty() && path.back() == '\n') {
            path.pop_back();
        }
        if (!path.empty()) {
            addInput(absolutePath(path));
        }
    }
    const bool failed = std::ferror(file) != 0 && interruptions.load() == 0;
    std::free(line);
    if (failed) {
        std::fprintf(stderr, "vidmill-cli: %s: the list cannot be read\n", shown(list).c_str());
    }
    return !failed;
}

void Cli::admitCollected() {
    AdmitOptions admit;
    if (options_.keepTree) {
        admit.outputSubfolders = subfolders_;
    }
    admit.sourceIdentities = identities_;
    admit.onResult = [this](size_t index, AdmitOutcome outcome) {
        if (outcome == AdmitOutcome::Admitted) {
            return;
        }
        // The engine has said "Invalid video" itself.
        const char* reason = "Invalid video";
        if (outcome == AdmitOutcome::Unreadable || outcome == AdmitOutcome::ListFull) {
            reason = outcome == AdmitOutcome::Unreadable ? "could not be read as a video"
                                                         : "the list is full";
            std::fprintf(stderr, "vidmill-cli: %s: %s\n", shown(paths_[index]).c_str(), reason);
        }
        rejectedFile(paths_[index], reason);
    };
    admit.pump = [this] {
        if (interruptions.load() >= 2) {
            abandon(false);
        }
        suspendWhenAsked();
    };
    engine_.admitFiles(paths_, admit);
}

int Cli::dryRun() {
    if (refuseWhatCannotFit()) {
        return finish(kExitUsage);
    }
    const ConversionSettings batch = engine_.settings();
    // Stand-ins for the entries already given their output, so that each
    // next one sees those names taken, as in a real run.
    EntryList claimed;
    for (const EntryView& entry : engine_.entryViews()) {
        std::string output;
        std::string folder;
        if (joinOutputSubfolder(batch.destinationFolder, entry.outputSubfolder, &folder)) {
            std::string done;
            // Its earlier output under any name, or a file under the plain
            // one (the run itself probes that one first).
            if (engine_.skipExisting() &&
                (findMarkedOutput(&done, folder, entry.name, batch.presetId,
                                  sourceMarkText(entry.sourcePath)) ||
                 convertedOutput(&done, folder, entry.name, batch.presetId) > 0)) {
                std::fprintf(stderr, "vidmill-cli: %s: skipped: %s exists\n",
                             shown(entry.sourcePath).c_str(), shown(done).c_str());
                continue;
            }
            makeOutputPath(&output, folder, entry.name, batch.presetId, claimed);
        }
        if (output.empty()) {
            std::fprintf(stderr,
                         "vidmill-cli: %s: the destination folder leaves no room for "
                         "the output name\n",
                         shown(entry.sourcePath).c_str());
            environmentFailed_ = true;
            continue;
        }
        auto claim = createEntry(entry.sourcePath);
        claim->outputPath = output;
        claim->status.store(EntryStatus::Converting);
        claimed.entries().append(claim);
        // A real run takes its slot when the conversion starts; the probe's
        // number is long given back.
        ConverterCommand command =
            buildConvertCommand(engine_.converterPath(), entry.sourcePath, output,
                                engine_.channel().channelName(), -1, batch, 0);
        std::printf("%s\n", shown(command.text).c_str());
    }
    return finish(kExitAllConverted);
}

void Cli::printSummary() {
    for (const EntryView& entry : engine_.entryViews()) {
        std::string status = entryStatusText(entry, engine_.channel());
        const bool ok = entry.status == EntryStatus::Ok;
        const bool skipped = entry.status == EntryStatus::Skipped;
        if (ok && !entry.note.empty()) {
            status += ": " + entry.note;
        } else if (!ok && !entry.failureReason.empty()) {
            status += ": " + entry.failureReason;
        }
        std::printf("%-24s  %s", shown(status).c_str(), shown(entry.sourcePath).c_str());
        if (ok || skipped) {
            std::printf(" -> %s", shown(entry.outputPath).c_str());
        }
        std::printf("\n");
    }
    std::fflush(stdout);
}

// The exit status from what happened, at least `exitStatus`; the JSON summary.
int Cli::finish(int exitStatus) {
    if (exitStatus != kExitInterrupted) {
        if (environmentFailed_) {
            exitStatus = kExitEnvironment;
        } else if (exitStatus == kExitAllConverted &&
                   counts_.rejected + counts_.failed + counts_.stopped > 0) {
            exitStatus = kExitFileFailed;
        }
    }
    if (options_.json) {
        std::printf("%s\n", jsonSummary(counts_, exitStatus).c_str());
        std::fflush(stdout);
    }
    return exitStatus;
}

void Cli::countOutcomes() {
    for (const EntryView& entry : engine_.entryViews()) {
        const EntryStatus status = entry.status;
        if (status == EntryStatus::Ok) {
            ++counts_.converted;
        } else if (status == EntryStatus::Skipped) {
            ++counts_.skipped;
        } else if (!isFinished(status) || status == EntryStatus::Cancelled ||
                   status == EntryStatus::CancelledNotFound) {
            // Still under way only when a quit gave up waiting for it.
            ++counts_.stopped;
        } else {
            ++counts_.failed;
            environmentFailed_ = environmentFailed_ || isEnvironmentFailure(entry.failureReason);
        }
    }
}

void Cli::suspendWhenAsked() {
    if (suspensions.exchange(0) == 0) {
        return;
    }
    host_.clearLines();
    const bool paused = engine_.pauseBatch();
    // Converters still loading are held once they can be woken again; we
    // cannot wait for that once we are stopped ourselves.
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (paused && applyConverterPauses() > 0 && std::chrono::steady_clock::now() < limit) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    // The stop itself is the terminal's own: SIGTSTP's default action, which
    // the kernel drops for a group no shell looks after.
    signal(SIGTSTP, SIG_DFL);
    raise(SIGTSTP);
    catchSuspensions();
    if (paused) {
        engine_.resumeBatch();
    }
}

void Cli::abandon(bool stopping) {
    // A second interruption: nothing waits for the converters any longer.
    // They are ended (killed after a short grace) before their outputs go,
    // so none writes a file after it was deleted, and none outlives us.
    host_.clearLines();
    if (!stopping) {
        // Both interruptions came at once: no new conversion may start.
        engine_.stopAll();
    }
    endRunningConverters(kQuitGrace);
    engine_.deleteUnfinishedOutputs();
    // Workers may still read the slots until we are gone: keep the mapping.
    engine_.channel().unlinkChannel();
    if (options_.json) {
        // The report stays whole: an end for every file, the summary last.
        json_.endAll(engine_);
        countOutcomes();
        finish(kExitInterrupted);
    }
    std::fprintf(stderr, "vidmill-cli: stopped\n");
    std::fflush(nullptr);
    _exit(kExitInterrupted);
}

int Cli::convert() {
    if (refuseWhatCannotFit()) {
        return finish(kExitUsage);
    }
    return finish(runBatch({}) ? kExitAllConverted : kExitInterrupted);
}

// A size that some files cannot fit in is said before anything starts,
// rather than by those files' failures an hour into the run.
bool Cli::refuseWhatCannotFit() {
    const std::vector<Engine::SizeRefusal> refusals = engine_.sizeRefusals();
    for (const Engine::SizeRefusal& refusal : refusals) {
        std::fprintf(stderr, "vidmill-cli: %s: %s\n", shown(refusal.sourcePath).c_str(),
                     refusal.reason.c_str());
    }
    if (!refusals.empty()) {
        using Remedy = Engine::SizeRefusal::Remedy;
        const Remedy remedy = refusals.front().remedy;  // the same format for all
        std::fprintf(stderr, "vidmill-cli: nothing was converted: %s, or leave %s out\n",
                     remedy == Remedy::OtherFormat ? "choose a format that compresses its sound"
                     : remedy == Remedy::LargerSizeOrLessSound
                         ? "choose a larger --target-size or a lower --abitrate"
                         : "choose a larger --target-size",
                     remedy == Remedy::OtherFormat ? "--target-size"
                     : refusals.size() == 1        ? "this file"
                                                   : "these files");
    }
    return !refusals.empty();
}

bool Cli::runBatch(const std::function<void()>& meanwhile) {
    if (const CommandOutcome started = engine_.startBatch(); started == CommandResult::FileFailed) {
        // The machine refused the whole batch (said already): every file
        // ends failed with the reason, as when each converter meets it.
        engine_.failReadyEntries(started.why);
    }
    bool stopping = false;
    while (engine_.batchState() != BatchState::Idle) {
        gui_.waitAndRun(std::chrono::milliseconds(100));
        if (meanwhile) {
            meanwhile();
        }
        suspendWhenAsked();
        const int signals = interruptions.load();
        if (signals >= 2) {
            abandon(stopping);
        }
        if (signals == 1 && !stopping) {
            stopping = true;
            host_.clearLines();
            std::fprintf(stderr,
                         "vidmill-cli: stopping the conversions (press Ctrl+C again to quit "
                         "at once)\n");
            engine_.stopAll();
        }
        if (options_.json) {
            json_.update(engine_);
        } else {
            host_.render();
        }
    }
    if (options_.json) {
        json_.update(engine_);
    } else {
        host_.render(true);
        host_.clearLines();
        printSummary();
    }
    countOutcomes();
    // Outputs of whatever did not finish go away.
    engine_.exitSweep();
    return !stopping;
}

int Cli::watchFolders() {
    std::vector<std::string> tops;
    for (const std::string& input : options_.inputs) {
        // As the watch names it, links resolved: its files' paths start so.
        char resolved[PATH_MAX];
        std::string top = ::realpath(input.c_str(), resolved) != nullptr ? std::string(resolved)
                                                                         : absolutePath(input);
        if (!isFolder(top)) {
            std::fprintf(stderr, "vidmill-cli: %s: not a folder, so it cannot be watched\n",
                         shown(top).c_str());
            return finish(kExitUsage);
        }
        tops.push_back(top);
    }
    // The outputs must never come back as new videos.
    FolderWatch watch(tops, std::string(textOf(engine_.settings().destinationFolder)));
    for (const std::string& top : tops) {
        std::fprintf(stderr, "vidmill-cli: watching %s (Ctrl+C ends)\n", shown(top).c_str());
    }
    runWatchLoop(watch, tops, options_.keepTree, *this);
    return finish(kExitInterrupted);
}

bool Cli::interrupted() {
    return interruptions.load() != 0;
}

void Cli::pauseWhenAsked() {
    suspendWhenAsked();
}

bool Cli::admit(const WatchBatch& batch) {
    paths_ = batch.paths;
    subfolders_ = batch.subfolders;
    identities_ = batch.identities;
    admitCollected();
    return engine_.entryCount() != 0;
}

bool Cli::convert(const std::function<void()>& look) {
    const bool whole = runBatch(look);
    // Reported and done with: a watch that runs for weeks keeps no list.
    std::vector<int> rows(static_cast<size_t>(engine_.entryCount()));
    std::iota(rows.begin(), rows.end(), 0);
    engine_.removeEntriesAt(rows, false);
    json_.forget();
    return whole;
}

int Cli::run() {
    // Without the channel no converter can report, and every file would
    // look unreadable: name the real cause instead.
    if (!engine_.channel().isOpen()) {
        std::fprintf(stderr, "vidmill-cli: cannot create the progress channel in /dev/shm: %s\n",
                     std::strerror(engine_.channel().openError()));
        return finish(kExitEnvironment);
    }
    if (options_.watch) {
        return watchFolders();
    }
    for (const std::string& list : options_.filesFrom) {
        if (!readList(list)) {
            return finish(kExitUsage);
        }
    }
    for (const std::string& input : options_.inputs) {
        if (interruptions.load() != 0) {
            break;
        }
        addInput(absolutePath(input));
    }
    if (interruptions.load() == 0) {
        takeShare();
        admitCollected();
    }
    if (interruptions.load() != 0) {
        return finish(kExitInterrupted);
    }
    if (engine_.entryCount() == 0 && options_.shards > 0 && paths_.empty() &&
        counts_.rejected == 0) {
        // More shares than files: this one has nothing, which is no fault.
        std::fprintf(stderr, "vidmill-cli: share %d/%d holds no file\n", options_.shard,
                     options_.shards);
        return finish(kExitAllConverted);
    }
    if (engine_.entryCount() == 0) {
        std::fprintf(stderr, "vidmill-cli: nothing to convert\n");
        return finish(kExitFileFailed);
    }
    return options_.dryRun ? dryRun() : convert();
}

// Before any engine exists: the exit status, with the JSON summary asked for.
int earlyExit(const CliOptions& options, int exitStatus) {
    if (options.json) {
        std::printf("%s\n", jsonSummary({}, exitStatus).c_str());
    }
    return exitStatus;
}

int runCli(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    CliOptions options;
    std::string error;
    if (!parseCliOptions(args, options, error)) {
        std::fprintf(stderr, "vidmill-cli: %s\nTry 'vidmill-cli --help'.\n", shown(error).c_str());
        return kExitUsage;
    }
    if (options.help) {
        std::fputs(cliUsage(), stdout);
        return 0;
    }
    if (options.version) {
        std::printf("vidmill-cli %s\n%s", VIDMILL_VERSION, VIDMILL_LICENCE_NOTICE);
        return 0;
    }
    if (options.listPresets) {
        listPresets();
        return 0;
    }
    const std::string converter = programFolder() + "/vidmill-convert";
    if (access(converter.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "vidmill-cli: the converter is missing: %s\n",
                     shown(converter).c_str());
        return earlyExit(options, kExitEnvironment);
    }
    std::string destination =
        absolutePath(options.destination.empty() ? defaultOutputFolder() : options.destination);
    // Checked before anything is made: a refused path leaves no folders behind.
    if (destination.size() >= size_t(kFolderTextCapacity) - 1) {
        std::fprintf(stderr, "vidmill-cli: the destination folder path is too long: %s\n",
                     shown(destination).c_str());
        return earlyExit(options, kExitUsage);
    }
    // A dry run changes nothing on the disk, the destination included.
    if (!options.dryRun && !makeFolders(destination)) {
        std::fprintf(stderr, "vidmill-cli: cannot create the destination folder %s: %s\n",
                     shown(destination).c_str(), std::strerror(errno));
        return earlyExit(options, kExitEnvironment);
    }
    if (!options.dryRun && checkFolderTakesFiles(destination) != 0) {
        std::fprintf(stderr, "vidmill-cli: the destination folder is not writable: %s\n",
                     shown(destination).c_str());
        return earlyExit(options, kExitEnvironment);
    }
    installSignalHandlers();
    Cli cli(options, converter, destination);
    return cli.run();
}

}  // namespace
}  // namespace vidmill

int main(int argc, char** argv) {
    try {
        return vidmill::runCli(argc, argv);
    } catch (const std::exception& error) {
        // Unwound this far, the engine has stopped its converters and removed
        // its channel on the way. Out of memory or threads: the machine's fault.
        std::fprintf(stderr, "vidmill-cli: %s\n", error.what());
        return vidmill::kExitEnvironment;
    }
}
