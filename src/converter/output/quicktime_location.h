#pragma once

// The place a video was taken, in the ©xyz atom of a finished MP4 file. The
// MP4 muxer keeps a place only in the 3GPP 'loci' box, which few players
// read; phones, Apple's and Google's photo libraries read ©xyz, the
// QuickTime atom that phones write into MP4 files as well.

#include <string>

namespace vidmill {

// Adds a ©xyz atom holding `iso6709` ("+48.8584+002.2945/") to the movie's
// user data. Done only where the movie box is the file's last box (as the
// muxer leaves it), and there either its user data box is its last child
// or it has none: growing it then moves no sample. False when the file has
// another layout or `iso6709` is empty or too long, and the file is left
// as it was. Throws ConvertError(kOutputFailed) when the file cannot be
// read or written; its messages call the file `name`.
bool addQuickTimeLocation(const std::string& path, const std::string& name,
                          const std::string& iso6709);

}  // namespace vidmill
