// vidmill-cli: the conversion engine without windows.

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "cli/cli_options.h"
#include "cli/terminal_host.h"
#include "engine/converter_command.h"
#include "engine/engine.h"
#include "engine/entry_status_text.h"
#include "engine/format_preset.h"
#include "engine/gui_call.h"
#include "engine/video_files.h"
#include "system/path_utils.h"
#include "system/user_folders.h"
#include "vidmill_version.h"

namespace vidmill {
namespace {

std::atomic<int> interruptions{0};

void onInterrupt(int) {
    interruptions.fetch_add(1);
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

class Cli {
  public:
    Cli(CliOptions& options, std::string converter, std::string destination)
        : options_(options),
          host_(stdout, stderr, isatty(STDOUT_FILENO) != 0),
          engine_(host_, gui_, std::move(converter)) {
        host_.attach(engine_);
        engine_.setProbeInterrupt(&interruptions);
        engine_.settings() = options.settings;
        storeText(engine_.settings().destinationFolder, destination);
    }

    int run();

  private:
    void addInput(const std::string& input);
    void admit(const std::string& path);
    int dryRun();
    int convert();
    void printSummary();
    [[noreturn]] void abandon();

    CliOptions& options_;
    QueuedGuiCall gui_;
    TerminalHost host_;
    Engine engine_;
    bool rejected_ = false;
};

void Cli::admit(const std::string& path) {
    const EntryList& list = engine_.entryList();
    const VideoEntry* lastBefore = list.at(list.count() - 1);
    const int messagesBefore = host_.messagesShown();
    engine_.admitFile(path);
    if (list.at(list.count() - 1) == lastBefore) {
        rejected_ = true;
        if (host_.messagesShown() == messagesBefore) {
            std::fprintf(stderr, "vidmill-cli: %s: could not be read as a video\n", path.c_str());
        }
    }
}

void Cli::addInput(const std::string& input) {
    struct stat info;
    if (stat(input.c_str(), &info) != 0) {
        std::fprintf(stderr, "vidmill-cli: %s: no such file or folder\n", input.c_str());
        rejected_ = true;
        return;
    }
    auto admitOne = [this](const std::string& path) {
        if (interruptions.load() == 0) {
            admit(path);
        }
    };
    if (S_ISDIR(info.st_mode)) {
        if (AddFolder(input, admitOne) == 0) {
            std::fprintf(stderr, "vidmill-cli: %s: the folder cannot be read\n", input.c_str());
            rejected_ = true;
        }
        return;
    }
    std::string extension;
    SplitPath(input, nullptr, nullptr, nullptr, &extension);
    if (!IsSupportedExtension(extension, kAllSupportedExtensions)) {
        std::fprintf(stderr, "vidmill-cli: %s: not a supported file type, skipped\n",
                     input.c_str());
        rejected_ = true;
        return;
    }
    admitOne(input);
}

int Cli::dryRun() {
    const EntryList& list = engine_.entryList();
    ConversionSettings batch = engine_.settings();
    for (int i = 0; i < list.count(); ++i) {
        const VideoEntry& entry = *list.at(i);
        std::string output;
        makeOutputPath(&output, engine_.settings().destinationFolder, entry.name, batch.presetId,
                       list);
        ConverterCommand command =
            buildConvertCommand(engine_.converterPath(), entry.sourcePath, output,
                                engine_.channel().channelName(), entry, batch, 0);
        std::printf("%s\n", command.text.c_str());
    }
    return rejected_ ? 1 : 0;
}

void Cli::printSummary() {
    std::lock_guard lock(engine_.mutex());
    const EntryList& list = engine_.entryList();
    for (int i = 0; i < list.count(); ++i) {
        const VideoEntry& entry = *list.at(i);
        std::string status = EntryStatusText(entry, engine_.channel());
        std::printf("%-24s %s", status.c_str(), entry.sourcePath.c_str());
        if (entry.status.load() == EntryStatus::Ok) {
            std::printf(" -> %s", entry.outputPath.c_str());
        }
        std::printf("\n");
    }
    std::fflush(stdout);
}

void Cli::abandon() {
    // A second interruption: the converters have their stop byte; what they
    // leave behind is removed now, and nothing waits any longer.
    {
        std::lock_guard lock(engine_.mutex());
        engine_.deleteUnfinishedOutputs();
    }
    host_.clearLines();
    std::fprintf(stderr, "vidmill-cli: stopped\n");
    std::fflush(nullptr);
    _exit(130);
}

int Cli::convert() {
    engine_.startBatch();
    bool stopping = false;
    while (!engine_.batchIdle()) {
        gui_.waitAndRun(std::chrono::milliseconds(100));
        const int signals = interruptions.load();
        if (signals >= 2) {
            abandon();
        }
        if (signals == 1 && !stopping) {
            stopping = true;
            host_.clearLines();
            std::fprintf(stderr,
                         "vidmill-cli: stopping the conversions (press Ctrl+C again to quit "
                         "at once)\n");
            engine_.stopAll();
        }
        host_.render();
    }
    host_.render(true);
    host_.clearLines();
    printSummary();
    bool allOk = !rejected_;
    for (const auto& entry : engine_.entryList().entries()) {
        allOk = allOk && entry->status.load() == EntryStatus::Ok;
    }
    // Outputs of whatever did not finish go away.
    engine_.exitSweep();
    if (stopping) {
        return 130;
    }
    return allOk ? 0 : 1;
}

int Cli::run() {
    for (const std::string& input : options_.inputs) {
        if (interruptions.load() != 0) {
            break;
        }
        addInput(absolutePath(input));
    }
    if (interruptions.load() != 0) {
        return 130;
    }
    if (engine_.entryList().count() == 0) {
        std::fprintf(stderr, "vidmill-cli: nothing to convert\n");
        return 1;
    }
    return options_.dryRun ? dryRun() : convert();
}

int runCli(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    CliOptions options;
    std::string error;
    if (!parseCliOptions(args, options, error)) {
        std::fprintf(stderr, "vidmill-cli: %s\nTry 'vidmill-cli --help'.\n", error.c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(cliUsage(), stdout);
        return 0;
    }
    if (options.version) {
        std::printf("vidmill-cli %s\n", VIDMILL_VERSION);
        return 0;
    }
    if (options.listPresets) {
        listPresets();
        return 0;
    }
    const std::string converter = ProgramFolder() + "/vidmill-convert";
    if (access(converter.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "vidmill-cli: the converter is missing: %s\n", converter.c_str());
        return 1;
    }
    std::string destination =
        absolutePath(options.destination.empty() ? DefaultOutputFolder() : options.destination);
    if (!MakeFolders(destination)) {
        std::fprintf(stderr, "vidmill-cli: cannot create the destination folder %s\n",
                     destination.c_str());
        return 1;
    }
    if (destination.size() >= size_t(kFolderTextCapacity) - 1) {
        std::fprintf(stderr, "vidmill-cli: the destination folder path is too long: %s\n",
                     destination.c_str());
        return 2;
    }
    installSignalHandlers();
    Cli cli(options, converter, destination);
    return cli.run();
}

}  // namespace
}  // namespace vidmill

int main(int argc, char** argv) {
    return vidmill::runCli(argc, argv);
}
