#include "cli/terminal_host.h"

#include <sys/ioctl.h>

#include <chrono>
#include <mutex>

#include "engine/engine.h"
#include "engine/list/entry_status_text.h"
#include "system/tick_count.h"

namespace vidmill {
namespace {

// Plain progress lines (output to a file or a pipe) at most this often.
constexpr long long kPlainGapMs = 2000;

}  // namespace

std::string escapeControls(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        char escape[8];
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c < 0x20 || c == 0x7f) {
            std::snprintf(escape, sizeof escape, "\\x%02x", c);
            out += escape;
        } else if (c == 0xc2 && i + 1 < text.size() &&
                   static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(text[i + 1]) <= 0x9f) {
            // U+0080..U+009F: some terminals obey these as controls too.
            std::snprintf(escape, sizeof escape, "\\u%04x",
                          static_cast<unsigned char>(text[i + 1]));
            out += escape;
            ++i;
        } else {
            out += char(c);
        }
    }
    return out;
}

TerminalHost::TerminalHost(std::FILE* out, std::FILE* err, bool interactive)
    : out_(out), err_(err), interactive_(interactive) {}

size_t TerminalHost::terminalWidth() const {
    winsize size{};
    if (ioctl(fileno(out_), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
        return size.ws_col;
    }
    return 80;
}

void TerminalHost::message(MessageStyle style, const std::string& text) {
    clearLines();
    std::fprintf(err_, "vidmill-cli: %s\n", escapeControls(text).c_str());
    std::fflush(err_);
}

void TerminalHost::batchProgress(int percent, const std::string& text) {
    batchText_ = text;
}

void TerminalHost::clearLines() {
    if (interactive_ && linesOnScreen_ > 0) {
        std::fprintf(out_, "\r\x1b[%dA\x1b[J", linesOnScreen_);
        // Before anything else reaches the screen through another stream.
        std::fflush(out_);
        linesOnScreen_ = 0;
        shown_.clear();
    }
}

void TerminalHost::render(bool force) {
    if (engine_ == nullptr) {
        return;
    }
    std::vector<std::string> lines;
    const auto running = [](EntryStatus status, std::uint64_t) {
        return status == EntryStatus::Starting || status == EntryStatus::Converting;
    };
    for (const EntryView& entry : engine_->entryViews(running)) {
        lines.push_back(escapeControls(entryNameText(entry)) + "  " +
                        entryStatusText(entry, engine_->channel()));
    }
    if (!batchText_.empty()) {
        lines.push_back(batchText_);
    }
    if (lines == shown_ && !force) {
        return;
    }
    if (interactive_) {
        clearLines();
        // One screen row per line, or moving back up would miss some.
        const size_t width = terminalWidth();
        for (const std::string& line : lines) {
            std::fprintf(out_, "%s\x1b[K\n", line.substr(0, width > 1 ? width - 1 : 0).c_str());
        }
        linesOnScreen_ = int(lines.size());
        shown_ = lines;
    } else {
        long long now = monotonicMs();
        if (!force && now - lastPlainMs_ < kPlainGapMs) {
            return;
        }
        lastPlainMs_ = now;
        for (const std::string& line : lines) {
            std::fprintf(out_, "%s\n", line.c_str());
        }
        shown_ = lines;
    }
    std::fflush(out_);
}

}  // namespace vidmill
