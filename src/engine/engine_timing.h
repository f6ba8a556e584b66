#pragma once

// How long the engine's parts wait, poll and allow; tests shorten them. And
// the result codes of a conversion beside the converter's own exit codes.

#include <chrono>

namespace vidmill {

struct EngineTiming {
    // A waiting worker checks whether it may start this often.
    int admissionPollMs = 500;
    // A running conversion reports this often.
    int progressPollMs = 1000;
    int probePollMs = 10;
    // A probe that runs this long gets the stop byte, and is ended when it
    // still runs probeGraceMs later; it then counts as failed.
    int probeTimeoutMs = 60000;
    int probeGraceMs = 5000;
    // A probe server with nothing to do for this long ends.
    int probeIdleMs = 5000;
    // At most this many worker threads live at once; later entries of a big
    // batch wait as Pending until earlier workers have ended.
    int maxLiveWorkers = 1000;
    // A conversion whose slot has not changed for this long gets the stop
    // byte, and is ended when it still runs stallGraceMs later; it fails
    // with the reason "no progress".
    int stallTimeoutMs = 180000;
    int stallGraceMs = 10000;
    // A part file in the destination that nothing has changed for this long
    // when a batch starts there is taken for what a killed run left, and
    // removed (when it carries our mark and no one holds it locked).
    std::chrono::seconds leftoverPartAge{60};
};

// The result codes of a conversion beside the converter's own exit codes.
inline constexpr int kConverterNotStarted = -1000;
inline constexpr int kOutputMissing = -1;
// The converter asked to be run again without the audio options.
inline constexpr int kAudioOptionsRefused = -25;
// The converter found no usable media in the file.
inline constexpr int kInvalidMedia = -20;

}  // namespace vidmill
