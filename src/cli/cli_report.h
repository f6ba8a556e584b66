#pragma once

// What vidmill-cli reports to whoever runs it: the exit status that tells a
// batch scheduler whether trying again can help, and the JSON lines of
// --json.

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "storage/conversion_settings.h"

namespace vidmill {

class Engine;

inline constexpr int kExitAllConverted = 0;
// A file was rejected or failed because of the file itself.
inline constexpr int kExitFileFailed = 1;
inline constexpr int kExitUsage = 2;
// The machine let a conversion down (converter missing, destination not
// writable, disk full, ...): a retry elsewhere or later may succeed.
inline constexpr int kExitEnvironment = 3;
inline constexpr int kExitInterrupted = 130;

// True when an entry's failure reason blames the machine, not the file.
bool isEnvironmentFailure(std::string_view reason);

// `bytes` as a quoted JSON string. Valid UTF-8 passes through; control
// characters, DEL, '"' and '\' are escaped; a byte that is not part of valid
// UTF-8 becomes \u00XX of its value (so an escape from \u0080 to \u00ff always
// stands for such a raw byte: real characters there are written as
// themselves).
std::string jsonString(std::string_view bytes);

struct RunCounts {
    int converted = 0;
    // Not converted: a file held the output name already.
    int skipped = 0;
    int failed = 0;
    int stopped = 0;
    int rejected = 0;
};

// The final line of --json.
std::string jsonSummary(const RunCounts& counts, int exitStatus);

// The start, progress and end lines of --json, worked out from the engine's
// list each time the front end looks.
class JsonReporter {
  public:
    // Every end line names the size each file must fit in and the cut, as
    // the settings give them.
    JsonReporter(std::FILE* out, const ConversionSettings& settings);

    // A file that never entered the list, with the reason.
    void rejected(const std::string& path, const std::string& reason);
    // Reports what changed since the last look; progress at most once a
    // second per file. Reads a copy of the entries it reports, and writes
    // after the engine has let go of its lock.
    void update(Engine& engine) { report(engine, false); }
    // The last look before a quit that does not wait for the conversions:
    // whatever has not ended ends now as stopped.
    void endAll(Engine& engine) { report(engine, true); }
    // The list was emptied: its next entries are new ones.
    void forget() { seen_.clear(); }

  private:
    struct Seen {
        bool started = false;
        bool ended = false;
        long long lastProgressMs = 0;
    };
    void report(Engine& engine, bool endingAll);
    void write(const std::vector<std::string>& lines);

    std::FILE* out_;
    std::string batchFields_;  // the end lines' target_size and cut
    // By entry id: an entry that has ended is not looked at again.
    std::unordered_map<std::uint64_t, Seen> seen_;
};

}  // namespace vidmill
