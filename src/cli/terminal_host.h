#pragma once

// The terminal's side of the engine: messages go to stderr, and a few lines
// show the running conversions.

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "engine/engine_host.h"

namespace vidmill {

class Engine;

// The text with its control characters written as escapes ("\n", "\t",
// "\x1b", "\u009b" for the C1 ones), so that a file name stays on its one
// line and cannot steer the terminal.
std::string escapeControls(std::string_view text);

class TerminalHost : public EngineHost {
  public:
    // `interactive`: redraw the progress lines in place (a terminal) rather
    // than print them as plain lines.
    TerminalHost(std::FILE* out, std::FILE* err, bool interactive);

    void attach(Engine& engine) { engine_ = &engine; }

    void message(MessageStyle style, const std::string& text) override;
    void batchProgress(int percent, const std::string& text) override;

    // Draws the progress lines when they changed (in place on a terminal),
    // at most every `minimumGapMs` as plain lines.
    void render(bool force = false);
    // Removes the in-place lines before other output.
    void clearLines();

  private:
    size_t terminalWidth() const;

    std::FILE* out_;
    std::FILE* err_;
    bool interactive_;
    Engine* engine_ = nullptr;
    std::string batchText_;
    std::vector<std::string> shown_;
    int linesOnScreen_ = 0;
    long long lastPlainMs_ = 0;
};

}  // namespace vidmill
