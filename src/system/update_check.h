#pragma once

// The check for a newer version at start-up: at most once every few days, one
// small GET of a text that holds the newest version number; when it is newer
// than ours, the user may visit the download page. The request, the question
// and the opening of the page are the caller's, so the rules here run without
// a network or a window.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace vidmill {

// What a GET brought: ok when the server answered with a 2xx status and the
// body (at most the capacity asked for) was read completely or up to that
// capacity.
struct HttpReply {
    bool ok = false;
    std::string body;
};

// The receive buffer of a check; an answer is believed only when shorter than
// kMaxVersionAnswer bytes.
inline constexpr std::size_t kUpdateReceiveCapacity = 1000;
inline constexpr std::size_t kMaxVersionAnswer = 50;
inline constexpr int kUpdateCheckIntervalDays = 2;

struct UpdateCheckRequest {
    std::string versionUrl;
    // Dotted decimal, up to four parts.
    std::string ownVersion;
    std::string downloadUrl;
};

struct UpdateCheckIo {
    // One GET of `url`, reading at most `capacity` bytes.
    std::function<HttpReply(const std::string& url, std::size_t capacity)> get;
    // Offers the download page for `newerVersion`; true when the user agreed.
    std::function<bool(const std::string& newerVersion)> ask;
    std::function<void(const std::string& url)> openUrl;
};

enum class UpdateCheckResult {
    NotDue,   // checked recently: nothing asked of the server
    Failed,   // no usable answer: the day stays, the next start tries again
    Current,  // ours is the newest
    Newer,    // a newer version was offered
};

// Whether a check is due on day `today`. A clock set back before the last
// check makes `lastUpdateCheckDay` today, so nothing is asked until the
// interval has passed from there.
bool updateCheckDue(std::int32_t& lastUpdateCheckDay, int today, int intervalDays);

// The whole check. `lastUpdateCheckDay` becomes `today` after every usable
// answer, newer or not.
UpdateCheckResult runUpdateCheck(const UpdateCheckRequest& request,
                                 std::int32_t& lastUpdateCheckDay, int intervalDays, int today,
                                 const UpdateCheckIo& io);

// 1 when version text a is greater than b, -1 when smaller, 0 when equal. Each
// is read as up to four dot-separated numbers; a number too large for its part
// counts as the largest one.
int compareVersions(const char* a, const char* b);

// Copies the digits and dots of `input` (length bytes) into `output`, at most
// `capacity` of them, and terminates it: `output` holds capacity + 1 bytes.
// Gives the number kept.
int keepVersionChars(char* output, int capacity, const char* input, int length);

}  // namespace vidmill
