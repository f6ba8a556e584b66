#pragma once

// The converter's exit codes, all in one place, and the error that carries
// one of them from wherever a conversion fails up to main().

#include <stdexcept>
#include <string>

namespace vidmill {

namespace exit_code {
inline constexpr int kSuccess = 0;           // done, or stopped on request with the output closed
inline constexpr int kInternal = 1;          // out of memory or another unexpected failure
inline constexpr int kUsage = 2;             // unknown option, missing or malformed value
inline constexpr int kInputFailed = 3;       // the input cannot be opened, read or decoded
inline constexpr int kOutputFailed = 4;      // the output cannot be created, written or closed
inline constexpr int kEncoderFailed = 5;     // no such encoder, or it refused the video settings
inline constexpr int kNothingToConvert = 6;  // no stream of the input fits the output
inline constexpr int kInputStalled = 7;      // the input delivered nothing for too long
inline constexpr int kInterrupted = 8;  // stopped by a signal, not by the engine: output removed
inline constexpr int kUnusableMedia = -20;  // probe: nothing decodable in the file
inline constexpr int kAudioRefused = -25;   // the encoder refused the requested audio options
}  // namespace exit_code

class ConvertError : public std::runtime_error {
  public:
    ConvertError(int exitCode, const std::string& message);
    int exitCode() const { return exitCode_; }

  private:
    int exitCode_;
};

}  // namespace vidmill
