#pragma once

// The rules that tie the settings together, for every front end: the
// window's dialog, the terminal's options, the engine and the command
// builder ask here, and word the answer in their own terms.

#include "storage/conversion_settings.h"

namespace vidmill {

// Whether the video is encoded in two passes: asked for, or a size to fit
// in (where the encoder has them; the converter decides that).
bool wantsTwoPasses(const ConversionSettings& settings);

// A size or two passes work from a bitrate, never from a constant quality:
// the quality the format brings is dropped.
void normaliseSettings(ConversionSettings& settings);

// What the person chose explicitly, beside what the format brought.
struct ExplicitChoices {
    bool quality = false;
    bool bitrate = false;
};

enum class SettingsRefusal {
    None,
    NoStream,             // both the picture and the sound left out
    CutOutOfOrder,        // the cut's end is not after its start
    QualityAndBitrate,    // a constant quality and a bitrate, both chosen
    SizeAndRate,          // a size to fit in with a quality or a bitrate chosen
    TwoPassesAndQuality,  // two passes share out a bitrate; a quality has none
    NoConstantQuality,    // a quality for a codec that has none
    QualityOutOfRange,    // beyond the last value of the codec's scale
};

// The first rule that the settings break, or None.
SettingsRefusal refusalOf(const ConversionSettings& settings, const ExplicitChoices& chosen = {});

// Watching a folder skips what was converted already: a restart of a watch
// must not convert again what it converted before.
inline bool skipsConverted(bool skipAsked, bool watching) {
    return skipAsked || watching;
}

}  // namespace vidmill
