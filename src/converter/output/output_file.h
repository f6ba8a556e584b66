#pragma once

// The output: the muxer for the chosen container and the file it writes.
// Nothing is created on disk until create(); a file that was created but
// not closed properly is deleted again, so a failed run leaves nothing that
// looks like a finished conversion.

#include <cstdint>
#include <string>
#include <vector>

#include "converter/av_handles.h"

namespace vidmill {

class OutputFile {
  public:
    // The container is `container` when given, else guessed from the path's
    // extension. Throws ConvertError(kOutputFailed) when neither names one.
    // With a `descriptor` of 0 or more, the file is the one already open as
    // that descriptor, and `path` only names it: the name is never looked up
    // again, so nobody who renames entries in its folder can send the writes
    // elsewhere.
    OutputFile(std::string path, const std::string& container, int descriptor = -1);
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile();

    AVFormatContext* context() const { return context_.get(); }
    const AVOutputFormat* format() const { return context_->oformat; }
    const std::string& path() const { return path_; }
    // What the file is opened by: its path, or for a given descriptor the
    // descriptor's entry under /proc, which leads to the open file itself.
    const std::string& openPath() const { return openPath_; }

    AVStream* addStream();

    // Creates (or, with `overwrite`, replaces) the file. Throws
    // ConvertError(kOutputFailed).
    void create(bool overwrite);
    // Writes the container header; gives libav's result so that the caller
    // can tell which settings were refused.
    int writeHeader();

    // Takes the packet's data; its timestamps are in the stream's time base.
    void writePacket(AVPacket* packet);
    // From now on packets are counted and thrown away: a first pass, which
    // only teaches the encoder, writes nothing.
    void discardPackets() { discarding_ = true; }
    struct Discarded {
        std::int64_t packets = 0;
        std::int64_t soundBytes = 0;
    };
    const Discarded& discarded() const { return discarded_; }
    // Writes the trailer, closes the file and reads it back; from then on it
    // is kept. Throws ConvertError(kOutputFailed) when the file does not open
    // again, holds fewer streams of a kind (video, audio, subtitles) than
    // were written to, or lasts far from what was written: such a file is
    // removed like any unfinished one.
    void close();
    // Removes the file that close() kept, as an unfinished one is removed:
    // with a descriptor, the name goes only while it still leads to the file.
    void remove();

    std::int64_t bytesWritten() const;
    double writtenSeconds() const { return writtenSeconds_; }

  private:
    void discard();
    void checkReadBack() const;

    std::string path_;
    std::string openPath_;
    int descriptor_ = -1;
    OutputFormatPtr context_;
    bool created_ = false;
    bool headerWritten_ = false;
    bool kept_ = false;
    bool discarding_ = false;
    Discarded discarded_;
    std::int64_t closedSize_ = 0;               // the file's length once closed
    double writtenSeconds_ = 0.0;               // where the pictures and the sound end
    double subtitlesEndSeconds_ = 0.0;          // where the last subtitle ends
    std::vector<std::int64_t> packetsWritten_;  // by stream
};

}  // namespace vidmill
