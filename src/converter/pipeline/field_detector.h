#pragma once

// Whether a video's frames are woven fields, and in which order, judged from
// the pictures as the conversion decodes them: no second reading of the
// input. The stream's header is believed where it can be: a field order
// that it names, or a coding that holds frames only. Otherwise most encoders
// write "progressive" whatever they were given, and the pictures decide.

#include <optional>
#include <string>

#include "converter/av_handles.h"
#include "converter/pipeline/filter_chain.h"

namespace vidmill {

// "tff" or "bff" when the header says the frames are interlaced, "" when it
// says they cannot be, none when only the pictures can tell.
std::optional<std::string> fieldOrderByHeader(const AVCodecParameters& stream);

class FieldDetector {
  public:
    enum class Verdict { Unknown, Progressive, Interlaced };

    explicit FieldDetector(AVRational timeBase) : timeBase_(timeBase) {}

    // Measures the picture; the frame itself is left as it is.
    void add(const AVFrame& frame);
    // What the pictures measured so far say. Woven fields come in one order
    // throughout; fine lines that move (scrolling text, a test pattern) fool
    // the measure both ways alike, and a few pictures of them may fool it one
    // way, so it takes many pictures agreeing. Pictures without movement
    // tell nothing: until enough of them have told, the verdict is Unknown.
    Verdict verdict() const;
    // The same, but Unknown until the pictures leave no doubt: many of them
    // telling, nearly all alike.
    Verdict clearVerdict() const;
    // "tff" or "bff" once the verdict is Interlaced.
    std::string order() const;
    int measured() const { return measured_; }

  private:
    AVRational timeBase_;
    std::optional<FilterChain> chain_;
    FramePtr copy_ = makeFrame();
    FramePtr out_ = makeFrame();
    int measured_ = 0;
    int top_ = 0;
    int bottom_ = 0;
    int progressive_ = 0;
};

}  // namespace vidmill
