#include "system/path_utils.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vidmill {
namespace {

struct Parts {
    std::string folder, name, extension;
    bool operator==(const Parts&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Parts& p) {
    return out << "{" << p.folder << "|" << p.name << "|" << p.extension << "}";
}

Parts split(std::string_view path) {
    Parts p{"x", "x", "x"};  // stale values must be replaced
    splitPath(path, &p.folder, &p.name, &p.extension);
    return p;
}

TEST(PathUtils, SplitsFolderNameAndLastExtension) {
    EXPECT_EQ(split("/videos/clip.final.avi"), (Parts{"/videos/", "clip.final", ".avi"}));
    EXPECT_EQ(split("clip"), (Parts{"", "clip", ""}));
    EXPECT_EQ(split(".hidden"), (Parts{"", "", ".hidden"}));
    EXPECT_EQ(split("a.b/c"), (Parts{"a.b/", "c", ""}));
    EXPECT_EQ(split("//server/share/a.avi"), (Parts{"//server/share/", "a", ".avi"}));
    EXPECT_EQ(split("videos/"), (Parts{"videos/", "", ""}));
    // Colons and backslashes are ordinary characters.
    EXPECT_EQ(split("C:clip.avi"), (Parts{"", "C:clip", ".avi"}));
    EXPECT_EQ(split("/v/a\\b.avi"), (Parts{"/v/", "a\\b", ".avi"}));
}

TEST(PathUtils, NullOutputsAreSkipped) {
    std::string name;
    std::string fileName;
    splitPath("/v/clip.avi", nullptr, &name, nullptr);
    EXPECT_EQ(name, "clip");
    splitFolderPart("/v/clip.avi", nullptr, &fileName);
    EXPECT_EQ(fileName, "clip.avi");
}

TEST(PathUtils, PartsAreCutAtTheLimit) {
    const std::string longFolder = "/" + std::string(kPathPartLimit + 40, 'f') + "/";
    const Parts parts = split(longFolder + "clip.avi");
    EXPECT_EQ(parts.folder, longFolder.substr(0, kPathPartLimit));
    EXPECT_EQ(parts.name, "clip");

    // The file-name part is cut before the extension is looked for.
    const std::string longName(kPathPartLimit + 10, 'n');
    const Parts cut = split(longName + ".avi");
    EXPECT_EQ(cut.name, longName.substr(0, kPathPartLimit));
    EXPECT_EQ(cut.extension, "");
}

TEST(PathUtils, MakeFilePathAddsSeparatorAndDotAndGivesASplitPathBack) {
    std::string withDot;
    std::string withoutDot;
    makeFilePath(&withDot, "/out", "clip", ".avi");
    makeFilePath(&withoutDot, "/out/", "clip", "avi");
    EXPECT_EQ(withDot, "/out/clip.avi");
    EXPECT_EQ(withoutDot, withDot);
    std::string out = "stale";
    makeFilePath(&out, "", "clip", "");
    EXPECT_EQ(out, "clip");

    for (const std::string path : {"/videos/new/clip.final.avi", "clip", ".hidden", "rel/clip.mp4",
                                   "//server/share/a.avi", "a/b/"}) {
        const Parts parts = split(path);
        std::string made;
        makeFilePath(&made, parts.folder, parts.name, parts.extension);
        EXPECT_EQ(made, path);
    }
}

TEST(PathUtils, AComposedPathKeepsTheLimitPlusTheSeparator) {
    const std::string longFolder(kPathPartLimit + 5, 'f');
    std::string out;
    makeFilePath(&out, longFolder, "clip", "avi");
    // The folder fills the room, the separator takes the spare byte, the rest is lost.
    EXPECT_EQ(out, longFolder.substr(0, kPathPartLimit) + "/");

    const std::string longName(kPathPartLimit - 2, 'n');
    makeFilePath(&out, "", longName, ".avi");
    EXPECT_EQ(out, longName + ".a");
}

TEST(PathUtils, OutputsMayBeTheirOwnInput) {
    std::string folder = "/out";
    makeFilePath(&folder, folder, "clip", "avi");
    EXPECT_EQ(folder, "/out/clip.avi");

    std::string text = "/a/b.c";
    std::string name;
    splitPath(text, &text, &name, nullptr);
    EXPECT_EQ(text, "/a/");
    EXPECT_EQ(name, "b");
}

}  // namespace
}  // namespace vidmill
