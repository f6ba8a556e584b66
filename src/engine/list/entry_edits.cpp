#include "engine/list/entry_edits.h"

#include <charconv>
#include <cstdio>
#include <vector>

#include "process/size_budget.h"
#include "system/size_time_text.h"

namespace vidmill {

namespace {

template <typename Number>
bool readNumber(std::string_view text, Number& value) {
    const char* end = text.data() + text.size();
    const auto [at, error] = std::from_chars(text.data(), end, value);
    return error == std::errc() && at == end;
}

// Only the choices that a record holds, as a plain conversion has them.
void clearEdits(ConversionSettings& s) {
    const ConversionSettings plain;
    s.targetSizeKb = plain.targetSizeKb;
    s.twoPass = plain.twoPass;
    s.cutFromMs = plain.cutFromMs;
    s.cutToMs = plain.cutToMs;
    s.cropMode = plain.cropMode;
    s.cropWidth = s.cropHeight = s.cropX = s.cropY = 0;
    s.deinterlace = plain.deinterlace;
}

bool readCrop(std::string_view text, ConversionSettings& edits) {
    if (text == "auto") {
        edits.cropMode = kCropAuto;
        return true;
    }
    return readCropRect(text, edits);
}

bool readWord(std::string_view word, ConversionSettings& edits) {
    const std::size_t equals = word.find('=');
    const std::string_view key = word.substr(0, equals);
    const std::string_view value =
        equals == std::string_view::npos ? std::string_view() : word.substr(equals + 1);
    if (key == "size") {
        return readNumber(value, edits.targetSizeKb) && edits.targetSizeKb > 0 &&
               edits.targetSizeKb <= kMaxTargetSizeKb;
    }
    if (key == "twopass") {
        edits.twoPass = true;
        return value.empty();
    }
    if (key == "from") {
        return readNumber(value, edits.cutFromMs) && edits.cutFromMs < kMaxCutMs;
    }
    if (key == "to") {
        return readNumber(value, edits.cutToMs) && edits.cutToMs > 0 && edits.cutToMs <= kMaxCutMs;
    }
    if (key == "crop") {
        return readCrop(value, edits);
    }
    if (key == "deint") {
        edits.deinterlace = value == "on" ? kDeinterlaceOn : kDeinterlaceOff;
        return value == "on" || value == "off";
    }
    return true;  // written by a later version
}

}  // namespace

std::string editsRecord(const ConversionSettings& edits) {
    std::string record;
    auto add = [&](const std::string& word) { record += record.empty() ? word : " " + word; };
    if (edits.targetSizeKb > 0) {
        add("size=" + std::to_string(edits.targetSizeKb));
    }
    if (edits.twoPass) {
        add("twopass");
    }
    if (edits.cutFromMs > 0) {
        add("from=" + std::to_string(edits.cutFromMs));
    }
    if (edits.cutToMs > 0) {
        add("to=" + std::to_string(edits.cutToMs));
    }
    if (edits.cropMode == kCropAuto) {
        add("crop=auto");
    } else if (edits.cropMode == kCropFixed) {
        add("crop=" + cropRectText(edits));
    }
    if (edits.deinterlace != kDeinterlaceAuto) {
        add(edits.deinterlace == kDeinterlaceOn ? "deint=on" : "deint=off");
    }
    return record;
}

bool readEditsRecord(std::string_view record, ConversionSettings& edits) {
    clearEdits(edits);
    while (!record.empty()) {
        const std::size_t space = record.find(' ');
        const std::string_view word = record.substr(0, space);
        record.remove_prefix(space == std::string_view::npos ? record.size() : space + 1);
        if (!word.empty() && !readWord(word, edits)) {
            clearEdits(edits);
            return false;
        }
    }
    if (!cutIsOrdered(edits)) {
        clearEdits(edits);
        return false;
    }
    return true;
}

std::string editsText(std::string_view record) {
    ConversionSettings edits;
    readEditsRecord(record, edits);
    std::vector<std::string> parts;
    if (edits.targetSizeKb > 0) {
        parts.push_back("fit in " + sizeText(int64_t(edits.targetSizeKb) * 1000));
    } else if (edits.twoPass) {
        parts.push_back("two passes");
    }
    if (edits.cutFromMs > 0 && edits.cutToMs > 0) {
        parts.push_back("from " + clockTimeText(edits.cutFromMs) + " to " +
                        clockTimeText(edits.cutToMs));
    } else if (edits.cutFromMs > 0) {
        parts.push_back("from " + clockTimeText(edits.cutFromMs));
    } else if (edits.cutToMs > 0) {
        parts.push_back("up to " + clockTimeText(edits.cutToMs));
    }
    if (edits.cropMode == kCropAuto) {
        parts.push_back("black bars removed");
    } else if (edits.cropMode == kCropFixed) {
        char crop[64];
        std::snprintf(crop, sizeof crop, "cropped to %ux%u at %u,%u", edits.cropWidth,
                      edits.cropHeight, edits.cropX, edits.cropY);
        parts.push_back(crop);
    }
    if (edits.deinterlace == kDeinterlaceOn) {
        parts.push_back("always deinterlaced");
    } else if (edits.deinterlace == kDeinterlaceOff) {
        parts.push_back("never deinterlaced");
    }
    std::string text;
    for (const std::string& part : parts) {
        text += text.empty() ? part : ", " + part;
    }
    return text;
}

}  // namespace vidmill
