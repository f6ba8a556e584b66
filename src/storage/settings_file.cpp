#include "storage/settings_file.h"

#include <sys/stat.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>

#include "storage/record_file.h"
#include "storage/safe_save.h"

namespace vidmill {
namespace {

// What this program stores: values of the format lists and of the presets,
// "Original" where a list offers it, and the limits of the settings dialog.
// The ranges leave room around the lists, so that only values that no
// version of the program wrote fall outside.
constexpr int kMinFrameSide = 16;
constexpr int kMaxFrameSide = 8192;
constexpr float kMaxFrameRate = 1000.0f;
constexpr int kMinVideoBitrate = 8;
constexpr int kMinAudioBitrate = 8;
constexpr int kMaxAudioBitrate = 640;
constexpr int kMinSampleRate = 8000;
constexpr int kMaxSampleRate = 192000;
constexpr int kMaxVolume = 500;
constexpr int kVolumeStep = 25;
constexpr int kMaxConcurrent = 20;
constexpr int kMaxAspect = 2;
constexpr uint8_t kMaxConverterPriority = 5;

constexpr const char* kShutdownAfterName = "Shutdown computer after conversion(s)";
constexpr const char* kExitAfterName = "Exit program after conversion(s)";
constexpr const char* kKeepDatesName = "Keep the dates of the source files";

bool isOriginalOr(int value, int low, int high) {
    return value == kOriginalValue || (value >= low && value <= high);
}

// Reads the fields in order into a record that starts at the defaults. A
// value out of its range keeps the default and is named in `reset`. A field
// that the file ends inside, or a text longer than its buffer, breaks the
// layout: every field after it would be read from the wrong place.
class FieldReader {
  public:
    FieldReader(RecordFile& file, ConversionSettings& record, std::vector<std::string>& reset)
        : file_(file), record_(record), reset_(reset) {}

    bool intact() const { return intact_; }

    void skip(int count) {
        std::vector<uint8_t> bytes(static_cast<std::size_t>(count));
        intact_ = intact_ && file_.readBytes(bytes.data(), count) == count;
    }

    // Carried through untouched: whatever the byte, it is kept as a flag.
    void carried(bool ConversionSettings::*field) {
        uint8_t byte = 0;
        if (read(byte)) {
            record_.*field = byte != 0;
        }
    }

    // The last field. Files of older versions end before it: the priority
    // stays the normal one. Nothing may follow it.
    void converterPriority() {
        uint8_t priority = 0;
        if (!intact_ || file_.readBytes(&priority, 1) != 1) {
            return;
        }
        keepIf(priority <= kMaxConverterPriority, &ConversionSettings::converterPriority, priority,
               "Converter Process Priority");
        uint8_t more = 0;
        intact_ = file_.readBytes(&more, 1) == 0;
    }

    // Written as 0 or 1, nothing else.
    void flag(bool ConversionSettings::*field, const char* name) {
        uint8_t byte = 0;
        if (read(byte)) {
            keepIf(byte <= 1, field, byte != 0, name);
        }
    }

    // Written as 0 while the option is on, 1 once it is off, so that the
    // zeros of older files leave it on.
    void clearedFlag(bool ConversionSettings::*field, const char* name) {
        uint8_t byte = 0;
        if (read(byte)) {
            keepIf(byte <= 1, field, byte == 0, name);
        }
    }

    template <typename T, typename Valid>
    void number(T ConversionSettings::*field, const char* name, Valid valid) {
        T value{};
        if (read(value)) {
            keepIf(valid(value), field, value, name);
        }
    }

    // A size is a pair: "Original" for both or a size for both.
    void frameSize() {
        int16_t width = 0;
        int16_t height = 0;
        if (read(width) && read(height)) {
            const bool original = width == kOriginalValue && height == kOriginalValue;
            const bool size = width >= kMinFrameSide && width <= kMaxFrameSide &&
                              height >= kMinFrameSide && height <= kMaxFrameSide;
            keepIf(original || size, &ConversionSettings::frameWidth, width, "Frame Size");
            if (original || size) {
                record_.frameHeight = height;
            }
        }
    }

