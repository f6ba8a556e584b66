#pragma once

// One conversion of one file: the converter started on it (once more
// without the audio options when the container refuses them), watched for
// progress and for a stall, and what its end means: the result, the reason
// of a failure, the note of a success. It runs on a worker thread and
// touches no entry and no lock: what it needs comes in, what it found goes
// out.

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "storage/conversion_settings.h"

namespace vidmill {

class ProgressChannel;
struct EngineTiming;

struct ConversionJob {
    std::string converterPath;
    std::string sourcePath;
    // The final name, as the command and every message show it.
    std::string outputPath;
    // The part file that the converter writes into, and that file open.
    std::string partPath;
    int partFd = -1;
    // The source open, when it must be the very file that was found; -1
    // lets the converter open it by name.
    int sourceFd = -1;
    int progressSlot = -1;
    int priority = 0;
    // How many conversions share the processors with this one.
    int conversionsAtOnce = 1;
    // While set, the converter is held stopped and cannot stall.
    const std::atomic<bool>* paused = nullptr;
    // Where a first pass keeps its log, in a folder of its own.
    std::string passFolder;
};

class ConversionRun {
  public:
    // `settings` is the batch's copy; `killAll` set means every converter is
    // to be ended at once; `onPass` runs once per pass of the watch with
    // the seconds of the source converted so far (negative while unknown).
    ConversionRun(ConversionJob job, const ConversionSettings& settings, ProgressChannel& channel,
                  const EngineTiming& timing, const std::atomic<bool>& killAll,
                  std::function<void(double reachedSeconds)> onPass);

    // Runs the converter to its end: 0 when it wrote a whole output, else
    // the converter's code or kOutputMissing / kConverterNotStarted.
    int run();
    // After run(): why it failed, in one line, or the converter's note on a
    // run that went well (either may be empty).
    const std::string& failureReason() const { return failureReason_; }
    const std::string& note() const { return note_; }
    // The converter ended well without writing a byte: what a stop during a
    // first pass leaves, when there is nothing yet to keep.
    bool endedEmpty() const { return endedEmpty_; }

  private:
    std::vector<std::string> command(int audioFallback) const;
    int runWatched(const std::vector<std::string>& args, int priority, int* exitCode, bool* stalled,
                   std::string* errors);

    ConversionJob job_;
    const ConversionSettings& settings_;
    ProgressChannel& channel_;
    const EngineTiming& timing_;
    const std::atomic<bool>& killAll_;
    std::function<void(double)> onPass_;
    std::string failureReason_;
    std::string note_;
    bool endedEmpty_ = false;
};

// Why a conversion whose converter ended with `converterCode` (0 when it
// left no output) did not end Ok, in one line, from the converter's last
// words `errors` and the state of the output's folder.
std::string failureReasonFor(const std::string& converterPath, int converterCode,
                             const std::string& errors, const std::string& outputPath);

// The converter's notes on a run that went well ("the input ends at ..."),
// from its last words, each once, joined by "; "; empty when it made none.
std::string converterNote(const std::string& errors);

// The last line of the converter's messages that says something, without
// the converter's name before it, control characters made blanks.
std::string lastMessageLine(const std::string& errors);

}  // namespace vidmill
