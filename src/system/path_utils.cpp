#include "system/path_utils.h"

namespace vidmill {

namespace {

void appendBounded(std::string& out, std::string_view text) {
    if (out.size() < kPathPartLimit) {
        out.append(text.substr(0, kPathPartLimit - out.size()));
    }
}

void storePart(std::string* out, std::string_view part) {
    if (out != nullptr) {
        out->assign(part.substr(0, kPathPartLimit));
    }
}

}  // namespace

void splitFolderPart(std::string_view path, std::string* folder, std::string* fileName) {
    const std::size_t lastSeparator = path.rfind('/');
    std::string_view folderPart;
    std::string_view filePart = path;
    if (lastSeparator != std::string_view::npos) {
        folderPart = path.substr(0, lastSeparator + 1);
        filePart = path.substr(lastSeparator + 1);
    }
    // The path may view one of the outputs: read every part before storing any.
    const std::string folderText(folderPart);
    const std::string fileText(filePart);
    storePart(folder, folderText);
    storePart(fileName, fileText);
}

void splitExtension(std::string_view fileName, std::string* name, std::string* extension) {
    const std::size_t dot = fileName.rfind('.');
    const std::string nameText(fileName.substr(0, dot));
    const std::string extensionText(dot == std::string_view::npos ? std::string_view{}
                                                                  : fileName.substr(dot));
    storePart(name, nameText);
    storePart(extension, extensionText);
}

void splitPath(std::string_view path, std::string* folder, std::string* name,
               std::string* extension) {
    std::string fileName;
    splitFolderPart(path, folder, &fileName);
    splitExtension(fileName, name, extension);
}

void makeFilePath(std::string* out, std::string_view folder, std::string_view name,
                  std::string_view extension) {
    std::string result;
    if (!folder.empty()) {
        appendBounded(result, folder);
        // The bounded append always leaves room for this separator.
        if (result.back() != '/') {
            result += '/';
        }
    }
    appendBounded(result, name);
    if (!extension.empty()) {
        if (extension.front() != '.') {
            appendBounded(result, ".");
        }
        appendBounded(result, extension);
    }
    if (out != nullptr) {
        *out = std::move(result);
    }
}

}  // namespace vidmill
