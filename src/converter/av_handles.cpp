#include "converter/av_handles.h"

#include <atomic>
#include <cstdarg>
#include <mutex>
#include <new>

extern "C" {
#include <libavutil/error.h>
#include <libavutil/log.h>
}

namespace vidmill {

namespace {

// libav logs from codec threads too.
std::mutex logMutex;
std::string lastError;
// Counts the error lines, so that a failure can tell its own line from an
// older one (a damaged input logs plenty of decoder complaints).
std::atomic<std::uint64_t> errorCount{0};

void logCallback(void* object, int level, const char* format, va_list args) {
    if (level > AV_LOG_ERROR) {
        return;
    }
    char line[1024];
    int prefix = 1;
    av_log_format_line2(object, level, format, args, line, sizeof line, &prefix);
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
        text.pop_back();
    }
    for (char& c : text) {
        if (c == '\n' || c == '\r') {
            c = ' ';
        }
    }
    // "[mp2 @ 0x55d0...] bitrate ..." reads better as "mp2: bitrate ...".
    if (text.size() > 1 && text[0] == '[') {
        const auto at = text.find(" @ 0x");
        const auto close = text.find("] ");
        if (at != std::string::npos && close != std::string::npos && at < close) {
            text = text.substr(1, at - 1) + ": " + text.substr(close + 2);
        }
    }
    if (text.empty()) {
        return;
    }
    std::lock_guard lock(logMutex);
    lastError = std::move(text);
    errorCount.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

FramePtr makeFrame() {
    FramePtr frame(av_frame_alloc());
    if (!frame) {
        throw std::bad_alloc();
    }
    return frame;
}

PacketPtr makePacket() {
    PacketPtr packet(av_packet_alloc());
    if (!packet) {
        throw std::bad_alloc();
    }
    return packet;
}

std::string avErrorText(int error) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(error, text, sizeof text);
    return text;
}

void captureLibavLog() {
    av_log_set_callback(logCallback);
}

std::string lastLibavError() {
    std::lock_guard lock(logMutex);
    return lastError;
}

std::string describeFailure(const std::string& what, int error) {
    std::string reason = lastLibavError();
    if (reason.empty()) {
        reason = avErrorText(error);
    }
    return what + ": " + reason;
}

LibavLogMark libavLogMark() {
    return errorCount.load(std::memory_order_relaxed);
}

std::string describeFailure(const std::string& what, int error, LibavLogMark since) {
    std::string reason = avErrorText(error);
    if (libavLogMark() != since) {
        const std::string line = lastLibavError();
        if (!line.empty() && line.find(reason) == std::string::npos) {
            reason += " (" + line + ")";
        }
    }
    return what + ": " + reason;
}

}  // namespace vidmill
