#pragma once

// Whole files as byte strings, for tests that check what was written.

#include <fstream>
#include <iterator>
#include <string>

namespace vidmill {

inline std::string fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Replaces the file with exactly these bytes.
inline void writeBytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

}  // namespace vidmill
