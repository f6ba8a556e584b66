#pragma once

// The opened input: its container, the best video and audio stream that can
// be decoded, the others of each kind, and its duration.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "converter/av_handles.h"
#include "converter/conversion_stop.h"
#include "converter/input/file_source.h"

namespace vidmill {

// True when the container's header names every picture and sound stream
// with what decoding it takes, and the length (MP4, Matroska): reading the
// first packets of each stream (avformat_find_stream_info) would add the
// pixel format and the like, nothing of the file's shape. Containers that
// find their streams in the packets (MPEG-TS, FLV) never qualify.
bool headerDescribesMedia(const AVFormatContext* context);

class MediaInput {
  public:
    // How far open() looks into the streams. A conversion needs what only
    // their first packets tell (the pixel format, the frame rate); a probe
    // needs the duration and whether anything can be decoded, which most
    // containers' headers say without a packet read.
    enum class Examination { Full, HeaderWhenEnough };

    // Opens and probes the file; nothing when `stop` (which must outlive the
    // input) was asked for meanwhile. Throws ConvertError(kInputFailed) when
    // it cannot be read, and ConvertError(kUnusableMedia) when it is not
    // media or holds neither a decodable video nor a decodable audio stream.
    // With `sameFile` (a descriptor: of another input, or the file the
    // engine handed over), that file is opened again, whatever `path` leads
    // to now: a second pass must read what the first read.
    static std::optional<MediaInput> open(const std::string& path, const ConversionStop& stop,
                                          Examination examination = Examination::Full,
                                          int sameFile = -1);

    AVFormatContext* context() const { return context_.get(); }
    int videoStream() const { return videoStream_; }  // -1: none
    int audioStream() const { return audioStream_; }  // -1: none
    // Every decodable audio stream, in the input's order (the first is the
    // lowest-numbered, not necessarily the best).
    std::vector<int> audioStreams() const;
    std::vector<int> subtitleStreams() const;
    double durationSeconds() const;  // 0 when unknown
    // Start of the input's timeline, in AV_TIME_BASE units (0 when unknown).
    std::int64_t startTime() const;

    const FileSource& source() const { return *source_; }

  private:
    MediaInput() = default;
    void pickStreams();

    std::unique_ptr<FileSource> source_;  // outlives the context that reads through it
    InputFormatPtr context_;
    int videoStream_ = -1;
    int audioStream_ = -1;
};

}  // namespace vidmill
