#include "storage/settings_file.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

#include "storage/record_file.h"
#include "storage/safe_save.h"

namespace vidmill {
namespace {

// Reads the fields in order into a record that starts at the defaults. A
// value out of its range keeps the default and is named in `reset`. A field
// that the file ends inside, or a text longer than its buffer, breaks the
// layout: every field after it would be read from the wrong place.
class FieldReader {
  public:
    FieldReader(RecordFile& file, ConversionSettings& record, std::vector<std::string>& reset,
                const PresetIdCheck& isPresetId)
        : file_(file), record_(record), reset_(reset), isPresetId_(isPresetId) {}

    bool intact() const { return intact_; }

    template <typename Field>
    void read(const Field& field) {
        if (!field.has(kInHeaderBlock) && !blockRead_) {
            // The rest of the block is kept for later versions.
            blockRead_ = true;
            std::vector<uint8_t> rest(std::size_t(kSettingsReservedBytes - blockBytes_));
            intact_ = intact_ && file_.readBytes(rest.data(), int(rest.size())) == int(rest.size());
        }
        using T = typename Field::Type;
        if constexpr (Field::isText) {
            text(record_.*field.member);
        } else if constexpr (std::is_same_v<T, bool>) {
            uint8_t byte = 0;
            if (!readValue(byte, field)) {
                return;
            }
            if (field.has(kCarried)) {
                record_.*field.member = byte != 0;
            } else {
                keepIf(byte <= 1, field, field.has(kStoredCleared) ? byte == 0 : byte != 0);
            }
        } else {
            T value{};
            if (readValue(value, field)) {
                const bool preset =
                    !field.has(kPresetIdValue) || !isPresetId_ || isPresetId_(value);
                keepIf(preset && field.valid(value), field, value);
            }
        }
    }

  private:
    // True when all of the value's bytes came; the layout breaks otherwise.
    // Only a field that may be missing at the end may find the file ended,
    // and nothing may follow it.
    template <typename T, typename Field>
    bool readValue(T& value, const Field& field) {
        static_assert(sizeof(T) == 1 || sizeof(T) == 2 || sizeof(T) == 4);
        uint8_t bytes[sizeof(T)] = {};
        const int got = intact_ ? file_.readBytes(bytes, int(sizeof(T))) : 0;
        if (field.has(kOptionalLast) && got == 0) {
            return false;
        }
        intact_ = intact_ && got == int(sizeof(T));
        if (intact_ && field.has(kOptionalLast)) {
            uint8_t more = 0;
            intact_ = file_.readBytes(&more, 1) == 0;
        }
        if (!intact_) {
            return false;
        }
        uint32_t stored = 0;
        for (std::size_t i = 0; i < sizeof(T); ++i) {
            stored |= uint32_t(bytes[i]) << (8 * i);
        }
        if constexpr (sizeof(T) == 1) {
            value = T(stored);
        } else {
            std::memcpy(&value, &stored, sizeof(T));  // little-endian machines only
        }
        if (!blockRead_) {
            blockBytes_ += int(sizeof(T));
        }
        return true;
    }

    // Every text the record can hold (N - 1 bytes) is accepted, so that
    // nothing saved is lost on reading.
    template <std::size_t N>
    void text(char (&field)[N]) {
        char text[N + 1];
        if (intact_ && file_.readText16Into(text, int(N + 1)) == 1) {
            storeText(field, textOf(text));
        } else {
            intact_ = false;
        }
    }

    template <typename Field, typename V>
    void keepIf(bool valid, const Field& field, V value) {
        if (valid) {
            record_.*field.member = typename Field::Type(value);
        } else if (reset_.empty() || reset_.back() != field.name) {
            reset_.push_back(field.name);
        }
    }

    RecordFile& file_;
    ConversionSettings& record_;
    std::vector<std::string>& reset_;
    const PresetIdCheck& isPresetId_;
    bool intact_ = true;
    bool blockRead_ = false;
    int blockBytes_ = 0;
};

class FieldWriter {
  public:
    explicit FieldWriter(RecordFile& file) : file_(file) {}

