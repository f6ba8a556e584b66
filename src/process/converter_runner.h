#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include <sys/types.h>

namespace vidmill {

// Starts the converter and waits for it.
//
// A command is an argument vector: the program's path first, then its
// arguments; it is started directly (no shell, no PATH search) with stdin,
// stdout and stderr on /dev/null and none of our other descriptors.
//
// The exit code handed back is the program's exit status read as a signed
// 8-bit value, so a converter that exits with -20 or -25 gives -20 or -25.
// Codes that no exit status can produce:
//   kSignalExitBase - n   the program was killed by signal n (-2001 .. -2064)
//   kExitStatusLost       the status could not be read (someone else reaped it)
// Neither is ever 0, -20, -25 or the scheduler's "could not start" -1000.

inline constexpr int kSignalExitBase = -2000;
inline constexpr int kExitStatusLost = -2100;

// Priorities are steps of nice value from the caller's own (19 and -20 at
// most), applied to every thread of the converter after it has started.
inline constexpr int kNormalPriority = 0;
// Leaves the converter at the priority it inherits from us.
inline constexpr int kKeepPriority = std::numeric_limits<int>::min();

// Called once per pass while the converter runs; giving false asks the
// runner to kill it (see runConverterWatched).
using WatchFunction = std::function<bool()>;

// The nice value for the user's priority setting: Low 19, BelowNormal 10,
// Normal 0, AboveNormal -5, High -10, Realtime -20; anything else Normal.
int priorityClassFor(int setting);

// Starts the command at the given priority (a refused raise is ignored) and
// waits for it in passes of pollPeriodMs, calling watch (when given) once
// per pass, the pass in which the program ended included (a period below
// 1 ms counts as 1 ms). Gives 1 and stores the exit code through exitCode
// (when given) once the program has ended, or 0 when it could not be
// started, leaving *exitCode as it was.
//
// A last resort against a converter that hangs: when watch
// gives false in a pass in which the converter still runs, the runner kills
// it (SIGKILL, once) and goes on waiting until it has ended; the exit code is
// then kSignalExitBase - SIGKILL. Normally a converter is stopped through its
// slot's stop byte and ends by itself. kKeepPriority as priorityClass leaves
// it at the priority it inherits. When errorTail is given, it receives the
// last kErrorTailBytes bytes that the program wrote to its standard error.
// conversionsAtOnce > 0 tells the converter, through kConversionsAtOnceVariable,
// how many conversions share the processors with it. An outputFd of 0 or more
// is handed to the converter as its descriptor kOutputDescriptor: the file it
// writes, already open, so that it never has to find it again by name; an
// inputFd of 0 or more is handed over as kInputDescriptor, the file it reads.
// While *pauseFlag (when given) is set, the converter's process group is held
// stopped, from the first applyConverterPauses() that finds it ready.
int runConverterWatched(const std::vector<std::string>& command, int* exitCode, int priorityClass,
                        int pollPeriodMs, const WatchFunction& watch,
                        std::string* errorTail = nullptr, int conversionsAtOnce = 0,
                        int outputFd = -1, const std::atomic<bool>* pauseFlag = nullptr,
                        int inputFd = -1);

// Stops (SIGSTOP) the process group of every running converter whose pause
// flag is set, and continues (SIGCONT) those whose flag has been cleared since.
// A converter still loading, that does not yet catch SIGCONT, is stopped by a
// later call once it does: gives the number of flagged converters not held
// yet. Any thread may call it. A converter that is ended while held gets
// SIGCONT after the signal, so that it acts on it.
int applyConverterPauses();

// Starts the command as a converter that answers requests: its standard input
// and output are both `streamFd` (one end of a socket pair), its standard
// error /dev/null, and it carries the lifeline like any converter: the
// calling thread counts as its parent. It is listed with the converters
// above, so endRunningConverters() reaches it too. Gives its pid, or -1 when
// it did not start; *pidFd receives a process descriptor for it (or -1),
// which the caller closes only after reapServedConverter().
pid_t startServedConverter(const std::vector<std::string>& command, int streamFd, int* pidFd);
// Whether a served converter has ended (it stays unreaped).
bool servedConverterEnded(pid_t pid, int pidFd);
// Unlists a served converter that has ended or been killed and waits for it;
// gives its exit code as runConverterWatched() does.
int reapServedConverter(pid_t pid);

// The descriptor number under which a converter receives its output file.
inline constexpr int kOutputDescriptor = 3;
// And the one under which it receives the file it converts, when the engine
// holds that file open already.
inline constexpr int kInputDescriptor = 4;

inline constexpr std::size_t kErrorTailBytes = 512;

// For a program that is about to end: every converter that the calls above
// started and that still runs gets SIGTERM, and those still running after
// `grace` get SIGKILL. Any thread may call it. Gives the number killed.
int endRunningConverters(std::chrono::milliseconds grace);

// Starts the command in a session of its own and does not wait for it; it is
// reaped in the background when it ends. Gives 1 when it started, else 0.
int launchDetached(const std::vector<std::string>& command);

// The lifeline between the runner and a converter. A converter must not
// outlive the program that waits for it, yet it can ask the kernel for a
// signal at its parent's death only after it has started, when that parent
// may already be gone. So the runner puts its own process id into this
// variable of the converter's environment (and of no other program's), and
// the converter compares it with its parent after asking.
inline constexpr const char* kParentPidVariable = "VIDMILL_PARENT_PID";

// How many conversions of a batch run at once, so that each converter sizes
// its decoder's and encoder's threads to its share of the processors instead
// of all of them taking every core. Set by the runner only in the converter's
// environment; without it a converter takes all the cores.
inline constexpr const char* kConversionsAtOnceVariable = "VIDMILL_CONVERSIONS_AT_ONCE";

// For the converter, first thing: asks for `signal` at the death of its
// parent. Gives false when the parent has died already (the signal will not
// come). Without the variable, the parent is the one seen before asking.
// The runner waits for a converter on the very thread that started it, and
// that thread's end is what the kernel counts as the parent's death.
bool tieLifeToParent(int signal);

}  // namespace vidmill
