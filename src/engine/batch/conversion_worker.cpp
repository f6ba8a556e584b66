// The conversion of one entry on its worker: the output named and its part
// file reserved, the converter run, the finished file published under its
// name (or a stopped one kept, when the user keeps them).

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "engine/batch/conversion_run.h"
#include "engine/engine.h"
#include "engine/list/entry_edits.h"
#include "engine/gui_call.h"
#include "engine/batch/output_path.h"
#include "engine/batch/part_file.h"
#include "process/converter_runner.h"
#include "system/file_descriptor.h"
#include "system/path_utils.h"
#include "system/user_folders.h"

namespace vidmill {
namespace {

constexpr const char* kDestinationRemoved =
    "the destination folder was removed during the conversion";
constexpr const char* kSourceChanged = "the file changed after it was found";
constexpr const char* kNoFreeName = "no free output name in the destination folder";
constexpr const char* kPartReplaced =
    "the unfinished file was replaced or removed during the conversion, so it was not published";

// Why a file or folder could not be made in the destination, in one line.
std::string folderErrorText(int error, const char* otherwise) {
    return error == ENOSPC                     ? "disk full"
           : error == EACCES || error == EROFS ? "output folder is not writable"
                                               : otherwise;
}

}  // namespace

void Engine::convertEntry(VideoEntry& entry) {
    const std::string folder(textOf(batchSettings_.destinationFolder));
    entry.status.store(EntryStatus::Converting);
    gui_.guiCall([this, &entry] { refreshEntry(entry); });

    // A file found in a watched folder is converted only while it is still
    // that file: its name may lead elsewhere by now (a link put in its
    // place), and the converter reads the file held open here.
    FileDescriptor sourceFile;
    if (entry.sourceIdentity.known()) {
        sourceFile = openSameFile(entry.sourcePath, entry.sourceIdentity);
        if (sourceFile.get() < 0) {
            setFailureReason(entry, kSourceChanged);
            entry.status.store(EntryStatus::ConversionError);
            gui_.guiCall([this, &entry] { refreshEntry(entry); });
            return;
        }
    }

    // What the output is marked as made from, and, with skipping on, what
    // counts as converted already: looked for outside the lock, as it may
    // take a probe.
    const std::string mark = sourceMarkText(entry.sourcePath, fileIdentityOf(sourceFile.get()));
    SkipFinding finding;
    if (std::string target;
        batchSkipExisting_ && joinOutputSubfolder(folder, entry.outputSubfolder, &target)) {
        finding = lookForConverted(entry, target, mark);
    }
    const bool exactly = finding.kind == SkipFinding::Kind::ConvertExactly;

    std::string outputPath;
    std::string partPath;
    // The converter writes through this: a name can be swapped meanwhile by
    // anyone who may rename entries in the folder, the open file cannot.
    FileDescriptor partFile;
    std::string folderProblem;
    bool skipped = false;
    {
        // The folder is made, the name chosen and its part file reserved in
        // one go, so that two workers never pick the same name; the part
        // file keeps other processes off it too.
        std::lock_guard lock(mutex_);
        // A name chosen by an earlier, stopped run claims nothing now.
        entry.outputPath.clear();
        std::string target;
        if (!joinOutputSubfolder(folder, entry.outputSubfolder, &target)) {
            folderProblem = "the output subfolder leads out of the destination folder";
        } else if (!isFolder(folder)) {
            // Made again with a subfolder, it would hide that it went.
            folderProblem = kDestinationRemoved;
        } else if (target != folder && !makeFolders(target)) {
            folderProblem = folderErrorText(errno, "cannot create the output folder");
        } else if (finding.kind == SkipFinding::Kind::Skip) {
            skipped = true;
        } else {
            // The part file that a killed run left under the first choice
            // (it holds no lock: its converter is gone too) must not push
            // this output to another name.
            // One that an entry of this list claims is that entry's, even
            // where the file system's locks cannot tell (NFS).
            if (std::string first;
                outputPathCandidate(&first, target, entry.name, entry.presetId, 0) &&
                isOutputPathFree(list_, first)) {
                removeLeftoverPart(first);
            }
            folderProblem = exactly ? reserveExactly(entry, finding.path, &skipped)
                                    : reserveOutput(entry, target);
            outputPath = entry.outputPath;
            partPath = entry.part.path();
            if (folderProblem.empty()) {
                // A copy of its own: a quit that gives up waiting may discard the part meanwhile.
                partFile.reset(::fcntl(entry.part.fd(), F_DUPFD_CLOEXEC, 0));
                if (partFile.get() < 0) {
                    folderProblem = folderErrorText(errno, "cannot create the output file");
                }
            }
        }
    }
    if (skipped) {
        markSkipped(entry, finding.path);
        return;
    }
    int result = kConverterNotStarted;
    if (!folderProblem.empty()) {
        setFailureReason(entry, folderProblem);
    } else {
        ConversionJob job;
        {
            std::lock_guard lock(mutex_);
            job = {converterPath_, entry.sourcePath, outputPath, partPath, partFile.get(),
                   sourceFile.get(), entry.progressSlot,
                   priorityClassFor(settings_.converterPriority),
                   // Those running and those still to come, up to the limit: a
                   // batch's last conversion that runs alone has every core.
                   std::min<int>(settings_.maxConcurrent,
                                 runningCount_ + std::max(batchAwaitingAdmission_, 0)),
                   &entry.paused, passFolder_};
        }
        ConversionRun run(std::move(job), batchSettings_, channel_, timing_, killConverters_,
                          [this, &entry](double reached) {
                              reportProgress(entry);
                              if (reached >= 0) {
                                  entry.reachedSeconds.store(reached, std::memory_order_relaxed);
                              }
                          });
        result = run.run();
        if (run.endedEmpty() && entry.cancelRequested.load()) {
            result = 0;  // stopped before there was anything to keep
        }
        if (result == 0) {
            setNote(entry, finding.note.empty() || run.note().empty()
                               ? finding.note + run.note()
                               : finding.note + "; " + run.note());
        } else {
            setFailureReason(entry, run.failureReason());
        }
    }
    bool takenMeanwhile = false;
    if (result == 0 && !entry.cancelRequested.load()) {
        result = publishOutput(entry, mark, exactly, &takenMeanwhile);
    }
    if (takenMeanwhile) {
        // Another run has converted it meanwhile: that file stands for it.
        {
            std::lock_guard lock(mutex_);
            entry.part.discard();
        }
        markSkipped(entry, finding.path);
        return;
    }
    // A stopped conversion closes its file properly: when the user keeps
    // stopped videos, it is kept under a name that says where it stops.
    std::string keptCut;
    if (result == 0 && entry.cancelRequested.load()) {
        keptCut = keepStoppedOutput(entry);
    }
    {
        std::lock_guard lock(mutex_);
        if (entry.status.load() != EntryStatus::Ok) {
            // Stopped or failed: what it wrote never gets a final name.
            entry.part.discard();
        }
    }
    if (result != 0) {
        // Whatever step it broke, the folder going is the reason to tell.
        if (!isFolder(folder)) {
            setFailureReason(entry, kDestinationRemoved);
        }
        entry.status.store(EntryStatus::ConversionError);
    } else if (entry.status.load() != EntryStatus::Ok) {
        setFailureReason(entry, keptCut.empty()
                                    ? std::string("stopped")
                                    : "stopped; what was converted is kept as " + keptCut);
        entry.status.store(EntryStatus::Cancelled);
    }
    gui_.guiCall([this, &entry] { refreshEntry(entry); });
}

std::string Engine::keepStoppedOutput(VideoEntry& entry) {
    std::lock_guard lock(mutex_);
    if (settings_.removeStopped || !entry.part.reserved() || entry.part.identity().size == 0) {
        return {};
    }
    const auto seconds = static_cast<long>(entry.reachedSeconds.load(std::memory_order_relaxed));
    char at[32];
    if (seconds >= 3600) {
        snprintf(at, sizeof at, "%ld:%02ld:%02ld", seconds / 3600, seconds / 60 % 60, seconds % 60);
    } else {
        snprintf(at, sizeof at, "%ld:%02ld", seconds / 60, seconds % 60);
    }
    // Never the plain output name: that one stands for a whole conversion.
    const std::string name = entry.name + " (stopped at " + at + ")";
    std::string folder;
    splitPath(entry.outputPath, &folder, nullptr, nullptr);
    std::string kept;
    takeFreeName(
        [&] {
            std::string target;
            makeOutputPath(&target, folder, name, entry.presetId, list_);
            return target;
        },
        [&](const std::string& target) { return entry.part.publish(target); }, &kept);
    return kept;
}

void Engine::markSkipped(VideoEntry& entry, const std::string& path) {
    {
        // Converted already, by us or anyone: that file is not ours to
        // claim, so the entry names it without its identity.
        std::lock_guard lock(mutex_);
        entry.size = convertedFileSize(path);
        entry.outputPath = path;
        entry.outputIdentity = {};
        entry.note.clear();
    }
    entry.status.store(EntryStatus::Skipped);
    gui_.guiCall([this, &entry] { refreshEntry(entry); });
}

std::string Engine::reserveExactly(VideoEntry& entry, const std::string& path, bool* taken) {
    expectLocked();
    entry.outputPath.clear();
    entry.outputIdentity = {};
    entry.edits.clear();
    struct stat info {};
    int error = ::lstat(path.c_str(), &info) == 0 ? EEXIST : entry.part.reserve(path);
    if (error == EEXIST) {
        *taken = true;
        return {};
    }
    if (error != 0) {
        return folderErrorText(error, "cannot create the output file");
    }
    entry.outputPath = path;
    return {};
}

std::string Engine::reserveOutput(VideoEntry& entry, const std::string& folder) {
    expectLocked();
    // A name chosen by an earlier, stopped run must not count against this one.
    entry.outputPath.clear();
    entry.outputIdentity = {};
    entry.edits.clear();
    std::string chosen;
    const int error = takeFreeName(
        [&] {
            // The entry's own path counts as taken while the next is chosen.
            makeOutputPath(&entry.outputPath, folder, entry.name, entry.presetId, list_);
            return entry.outputPath;
        },
        [&](const std::string& path) { return entry.part.reserve(path); }, &chosen);
    if (error == EEXIST) {
        // A folder with no room for any name gives none either.
        return kNoFreeName;
    }
    if (error != 0) {
        return folderErrorText(error, "cannot create the output file");
    }
    return {};
}

int Engine::publishOutput(VideoEntry& entry, const std::string& mark, bool exactly,
                          bool* takenMeanwhile) {
    std::lock_guard lock(mutex_);
    if (!entry.part.reserved()) {
        // Removed meanwhile by a quit that gave up waiting.
        entry.failureReason = "stopped";
        return kOutputMissing;
    }
    const uint64_t size = entry.part.identity().size;
    if (batchSettings_.keepSourceDates) {
        // A file system that keeps no such times costs the dates, not the file.
        entry.part.takeTimesOf(entry.sourcePath);
    }
    // Its dates are set and the converter is gone: this is the file as it stays.
    entry.part.markSource(mark);
    const FileIdentity identity = entry.part.identity();
    std::string folder;
    splitPath(entry.outputPath, &folder, nullptr, nullptr);
    bool first = true;
    std::string published;
    const int error = takeFreeName(
        [&] {
            // Someone may have written a file under the chosen name meanwhile:
            // it stays, and this one takes the next free name.
            std::string target = entry.outputPath;
            if (!std::exchange(first, false)) {
                if (exactly) {
                    return std::string();  // never a second name
                }
                makeOutputPath(&target, folder, entry.name, entry.presetId, list_);
            }
            return target;
        },
        [&](const std::string& target) { return entry.part.publish(target); }, &published);
    if (error == 0) {
        entry.outputPath = std::move(published);
        entry.outputIdentity = identity;
        entry.edits = editsRecord(batchSettings_);
        entry.size = size;
        entry.status.store(EntryStatus::Ok);
        return 0;
    }
    if (error == EEXIST && exactly) {
        *takenMeanwhile = true;
        return kOutputMissing;
    }
    if (error == ESTALE) {
        entry.failureReason = kPartReplaced;
    } else if (error == EEXIST) {
        entry.failureReason = kNoFreeName;
    } else {
        entry.failureReason = "the finished file could not be given its name: ";
        entry.failureReason += std::strerror(error);
    }
    return kOutputMissing;
}

void Engine::setNote(VideoEntry& entry, std::string note) {
    std::lock_guard lock(mutex_);
    entry.note = std::move(note);
}

void Engine::setFailureReason(VideoEntry& entry, std::string reason) {
    std::lock_guard lock(mutex_);
    entry.failureReason = std::move(reason);
}

}  // namespace vidmill
