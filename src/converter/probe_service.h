#pragma once

// The converter as a probe server (see process/probe_protocol.h): one process
// probes many files, so that adding thousands of files does not start
// thousands of programs.

#include <functional>
#include <string>
#include <vector>

#include "converter/converter_options.h"

namespace vidmill {

// The channel of a probe server's command line ("-probeserver -qzmap NAME",
// without the program's name); false when `args` is not that command.
bool parseProbeServerCommand(const std::vector<std::string>& args, std::string* channelName);

// Reads requests on the standard input until it ends, probes each file with
// `probeOne` (which gives the exit code of a single probe) and answers on the
// standard output. Gives the process's exit code: success at the end of the
// requests, interrupted after a stop signal, usage for a malformed request.
int serveProbes(const std::string& channelName,
                const std::function<int(const ConverterOptions&)>& probeOne);

}  // namespace vidmill
