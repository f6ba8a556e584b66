#include "converter/output/quicktime_location.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "converter/convert_error.h"
#include "system/file_descriptor.h"

namespace vidmill {

namespace {

constexpr std::uint32_t fourcc(char a, char b, char c, char d) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(a)) << 24 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(b)) << 16 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(c)) << 8 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(d));
}

constexpr std::uint32_t kMovie = fourcc('m', 'o', 'o', 'v');
constexpr std::uint32_t kUserData = fourcc('u', 'd', 't', 'a');
constexpr std::uint32_t kLocation = fourcc('\xA9', 'x', 'y', 'z');
// English, packed as QuickTime packs a language code (what phones write).
constexpr std::uint16_t kLanguage = 0x15C7;
constexpr std::size_t kMaxLocationLength = 255;
constexpr std::uint32_t kHeaderSize = 8;

struct Box {
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    std::uint32_t type = 0;
    bool compact = true;  // a 32-bit size in the plain 8-byte header
};

std::uint32_t readBig32(const unsigned char* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) << 24 | static_cast<std::uint32_t>(bytes[1]) << 16 |
           static_cast<std::uint32_t>(bytes[2]) << 8 | bytes[3];
}

void putBig32(std::vector<unsigned char>& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<unsigned char>(value >> shift));
    }
}

[[noreturn]] void failWith(const std::string& path, const char* what) {
    throw ConvertError(exit_code::kOutputFailed, "cannot " + std::string(what) + " the output '" +
                                                     path + "': " + std::strerror(errno));
}

void readAll(const FileDescriptor& file, const std::string& path, void* data, std::size_t size,
             std::uint64_t offset) {
    auto* bytes = static_cast<unsigned char*>(data);
    while (size > 0) {
        const ssize_t got = ::pread(file.get(), bytes, size, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            if (got == 0) {
                errno = EIO;
            }
            failWith(path, "read");
        }
        bytes += got;
        size -= static_cast<std::size_t>(got);
        offset += static_cast<std::uint64_t>(got);
    }
}

void writeAll(const FileDescriptor& file, const std::string& path, const void* data,
              std::size_t size, std::uint64_t offset) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (size > 0) {
        const ssize_t put = ::pwrite(file.get(), bytes, size, static_cast<off_t>(offset));
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            failWith(path, "write");
        }
        bytes += put;
        size -= static_cast<std::size_t>(put);
        offset += static_cast<std::uint64_t>(put);
    }
}

// The boxes from `begin` to `end`; nothing when they do not fill it exactly.
std::optional<std::vector<Box>> readBoxes(const FileDescriptor& file, const std::string& path,
                                          std::uint64_t begin, std::uint64_t end) {
    std::vector<Box> boxes;
    std::uint64_t at = begin;
    while (at < end) {
        if (end - at < kHeaderSize) {
            return std::nullopt;
        }
        unsigned char header[16];
        readAll(file, path, header, kHeaderSize, at);
        Box box;
        box.offset = at;
        box.type = readBig32(header + 4);
        box.size = readBig32(header);
        if (box.size == 1) {
            if (end - at < 16) {
                return std::nullopt;
            }
            readAll(file, path, header + 8, 8, at + 8);
            box.size =
                static_cast<std::uint64_t>(readBig32(header + 8)) << 32 | readBig32(header + 12);
            box.compact = false;
        } else if (box.size == 0) {
            box.size = end - at;  // up to the end
            box.compact = false;
        }
        if (box.size < kHeaderSize || box.size > end - at) {
            return std::nullopt;
        }
        boxes.push_back(box);
        at += box.size;
    }
    return boxes;
}

void growBox(const FileDescriptor& file, const std::string& path, const Box& box,
             std::uint32_t by) {
    std::vector<unsigned char> size;
    putBig32(size, static_cast<std::uint32_t>(box.size + by));
    writeAll(file, path, size.data(), size.size(), box.offset);
}

}  // namespace

bool addQuickTimeLocation(const std::string& path, const std::string& name,
                          const std::string& iso6709) {
    if (iso6709.empty() || iso6709.size() > kMaxLocationLength) {
        return false;
    }
    const FileDescriptor file(::open(path.c_str(), O_RDWR | O_CLOEXEC));
    struct stat info {};
    if (file.get() < 0 || ::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return false;  // not a file of ours to change (the null device, say)
    }
    const auto fileEnd = static_cast<std::uint64_t>(info.st_size);
    const auto top = readBoxes(file, name, 0, fileEnd);
    if (!top || top->empty() || top->back().type != kMovie || !top->back().compact) {
        return false;
    }
    const Box& movie = top->back();
    const auto children = readBoxes(file, name, movie.offset + kHeaderSize, fileEnd);
    if (!children) {
        return false;
    }
    const Box* userData = nullptr;
    for (const Box& child : *children) {
        if (child.type == kUserData) {
            userData = &child;
        }
    }
    const bool userDataLast = userData != nullptr && userData == &children->back();
    if ((userData != nullptr && !userDataLast) || (userDataLast && !userData->compact)) {
        return false;
    }

    std::vector<unsigned char> added;
    const auto atomSize = static_cast<std::uint32_t>(kHeaderSize + 4 + iso6709.size());
    if (userData == nullptr) {
        putBig32(added, kHeaderSize + atomSize);
        putBig32(added, kUserData);
    }
    putBig32(added, atomSize);
    putBig32(added, kLocation);
    added.push_back(static_cast<unsigned char>(iso6709.size() >> 8));
    added.push_back(static_cast<unsigned char>(iso6709.size()));
    added.push_back(static_cast<unsigned char>(kLanguage >> 8));
    added.push_back(static_cast<unsigned char>(kLanguage));
    added.insert(added.end(), iso6709.begin(), iso6709.end());
    const auto growth = static_cast<std::uint32_t>(added.size());
    if (movie.size + growth > UINT32_MAX) {
        return false;
    }
    // The new bytes first: until the sizes take them in, they lie past the
    // movie box as a box of their own, which readers pass over.
    writeAll(file, name, added.data(), added.size(), fileEnd);
    if (userData != nullptr) {
        growBox(file, name, *userData, growth);
    }
    growBox(file, name, movie, growth);
    return true;
}

}  // namespace vidmill
