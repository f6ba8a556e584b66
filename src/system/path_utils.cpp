#include "system/path_utils.h"

#include <cstddef>

namespace vidmill {

namespace {

// The most characters a part, or an appended path, may hold: one byte of a fixed path buffer
// goes to the terminator and one stays spare for a folder separator.
std::size_t partLimit(const PathStyle& style) {
    return style.capacity > 2 ? static_cast<std::size_t>(style.capacity - 2) : 0;
}

void appendBounded(std::string& out, std::string_view text, const PathStyle& style) {
    const std::size_t limit = partLimit(style);
    if (out.size() < limit) {
        out.append(text.substr(0, limit - out.size()));
    }
}

void storePart(std::string* out, std::string_view part, const PathStyle& style) {
    if (out != nullptr) {
        out->assign(part.substr(0, partLimit(style)));
    }
}

bool endsWith(const std::string& text, char c) {
    return !text.empty() && text.back() == c;
}

}  // namespace

void splitFolderPart(std::string_view path, std::string* drive, std::string* folder,
                     std::string* fileName, const PathStyle& style) {
    const std::size_t lastSeparator = path.rfind(style.separator);
    // Only the first colon counts: "a:b:c" has drive "a:", "ab:c" has none.
    const bool hasDrive = style.hasDrives && path.find(':') == 1;
    const std::size_t driveEnd = hasDrive ? 2 : 0;

    std::string_view folderPart;
    std::string_view filePart;
    if (lastSeparator == std::string_view::npos) {
        filePart = path.substr(driveEnd);
    } else {
        const std::size_t folderStart = lastSeparator < driveEnd ? 0 : driveEnd;
        folderPart = path.substr(folderStart, lastSeparator + 1 - folderStart);
        filePart = path.substr(lastSeparator + 1);
    }
    // The path may view one of the outputs: read every part before storing any.
    const std::string driveText(path.substr(0, driveEnd));
    const std::string folderText(folderPart);
    const std::string fileText(filePart);
    storePart(drive, driveText, style);
    storePart(folder, folderText, style);
    storePart(fileName, fileText, style);
}

void splitExtension(std::string_view fileName, std::string* name, std::string* extension,
                    const PathStyle& style) {
    const std::size_t dot = fileName.rfind('.');
    const std::string nameText(fileName.substr(0, dot));
    const std::string extensionText(dot == std::string_view::npos ? std::string_view{}
                                                                  : fileName.substr(dot));
    storePart(name, nameText, style);
    storePart(extension, extensionText, style);
}

int splitPath(std::string_view path, std::string* drive, std::string* folder, std::string* name,
              std::string* extension, const PathStyle& style) {
    std::string fileName;
    splitFolderPart(path, drive, folder, &fileName, style);
    splitExtension(fileName, name, extension, style);
    return 0;
}

int makePath(std::string* out, std::string_view drive, std::string_view folder,
             std::string_view name, std::string_view extension, const PathStyle& style) {
    std::string result;
    if (style.hasDrives && !drive.empty()) {
        appendBounded(result, drive, style);
        if (!result.empty() && (result.size() < 2 || result[1] != ':')) {
            result.resize(1);
            result += ':';
        }
    }
    if (!folder.empty()) {
        appendBounded(result, folder, style);
        // The spare byte of the bounded append always leaves room for this separator.
        if (!endsWith(result, style.separator)) {
            result += style.separator;
        }
    }
    appendBounded(result, name, style);
    if (!extension.empty()) {
        if (extension.front() != '.') {
            appendBounded(result, ".", style);
        }
        appendBounded(result, extension, style);
    }
    if (out != nullptr) {
        *out = std::move(result);
    }
    return 0;
}

int makeFilePath(std::string* out, std::string_view folder, std::string_view name,
                 std::string_view extension, const PathStyle& style) {
    makePath(out, {}, folder, name, extension, style);
    return 1;
}

}  // namespace vidmill
