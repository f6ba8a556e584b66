#include "cli/watch_loop.h"

#include <poll.h>

#include <cstdio>
#include <utility>

#include "cli/terminal_host.h"

namespace vidmill {

std::string subfolderBelow(const std::string& top, const std::string& path) {
    const size_t base = top.size() + (top.back() == '/' ? 0 : 1);
    const size_t slash = path.rfind('/');
    return slash != std::string::npos && slash > base ? path.substr(base, slash - base)
                                                      : std::string();
}

WatchBatch makeWatchBatch(const std::vector<WatchedFile>& files,
                          const std::vector<std::string>& tops, bool keepTree) {
    WatchBatch batch;
    for (const auto& [path, identity] : files) {
        std::string subfolder;
        for (const std::string& top : tops) {
            // "/" holds everything; any other top holds what lies below "top/".
            const std::string below = top.ends_with('/') ? top : top + "/";
            if (keepTree && path.starts_with(below)) {
                subfolder = subfolderBelow(top, path);
            }
        }
        batch.paths.push_back(path);
        batch.subfolders.push_back(subfolder);
        batch.identities.push_back(identity);
    }
    return batch;
}

void runWatchLoop(FolderWatch& watch, const std::vector<std::string>& tops, bool keepTree,
                  WatchRun& run) {
    std::vector<WatchedFile> complete;
    // Also while a batch converts: the watch keeps reading the kernel's
    // news and timing the files that settle.
    auto look = [&] {
        std::vector<WatchNotice> notices;
        for (WatchedFile& file : watch.poll(&notices)) {
            complete.push_back(std::move(file));
        }
        // A terminal keeps every line, the folder coming back too.
        for (const WatchNotice& notice : notices) {
            std::fprintf(stderr, "vidmill-cli: %s\n", escapeControls(notice.text).c_str());
        }
    };
    while (!run.interrupted()) {
        run.pauseWhenAsked();
        look();
        if (complete.empty()) {
            pollfd news{watch.fd(), POLLIN, 0};
            ::poll(&news, watch.fd() >= 0 ? 1 : 0, 500);
            continue;
        }
        const WatchBatch batch = makeWatchBatch(complete, tops, keepTree);
        complete.clear();
        if (!run.admit(batch) || run.interrupted()) {
            continue;
        }
        if (!run.convert(look)) {
            break;
        }
    }
}

}  // namespace vidmill
