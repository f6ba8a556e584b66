#include "engine/preview_maker.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <utility>

#include "engine/batch/conversion_run.h"
#include "formats/converter_command.h"
#include "formats/format_preset.h"
#include "process/converter_runner.h"
#include "process/pass_folder.h"
#include "process/size_budget.h"
#include "system/file_descriptor.h"
#include "system/user_folders.h"

namespace vidmill {

namespace {

constexpr const char* kPrefix = "preview-";
constexpr int kPollMs = 100;

// Removes `path` only while it is still the file of that identity.
void removeIfStill(const std::string& path, std::uint64_t device, std::uint64_t inode) {
    struct stat info {};
    if (!path.empty() && ::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
        info.st_dev == device && info.st_ino == inode) {
        ::unlink(path.c_str());
    }
}

}  // namespace

ConversionSettings previewSettings(const ConversionSettings& settings, double seconds) {
    ConversionSettings preview = settings;
    const double cutStart = settings.cutFromMs / 1000.0;
    double cutEnd = settings.cutToMs > 0 ? settings.cutToMs / 1000.0 : seconds;
    if (seconds > 0.0) {
        cutEnd = std::min(cutEnd, seconds);
    }
    // From the cut's start when there is one, else from the middle.
    double from = cutStart;
    if (settings.cutFromMs == 0 && cutEnd > kPreviewSeconds) {
        from = std::max(0.0, (cutEnd - kPreviewSeconds) / 2.0);
    }
    double to = from + kPreviewSeconds;
    if (cutEnd > from) {
        to = std::min(to, cutEnd);
    }
    preview.cutFromMs = uint32_t(std::llround(from * 1000.0));
    preview.cutToMs = uint32_t(std::llround(to * 1000.0));
    if (settings.targetSizeKb > 0) {
        const double length = std::max(cutEnd - cutStart, 1.0);
        const FormatPreset& row = presetRow(findPresetById(settings.presetId));
        const std::int64_t sound = settings.disableAudio ? 0
                                   : settings.audioBitrate == kOriginalValue
                                       ? kAssumedAudioBitrate
                                       : std::int64_t(settings.audioBitrate) * 1000;
        const std::int64_t video =
            streamBitrateForSize(std::int64_t(settings.targetSizeKb) * 1000, length) -
            (row.audioOnly ? 0 : sound);
        preview.targetSizeKb = 0;
        preview.videoQuality = 0;
        preview.videoBitrate = int16_t(std::clamp<std::int64_t>(video / 1000, 8, INT16_MAX));
    }
    return preview;
}

PreviewMaker::PreviewMaker(std::string converterPath, std::string folder, GuiCall& gui)
    : converterPath_(std::move(converterPath)), folder_(std::move(folder)), gui_(gui) {
    // What an earlier run left: regular files of ours, named as ours.
    FileDescriptor fd(::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    DIR* listing = fd.get() >= 0 ? ::fdopendir(::dup(fd.get())) : nullptr;
    if (listing == nullptr) {
        return;
    }
    while (const dirent* entry = ::readdir(listing)) {
        struct stat info {};
        if (std::strncmp(entry->d_name, kPrefix, std::strlen(kPrefix)) == 0 &&
            ::fstatat(fd.get(), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(info.st_mode) && info.st_uid == ::getuid()) {
            ::unlinkat(fd.get(), entry->d_name, 0);
        }
    }
    ::closedir(listing);
}

PreviewMaker::~PreviewMaker() {
    stop();
    removeShown();
}

void PreviewMaker::stop() {
    if (!thread_.joinable()) {
        return;
    }
    stop_.store(true);
    // The thread may wait for this very thread to run its last call.
    while (!finished_.load()) {
        gui_.pump(std::chrono::milliseconds(kPollMs));
    }
    thread_.join();
    stop_.store(false);
}

void PreviewMaker::removeShown() {
    removeIfStill(shown_, shownDevice_, shownInode_);
    shown_.clear();
}

void PreviewMaker::start(const std::string& sourcePath, double seconds,
                         const ConversionSettings& settings, Done done) {
    stop();
    // A preview replaced in its first pass was killed with its log.
    sweepPassFolders(cacheFolder() + "/passes");
    const ConversionSettings preview = previewSettings(settings, seconds);
    if (!isFolder(folder_)) {
        makeFolders(folder_.substr(0, folder_.rfind('/')));
        ::mkdir(folder_.c_str(), 0700);
    }
    std::string path = folder_ + "/" + kPrefix + "XXXXXX" + presetExtension(preview.presetId);
    const int suffix = int(presetExtension(preview.presetId).size());
    auto fd = std::make_shared<FileDescriptor>(::mkostemps(path.data(), suffix, O_CLOEXEC));
    if (fd->get() < 0) {
        done({}, std::string("no room for a preview in ") + folder_ + ": " + std::strerror(errno));
        return;
    }
    struct stat made {};
    ::fstat(fd->get(), &made);
    const std::string passes = cacheFolder() + "/passes";
    HandedFiles handed;
    handed.outputFd = kOutputDescriptor;
    handed.passFolder = passes;
    ConverterCommand command =
        buildConvertCommand(converterPath_, sourcePath, path, "", -1, preview, 0, handed);
    finished_.store(false);
    thread_ =
        std::thread([this, args = std::move(command.args), path, fd, made, done = std::move(done)] {
            int code = 0;
            std::string errors;
            const int started = runConverterWatched(
                args, &code, kNormalPriority, kPollMs, [this] { return !stop_.load(); }, &errors, 0,
                fd->get());
            struct stat written {};
            const bool whole = started != 0 && code == 0 && !stop_.load() &&
                               ::fstat(fd->get(), &written) == 0 && written.st_size > 0;
            std::string reason;
            if (!whole) {
                removeIfStill(path, made.st_dev, made.st_ino);
                if (!stop_.load()) {
                    reason = started == 0 ? "the converter could not be started"
                                          : lastMessageLine(errors);
                }
            }
            gui_.guiCall([this, whole, path, made, reason, &done] {
                if (stop_.load()) {
                    // Replaced, or the window goes: nobody waits for it.
                    if (whole) {
                        removeIfStill(path, made.st_dev, made.st_ino);
                    }
                    return;
                }
                if (whole) {
                    removeShown();
                    shown_ = path;
                    shownDevice_ = made.st_dev;
                    shownInode_ = made.st_ino;
                }
                done(whole ? path : std::string(), reason);
            });
            finished_.store(true);
        });
}

}  // namespace vidmill
