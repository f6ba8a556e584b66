// vidmill-fake-convert: a stand-in for the converter in tests.
//
// It takes the converter's command line (the same options, output path last;
// a probe names no output) and does what a script tells it. The script is the
// text of the environment variable VIDMILL_FAKE_SCRIPT when that is set, and
// otherwise the input file given with -i, which must then begin with the line
// "#vidmill-fake". An input that is no script is treated like a file without
// any video: exit code -20.
//
// A script is a list of statements separated by newlines or ';'; '#' starts a
// comment. A statement may carry a condition that limits it to one kind of
// run: "probe:" (no output path), "convert:" (an output path), "audio:" (a
// conversion with -ab, -ac or -ar), "fallback:" (a conversion without them) or
// "server:" (a probe asked of a probe server).
//
// Started as "-probeserver -qzmap NAME" it is a probe server: it runs the
// script of each file named in a request as a probe and answers with the
// code the script ends with (see process/probe_protocol.h). "signal" and a
// malformed script end the whole server.
//
//   duration S        write the duration in seconds
//   percent P         write the percent (any double, "nan" too)
//   amount A          write the running amount
//   steps F T S MS    write the percents F, F+S, ... up to T, MS ms apart
//   sleep MS          wait
//   waitstop MS       wait for the stop byte (at most MS ms), then go on
//   waitfor PATH MS   wait until PATH exists (at most MS ms), then go on
//   output BYTES      write an output file of that size
//   record PATH       append to PATH: "nice=N", "stdin=<target>", "fds=0,1,2",
//                     "pgrp=N" (our process group)
//                     (the descriptors we were started with), one "arg=..."
//                     line per argument, and "end"
//   threads N         start N threads that idle until the process ends
//   recordnice PATH   append the nice value of every thread, comma-separated
//   say TEXT...       write the words as one line to stderr
//   noise BYTES       write that many bytes of chatter to stderr
//   ignoreterm        ignore SIGTERM from here on
//   onstop CODE       exit code once the stop byte is seen (default 1)
//   ignorestop        from here on, do not look at the stop byte
//   signal N          kill ourselves with signal N
//   exit CODE         end with CODE; a script that runs out ends with 0
//
// Waiting (steps, sleep) looks at the stop byte every few milliseconds and
// ends the run with the onstop code when it is set. A malformed command line
// or script ends with exit code 2 and a message on stderr.
//
// Like the converter, it dies with the program that started it (SIGKILL, so
// that "ignoreterm" cannot keep it alive), however early that program dies.

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "process/converter_runner.h"
#include "process/probe_protocol.h"
#include "process/slot_writer.h"

namespace {

using vidmill::SlotWriter;

constexpr int kUsageError = 2;
constexpr int kNotAVideo = -20;
constexpr const char* kMarker = "#vidmill-fake";

struct CommandLine {
    std::vector<std::string> arguments;
    std::string input;
    std::string channel;
    int slot = -1;
    bool hasSlot = false;
    std::string output;
    int outputFd = -1;  // -outfd: the output, already open
    int inputFd = -1;   // -infd: the input, already open
    bool audioOptions = false;
    bool served = false;  // a request to a probe server
};

[[noreturn]] void fail(const std::string& message) {
    std::fprintf(stderr, "vidmill-fake-convert: %s\n", message.c_str());
    std::exit(kUsageError);
}

bool parseInt(const std::string& text, long& value) {
    char* end = nullptr;
    errno = 0;
    value = std::strtol(text.c_str(), &end, 10);
    return !text.empty() && *end == '\0' && errno == 0;
}

bool parseDouble(const std::string& text, double& value) {
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return !text.empty() && *end == '\0';
}

CommandLine parseCommandLine(int argc, char** argv) {
    static const std::set<std::string> kWithValue = {
        "-i",    "-qzmap", "-qzind",      "-vcodec",  "-vtag", "-acodec", "-f",      "-s",
        "-r",    "-b",     "-ab",         "-ac",      "-ar",   "-vol",    "-aspect", "-outfd",
        "-infd", "-crf",   "-targetsize", "-passdir", "-ss",   "-to",     "-crop",   "-deint"};
    static const std::set<std::string> kFlags = {"-y",     "-an",      "-vn",
                                                 "-sameq", "-twopass", "-alltracks"};
    CommandLine line;
    for (int i = 0; i < argc; ++i) {
        line.arguments.emplace_back(argv[i]);
    }
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (kFlags.count(option) != 0) {
            continue;
        }
        if (kWithValue.count(option) != 0) {
            if (i + 1 >= argc) {
                fail("option " + option + " needs a value");
            }
            const std::string value = argv[++i];
            if (option == "-i") {
                line.input = value;
            } else if (option == "-qzmap") {
                line.channel = value;
            } else if (option == "-qzind") {
                long slot = 0;
                if (!parseInt(value, slot) || slot < -1) {
                    fail("bad slot number " + value);
                }
                line.slot = static_cast<int>(slot);
                line.hasSlot = true;
            } else if (option == "-outfd") {
                long fd = 0;
                if (!parseInt(value, fd) || fd < 3) {
                    fail("bad output descriptor " + value);
                }
                line.outputFd = static_cast<int>(fd);
            } else if (option == "-infd") {
                long fd = 0;
                if (!parseInt(value, fd) || fd < 3) {
                    fail("bad input descriptor " + value);
                }
                line.inputFd = static_cast<int>(fd);
            } else if (option == "-ab" || option == "-ac" || option == "-ar") {
                line.audioOptions = true;
            }
            continue;
        }
        if (option.size() > 1 && option[0] == '-') {
            fail("unknown option " + option);
        }
        if (i != argc - 1) {
            fail("the output path must come last: " + option);
        }
        line.output = option;
    }
    if (line.input.empty()) {
        fail("no input (-i)");
    }
    // An empty channel is the real converter's "report nothing".
    if (!line.hasSlot) {
        fail("no progress channel (-qzmap, -qzind)");
    }
    return line;
}

