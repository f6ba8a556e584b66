// Adding many small real files through the engine: each file probed by a
// converter of its own, against the files handed to the probe servers, in the
// same run. The files are hard links of a few one-second clips that the
// ffmpeg tool makes first.
//
//   build/bin/admission_bench [--full]
//
// 200 and 2,000 files are added both ways; 30,000 through the servers only,
// unless --full asks for the single probes too (several minutes).

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine/engine_host.h"
#include "engine/gui_call.h"
#include "run_program.h"
#include "system/user_folders.h"

namespace vidmill {
namespace {

using Clock = std::chrono::steady_clock;

class QuietHost : public EngineHost {
  public:
    void message(MessageStyle, const std::string&) override {}
};

using bench::runProgram;

// Seconds to add `paths`, and whether every one was admitted.
double admit(const std::string& converter, const std::vector<std::string>& paths, bool servers) {
    QuietHost host;
    QueuedGuiCall gui;
    Engine engine(host, gui, converter);
    AdmitOptions options;
    options.probeServers = servers;
    const auto start = Clock::now();
    engine.admitFiles(paths, options);
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    if (engine.entryCount() != int(paths.size())) {
        std::printf("  (only %d of %zu files admitted)\n", engine.entryCount(), paths.size());
    }
    return wall;
}

}  // namespace
}  // namespace vidmill

int main(int argc, char** argv) {
    using namespace vidmill;
    const bool full = argc > 1 && std::strcmp(argv[1], "--full") == 0;
    const std::string converter = programFolder() + "/vidmill-convert";
    char pattern[] = "/tmp/vidmill-admission-bench-XXXXXX";
    const std::string dir = mkdtemp(pattern);
    const std::vector<std::string> clips = {dir + "/clip.mp4", dir + "/clip.mkv",
                                            dir + "/clip.avi"};
    for (const std::string& clip : clips) {
        if (!runProgram({"ffmpeg", "-nostdin", "-y", "-f", "lavfi", "-i",
                         "testsrc=duration=1:size=160x120:rate=25", "-f", "lavfi", "-i",
                         "sine=duration=1", clip})) {
            std::fprintf(stderr, "admission_bench: needs the ffmpeg tool and %s\n",
                         converter.c_str());
            return 2;
        }
    }
    std::printf("adding small files (%ld cores); each way in a fresh engine\n",
                sysconf(_SC_NPROCESSORS_ONLN));
    int failures = 0;
    for (const int count : {200, 2000, 30000}) {
        const std::string folder = dir + "/n" + std::to_string(count);
        mkdir(folder.c_str(), 0755);
        std::vector<std::string> paths;
        for (int i = 0; i < count; ++i) {
            const std::string& clip = clips[std::size_t(i) % clips.size()];
            paths.push_back(folder + "/f" + std::to_string(i) + clip.substr(clip.rfind('.')));
            if (link(clip.c_str(), paths.back().c_str()) != 0) {
                std::perror(paths.back().c_str());
                return 2;
            }
        }
        const double served = admit(converter, paths, true);
        std::printf("  %6d files: probe servers %7.2f s (%.2f ms a file)", count, served,
                    served * 1000 / count);
        if (count < 30000 || full) {
            const double single = admit(converter, paths, false);
            std::printf("; one converter a file %7.2f s; ratio servers/single %.3f", single,
                        served / single);
        }
        std::printf("\n");
        if (count == 30000 && served >= 60) {
            ++failures;
        }
    }
    const std::string cleanup = "rm -rf '" + dir + "'";
    failures += std::system(cleanup.c_str()) != 0;
    return failures == 0 ? 0 : 1;
}
