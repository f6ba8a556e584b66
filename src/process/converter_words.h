#pragma once

// The words of the converter's command line, in one place for the engine
// that writes the command and the converter that reads it: an option renamed
// here is renamed on both sides.

namespace vidmill::converter_word {

// Before an output path that starts with '-'.
inline constexpr const char* kEndOfOptions = "--";

// Flags.
inline constexpr const char* kOverwrite = "-y";
inline constexpr const char* kNoAudio = "-an";
inline constexpr const char* kNoVideo = "-vn";
inline constexpr const char* kSameQuality = "-sameq";
inline constexpr const char* kAllTracks = "-alltracks";
inline constexpr const char* kTwoPass = "-twopass";

// Options that take a value.
inline constexpr const char* kInput = "-i";
inline constexpr const char* kChannel = "-qzmap";  // the progress channel's name
inline constexpr const char* kSlot = "-qzind";     // this run's slot in it
inline constexpr const char* kOutputFd = "-outfd";
inline constexpr const char* kInputFd = "-infd";
inline constexpr const char* kVideoCodec = "-vcodec";
inline constexpr const char* kVideoTag = "-vtag";
inline constexpr const char* kAudioCodec = "-acodec";
inline constexpr const char* kContainer = "-f";
inline constexpr const char* kFrameSize = "-s";
inline constexpr const char* kFrameRate = "-r";
inline constexpr const char* kVideoBitrate = "-b";
inline constexpr const char* kConstantQuality = "-crf";
inline constexpr const char* kAudioBitrate = "-ab";
inline constexpr const char* kChannels = "-ac";
inline constexpr const char* kSampleRate = "-ar";
inline constexpr const char* kVolume = "-vol";
inline constexpr const char* kTargetSize = "-targetsize";
inline constexpr const char* kPassFolder = "-passdir";
inline constexpr const char* kCutFrom = "-ss";
inline constexpr const char* kCutTo = "-to";
inline constexpr const char* kCrop = "-crop";
inline constexpr const char* kDeinterlace = "-deint";
inline constexpr const char* kAspect = "-aspect";

// The first word of a probe server's command; the channel follows it.
inline constexpr const char* kProbeServer = "-probeserver";

}  // namespace vidmill::converter_word
