#pragma once

// Helpers for tests that start the fake converter (vidmill-fake-convert; its
// script language is described at the top of fake_convert.cpp).

#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include "support/temp_dir.h"

namespace vidmill::test {

// The fake's path: compiled in by the build, or else next to the running
// test program.
inline std::string fakeConverterPath() {
#ifdef VIDMILL_FAKE_CONVERTER
    return VIDMILL_FAKE_CONVERTER;
#else
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    return (self.parent_path() / "vidmill-fake-convert").string();
#endif
}

// Writes a script that the fake converter runs when it is given the file
// with -i; gives the file's path.
inline std::string writeFakeScript(const TempDir& dir, const std::string& name,
                                   const std::string& script) {
    const std::string path = dir.file(name);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << "#vidmill-fake\n" << script << "\n";
    return path;
}

}  // namespace vidmill::test
