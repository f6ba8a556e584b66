#pragma once

// How a size that a converted file must fit in is shared out: the container
// takes its headers and indexes, the sound its bitrate, and the video the
// rest. The engine checks a batch with these figures before it starts, and
// the converter sets its encoders by them.

#include <cstdint>
#include <string>

namespace vidmill {

// Below this the video is a smear: a size that leaves less is refused.
inline constexpr std::int64_t kMinFitVideoBitrate = 50'000;
// The least a sound encoder is asked for when the sound alone must fit.
inline constexpr std::int64_t kMinFitAudioBitrate = 8'000;
// The sound's bitrate assumed where neither the settings nor the source tell it.
inline constexpr std::int64_t kAssumedAudioBitrate = 128'000;
// The container's usual share of a file.
inline constexpr double kUsualContainerShare = 0.01;
// Left unspent for the encoders' own slack.
inline constexpr double kSizeMargin = 0.01;

// The bitrate that all streams together may take so that `seconds` of them
// fill `bytes`, less the container's share (`containerShare` of the size,
// and a steady trickle for its indexes) and a margin for the encoders' own
// slack; 0 when nothing is left.
std::int64_t streamBitrateForSize(std::int64_t bytes, double seconds,
                                  double containerShare = kUsualContainerShare);

// Empty when `seconds` fit in `bytes`: with a picture, when the video keeps
// at least kMinFitVideoBitrate beside `audioBitrate` (all tracks together);
// sound alone, when each of `audioTracks` keeps kMinFitAudioBitrate.
// Otherwise the reason, in one line for the user.
std::string sizeRefusal(std::int64_t bytes, double seconds, bool video, std::int64_t audioBitrate,
                        int audioTracks, double containerShare = kUsualContainerShare);

// "25 MB", "1.5 MB", "800 KB", "2 GB": a size as people write it (1 MB is
// 1,000,000 bytes), rounded down, or up for a least size.
std::string sizeText(std::int64_t bytes, bool roundUp = false);

}  // namespace vidmill
