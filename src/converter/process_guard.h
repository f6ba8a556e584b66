#pragma once

// Keeps the converter from outliving the program that started it: SIGTERM,
// SIGINT, SIGHUP and the death of the parent all count as a stop request,
// which the conversion honours like the stop byte of its progress slot.
// A library call that never returns cannot hold the process: a few seconds
// after the first stop signal the process removes its unfinished output
// and exits with the interrupted code, wherever it is.

#include <chrono>

namespace vidmill {

inline constexpr std::chrono::seconds kSignalDeadline{3};

// Installs the handlers and asks the kernel for SIGTERM when the parent
// dies; a parent that died before that counts as a stop signal at once. Also ignores SIGPIPE and
// SIGXFSZ, so that a closed stderr or a file-size limit shows up as a failed write instead of
// killing the process.
void installProcessGuards();

// True once a stop signal arrived (or the parent was already gone).
bool stopSignalled();

// How many conversions share the processors with this one, as the engine
// that started it says; 1 when it says nothing (or nothing readable).
int conversionsAtOnce();

// The file that the deadline removes: the output while it is being written.
// A path that does not fit the platform's path limit is not armed. With a
// `descriptor` of 0 or more the output is the file open there: it is
// emptied, and its name goes only while it still leads to that file.
void armOutputRemoval(const char* path, int descriptor = -1);
void disarmOutputRemoval();

// Removes an unfinished output as armOutputRemoval() describes. Async-signal-safe.
void removeOutput(const char* path, int descriptor);

}  // namespace vidmill
