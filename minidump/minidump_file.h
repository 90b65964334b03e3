// The crash path's dump file: appends at a known offset, aligned, and remembers the first
// error (after it every write is skipped), so that the writer can lay out streams without
// checking each call. No allocation, no lock, raw system calls; async-signal-safe.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform::posix::crash {

/// One dump being written. Meant to live in static storage; one writer at a time.
class MinidumpFile {
  public:
    /// Starts on an open file descriptor at offset 0 with no error.
    void Start(int fd) noexcept;

    int Fd() const noexcept { return m_fd; }
    /// The current end of what was written; the place of the next append before alignment.
    std::uint64_t Offset() const noexcept { return m_offset; }
    /// The first errno met (0 while all is well).
    int Error() const noexcept { return m_error; }
    void Fail(int error) noexcept;

    /// Writes bytes at the end; false once an error has been met.
    bool Write(const void* data, std::size_t bytes) noexcept;
    void WriteZeros(std::uint64_t bytes) noexcept;
    /// Pads with zeros up to a multiple of alignment.
    void Align(std::uint64_t alignment) noexcept;
    /// Aligns to 8, writes and returns where the bytes start.
    std::uint32_t Append(const void* data, std::size_t bytes) noexcept;
    /// Aligns to 8 and copies process memory that may not all be mapped: pages that cannot
    /// be read come out as zeros, so the range keeps its size. Returns where it starts.
    std::uint32_t AppendMemory(std::uint64_t address, std::uint64_t bytes) noexcept;
    /// Appends a minidump string (byte length, UTF-16 text, terminator) made from UTF-8 text
    /// (ill-formed bytes become U+FFFD; text beyond 4096 units is cut) and returns its place.
    std::uint32_t AppendString(const char* utf8) noexcept;

  private:
    int m_fd = -1;
    std::uint64_t m_offset = 0;
    int m_error = 0;
    char16_t m_text[4096 + 1];
};

}  // namespace platform::posix::crash
