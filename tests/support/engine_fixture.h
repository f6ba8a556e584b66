#pragma once

// What the engine tests share: a host that records what the engine asks of
// its window, quick timings, and small helpers for files and admission.

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine/engine_host.h"
#include "engine/part_file.h"

namespace vidmill {

// Records what the engine asks of its window and answers its questions.
class RecordingHost : public EngineHost {
  public:
    void setConvertingState(bool converting) override { convertingCalls.push_back(converting); }
    void updateCommandStates() override {}
    void refreshEntryList() override { ++refreshes; }
    void showEntryCount() override {}
    void showSettingsStrip() override {}
    int showMessage(int style, const std::string& text) override {
        messages.push_back(text);
        return style == kQuestionMessage ? answer : 1;
    }
    void updateRow(int row) override {}
    void gotoRow(int row) override { focused = row; }
    void showBatchProgress(int percent, const std::string& text) override {
        progressTexts.push_back(text);
        int running = 0;
        int live = 0;
        if (std::sscanf(text.c_str(), "%d / %d", &running, &live) == 2) {
            maxRunning = std::max(maxRunning, running);
            maxLive = std::max(maxLive, live);
        }
    }
    void setBatchControls(bool converting) override { batchControls.push_back(converting); }
    bool editBatchSettings(int videoCount) override {
        dialogCounts.push_back(videoCount);
        return acceptDialog;
    }
    void saveSettings() override { ++saves; }
    bool confirmShutdown() override { return true; }
    void openAddVideos() override { ++addDialogs; }
    int focusedRow() override { return focused; }
    void closeMainWindow() override { ++closeRequests; }
    bool closing() override { return false; }

    int answer = 1;
    bool acceptDialog = true;
    int focused = -1;
    int refreshes = 0;
    int saves = 0;
    int addDialogs = 0;
    int closeRequests = 0;
    int maxRunning = 0;
    int maxLive = 0;
    std::vector<bool> convertingCalls;
    std::vector<bool> batchControls;
    std::vector<int> dialogCounts;
    std::vector<std::string> messages;
    std::vector<std::string> progressTexts;
};

inline EngineTiming fastTiming() {
    EngineTiming timing;
    timing.admissionPollMs = 10;
    timing.progressPollMs = 20;
    timing.probePollMs = 2;
    // A probe of the fake ends in milliseconds, but a loaded machine may
    // take far longer to start it: only the tests of hanging probes want
    // the limit to strike.
    timing.probeTimeoutMs = 5000;
    timing.probeGraceMs = 300;
    return timing;
}

// Adds one file as the window and the terminal add files: through the
// admission of many. Gives how many were admitted (0 or 1).
inline int admitOne(Engine& engine, const std::string& path) {
    return engine.admitFiles({path});
}

// The names in `folder`, hidden ones included, sorted.
inline std::vector<std::string> filesIn(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& item : std::filesystem::directory_iterator(folder)) {
        names.push_back(item.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Writes a part file as a run killed with its converters leaves it: with
// Vidmill's mark on it, and no lock.
inline void leaveMarkedPart(const std::string& path, const std::string& content) {
    std::ofstream(path) << content;
    const std::string owner = std::to_string(getuid());
    ASSERT_EQ(setxattr(path.c_str(), kPartMark, owner.data(), owner.size(), 0), 0);
}

inline bool exists(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

}  // namespace vidmill