std::optional<std::string> loadScript(const CommandLine& line) {
    if (const char* text = std::getenv("VIDMILL_FAKE_SCRIPT")) {
        return std::string(text);
    }
    // As the converter does, the file handed over, whatever the name leads to.
    std::ifstream file(
        line.inputFd >= 0 ? "/proc/self/fd/" + std::to_string(line.inputFd) : line.input,
        std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (text.compare(0, std::strlen(kMarker), kMarker) != 0) {
        return std::nullopt;
    }
    return text;
}

std::vector<std::vector<std::string>> splitStatements(const std::string& script) {
    std::vector<std::vector<std::string>> statements;
    std::istringstream lines(script);
    std::string lineText;
    while (std::getline(lines, lineText)) {
        lineText = lineText.substr(0, lineText.find('#'));
        std::istringstream parts(lineText);
        std::string part;
        while (std::getline(parts, part, ';')) {
            std::istringstream words(part);
            std::vector<std::string> statement;
            for (std::string word; words >> word;) {
                statement.push_back(word);
            }
            if (!statement.empty()) {
                statements.push_back(std::move(statement));
            }
        }
    }
    return statements;
}

// The descriptors open in this process, in ascending order, comma-separated.
std::string openDescriptors() {
    std::vector<int> numbers;
    DIR* folder = opendir("/proc/self/fd");
    if (folder == nullptr) {
        return "?";
    }
    while (const dirent* item = readdir(folder)) {
        const int number = std::atoi(item->d_name);
        // Leave out "." and ".." and the descriptor of the listing itself.
        if (item->d_name[0] != '.' && number != dirfd(folder)) {
            numbers.push_back(number);
        }
    }
    closedir(folder);
    std::sort(numbers.begin(), numbers.end());
    std::string text;
    for (int number : numbers) {
        text += (text.empty() ? "" : ",") + std::to_string(number);
    }
    return text;
}

// The nice value of each of our threads (field 19 of its stat line).
std::string threadNiceValues() {
    std::string text;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream stat(task.path() / "stat");
        std::string line((std::istreambuf_iterator<char>(stat)), {});
        std::istringstream fields(line.substr(line.rfind(')') + 2));
        std::string field;
        for (int i = 3; i <= 19 && fields >> field; ++i) {
        }
        text += (text.empty() ? "" : ",") + field;
    }
    return text;
}

class Runner {
  public:
    Runner(const CommandLine& line, std::string startDescriptors)
        : line_(line),
          slot_(SlotWriter::attach(line.channel, line.slot)),
          startDescriptors_(std::move(startDescriptors)) {}

    // Runs the script; gives the exit code.
    int run(const std::vector<std::vector<std::string>>& statements) {
        for (std::vector<std::string> statement : statements) {
            if (!applies(statement)) {
                continue;
            }
            if (statement.empty()) {
                continue;
            }
            if (const std::optional<int> code = execute(statement)) {
                return *code;
            }
        }
        return 0;
    }

