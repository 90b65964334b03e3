// The floor of a locked append for the log benchmark: the operating system's own file lock,
// a seek to the end and one write, with nothing of this system's platform layer in between.
// Each writer has its own descriptor (file locks exclude per open file, not per thread).
#pragma once

#include <cstdint>
#include <string>

namespace keltra::bench {

class FloorWriter {
  public:
    /// Opens (creating) the file for appending; Ok() tells whether it worked.
    explicit FloorWriter(const std::wstring& path);
    FloorWriter(const FloorWriter&) = delete;
    FloorWriter& operator=(const FloorWriter&) = delete;
    ~FloorWriter();

    [[nodiscard]] bool Ok() const;
    /// Locks the whole file exclusively, moves to its end, writes bytes, unlocks.
    bool Append(const std::string& bytes);

  private:
    std::intptr_t m_file;
};

}  // namespace keltra::bench
