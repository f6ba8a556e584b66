#include "storage/settings_file.h"

#include <cstdint>
#include <cstring>
#include <memory>

#include "storage/record_file.h"
#include "storage/safe_save.h"

namespace vidmill {
namespace {

// Each reader changes the field only when all of its bytes came, so a field
// that the file ends inside keeps its value.
void readFlag(RecordFile& file, bool& flag) {
    uint8_t byte = 0;
    if (file.readBytes(&byte, 1) == 1) {
        flag = byte != 0;
    }
}

void readInt16(RecordFile& file, int16_t& value) {
    uint16_t stored = 0;
    if (file.readUInt16(stored) == 2) {
        value = int16_t(stored);
    }
}

void readInt32(RecordFile& file, int32_t& value) {
    uint32_t stored = 0;
    if (file.readUInt32(stored) == 4) {
        value = int32_t(stored);
    }
}

void readFloat(RecordFile& file, float& value) {
    uint32_t stored = 0;
    if (file.readUInt32(stored) == 4) {
        std::memcpy(&value, &stored, sizeof value);
    }
}

// A text whose length field is missing keeps its value; one cut short by the
// end of the file keeps the bytes that came. Every text that the record can
// hold (N - 1 bytes) is accepted, so that nothing saved is lost on reading.
template <std::size_t N>
void readText(RecordFile& file, char (&buffer)[N]) {
    char text[N + 1];
    const int64_t start = file.tell();
    file.readText16Into(text, int(N + 1));
    if (file.tell() >= start + 2) {
        storeText(buffer, textOf(text));
    }
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
    const uint8_t reserved[kSettingsReservedBytes] = {};
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

bool loadSettingsFile(ConversionSettings& settings, const std::string& path) {
    std::unique_ptr<RecordFile> file = openRecordFile(path, false);
    if (!file || !file->readSignature(kSettingsSignature)) {
        return false;
    }
    uint8_t reserved[kSettingsReservedBytes];
    file->readBytes(reserved, kSettingsReservedBytes);

    ConversionSettings& s = settings;
    readText(*file, s.destinationFolder);
    readText(*file, s.reservedText);
    readText(*file, s.lastAddFolder);
    readInt16(*file, s.presetId);
    readFlag(*file, s.showToolbar);
    readFlag(*file, s.reservedFlag);
    readFlag(*file, s.showMainSettings);
    readFlag(*file, s.showStatusBar);
    readInt32(*file, s.lastUpdateCheckDay);
    readFlag(*file, s.showTips);
    readInt16(*file, s.maxConcurrent);
    readFlag(*file, s.saveHistory);
    readFlag(*file, s.removeStopped);
    readFlag(*file, s.disableVideo);
    readInt16(*file, s.frameWidth);
    readInt16(*file, s.frameHeight);
    readFloat(*file, s.frameRate);
    readInt16(*file, s.videoBitrate);
    readInt16(*file, s.aspect);
    readFlag(*file, s.disableAudio);
    readInt16(*file, s.audioBitrate);
    readInt16(*file, s.channels);
    readInt32(*file, s.sampleRate);
    readInt16(*file, s.volume);
    readText(*file, s.videoCodec);
    readText(*file, s.audioCodec);
    readFlag(*file, s.useInternalPlayer);
    readFlag(*file, s.shutdownAfter);
    readFlag(*file, s.exitAfter);
    // Files of older versions end before the priority.
    if (file->readBytes(&s.converterPriority, 1) != 1) {
        s.converterPriority = kNormalConverterPriority;
    }
    return true;
}

bool saveSettingsFile(const ConversionSettings& settings, const std::string& path) {
    return saveFileSafely(path, [&](RecordFile& file) { writeFields(file, settings); });
}

}  // namespace vidmill