  private:
    // Strips a leading condition and says whether the statement runs.
    bool applies(std::vector<std::string>& statement) const {
        const std::string& first = statement.front();
        if (first.empty() || first.back() != ':') {
            return true;
        }
        const bool isProbe = line_.output.empty();
        bool runs = false;
        if (first == "probe:") {
            runs = isProbe;
        } else if (first == "convert:") {
            runs = !isProbe;
        } else if (first == "audio:") {
            runs = !isProbe && line_.audioOptions;
        } else if (first == "fallback:") {
            runs = !isProbe && !line_.audioOptions;
        } else if (first == "server:") {
            runs = line_.served;
        } else {
            fail("unknown condition " + first);
        }
        statement.erase(statement.begin());
        return runs;
    }

    double number(const std::vector<std::string>& statement, std::size_t index) const {
        double value = 0;
        if (index >= statement.size() || !parseDouble(statement[index], value)) {
            fail("statement " + statement.front() + " needs a number");
        }
        return value;
    }

    long integer(const std::vector<std::string>& statement, std::size_t index) const {
        long value = 0;
        if (index >= statement.size() || !parseInt(statement[index], value)) {
            fail("statement " + statement.front() + " needs a whole number");
        }
        return value;
    }

    // Waits; false when the stop byte cut the wait short.
    bool pause(long milliseconds) const {
        using Clock = std::chrono::steady_clock;
        const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
        for (;;) {
            if (honourStop_ && slot_.stopRequested()) {
                return false;
            }
            const auto now = Clock::now();
            if (now >= deadline) {
                return true;
            }
            std::this_thread::sleep_for(
                std::min<Clock::duration>(deadline - now, std::chrono::milliseconds(2)));
        }
    }

    void writeOutput(long bytes) const {
        if (line_.output.empty()) {
            fail("output in a run without an output path");
        }
        // As the real converter does: a handed-over file through its descriptor.
        const std::string path =
            line_.outputFd >= 0 ? "/proc/self/fd/" + std::to_string(line_.outputFd) : line_.output;
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        const std::string block(4096, 'v');
        for (long left = bytes; left > 0; left -= static_cast<long>(block.size())) {
            file.write(block.data(), std::min<long>(left, static_cast<long>(block.size())));
        }
        if (!file) {
            fail("cannot write " + line_.output);
        }
    }

