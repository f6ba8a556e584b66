#pragma once

// Buffered reader and writer of little-endian binary records: raw bytes,
// 16- and 32-bit numbers, length-prefixed texts and signature strings. A file
// is opened either for reading or for writing; everything passes through one
// buffer so that many small fields cost few system calls.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vidmill {

inline constexpr int kDefaultRecordBufferSize = 10000;

// The smallest buffer the piece rules can work with (pieces of size - 2).
inline constexpr int kMinRecordBufferSize = 3;

// Texts written with a 16-bit length must stay below this many bytes, so
// that the length never reads back as negative.
inline constexpr int kMaxText16Length = 32767;

uint32_t getUInt32LE(const uint8_t* bytes);
void putUInt32LE(uint8_t* bytes, uint32_t value);
uint16_t getUInt16LE(const uint8_t* bytes);
void putUInt16LE(uint8_t* bytes, uint16_t value);

class RecordFile {
    struct OpenKey {};

  public:
    // Only open() makes record files.
    RecordFile(OpenKey, int fd, bool writing, int bufferSize);
    RecordFile(const RecordFile&) = delete;
    RecordFile& operator=(const RecordFile&) = delete;
    // Writes what still waits in the buffer and closes the file.
    ~RecordFile();

    // Opens `path` for reading or writing (created or truncated); null when
    // the system refuses. A folder is never opened.
    static std::unique_ptr<RecordFile> open(const std::string& path, bool writing,
                                            int bufferSize = kDefaultRecordBufferSize);

    bool writing() const { return writing_; }
    int bufferSize() const { return bufferSize_; }

    // Always gives `count`: bytes are accepted into the buffer, and a failed
    // write to the disk shows only in writeFailed().
    int writeBytes(const void* data, int count);
    // Bytes read; fewer at the end of the file; -1 when the first read from
    // the disk fails.
    int readBytes(void* destination, int count);

    int writeUInt16(uint16_t value);
    int writeUInt32(uint32_t value);
    // Bytes read; `value` changes only when all of them came.
    int readUInt16(uint16_t& value);
    int readUInt32(uint32_t& value);

    // A 16-bit length, then the bytes. A text longer than kMaxText16Length
    // is cut to that length and gives 0.
    int writeText16(std::string_view text);
    // Reads a 16-bit length text into a caller's buffer of `capacity` bytes
    // (terminator included). Texts of capacity - 2 bytes or more are refused:
    // the buffer gets an empty text, the stored bytes are skipped, result 0.
    int readText16Into(char* buffer, int capacity);
    // Reads a 16-/32-bit length text, keeping at most capacity - 1 bytes and
    // skipping the rest. A length that cannot be read, or a 16-bit length of
    // 32768 or more, gives an empty text. The text ends at its first NUL.
    std::string readText16(int capacity);
    int writeText32(std::string_view text);
    std::string readText32(int capacity);

    // The bytes of `text` with no length and no terminator.
    int writeRaw(std::string_view text);
    // 1 when the next bytes equal `text` exactly; they are consumed either way.
    int readSignature(std::string_view text);

    // Offset in the file of the next byte to be read or written.
    int64_t tell();
    // Moves to `offset` from the start of the file; gives the new offset.
    int64_t seek(int64_t offset);
    // Writing: writes the waiting bytes. Reading: drops the buffer.
    void flush();

    // Writing: true once any write to the disk failed or came up short.
    bool writeFailed() const { return writeFailed_; }
    // Writing: writes the waiting bytes and asks the disk to keep them.
    // False when anything written so far did not reach the disk.
    bool sync();
    // Writes the waiting bytes and closes; false when any write failed.
    // Later calls do nothing and give the same answer.
    bool close();

  private:
    int putPiece(const uint8_t* data, int n);
    int takePiece(uint8_t* destination, int n);
    void writeWaiting();
    bool writeToDisk(const uint8_t* data, size_t n);
    // Reads and drops up to `count` bytes; stops at the end of the file.
    void skipBytes(uint64_t count);
    std::string readTextOfLength(uint64_t length, int capacity);

    std::vector<uint8_t> buffer_;
    int bufferSize_;
    int filled_ = 0;
    int position_ = 0;
    bool writing_;
    bool writeFailed_ = false;
    int fd_;
};

inline std::unique_ptr<RecordFile> openRecordFile(const std::string& path, bool writing) {
    return RecordFile::open(path, writing);
}

inline std::unique_ptr<RecordFile> openRecordFileSized(const std::string& path, bool writing,
                                                       int bufferSize) {
    return RecordFile::open(path, writing, bufferSize);
}

// Closes and frees the file (none allowed); false when a write failed.
inline bool closeRecordFile(std::unique_ptr<RecordFile> file) {
    return file ? file->close() : true;
}

}  // namespace vidmill
