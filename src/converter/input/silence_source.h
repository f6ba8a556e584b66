#pragma once

// Sound that is not there: an endless WAV of silence, read through the same
// demuxer and decoder as any input. Some containers (the PSP's) take no
// video without sound; a video without any gets this in its place.

#include <cstdint>

#include "converter/av_handles.h"

namespace vidmill {

class SilenceSource {
  public:
    // Throws ConvertError(kEncoderFailed) when the WAV demuxer is missing.
    SilenceSource();
    SilenceSource(const SilenceSource&) = delete;
    SilenceSource& operator=(const SilenceSource&) = delete;

    AVFormatContext* context() const { return context_.get(); }
    // The next packet of silence, timestamped in the stream's time base.
    void read(AVPacket* packet);
    // Where the silence read so far ends.
    double endSeconds() const { return endSeconds_; }

  private:
    static int readBytes(void* opaque, std::uint8_t* buffer, int size);

    std::int64_t offset_ = 0;  // bytes of the WAV given so far
    double endSeconds_ = 0.0;
    CustomIoPtr io_;
    InputFormatPtr context_;
};

}  // namespace vidmill
