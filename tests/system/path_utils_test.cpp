#include "system/path_utils.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vidmill {
namespace {

struct Parts {
    std::string drive, folder, name, extension;
    bool operator==(const Parts&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Parts& p) {
    return out << "{" << p.drive << "|" << p.folder << "|" << p.name << "|" << p.extension << "}";
}

Parts split(std::string_view path, const PathStyle& style) {
    Parts p{"x", "x", "x", "x"};  // stale values must be replaced
    splitPath(path, &p.drive, &p.folder, &p.name, &p.extension, style);
    return p;
}

// Windows-style paths: drive letters and backslashes. The programs use the
// Linux form alone; both run through the same code.
constexpr PathStyle kWindowsPath{'\\', true, 262};

// Cases are written with backslashes; each style sees them with its own separator.
class BothStyles : public testing::TestWithParam<PathStyle> {
  protected:
    std::string p(std::string text) const {
        for (char& c : text) {
            if (c == '\\') {
                c = GetParam().separator;
            }
        }
        return text;
    }
    const PathStyle& style() const { return GetParam(); }
};

INSTANTIATE_TEST_SUITE_P(Styles, BothStyles, testing::Values(kWindowsPath, kLinuxPath),
                         [](const auto& info) {
                             return std::string(info.param.hasDrives ? "Windows" : "Linux");
                         });

TEST_P(BothStyles, SplitsFolderNameAndLastExtension) {
    EXPECT_EQ(split(p("\\videos\\clip.final.avi"), style()),
              (Parts{"", p("\\videos\\"), "clip.final", ".avi"}));
    EXPECT_EQ(split("clip", style()), (Parts{"", "", "clip", ""}));
    EXPECT_EQ(split(".hidden", style()), (Parts{"", "", "", ".hidden"}));
    EXPECT_EQ(split(p("a.b\\c"), style()), (Parts{"", p("a.b\\"), "c", ""}));
    EXPECT_EQ(split(p("\\\\server\\share\\a.avi"), style()),
              (Parts{"", p("\\\\server\\share\\"), "a", ".avi"}));
    EXPECT_EQ(split(p("videos\\"), style()), (Parts{"", p("videos\\"), "", ""}));
}

TEST_P(BothStyles, NullOutputsAreSkipped) {
    std::string name;
    std::string fileName;
    EXPECT_EQ(splitPath(p("\\v\\clip.avi"), nullptr, nullptr, &name, nullptr, style()), 0);
    EXPECT_EQ(name, "clip");
    splitFolderPart(p("\\v\\clip.avi"), nullptr, nullptr, &fileName, style());
    EXPECT_EQ(fileName, "clip.avi");
}

TEST_P(BothStyles, PartsAreCutAtCapacityMinusTwo) {
    const std::size_t limit = style().capacity - 2;
    const std::string longFolder = p("\\") + std::string(limit + 40, 'f') + p("\\");
    const Parts parts = split(longFolder + "clip.avi", style());
    EXPECT_EQ(parts.folder, longFolder.substr(0, limit));
    EXPECT_EQ(parts.name, "clip");

    // The file-name part is cut before the extension is looked for.
    const std::string longName(limit + 10, 'n');
    const Parts cut = split(longName + ".avi", style());
    EXPECT_EQ(cut.name, longName.substr(0, limit));
    EXPECT_EQ(cut.extension, "");
}

TEST_P(BothStyles, MakePathAddsSeparatorAndDot) {
    std::string withDot;
    std::string withoutDot;
    makePath(&withDot, "", p("\\out"), "clip", ".avi", style());
    makePath(&withoutDot, "", p("\\out\\"), "clip", "avi", style());
    EXPECT_EQ(withDot, p("\\out\\clip.avi"));
    EXPECT_EQ(withoutDot, withDot);

    std::string out = "stale";
    EXPECT_EQ(makePath(&out, "", "", "clip", "", style()), 0);
    EXPECT_EQ(out, "clip");
    EXPECT_EQ(makeFilePath(&out, "out", "", "mp4", style()), 1);
    EXPECT_EQ(out, p("out\\.mp4"));
}

TEST_P(BothStyles, SplitThenMakeGivesThePathBack) {
    const std::vector<std::string> paths = {
        p("\\videos\\new\\clip.final.avi"), "clip",     ".hidden", p("rel\\clip.mp4"),
        p("\\\\server\\share\\a.avi"),      p("a\\b\\")};
    for (const std::string& path : paths) {
        const Parts parts = split(path, style());
        std::string made;
        makePath(&made, parts.drive, parts.folder, parts.name, parts.extension, style());
        EXPECT_EQ(made, path);
    }
}

TEST_P(BothStyles, ComposedPathKeepsCapacityMinusTwoPlusTheSeparator) {
    const std::size_t limit = style().capacity - 2;
    const std::string longFolder(limit + 5, 'f');
    std::string out;
    makePath(&out, "", longFolder, "clip", "avi", style());
    // The folder fills the appendable room, the separator takes the spare byte, the rest is lost.
    EXPECT_EQ(out, longFolder.substr(0, limit) + style().separator);

    const std::string longName(limit - 2, 'n');
    makeFilePath(&out, "", longName, ".avi", style());
    EXPECT_EQ(out, longName + ".a");
}

TEST_P(BothStyles, OutputsMayBeTheirOwnInput) {
    std::string folder = p("\\out");
    makePath(&folder, "", folder, "clip", "avi", style());
    EXPECT_EQ(folder, p("\\out\\clip.avi"));

    std::string text = p("\\a\\b.c");
    std::string name;
    splitPath(text, nullptr, &text, &name, nullptr, style());
    EXPECT_EQ(text, p("\\a\\"));
    EXPECT_EQ(name, "b");
}

TEST(WindowsPath, DriveOnlyWhenFirstColonIsSecondCharacter) {
    EXPECT_EQ(split("C:\\videos\\clip.final.avi", kWindowsPath),
              (Parts{"C:", "\\videos\\", "clip.final", ".avi"}));
    EXPECT_EQ(split("C:clip.avi", kWindowsPath), (Parts{"C:", "", "clip", ".avi"}));
    EXPECT_EQ(split("a:b:c\\d.e", kWindowsPath), (Parts{"a:", "b:c\\", "d", ".e"}));
    EXPECT_EQ(split("ab:c\\d.e", kWindowsPath), (Parts{"", "ab:c\\", "d", ".e"}));
    EXPECT_EQ(split("C:", kWindowsPath), (Parts{"C:", "", "", ""}));
}

TEST(WindowsPath, ForwardSlashIsAnOrdinaryCharacter) {
    EXPECT_EQ(split("videos/clip.avi", kWindowsPath), (Parts{"", "", "videos/clip", ".avi"}));
}

TEST(WindowsPath, MakePathCompletesTheDrive) {
    std::string out;
    makePath(&out, "C", "\\out", "clip", "avi", kWindowsPath);
    EXPECT_EQ(out, "C:\\out\\clip.avi");
    makePath(&out, "CD", "out\\", "clip", "avi", kWindowsPath);
    EXPECT_EQ(out, "C:out\\clip.avi");
    makePath(&out, "C:", "", "clip", ".avi", kWindowsPath);
    EXPECT_EQ(out, "C:clip.avi");
}

TEST(LinuxPath, ColonAndBackslashAreOrdinaryCharacters) {
    EXPECT_EQ(split("a:b/c.avi", kLinuxPath), (Parts{"", "a:b/", "c", ".avi"}));
    EXPECT_EQ(split("C:clip.avi", kLinuxPath), (Parts{"", "", "C:clip", ".avi"}));
    EXPECT_EQ(split("/v/a\\b.avi", kLinuxPath), (Parts{"", "/v/", "a\\b", ".avi"}));
    std::string out;
    makePath(&out, "C", "/out", "clip", "avi", kLinuxPath);
    EXPECT_EQ(out, "/out/clip.avi");
}

TEST(NativePath, IsTheLinuxStyle) {
    std::string folder;
    splitPath("/home/user/clip.avi", nullptr, &folder, nullptr, nullptr);
    EXPECT_EQ(folder, "/home/user/");
}

}  // namespace
}  // namespace vidmill
