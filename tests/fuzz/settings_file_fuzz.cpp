// Feeds arbitrary bytes to the settings reader, then uses what it loaded the
// way the program does: for the format lists and for a converter command.

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "engine/list/video_entry.h"
#include "formats/converter_command.h"
#include "formats/format_preset.h"
#include "memory_file.h"
#include "storage/settings_file.h"

namespace {

template <std::size_t N>
void requireTerminated(const char (&text)[N]) {
    if (strnlen(text, N) >= N) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vidmill;
    static MemoryFile file;
    file.assign(data, size);

    ConversionSettings settings;
    const SettingsLoad load = loadSettingsFile(
        settings, file.path(), [](int id) { return presetRow(findPresetById(id)).id == id; });
    // Whatever the bytes, a file that was not read as stored asks for nothing
    // after the batch, and a loaded record names a format of the table.
    if ((load.state != SettingsFileState::Read && (settings.shutdownAfter || settings.exitAfter)) ||
        presetRow(findPresetById(settings.presetId)).id != settings.presetId ||
        (load.state == SettingsFileState::ValuesReset) == load.reset.empty() ||
        settingsLoadMessage(load).empty() !=
            (load.state == SettingsFileState::Read || load.state == SettingsFileState::NotRead)) {
        std::abort();
    }
    requireTerminated(settings.destinationFolder);
    requireTerminated(settings.reservedText);
    requireTerminated(settings.lastAddFolder);
    requireTerminated(settings.videoCodec);
    requireTerminated(settings.audioCodec);

    const FormatPreset& row = presetRow(findPresetById(settings.presetId));
    int found = 0;
    indexOfSize(frameSizesOf(row), settings.frameWidth, settings.frameHeight, &found);
    indexOfFloat(frameRatesOf(row), settings.frameRate, &found);
    indexOfName(row.videoCodecs, textOf(settings.videoCodec), &found);
    (void)frameRateLabel(settings.frameRate);
    (void)codecLabel(textOf(settings.audioCodec));

    auto entry = createEntry("/in/a.avi");
    for (int audioFallback : {0, 1}) {
        ConverterCommand command =
            buildConvertCommand("/app/conv", "/in/a.avi", "/out/a.mp4", "123456789012",
                                entry->progressSlot, settings, audioFallback);
        if (command.args.empty() || command.args.back() != "/out/a.mp4") {
            std::abort();
        }
    }
    return 0;
}
