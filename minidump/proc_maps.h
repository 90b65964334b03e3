// The crash path's reader of /proc/self/maps: one mapping a line, parsed, from a buffer of the
// reader's own (no allocation, no lock, raw system calls; async-signal-safe).
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform::posix::crash {

/// One line of /proc/self/maps: "start-end perms offset dev inode   path".
struct MapLine {
    std::uint64_t start;
    std::uint64_t end;
    std::uint64_t offset;
    char permissions[5];  // "r-xp", terminated
    const char* path;     // empty for an anonymous mapping; valid until the next line is read
};

/// Parses one line; false when it is not a mapping (no "start-end", or an empty range).
bool ParseMapLine(const char* text, MapLine* out) noexcept;

/// Reads /proc/self/maps of the calling process. One reader serves one pass at a time; it is
/// meant to live in static storage (it holds a 16 KB buffer and a line). Not thread-safe.
class MapsReader {
  public:
    /// Opens the file for a new pass; false when it cannot be opened.
    bool Open() noexcept;
    /// The next mapping (lines that do not parse are skipped; a line longer than the line
    /// buffer is cut); false at the end of the file or after a read error.
    bool Next(MapLine* line) noexcept;
    /// The next raw bytes of the file, for a verbatim copy: *bytes of them at the returned
    /// address; null at the end. Not to be mixed with Next within one pass.
    const char* NextChunk(std::size_t* bytes) noexcept;
    void Close() noexcept;

  private:
    bool NextText() noexcept;
    bool Fill() noexcept;

    int m_fd = -1;
    char m_buffer[16 * 1024];
    std::size_t m_length = 0;
    std::size_t m_position = 0;
    bool m_end = false;
    char m_line[4096 + 256];
};

}  // namespace platform::posix::crash
