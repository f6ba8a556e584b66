#pragma once

// Choices of encoder parameters: what the encoder and the container accept,
// nearest to what the source has or what was asked for.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
}

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "converter/converter_options.h"

namespace vidmill {

// A requested rate within 0.2 % of a 1001-based standard rate (15000, 24000,
// 30000 or 60000 over 1001) is taken as that rate: "29.976" arrives as
// 29975/1001, which players would otherwise be given as it stands. Whole
// rates are kept.
AVRational snapToStandardRate(AVRational wanted);

// The rate the encoder takes for `wanted`: for MPEG-1/2 the first standard
// rate at or above it (the highest for faster video), for other encoders
// with a list the nearest one; `wanted` itself when the encoder takes any
// rate. Rates are kept to a denominator that every muxer stores.
AVRational nearestFrameRate(AVRational wanted, const AVCodec* encoder);

// 4:2:0 whenever the encoder takes it (what players expect), else the
// supported format that loses least from the source's. A full-range source
// keeps its range where the encoder has a full-range 4:2:0 form.
AVPixelFormat choosePixelFormat(const AVCodec* encoder, AVPixelFormat source,
                                bool fullRange = false);

// Whether decoded pictures of this format and range use the full range of values.
bool isFullRange(AVPixelFormat format, AVColorRange range);

// The frame size the encoder gets: the requested one or the source's, made
// even where the pixel format halves the chroma planes.
PictureSize outputFrameSize(std::optional<PictureSize> requested, int sourceWidth, int sourceHeight,
                            AVPixelFormat format);

// Sample aspect ratio giving the display aspect `aspect` at width x height.
AVRational sampleAspectFor(Ratio aspect, int width, int height);

// Sample rates that the container can store with this codec; empty when the
// container sets no limit of its own.
std::vector<int> containerSampleRates(const AVOutputFormat* format, AVCodecID codec);

// Whether the encoder and the container take the rate.
bool sampleRateAccepted(int rate, const AVCodec* encoder, const std::vector<int>& containerRates);

// The accepted rate nearest to the source's (ties go to the higher rate).
int nearestSampleRate(int sourceRate, const AVCodec* encoder,
                      const std::vector<int>& containerRates);

// Whether the encoder has a layout with this many channels.
bool channelCountAccepted(int channels, const AVCodec* encoder);

// The layout for the encoder: `channels` when asked for (callers checked it
// with channelCountAccepted), else the source's layout or the supported one
// closest to it.
void chooseChannelLayout(const AVCodec* encoder, const AVChannelLayout& source,
                         std::optional<int> channels, AVChannelLayout* chosen);

// The source's format when the encoder takes it, else the closest it takes.
AVSampleFormat chooseSampleFormat(const AVCodec* encoder, AVSampleFormat source);

// One private option of an encoder, by name, as avcodec_open2 takes it.
struct EncoderOption {
    std::string name;
    std::string value;
};

// How the encoder is asked for constant quality `crf` (its own scale, moved
// into the encoder's range): the option to set, with the bitrate left at 0.
// Nothing for an encoder that has no constant-quality mode.
std::optional<EncoderOption> constantQualityFor(std::string_view encoder, int crf);

// The quality that -sameq stands for on an encoder with a constant-quality
// mode: visually lossless on its own scale; nothing for other encoders.
std::optional<int> sameQualityCrf(std::string_view encoder);

// The speed and the threads of the encoders whose defaults suit neither a
// batch (minutes per second of video) nor a share of the processors (they
// size their own pools to every core). `threads` is this conversion's share
// of the processors, at least 1. Empty for other encoders.
std::vector<EncoderOption> encoderTuning(std::string_view encoder, int threads);

// How an encoder's first pass hands what it learnt to the second.
enum class PassLogKind {
    None,        // no two passes: one pass at the bitrate
    OwnFile,     // libx264: writes and reads the files named by its "stats" option
    X265Params,  // libx265: the same, named in its x265-params
    StatsText,   // the text of stats_out, handed back as stats_in
};
PassLogKind passLogOf(std::string_view encoder);

// The fewest bits that libavcodec's MPEG family can spend on the pictures of
// a first pass's log (its stats_out text) at quantiser `qmax`: below that
// its second pass refuses to start. 0 for a log it cannot read.
double leastBitsOfLog(const std::string& log, int qmax);

// `text` as one value of an option list such as x265-params, whose ':' and
// '=' separate the entries.
std::string escapedOptionValue(std::string_view text);

}  // namespace vidmill
