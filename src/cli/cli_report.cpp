#include "cli/cli_report.h"

#include <chrono>
#include <mutex>

#include "engine/engine.h"
#include "process/pass_folder.h"
#include "system/tick_count.h"

namespace vidmill {
namespace {

// The length of the valid UTF-8 sequence at the start of `text`, or 0.
std::size_t utf8SequenceLength(std::string_view text) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    std::size_t length;
    unsigned char low = 0x80;
    unsigned char high = 0xbf;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        // No overlong forms, no surrogates.
        low = lead == 0xe0 ? 0xa0 : 0x80;
        high = lead == 0xed ? 0x9f : 0xbf;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        // No overlong forms, nothing above U+10FFFF.
        low = lead == 0xf0 ? 0x90 : 0x80;
        high = lead == 0xf4 ? 0x8f : 0xbf;
    } else {
        return 0;
    }
    if (text.size() < length || byte(1) < low || byte(1) > high) {
        return 0;
    }
    for (std::size_t i = 2; i < length; ++i) {
        if (byte(i) < 0x80 || byte(i) > 0xbf) {
            return 0;
        }
    }
    return length;
}

std::string fieldText(const char* name, const std::string& value) {
    return std::string(",\"") + name + "\":" + jsonString(value);
}

std::string fieldOrNull(const char* name, const std::string& value) {
    return value.empty() ? std::string(",\"") + name + "\":null" : fieldText(name, value);
}

std::string fieldNumber(const char* name, double value, const char* format) {
    char number[64];
    std::snprintf(number, sizeof number, format, value);
    return std::string(",\"") + name + "\":" + number;
}

const char* endStatus(EntryStatus status) {
    switch (status) {
        case EntryStatus::Ok:
            return "ok";
        case EntryStatus::Cancelled:
        case EntryStatus::CancelledNotFound:
            return "stopped";
        case EntryStatus::Skipped:
            return "skipped";
        default:
            return "failed";
    }
}

}  // namespace

bool isEnvironmentFailure(std::string_view reason) {
    static constexpr std::string_view kEnvironment[] = {
        "converter not found",
        "the converter could not be started",
        "output folder is not writable",
        "disk full",
        "cannot create the output folder",
        "no free output name in the destination folder",
        "no thread could be started for it",
        // Something outside killed it: the kernel's out-of-memory killer,
        // an administrator, the end of a scheduler's time slot.
        "the converter was killed by signal 9",
        "the converter was killed by signal 15",
    };
    for (std::string_view known : kEnvironment) {
        if (reason == known) {
            return true;
        }
    }
    return reason.substr(0, kPassLogsFault.size()) == kPassLogsFault;
}

std::string jsonString(std::string_view bytes) {
    std::string out = "\"";
    out.reserve(bytes.size() + 2);
    char escape[8];
    for (std::size_t i = 0; i < bytes.size();) {
        const unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
            ++i;
        } else if (c < 0x20 || c == 0x7f) {
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
            ++i;
        } else if (c < 0x80) {
            out += char(c);
            ++i;
        } else if (const std::size_t length = utf8SequenceLength(bytes.substr(i))) {
            out.append(bytes.substr(i, length));
            i += length;
        } else {
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
            ++i;
        }
    }
    out += '"';
    return out;
}

std::string jsonSummary(const RunCounts& counts, int exitStatus) {
    char line[256];
    std::snprintf(line, sizeof line,
                  "{\"event\":\"summary\",\"converted\":%d,\"skipped\":%d,\"failed\":%d,"
                  "\"stopped\":%d,\"rejected\":%d,\"exit_status\":%d}",
                  counts.converted, counts.skipped, counts.failed, counts.stopped, counts.rejected,
                  exitStatus);
    return line;
}

