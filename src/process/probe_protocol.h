#pragma once

// What a probe server and the engine say to each other. The server is the
// converter started as
//
//   vidmill-convert -probeserver -qzmap NAME
//
// and reads requests on its standard input until it ends: the slot number in
// decimal, one space, the path as bytes, and a NUL byte. It probes each file
// as a single probe would, writing the duration into that slot of the
// channel, and then answers on its standard output with one line: the slot
// number, one space, and the exit code that a single probe would have ended
// with. The end of its input ends it, and so does a request it cannot read.

#include <charconv>
#include <string>
#include <string_view>

#include "process/converter_words.h"

namespace vidmill {

// The longest path a request may carry; a longer request ends the server.
inline constexpr std::size_t kMaxProbeRequestPath = 65536;

inline std::string probeRequest(int slot, std::string_view path) {
    std::string request = std::to_string(slot);
    request += ' ';
    request += path;
    request += '\0';
    return request;
}

inline std::string probeAnswer(int slot, int code) {
    return std::to_string(slot) + ' ' + std::to_string(code) + '\n';
}

// Reads "NUMBER REST" where NUMBER is a whole decimal number that fits an int
// and REST is whatever follows the one space; false for anything else.
inline bool splitNumberedText(std::string_view text, int* number, std::string_view* rest) {
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, *number);
    if (error != std::errc() || stop == text.data() || stop == end || *stop != ' ') {
        return false;
    }
    *rest = std::string_view(stop + 1, std::size_t(end - stop - 1));
    return true;
}

// A request without its NUL.
inline bool parseProbeRequest(std::string_view request, int* slot, std::string* path) {
    std::string_view rest;
    if (!splitNumberedText(request, slot, &rest) || rest.empty() ||
        rest.find('\0') != std::string_view::npos) {
        return false;
    }
    path->assign(rest);
    return true;
}

// An answer without its newline.
inline bool parseProbeAnswer(std::string_view answer, int* slot, int* code) {
    std::string_view rest;
    if (!splitNumberedText(answer, slot, &rest)) {
        return false;
    }
    const char* end = rest.data() + rest.size();
    const auto [stop, error] = std::from_chars(rest.data(), end, *code);
    return error == std::errc() && stop == end && !rest.empty();
}

}  // namespace vidmill
