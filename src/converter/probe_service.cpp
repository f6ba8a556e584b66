#include "converter/probe_service.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "converter/convert_error.h"
#include "converter/process_guard.h"
#include "process/probe_protocol.h"
#include "system/file_descriptor.h"

namespace vidmill {

namespace {}  // namespace

bool parseProbeServerCommand(const std::vector<std::string>& args, std::string* channelName) {
    if (args.size() != 3 || args[0] != converter_word::kProbeServer ||
        args[1] != converter_word::kChannel || args[2].empty()) {
        return false;
    }
    *channelName = args[2];
    return true;
}

int serveProbes(const std::string& channelName,
                const std::function<int(const ConverterOptions&)>& probeOne) {
    // The conversation gets descriptors of its own, and the standard streams
    // lead nowhere: nothing a library prints can pass for an answer.
    const FileDescriptor requests(fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3));
    const FileDescriptor answers(fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3));
    if (requests.get() < 0 || answers.get() < 0) {
        return exit_code::kInternal;
    }
    {
        const FileDescriptor nowhere(open("/dev/null", O_RDWR | O_CLOEXEC));
        if (nowhere.get() < 0 || dup2(nowhere.get(), STDIN_FILENO) < 0 ||
            dup2(nowhere.get(), STDOUT_FILENO) < 0) {
            return exit_code::kInternal;
        }
    }

    std::string pending;
    char chunk[4096];
    for (;;) {
        if (stopSignalled()) {
            return exit_code::kInterrupted;
        }
        const std::size_t end = pending.find('\0');
        if (end == std::string::npos) {
            if (pending.size() > kMaxProbeRequestPath + 16) {
                return exit_code::kUsage;
            }
            const ssize_t got = ::read(requests.get(), chunk, sizeof chunk);
            if (got == 0) {
                return exit_code::kSuccess;
            }
            if (got < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return exit_code::kInternal;
            }
            pending.append(chunk, std::size_t(got));
            continue;
        }
        ConverterOptions options;
        if (!parseProbeRequest(std::string_view(pending).substr(0, end), &options.slotIndex,
                               &options.inputPath)) {
            return exit_code::kUsage;
        }
        pending.erase(0, end + 1);
        options.overwrite = true;
        options.channelName = channelName;
        const int code = probeOne(options);
        if (stopSignalled()) {
            // The probe was cut short by the signal, not by the file: no
            // answer, so that the file is probed again rather than taken
            // for one without a length.
            return exit_code::kInterrupted;
        }
        const std::string answer = probeAnswer(options.slotIndex, code);
        if (!writeAll(answers.get(), answer.data(), answer.size())) {
            return exit_code::kInternal;
        }
    }
}

}  // namespace vidmill