JsonReporter::JsonReporter(std::FILE* out, const ConversionSettings& settings) : out_(out) {
    const uint32_t size = settings.targetSizeKb;
    batchFields_ =
        ",\"target_size\":" + (size > 0 ? std::to_string(uint64_t(size) * 1000) : "null");
    if (settings.cutFromMs == 0 && settings.cutToMs == 0) {
        batchFields_ += ",\"cut\":null";
    } else {
        char cut[96];
        std::snprintf(cut, sizeof cut,
                      ",\"cut\":{\"from\":%.3f,\"to\":", settings.cutFromMs / 1000.0);
        batchFields_ += cut;
        if (settings.cutToMs > 0) {
            std::snprintf(cut, sizeof cut, "%.3f}", settings.cutToMs / 1000.0);
            batchFields_ += cut;
        } else {
            batchFields_ += "null}";
        }
    }
}

void JsonReporter::rejected(const std::string& path, const std::string& reason) {
    write({"{\"event\":\"end\"" + fieldText("file", path) +
           ",\"status\":\"rejected\",\"output\":null,\"size\":0" + batchFields_ + ",\"seconds\":0" +
           fieldText("reason", reason) + ",\"note\":null}"});
}

void JsonReporter::report(Engine& engine, bool endingAll) {
    std::vector<std::string> lines;
    const long long now = monotonicMs();
    {
        // Entries not started yet, and those whose end is told, are left out.
        const auto pending = [&](EntryStatus status, std::uint64_t id) {
            const auto found = seen_.find(id);
            return (found == seen_.end() || !found->second.ended) &&
                   (endingAll || status == EntryStatus::Starting ||
                    status == EntryStatus::Converting || isFinished(status));
        };
        for (const EntryView& entry : engine.entryViews(pending)) {
            Seen& seen = seen_[entry.id];
            EntryStatus status = entry.status;
            if (endingAll && !isFinished(status)) {
                status = EntryStatus::Cancelled;
            }
            const bool running =
                status == EntryStatus::Starting || status == EntryStatus::Converting;
            const bool finished = isFinished(status);
            if (seen.ended || (!running && !finished)) {
                continue;
            }
            // The output is named a moment after the conversion starts; one
            // stopped before it started has none, and only ends.
            const bool skipped = status == EntryStatus::Skipped;
            if (!seen.started && !skipped && !entry.outputPath.empty()) {
                seen.started = true;
                seen.lastProgressMs = now;
                lines.push_back("{\"event\":\"start\"" + fieldText("file", entry.sourcePath) +
                                fieldOrNull("output", entry.outputPath) + "}");
            }
            const double seconds =
                seen.started ? double(uint32_t(tickCount() - entry.startTick)) / 1000.0 : 0.0;
            if (finished) {
                seen.ended = true;
                // A skipped file names what holds its output name.
                const bool ok = status == EntryStatus::Ok || skipped;
                lines.push_back("{\"event\":\"end\"" + fieldText("file", entry.sourcePath) +
                                ",\"status\":\"" + endStatus(status) + "\"" +
                                fieldOrNull("output", ok ? entry.outputPath : std::string()) +
                                ",\"size\":" + std::to_string(ok ? entry.size : 0) + batchFields_ +
                                fieldNumber("seconds", seconds, "%.1f") +
                                fieldOrNull("reason", skipped ? "exists"
                                                      : ok    ? std::string()
                                                      : entry.failureReason.empty()
                                                          ? "stopped"
                                                          : entry.failureReason) +
                                fieldOrNull("note", ok ? entry.note : std::string()) + "}");
            } else if (seen.started && now - seen.lastProgressMs >= 1000) {
                seen.lastProgressMs = now;
                double percent = 0;
                engine.channel().readProgress(entry.progressSlot, percent);
                lines.push_back("{\"event\":\"progress\"" + fieldText("file", entry.sourcePath) +
                                fieldNumber("percent", percent, "%.1f") +
                                fieldNumber("seconds", seconds, "%.1f") + "}");
            }
        }
    }
    write(lines);
}

void JsonReporter::write(const std::vector<std::string>& lines) {
    for (const std::string& line : lines) {
        std::fputs(line.c_str(), out_);
        std::fputc('\n', out_);
    }
    if (!lines.empty()) {
        std::fflush(out_);
    }
}

}  // namespace vidmill
