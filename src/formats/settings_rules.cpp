#include "formats/settings_rules.h"

#include "formats/format_preset.h"

namespace vidmill {

bool wantsTwoPasses(const ConversionSettings& settings) {
    return settings.twoPass || settings.targetSizeKb > 0;
}

void normaliseSettings(ConversionSettings& settings) {
    if (wantsTwoPasses(settings)) {
        settings.videoQuality = 0;
    }
}

SettingsRefusal refusalOf(const ConversionSettings& settings, const ExplicitChoices& chosen) {
    const std::string_view videoCodec = textOf(settings.videoCodec);
    if (!keepsAStream(settings)) {
        return SettingsRefusal::NoStream;
    }
    if (chosen.quality && chosen.bitrate) {
        return SettingsRefusal::QualityAndBitrate;
    }
    if (!cutIsOrdered(settings)) {
        return SettingsRefusal::CutOutOfOrder;
    }
    if (settings.targetSizeKb > 0 && (chosen.quality || chosen.bitrate)) {
        return SettingsRefusal::SizeAndRate;
    }
    if (settings.twoPass && chosen.quality) {
        return SettingsRefusal::TwoPassesAndQuality;
    }
    if (chosen.quality && !hasConstantQuality(videoCodec)) {
        return SettingsRefusal::NoConstantQuality;
    }
    if (chosen.quality && settings.videoQuality > maxQualityOf(videoCodec)) {
        return SettingsRefusal::QualityOutOfRange;
    }
    return SettingsRefusal::None;
}

}  // namespace vidmill
