// Whether a video counts as converted already, when the batch skips those:
// its own earlier output, found under whatever name it took, or a whole
// video that someone else put under its plain name.

#include <sys/stat.h>

#include <string>

#include "engine/batch/output_path.h"
#include "engine/batch/part_file.h"
#include "engine/engine.h"
#include "system/path_utils.h"
#include "system/text_utils.h"

namespace vidmill {

Engine::SkipFinding Engine::lookForConverted(const VideoEntry& entry, const std::string& folder,
                                             const std::string& mark) {
    SkipFinding finding;
    std::string plain;
    if (!outputPathCandidate(&plain, folder, entry.name, entry.presetId, 0)) {
        return finding;
    }
    bool claimedByAnother = false;
    {
        std::lock_guard lock(mutex_);
        for (const auto& other : list_.entries()) {
            if (other.get() == &entry) {
                continue;
            }
            const EntryStatus status = other->status.load();
            // This list's own record of converting that source into this
            // folder, its file still the one it made.
            std::string otherFolder;
            if (status == EntryStatus::Ok && other->sourcePath == entry.sourcePath &&
                other->presetId == entry.presetId &&
                (splitPath(other->outputPath, &otherFolder, nullptr, nullptr),
                 otherFolder == folder) &&
                convertedFileSize(other->outputPath) > 0 &&
                isStillTheFile(other->outputPath, other->outputIdentity)) {
                finding = {SkipFinding::Kind::Skip, other->outputPath, {}};
                return finding;
            }
            if (isOutputClaiming(status) && equalsIgnoringCase(other->outputPath, plain)) {
                claimedByAnother = other->sourcePath != entry.sourcePath;
                if (!claimedByAnother) {
                    // The same source is being converted there right now.
                    finding = {SkipFinding::Kind::Skip, plain, {}};
                    return finding;
                }
            }
        }
    }
    if (std::string found; findMarkedOutput(&found, folder, entry.name, entry.presetId, mark)) {
        finding = {SkipFinding::Kind::Skip, found, {}};
        return finding;
    }
    if (claimedByAnother) {
        return finding;  // another source of the same name: the next free name
    }
    struct stat info {};
    if (::lstat(plain.c_str(), &info) != 0) {
        // Another run converting it now holds its part file: that run's
        // output will stand for it. Otherwise it takes that name or none.
        finding = {partIsHeld(plain) ? SkipFinding::Kind::Skip : SkipFinding::Kind::ConvertExactly,
                   plain,
                   {}};
        return finding;
    }
    if (carriesSourceMark(plain, {})) {
        return finding;  // made by Vidmill from another source
    }
    const char* why = nullptr;
    if (S_ISLNK(info.st_mode)) {
        why = "is a link";
    } else if (!S_ISREG(info.st_mode)) {
        why = "is not a regular file";
    } else if (info.st_size == 0) {
        why = "is empty";
    } else if (!readsAsWholeVideo(plain)) {
        why = "is not a whole video";
    }
    if (why == nullptr) {
        finding = {SkipFinding::Kind::Skip, plain, {}};
    } else {
        finding.note = plain + " " + why + ", so it does not count as converted";
    }
    return finding;
}

bool Engine::readsAsWholeVideo(const std::string& path) {
    // Only files that Vidmill did not make come here: a probe of their
    // header, as any added file gets.
    const std::shared_ptr<VideoEntry> scratch = createEntry(path);
    int slot = channel_.allocateSlot();
    const auto result = adding_.runProbe(path, *scratch, slot, &killConverters_);
    channel_.releaseSlot(slot);
    return result == Admission::ProbeResult::Read;
}

}  // namespace vidmill
