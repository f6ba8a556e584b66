#pragma once

// A subtitle stream carried into the output: copied as it stands where the
// container takes its codec, else, for a text subtitle, turned into a text
// codec the container takes (an MP4's mov_text into Matroska's SubRip). A
// picture subtitle (DVD, Blu-ray) goes only where it can be copied.

#include <memory>
#include <string>

#include "converter/av_handles.h"
#include "converter/output/output_file.h"

namespace vidmill {

class SubtitleTrack {
  public:
    // Null, with the reason in `why`, when the container can take the stream
    // in no form or its conversion cannot be set up: subtitles left out
    // cost no conversion.
    static std::unique_ptr<SubtitleTrack> make(AVStream* input, OutputFile& output,
                                               std::string& why);

    SubtitleTrack(const SubtitleTrack&) = delete;
    SubtitleTrack& operator=(const SubtitleTrack&) = delete;
    virtual ~SubtitleTrack();

    int inputIndex() const { return input_->index; }
    AVStream* outputStream() const { return stream_; }

    // Takes a packet whose timestamps (in the input stream's time base)
    // already start where the output's timeline does. A subtitle without a
    // time, or one that cannot be read, is left out.
    virtual void write(AVPacket* packet) = 0;

  protected:
    SubtitleTrack(AVStream* input, OutputFile& output) : input_(input), output_(output) {}

    AVStream* input_;
    OutputFile& output_;
    AVStream* stream_ = nullptr;
};

}  // namespace vidmill
