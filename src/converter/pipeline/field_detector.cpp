#include "converter/pipeline/field_detector.h"

extern "C" {
#include <libavutil/dict.h>
}

#include "converter/input/frame_coding.h"

namespace vidmill {

namespace {

// Interlaced pictures needed before woven fields are believed, and pictures
// that told either way (a still one tells nothing) before the answer is
// that they are not.
constexpr int kLeastInterlaced = 9;
constexpr int kLeastTelling = 24;

}  // namespace

std::optional<std::string> fieldOrderByHeader(const AVCodecParameters& stream) {
    switch (stream.field_order) {
        case AV_FIELD_TT:
        case AV_FIELD_TB:
            return "tff";
        case AV_FIELD_BB:
        case AV_FIELD_BT:
            return "bff";
        default:
            // "Progressive" is what most encoders write whatever they were
            // given: woven fields of a capture are measured, but only where
            // the coding could have carried them as fields.
            if (codingIsFrameOnly(stream)) {
                return std::string();
            }
            return std::nullopt;
    }
}

void FieldDetector::add(const AVFrame& frame) {
    ++measured_;
    // The decoder's own word, where the coding carries one (MPEG-2's
    // pictures coded as fields), counts beside the measure.
    if (frame.interlaced_frame != 0) {
        (frame.top_field_first != 0 ? top_ : bottom_) += 1;
    }
    if (chain_ && !chain_->accepts(frame)) {
        chain_.reset();
    }
    if (!chain_) {
        chain_.emplace(FilterChain::forVideo(frame, timeBase_, "idet"));
    }
    if (av_frame_ref(copy_.get(), &frame) < 0 || chain_->push(copy_.get()) < 0) {
        av_frame_unref(copy_.get());
        return;
    }
    while (chain_->pull(out_.get()) >= 0) {
        const AVDictionaryEntry* found =
            av_dict_get(out_->metadata, "lavfi.idet.multiple.current_frame", nullptr, 0);
        if (found != nullptr) {
            const std::string kind = found->value;
            top_ += kind == "tff";
            bottom_ += kind == "bff";
            progressive_ += kind == "progressive";
        }
        av_frame_unref(out_.get());
    }
}

FieldDetector::Verdict FieldDetector::verdict() const {
    const int interlaced = top_ + bottom_;
    if (interlaced >= kLeastInterlaced && interlaced > 2 * progressive_ &&
        (top_ >= 4 * bottom_ || bottom_ >= 4 * top_)) {
        return Verdict::Interlaced;
    }
    return interlaced + progressive_ >= kLeastTelling ? Verdict::Progressive : Verdict::Unknown;
}

FieldDetector::Verdict FieldDetector::clearVerdict() const {
    const int interlaced = top_ + bottom_;
    if (progressive_ >= kLeastTelling && 4 * interlaced <= progressive_) {
        return Verdict::Progressive;
    }
    if (interlaced >= kLeastTelling && 4 * progressive_ <= interlaced &&
        (top_ >= 4 * bottom_ || bottom_ >= 4 * top_)) {
        return Verdict::Interlaced;
    }
    return Verdict::Unknown;
}

std::string FieldDetector::order() const {
    return top_ >= bottom_ ? "tff" : "bff";
}

}  // namespace vidmill