    // Every text the record can hold (N - 1 bytes) is accepted, so that
    // nothing saved is lost on reading.
    template <std::size_t N>
    void text(char (ConversionSettings::*field)[N]) {
        char text[N + 1];
        if (intact_ && file_.readText16Into(text, int(N + 1)) == 1) {
            storeText(record_.*field, textOf(text));
        } else {
            intact_ = false;
        }
    }

  private:
    // True when all of the value's bytes came; the layout breaks otherwise.
    template <typename T>
    bool read(T& value) {
        static_assert(sizeof(T) == 1 || sizeof(T) == 2 || sizeof(T) == 4);
        bool complete = false;
        if constexpr (sizeof(T) == 1) {
            complete = intact_ && file_.readBytes(&value, 1) == 1;
        } else if constexpr (sizeof(T) == 2) {
            uint16_t stored = 0;
            complete = intact_ && file_.readUInt16(stored) == 2;
            std::memcpy(&value, &stored, 2);
        } else {
            uint32_t stored = 0;
            complete = intact_ && file_.readUInt32(stored) == 4;
            std::memcpy(&value, &stored, 4);
        }
        intact_ = complete;
        return complete;
    }

    template <typename T, typename V>
    void keepIf(bool valid, T ConversionSettings::*field, V value, const char* name) {
        if (valid) {
            record_.*field = T(value);
        } else {
            reset_.push_back(name);
        }
    }

