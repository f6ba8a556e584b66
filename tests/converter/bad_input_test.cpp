// Inputs and outputs that are not what a conversion hopes for: damaged
// media, odd file names and outputs that cannot be written. Never a crash,
// never a hang, never a file left behind as if it were good.

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "converter/convert_error.h"
#include "converter_harness.h"
#include "support/temp_dir.h"

namespace vidmill::test {
namespace {

const std::vector<std::string> kMpeg4Avi{"-vcodec", "mpeg4", "-acodec", "libmp3lame", "-s",
                                         "320x240", "-b",    "500kb",   "-vol",       "256"};

class BadInput : public ::testing::Test {
  protected:
    ProgramResult convert(const std::string& input, const std::string& output) {
        std::vector<std::string> args{"-y", "-i", input};
        args.insert(args.end(), kMpeg4Avi.begin(), kMpeg4Avi.end());
        args.push_back(output);
        return runConverter(args);
    }

    // Either a clean failure that leaves nothing, or a file ffprobe can read.
    void expectCleanOutcome(const ProgramResult& run, const std::string& output,
                            const std::string& what) {
        EXPECT_EQ(run.signal, 0) << what;
        if (run.status == 0) {
            EXPECT_TRUE(probeWithFfprobe(output).has_value()) << what;
        } else {
            EXPECT_FALSE(fileExists(output)) << what << ": " << run.output;
            EXPECT_NE(run.output.find("vidmill-convert: "), std::string::npos) << what;
        }
    }

    TempDir folder_;
};

TEST_F(BadInput, ConversionOfWhatIsNoMediaFailsAndLeavesNothing) {
    writeFile(folder_.file("text.avi"), "Not a film at all.\n");
    writeFile(folder_.file("empty.avi"), "");
    const std::string source = readFile(testMedia().audioVideo);
    // MP4 keeps its index at the end: cut in half, nothing can be found.
    writeFile(folder_.file("truncated.mp4"), source.substr(0, source.size() / 2));
    for (const char* name : {"text.avi", "empty.avi", "truncated.mp4", "missing.avi"}) {
        const std::string output = folder_.file(std::string("out-") + name + ".avi");
        const ProgramResult run = convert(folder_.file(name), output);
        EXPECT_EQ(run.status, exit_code::kInputFailed) << name << ": " << run.output;
        EXPECT_FALSE(fileExists(output)) << name;
    }
    const ProgramResult run = convert(folder_.path(), folder_.file("out-folder.avi"));
    EXPECT_EQ(run.status, exit_code::kInputFailed) << run.output;
}

TEST_F(BadInput, DamagedButDecodableMediaConvertsWhatItCan) {
    for (const std::string& original : {testMedia().audioVideo, testMedia().stream}) {
        std::string data = readFile(original);
        // Scribble over a stretch in the middle.
        unsigned state = 99;
        for (std::size_t i = data.size() * 2 / 5; i < data.size() * 3 / 5; i += 7) {
            state = state * 1103515245 + 12345;
            data[i] = static_cast<char>(state >> 16);
        }
        const std::string damaged = folder_.file("damaged" + original.substr(original.rfind('.')));
        writeFile(damaged, data);

        EXPECT_EQ(runConverter({"-y", "-i", damaged}).status, 0) << original;
        const std::string output = folder_.file("damaged-out.avi");
        const ProgramResult run = convert(damaged, output);
        expectCleanOutcome(run, output, original);
        EXPECT_EQ(run.status, 0) << run.output;
    }
}

TEST_F(BadInput, OddNamesAreJustFiles) {
    // Relative names, as libav would read "clip:1.mp4" as protocol "clip".
    const std::vector<std::string> names = {"clip:1.mp4",       "-lead.mp4",  "a b 'q\" c.mp4",
                                            "\xff\xfe\x80.mp4", "file:x.mp4", "http:x.mp4"};
    RunOptions inFolder;
    inFolder.workingDirectory = folder_.path();
    for (const std::string& name : names) {
        writeFile(folder_.file(name), readFile(testMedia().audioVideo));
        EXPECT_EQ(runConverter({"-y", "-i", name}, inFolder).status, 0) << name;
        // The output gets an odd name of its own.
        const std::string output = "-out " + name + ".avi";
        std::vector<std::string> args{"-y", "-i", name};
        args.insert(args.end(), kMpeg4Avi.begin(), kMpeg4Avi.end());
        args.push_back(output);
        const ProgramResult run = runConverter(args, inFolder);
        ASSERT_EQ(run.status, 0) << name << ": " << run.output;
        EXPECT_TRUE(probeWithFfprobe(folder_.file(output)).has_value()) << name;
    }
}

TEST_F(BadInput, AnOutputThatCannotBeWrittenIsAFailure) {
    const ProgramResult missingFolder =
        convert(testMedia().audioVideo, folder_.file("no/such/folder/out.avi"));
    EXPECT_EQ(missingFolder.status, exit_code::kOutputFailed) << missingFolder.output;

    ASSERT_EQ(mkdir(folder_.file("taken.avi").c_str(), 0755), 0);
    const ProgramResult aFolder = convert(testMedia().audioVideo, folder_.file("taken.avi"));
    EXPECT_EQ(aFolder.status, exit_code::kOutputFailed) << aFolder.output;

    if (geteuid() != 0) {  // root writes anywhere
        const std::string locked = folder_.file("locked");
        ASSERT_EQ(mkdir(locked.c_str(), 0555), 0);
        const ProgramResult run = convert(testMedia().audioVideo, locked + "/out.avi");
        EXPECT_EQ(run.status, exit_code::kOutputFailed) << run.output;
    }
}

TEST_F(BadInput, AFullDiskFailsAndRemovesThePartialFile) {
    const std::string output = folder_.file("big.avi");
    std::vector<std::string> args{"-y", "-i", testMedia().audioVideo};
    args.insert(args.end(), kMpeg4Avi.begin(), kMpeg4Avi.end());
    args.push_back(output);
    RunOptions limits;
    limits.fileSizeLimit = 20000;  // far less than the output needs
    const ProgramResult run = runConverter(args, limits);
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.status, exit_code::kOutputFailed) << run.output;
    EXPECT_FALSE(fileExists(output));
}

TEST_F(BadInput, TheInputIsNeverOverwritten) {
    const std::string input = folder_.file("own.avi");
    writeFile(input, readFile(testMedia().audioVideo));
    const long long size = fileSize(input);
    const ProgramResult run = convert(input, input);
    EXPECT_EQ(run.status, exit_code::kOutputFailed) << run.output;
    EXPECT_EQ(fileSize(input), size);

    // Without -y an existing output stays as it is.
    const std::string existing = folder_.file("existing.avi");
    writeFile(existing, "keep me");
    std::vector<std::string> args{"-i", testMedia().audioVideo};
    args.insert(args.end(), kMpeg4Avi.begin(), kMpeg4Avi.end());
    args.push_back(existing);
    EXPECT_EQ(runConverter(args).status, exit_code::kOutputFailed);
    EXPECT_EQ(readFile(existing), "keep me");
}

}  // namespace
}  // namespace vidmill::test
