#pragma once

// A look at what a batch will make before it starts: ten seconds of one
// video (from the middle, or from where the cut starts) converted with the
// current settings into the user's cache. One preview file at a time: a new
// one replaces the last, and the folder holds nothing else of ours.

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "engine/gui_call.h"
#include "storage/conversion_settings.h"

namespace vidmill {

// How long a preview lasts.
inline constexpr double kPreviewSeconds = 10.0;

// The settings a preview is made with: the cut narrowed to its ten seconds,
// and a size to fit in turned into the video bitrate that the whole video
// (of `seconds`) would get, so that the preview looks as the file will.
ConversionSettings previewSettings(const ConversionSettings& settings, double seconds);

class PreviewMaker {
  public:
    // What a preview ends in, on the interface thread: the file to play, or
    // an empty one and the reason (empty too when it was replaced or stopped).
    // It runs inside the maker's call to the interface thread: anything that
    // waits (a message box) belongs in a later turn of the event loop.
    using Done = std::function<void(const std::string& file, const std::string& error)>;

    // Previews go into `folder` (made private when missing). Files of ours
    // that an earlier run left there are removed.
    PreviewMaker(std::string converterPath, std::string folder, GuiCall& gui);
    PreviewMaker(const PreviewMaker&) = delete;
    PreviewMaker& operator=(const PreviewMaker&) = delete;
    // Stops a preview still being made and removes the preview file.
    ~PreviewMaker();

    // Interface thread. Stops the preview being made, if any, and starts one
    // of `sourcePath`, which lasts `seconds` (0 when unknown).
    void start(const std::string& sourcePath, double seconds, const ConversionSettings& settings,
               Done done);
    bool busy() const { return thread_.joinable() && !finished_.load(); }
    const std::string& folder() const { return folder_; }

  private:
    void stop();
    void removeShown();

    std::string converterPath_;
    std::string folder_;
    GuiCall& gui_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> finished_{true};
    // The last preview made, and the identity it was made with: only that
    // file is ever removed under its name.
    std::string shown_;
    std::uint64_t shownDevice_ = 0;
    std::uint64_t shownInode_ = 0;
};

}  // namespace vidmill
