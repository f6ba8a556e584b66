#pragma once

// Owning handles for the libav objects the converter uses, and the helpers
// that turn libav's error codes and log lines into text.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/frame.h>
}

#include <cstdint>
#include <memory>
#include <string>

#include "converter/filter_library.h"

namespace vidmill {

struct CodecContextDeleter {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;

struct FrameDeleter {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;

struct PacketDeleter {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;

struct FilterGraphDeleter {
    void operator()(AVFilterGraph* graph) const { filterLibrary().graphFree(&graph); }
};
using FilterGraphPtr = std::unique_ptr<AVFilterGraph, FilterGraphDeleter>;

struct FilterInOutDeleter {
    void operator()(AVFilterInOut* inOut) const { filterLibrary().inOutFree(&inOut); }
};
using FilterInOutPtr = std::unique_ptr<AVFilterInOut, FilterInOutDeleter>;

// An input opened with avformat_open_input.
struct InputFormatDeleter {
    void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
using InputFormatPtr = std::unique_ptr<AVFormatContext, InputFormatDeleter>;

// An output context; its I/O context is owned separately.
struct OutputFormatDeleter {
    void operator()(AVFormatContext* context) const { avformat_free_context(context); }
};
using OutputFormatPtr = std::unique_ptr<AVFormatContext, OutputFormatDeleter>;

// An I/O context over our own callbacks; the buffer belongs to it.
struct CustomIoDeleter {
    void operator()(AVIOContext* io) const {
        if (io != nullptr) {
            av_freep(&io->buffer);
        }
        avio_context_free(&io);
    }
};
using CustomIoPtr = std::unique_ptr<AVIOContext, CustomIoDeleter>;

struct DictionaryDeleter {
    void operator()(AVDictionary* dictionary) const { av_dict_free(&dictionary); }
};
using DictionaryPtr = std::unique_ptr<AVDictionary, DictionaryDeleter>;

FramePtr makeFrame();
PacketPtr makePacket();

// libav's description of an error code.
std::string avErrorText(int error);

// Routes libav's log into memory: nothing reaches stderr, and the last error
// line is kept so that a failure can name libav's own reason.
void captureLibavLog();
std::string lastLibavError();

// "what: libav's reason" when libav logged one, else "what: error text".
std::string describeFailure(const std::string& what, int error);

// Where libav's log stood before a call; cheap enough to take for every packet.
using LibavLogMark = std::uint64_t;
LibavLogMark libavLogMark();
// For failures in mid-run, when older lines are likely stale: "what: error
// text", followed by libav's line only when it was logged after `since`.
std::string describeFailure(const std::string& what, int error, LibavLogMark since);

}  // namespace vidmill