    RecordFile& file_;
    ConversionSettings& record_;
    std::vector<std::string>& reset_;
    bool intact_ = true;
};

// The fields after the reserved block, in their order, all but the last.
void readFields(FieldReader& in, const PresetIdCheck& isPresetId) {
    using S = ConversionSettings;
    in.text(&S::destinationFolder);
    in.text(&S::reservedText);
    in.text(&S::lastAddFolder);
    in.number(&S::presetId, "Video Format",
              [&](int16_t id) { return !isPresetId || isPresetId(id); });
    in.flag(&S::showToolbar, "Show Toolbar");
    in.carried(&S::reservedFlag);
    in.flag(&S::showMainSettings, "Show Main Settings");
    in.flag(&S::showStatusBar, "Show Status Bar");
    // A day in the future is mended by the update check itself.
    in.number(&S::lastUpdateCheckDay, "Last update check", [](int32_t day) { return day >= 0; });
    in.flag(&S::showTips, "Show tips at startup");
    in.number(&S::maxConcurrent, "Max concurrent conversions",
              [](int16_t count) { return count >= 1 && count <= kMaxConcurrent; });
    in.flag(&S::saveHistory, "Save History");
    in.flag(&S::removeStopped, "Remove stopped videos");
    in.flag(&S::disableVideo, "Disable Video");
    in.frameSize();
    in.number(&S::frameRate, "Frame Rate", [](float rate) {
        return rate == float(kOriginalValue) || (rate > 0.0f && rate <= kMaxFrameRate);
    });
    in.number(&S::videoBitrate, "Video Bitrate",
              [](int16_t rate) { return isOriginalOr(rate, kMinVideoBitrate, INT16_MAX); });
    in.number(&S::aspect, "Aspect Ratio",
              [](int16_t aspect) { return aspect >= 0 && aspect <= kMaxAspect; });
    in.flag(&S::disableAudio, "Disable Audio");
    in.number(&S::audioBitrate, "Audio Bitrate",
              [](int16_t rate) { return isOriginalOr(rate, kMinAudioBitrate, kMaxAudioBitrate); });
    in.number(&S::channels, "Channels", [](int16_t count) { return isOriginalOr(count, 1, 2); });
    in.number(&S::sampleRate, "Sample Rate",
              [](int32_t rate) { return isOriginalOr(rate, kMinSampleRate, kMaxSampleRate); });
    in.number(&S::volume, "Volume", [](int16_t volume) {
        return volume >= 0 && volume <= kMaxVolume && volume % kVolumeStep == 0;
    });
    in.text(&S::videoCodec);
    in.text(&S::audioCodec);
    in.flag(&S::useInternalPlayer, "Use Internal video player");
    in.flag(&S::shutdownAfter, kShutdownAfterName);
    in.flag(&S::exitAfter, kExitAfterName);
}

void writeFlag(RecordFile& file, bool flag) {
    uint8_t byte = flag ? 1 : 0;
    file.writeBytes(&byte, 1);
}

void writeFloat(RecordFile& file, float value) {
    uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    file.writeUInt32(bits);
}

void writeFields(RecordFile& file, const ConversionSettings& s) {
    file.writeRaw(kSettingsSignature);
    uint8_t reserved[kSettingsReservedBytes] = {};
    reserved[0] = s.videoQuality;
    reserved[1] = s.keepSourceDates ? 0 : 1;
    for (int i = 0; i < 4; ++i) {
        reserved[2 + i] = uint8_t(s.targetSizeKb >> (8 * i));
    }
    reserved[6] = s.twoPass ? 1 : 0;
    auto put = [&reserved](int at, uint32_t value, int bytes) {
        for (int i = 0; i < bytes; ++i) {
            reserved[at + i] = uint8_t(value >> (8 * i));
        }
    };
    put(7, s.cutFromMs, 4);
    put(11, s.cutToMs, 4);
    reserved[15] = s.cropMode;
    put(16, s.cropWidth, 2);
    put(18, s.cropHeight, 2);
    put(20, s.cropX, 2);
    put(22, s.cropY, 2);
    reserved[24] = s.deinterlace;
    file.writeBytes(reserved, kSettingsReservedBytes);
    file.writeText16(textOf(s.destinationFolder));
    file.writeText16(textOf(s.reservedText));
    file.writeText16(textOf(s.lastAddFolder));
    file.writeUInt16(uint16_t(s.presetId));
    writeFlag(file, s.showToolbar);
    writeFlag(file, s.reservedFlag);
    writeFlag(file, s.showMainSettings);
    writeFlag(file, s.showStatusBar);
    file.writeUInt32(uint32_t(s.lastUpdateCheckDay));
    writeFlag(file, s.showTips);
    file.writeUInt16(uint16_t(s.maxConcurrent));
    writeFlag(file, s.saveHistory);
    writeFlag(file, s.removeStopped);
    writeFlag(file, s.disableVideo);
    file.writeUInt16(uint16_t(s.frameWidth));
    file.writeUInt16(uint16_t(s.frameHeight));
    writeFloat(file, s.frameRate);
    file.writeUInt16(uint16_t(s.videoBitrate));
    file.writeUInt16(uint16_t(s.aspect));
    writeFlag(file, s.disableAudio);
    file.writeUInt16(uint16_t(s.audioBitrate));
    file.writeUInt16(uint16_t(s.channels));
    file.writeUInt32(uint32_t(s.sampleRate));
    file.writeUInt16(uint16_t(s.volume));
    file.writeText16(textOf(s.videoCodec));
    file.writeText16(textOf(s.audioCodec));
    writeFlag(file, s.useInternalPlayer);
    writeFlag(file, s.shutdownAfter);
    writeFlag(file, s.exitAfter);
    file.writeBytes(&s.converterPriority, 1);
}

}  // namespace

SettingsLoad loadSettingsFile(ConversionSettings& settings, const std::string& path,
                              const PresetIdCheck& isPresetId) {
    SettingsLoad load;
    struct stat info {};
    std::unique_ptr<RecordFile> file;
    if (stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
        file = openRecordFile(path, false);
    }
    if (!file) {
        return load;
    }
    if (!file->readSignature(kSettingsSignature)) {
        // A flipped bit up front must not reset every setting in silence.
        load.state = SettingsFileState::NotOurs;
        return load;
    }
    ConversionSettings record;
    FieldReader in(*file, record, load.reset);
    in.number(&ConversionSettings::videoQuality, "Quality",
              [](uint8_t quality) { return quality <= kMaxVideoQuality; });
    in.clearedFlag(&ConversionSettings::keepSourceDates, kKeepDatesName);
    in.number(&ConversionSettings::targetSizeKb, "Fit in a size",
              [](uint32_t size) { return size <= kMaxTargetSizeKb; });
    in.flag(&ConversionSettings::twoPass, "Two passes");
    in.number(&ConversionSettings::cutFromMs, "From", [](uint32_t ms) { return ms < kMaxCutMs; });
    in.number(&ConversionSettings::cutToMs, "To", [](uint32_t ms) { return ms <= kMaxCutMs; });
    in.number(&ConversionSettings::cropMode, "Remove black bars",
              [](uint8_t mode) { return mode <= kCropFixed; });
    for (uint16_t ConversionSettings::*side :
         {&ConversionSettings::cropWidth, &ConversionSettings::cropHeight,
          &ConversionSettings::cropX, &ConversionSettings::cropY}) {
        in.number(side, "Crop", [](uint16_t pixels) { return pixels <= kMaxCropSide; });
    }
    in.number(&ConversionSettings::deinterlace, "Deinterlace",
              [](uint8_t choice) { return choice <= kDeinterlaceOff; });
    in.skip(kSettingsReservedBytes - 25);
    readFields(in, isPresetId);
    in.converterPriority();
    if (!in.intact()) {
        // Bytes inserted or lost somewhere: no field can be trusted.
        settings = ConversionSettings{};
        load.reset.clear();
        load.state = SettingsFileState::Damaged;
        return load;
    }
    // A cut ends after it starts, and a fixed crop keeps a picture.
    if (record.cutToMs != 0 && record.cutToMs <= record.cutFromMs) {
        record.cutFromMs = record.cutToMs = 0;
        load.reset.push_back("From");
        load.reset.push_back("To");
    }
    if (record.cropMode == kCropFixed &&
        (record.cropWidth < kMinCropSide || record.cropHeight < kMinCropSide)) {
        record.cropMode = kCropOff;
        record.cropWidth = record.cropHeight = record.cropX = record.cropY = 0;
        load.reset.push_back("Remove black bars");
    }
    // The dialog never lets both streams go; a pair like that is not ours.
    if (record.disableVideo && record.disableAudio) {
        record.disableVideo = false;
        record.disableAudio = false;
        load.reset.push_back("Disable Video");
        load.reset.push_back("Disable Audio");
    }
    // A file that is not as we wrote it cannot ask for the computer to go
    // off, or the program to close, after the next batch.
    if (!load.reset.empty()) {
        for (auto [flag, name] : {std::pair{&ConversionSettings::shutdownAfter, kShutdownAfterName},
                                  std::pair{&ConversionSettings::exitAfter, kExitAfterName}}) {
            if (record.*flag) {
                record.*flag = false;
                load.reset.push_back(name);
            }
        }
    }
    settings = record;
    load.state = load.reset.empty() ? SettingsFileState::Read : SettingsFileState::ValuesReset;
    return load;
}

SettingsLoad loadSettingsAtStart(ConversionSettings& settings, const std::string& path,
                                 const PresetIdCheck& isPresetId, std::time_t now) {
    SettingsLoad load = loadSettingsFile(settings, path, isPresetId);
    if (load.damaged()) {
        load.keptAs = keepDamagedFile(path, now);
    }
    return load;
}

std::string settingsLoadMessage(const SettingsLoad& load) {
    if (load.damaged()) {
        return "The settings file was damaged and could not be read; all settings were reset to "
               "their defaults" +
               (load.keptAs.empty() ? std::string(".")
                                    : "; the damaged file was kept as " + load.keptAs + ".");
    }
    if (load.state != SettingsFileState::ValuesReset) {
        return {};
    }
    std::string names;
    for (const std::string& name : load.reset) {
        names += (names.empty() ? "" : ", ") + name;
    }
    return "The settings file was damaged; these settings were reset to their defaults: " + names +
           ".";
}

bool saveSettingsFile(const ConversionSettings& settings, const std::string& path) {
    return saveFileSafely(path, [&](RecordFile& file) { writeFields(file, settings); });
}

}  // namespace vidmill
