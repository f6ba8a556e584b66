#include "system/update_check.h"

#include <cstdint>
#include <limits>

#include "system/text_utils.h"

namespace vidmill {

namespace {

constexpr int kVersionParts = 4;
constexpr int kVersionTokenCapacity = 50;

using VersionPart = std::uint32_t;

// The leading decimal digits of a part; a server may send any number of them,
// so the value stops at the largest one instead of wrapping.
VersionPart partValue(const char* token) {
    constexpr VersionPart kLargest = std::numeric_limits<VersionPart>::max();
    VersionPart value = 0;
    for (const char* c = token; *c >= '0' && *c <= '9'; ++c) {
        const VersionPart digit = static_cast<VersionPart>(*c - '0');
        if (value > (kLargest - digit) / 10) {
            return kLargest;
        }
        value = value * 10 + digit;
    }
    return value;
}

int readVersion(const char* text, VersionPart (&parts)[kVersionParts]) {
    char token[kVersionTokenCapacity];
    int position = 0;
    int count = 0;
    while (count < kVersionParts &&
           nextToken(token, kVersionTokenCapacity, text, position, ".") != '\0') {
        parts[count++] = partValue(token);
    }
    return count;
}

}  // namespace

int compareVersions(const char* a, const char* b) {
    VersionPart partsA[kVersionParts] = {};
    VersionPart partsB[kVersionParts] = {};
    const int countA = readVersion(a, partsA);
    const int countB = readVersion(b, partsB);
    for (int i = 0; i < countA && i < countB; ++i) {
        if (partsA[i] != partsB[i]) {
            return partsA[i] > partsB[i] ? 1 : -1;
        }
    }
    return countA > countB ? 1 : countA < countB ? -1 : 0;
}

int keepVersionChars(char* output, int capacity, const char* input, int length) {
    int kept = 0;
    for (int i = 0; i < length && kept < capacity; ++i) {
        const char c = input[i];
        if ((c >= '0' && c <= '9') || c == '.') {
            output[kept++] = c;
        }
    }
    output[kept] = '\0';
    return kept;
}

bool updateCheckDue(std::int32_t& lastUpdateCheckDay, int today, int intervalDays) {
    int elapsed = today - lastUpdateCheckDay;
    if (elapsed < 0) {
        lastUpdateCheckDay = today;
        elapsed = 0;
    }
    return lastUpdateCheckDay == 0 || elapsed >= intervalDays;
}

UpdateCheckResult runUpdateCheck(const UpdateCheckRequest& request,
                                 std::int32_t& lastUpdateCheckDay, int intervalDays, int today,
                                 const UpdateCheckIo& io) {
    if (!updateCheckDue(lastUpdateCheckDay, today, intervalDays)) {
        return UpdateCheckResult::NotDue;
    }
    const HttpReply reply = io.get(request.versionUrl, kUpdateReceiveCapacity);
    if (!reply.ok || reply.body.size() >= kMaxVersionAnswer) {
        return UpdateCheckResult::Failed;
    }
    char version[kMaxVersionAnswer + 1];
    keepVersionChars(version, static_cast<int>(kMaxVersionAnswer), reply.body.data(),
                     static_cast<int>(reply.body.size()));
    lastUpdateCheckDay = today;
    if (compareVersions(version, request.ownVersion.c_str()) <= 0) {
        return UpdateCheckResult::Current;
    }
    // A build that names no download page has nowhere to send anybody.
    if (!request.downloadUrl.empty() && io.ask(version)) {
        io.openUrl(request.downloadUrl);
    }
    return UpdateCheckResult::Newer;
}

}  // namespace vidmill