    void record(const std::string& path) const {
        std::error_code error;
        errno = 0;
        const int nice = getpriority(PRIO_PROCESS, 0);
        std::string text = "nice=" + std::to_string(nice) + "\n";
        text += "stdin=" + std::filesystem::read_symlink("/proc/self/fd/0", error).string() + "\n";
        text += "fds=" + startDescriptors_ + "\n";
        text += "pgrp=" + std::to_string(getpgrp()) + "\n";
        for (const std::string& argument : line_.arguments) {
            text += "arg=" + argument + "\n";
        }
        text += "end\n";
        // One write with O_APPEND, so that fakes running side by side do not
        // interleave their records.
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
            fail("cannot record to " + path);
        }
        close(fd);
    }

    std::optional<int> execute(const std::vector<std::string>& statement) {
        const std::string& name = statement.front();
        if (name == "duration") {
            slot_.writeDuration(number(statement, 1));
        } else if (name == "percent") {
            slot_.writePercent(number(statement, 1));
        } else if (name == "amount") {
            slot_.writeAmount(number(statement, 1));
        } else if (name == "steps") {
            const double from = number(statement, 1);
            const double to = number(statement, 2);
            const double step = number(statement, 3);
            const long delay = integer(statement, 4);
            if (!(step > 0)) {
                fail("steps needs a positive step");
            }
            for (double percent = from;; percent += step) {
                slot_.writePercent(percent < to ? percent : to);
                if (percent >= to) {
                    break;
                }
                if (!pause(delay)) {
                    return stopCode_;
                }
            }
        } else if (name == "sleep") {
            if (!pause(integer(statement, 1))) {
                return stopCode_;
            }
        } else if (name == "waitstop") {
            const bool honour = honourStop_;
            honourStop_ = false;
            const long limit = integer(statement, 1);
            const auto start = std::chrono::steady_clock::now();
            while (!slot_.stopRequested() &&
                   std::chrono::steady_clock::now() - start < std::chrono::milliseconds(limit)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
            honourStop_ = honour;
        } else if (name == "waitfor") {
            if (statement.size() < 3) {
                fail("waitfor needs a path and a time");
            }
            const auto end =
                std::chrono::steady_clock::now() + std::chrono::milliseconds(integer(statement, 2));
            while (::access(statement[1].c_str(), F_OK) != 0 &&
                   std::chrono::steady_clock::now() < end) {
                if (!pause(5)) {
                    return stopCode_;
                }
            }
        } else if (name == "output") {
            writeOutput(integer(statement, 1));
        } else if (name == "record") {
            if (statement.size() < 2) {
                fail("record needs a path");
            }
            record(statement[1]);
        } else if (name == "threads") {
            for (long i = integer(statement, 1); i > 0; --i) {
                std::thread([] {
                    for (;;) {
                        std::this_thread::sleep_for(std::chrono::seconds(1));
                    }
                }).detach();
            }
        } else if (name == "recordnice") {
            if (statement.size() < 2) {
                fail("recordnice needs a path");
            }
            std::ofstream(statement[1], std::ios::app) << threadNiceValues() << "\n";
        } else if (name == "say") {
            std::string text;
            for (std::size_t i = 1; i < statement.size(); ++i) {
                text += (i > 1 ? " " : "") + statement[i];
            }
            std::fprintf(stderr, "%s\n", text.c_str());
        } else if (name == "noise") {
            const std::string chunk(1000, '.');
            for (long left = integer(statement, 1); left > 0; left -= 1000) {
                std::fwrite(chunk.data(), 1, std::min<long>(left, 1000), stderr);
            }
            std::fputc('\n', stderr);
        } else if (name == "ignoreterm") {
            signal(SIGTERM, SIG_IGN);
        } else if (name == "onstop") {
            stopCode_ = static_cast<int>(integer(statement, 1));
        } else if (name == "ignorestop") {
            honourStop_ = false;
        } else if (name == "signal") {
            const int signalNumber = static_cast<int>(integer(statement, 1));
            signal(signalNumber, SIG_DFL);
            raise(signalNumber);
            fail("signal " + statement[1] + " did not end the process");
        } else if (name == "exit") {
            return static_cast<int>(integer(statement, 1));
        } else {
            fail("unknown statement " + name);
        }
        return std::nullopt;
    }

    const CommandLine& line_;
    SlotWriter slot_;
    std::string startDescriptors_;
    int stopCode_ = 1;
    bool honourStop_ = true;
};

}  // namespace

// A probe server: one request after another on stdin, answers on stdout.
int serve(const std::string& channel, const std::string& startDescriptors) {
    std::string pending;
    char chunk[4096];
    for (;;) {
        const std::size_t end = pending.find('\0');
        if (end == std::string::npos) {
            const ssize_t got = read(0, chunk, sizeof chunk);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0) {
                return 0;
            }
            pending.append(chunk, static_cast<std::size_t>(got));
            continue;
        }
        CommandLine line;
        line.channel = channel;
        line.hasSlot = true;
        line.served = true;
        if (!vidmill::parseProbeRequest(std::string_view(pending).substr(0, end), &line.slot,
                                        &line.input)) {
            fail("malformed request");
        }
        pending.erase(0, end + 1);
        line.arguments = {"-probeserver", "-qzmap",  channel, "-qzind", std::to_string(line.slot),
                          "-i",           line.input};
        int code = kNotAVideo;
        if (const std::optional<std::string> script = loadScript(line)) {
            Runner runner(line, startDescriptors);
            code = runner.run(splitStatements(*script));
        }
        const std::string answer = vidmill::probeAnswer(line.slot, code);
        if (write(1, answer.data(), answer.size()) != static_cast<ssize_t>(answer.size())) {
            return 0;
        }
    }
}

int main(int argc, char** argv) {
    // Like the real converter, it can be woken once it runs: a paused batch
    // holds it only from now on.
    signal(SIGCONT, [](int) {});
    if (!vidmill::tieLifeToParent(SIGKILL)) {
        raise(SIGKILL);
    }
    const std::string startDescriptors = openDescriptors();
    if (argc == 4 && std::string(argv[1]) == vidmill::converter_word::kProbeServer &&
        std::string(argv[2]) == "-qzmap") {
        signal(SIGPIPE, SIG_IGN);
        return serve(argv[3], startDescriptors);
    }
    const CommandLine line = parseCommandLine(argc, argv);
    const std::optional<std::string> script = loadScript(line);
    if (!script) {
        return kNotAVideo;
    }
    Runner runner(line, startDescriptors);
    return runner.run(splitStatements(*script));
}
