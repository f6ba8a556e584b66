// vidmill-convert: probes or converts one media file for the engine.
//
//   vidmill-convert -y -qzmap NAME -qzind SLOT -i INPUT            (probe)
//   vidmill-convert -probeserver -qzmap NAME                        (many probes)
//   vidmill-convert -y [-an] [-vn] -i INPUT -qzmap NAME -qzind SLOT
//                   [codec, size, rate, bitrate or -crf, audio options] [-alltracks] OUTPUT
//
// Exit codes are listed in convert_error.h.

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "converter/av_handles.h"
#include "converter/convert_error.h"
#include "converter/converter_options.h"
#include "converter/probe_service.h"
#include "converter/process_guard.h"
#include "converter/progress_reporter.h"
#include "converter/transcoder.h"
#include "vidmill_version.h"

namespace {

// The engine shows the last line of our stderr as the reason of a failure:
// the message is one line, whatever a file name in it holds.
void report(std::string message) {
    for (char& c : message) {
        if (c == '\n' || c == '\r') {
            c = ' ';
        }
    }
    std::fprintf(stderr, "vidmill-convert: %s\n", message.c_str());
}

int run(const vidmill::ConverterOptions& options) {
    using namespace vidmill;
    ProgressReporter progress(options.channelName.empty()
                                  ? SlotWriter()
                                  : SlotWriter::attach(options.channelName, options.slotIndex));
    try {
        return options.isProbe() ? probeInput(options, progress) : convertInput(options, progress);
    } catch (const ConvertError& error) {
        report(error.what());
        // The engine knows one answer to a probe that fails: not usable media.
        // A conversion reports that as a plain input failure.
        if (options.isProbe()) {
            return exit_code::kUnusableMedia;
        }
        return error.exitCode() == exit_code::kUnusableMedia ? exit_code::kInputFailed
                                                             : error.exitCode();
    } catch (const std::bad_alloc&) {
        report("out of memory");
    } catch (const std::exception& error) {
        report(error.what());
    }
    return exit_code::kInternal;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    // The engine's commands begin with another word, so these cannot be an
    // output path or a value.
    if (args.size() == 1 && args[0] == "--help") {
        std::fputs(vidmill::converterUsage().c_str(), stdout);
        return vidmill::exit_code::kSuccess;
    }
    if (args.size() == 1 && args[0] == "--version") {
        std::printf("vidmill-convert %s\n%s", VIDMILL_VERSION, VIDMILL_LICENCE_NOTICE);
        return vidmill::exit_code::kSuccess;
    }
    vidmill::installProcessGuards();
    av_log_set_level(AV_LOG_ERROR);
    // SVT-AV1 writes its banner and settings straight to stderr, where the
    // engine looks for the reason of a failure; its errors still show. Set
    // before any thread starts, and only where the user chose no level.
    setenv("SVT_LOG", "1", 0);
    vidmill::captureLibavLog();

    if (std::string channel; vidmill::parseProbeServerCommand(args, &channel)) {
        return vidmill::serveProbes(channel, run);
    }
    const vidmill::ParsedOptions parsed = vidmill::parseConverterOptions(args);
    if (!parsed.options) {
        report(parsed.error);
        return vidmill::exit_code::kUsage;
    }
    return run(*parsed.options);
}