    template <typename Field>
    void write(const Field& field, const ConversionSettings& s) {
        if (!field.has(kInHeaderBlock) && !blockWritten_) {
            blockWritten_ = true;
            const std::vector<uint8_t> zeros(std::size_t(kSettingsReservedBytes - blockBytes_));
            file_.writeBytes(zeros.data(), int(zeros.size()));
        }
        using T = typename Field::Type;
        if constexpr (Field::isText) {
            file_.writeText16(textOf(s.*field.member));
        } else if constexpr (std::is_same_v<T, bool>) {
            const bool on = s.*field.member;
            put(uint8_t(field.has(kStoredCleared) ? !on : on));
        } else {
            put(s.*field.member);
        }
    }

  private:
    template <typename T>
    void put(T value) {
        static_assert(sizeof(T) == 1 || sizeof(T) == 2 || sizeof(T) == 4);
        if constexpr (sizeof(T) == 1) {
            file_.writeBytes(&value, 1);
        } else if constexpr (sizeof(T) == 2) {
            uint16_t bits = 0;
            std::memcpy(&bits, &value, 2);
            file_.writeUInt16(bits);
        } else {
            uint32_t bits = 0;
            std::memcpy(&bits, &value, 4);
            file_.writeUInt32(bits);
        }
        if (!blockWritten_) {
            blockBytes_ += int(sizeof(T));
        }
    }

    RecordFile& file_;
    bool blockWritten_ = false;
    int blockBytes_ = 0;
};

void writeFields(RecordFile& file, const ConversionSettings& s) {
    file.writeRaw(kSettingsSignature);
    FieldWriter out(file);
    forEachSettingsField([&](const auto& field) { out.write(field, s); });
}

// The rules between fields: a record that breaks one gets the fields
// involved back at their defaults, each named once.
void keepRulesBetweenFields(ConversionSettings& record, std::vector<std::string>& reset) {
    const ConversionSettings plain;
    auto resetTo = [&](auto... members) { ((record.*members = plain.*members), ...); };
    auto name = [&](const char* text) {
        if (std::find(reset.begin(), reset.end(), text) == reset.end()) {
            reset.push_back(text);
        }
    };
    using S = ConversionSettings;
    if (!frameSizeIsPaired(record) ||
        std::find(reset.begin(), reset.end(), "Frame Size") != reset.end()) {
        resetTo(&S::frameWidth, &S::frameHeight);
        name("Frame Size");
    }
    if (!cutIsOrdered(record)) {
        resetTo(&S::cutFromMs, &S::cutToMs);
        name("From");
        name("To");
    }
    if (!cropKeepsAPicture(record)) {
        resetTo(&S::cropMode, &S::cropWidth, &S::cropHeight, &S::cropX, &S::cropY);
        name("Remove black bars");
    }
    // The dialog never lets both streams go; a pair like that is not ours.
    if (!keepsAStream(record)) {
        resetTo(&S::disableVideo, &S::disableAudio);
        name("Disable Video");
        name("Disable Audio");
    }
    // A file that is not as we wrote it cannot ask for the computer to go
    // off, or the program to close, after the next batch.
    if (!reset.empty()) {
        forEachSettingsField([&](const auto& field) {
            if constexpr (std::is_same_v<typename std::decay_t<decltype(field)>::Type, bool>) {
                if (field.has(kActsAfterBatch) && record.*field.member) {
                    record.*field.member = false;
                    name(field.name);
                }
            }
        });
    }
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
    FieldReader in(*file, record, load.reset, isPresetId);
    forEachSettingsField([&](const auto& field) { in.read(field); });
    if (!in.intact()) {
        // Bytes inserted or lost somewhere: no field can be trusted.
        settings = ConversionSettings{};
        load.reset.clear();
        load.state = SettingsFileState::Damaged;
        return load;
    }
    keepRulesBetweenFields(record, load.reset);
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
