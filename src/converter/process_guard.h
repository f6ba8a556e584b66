#pragma once

// Keeps the converter from outliving the program that started it: SIGTERM,
// SIGINT, SIGHUP and the death of the parent all count as a stop request,
// which the conversion honours like the stop byte of its progress slot.

namespace vidmill {

// Installs the handlers and asks the kernel for SIGTERM when the parent
// dies. Also ignores SIGPIPE and SIGXFSZ, so that a closed stderr or a
// file-size limit shows up as a failed write instead of killing the process.
void installProcessGuards();

// True once a stop signal arrived (or the parent was already gone).
bool stopSignalled();

}  // namespace vidmill
