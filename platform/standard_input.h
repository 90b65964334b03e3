// Standard input read line by line on a reader thread of its own, which ends when asked.
//
// POSIX: the reader waits for input or for Stop together (poll on standard input and a wake
// pipe), so Stop ends it at once and joins it. Windows: Stop cancels the reader's pending read
// (CancelSynchronousIo) and waits for it at most 2 s; a reader the system does not let go of
// is left behind, blocked, but never calls the sink again.
//
// Threads: Start, Stop and the destructor on one thread. The sink runs on the reader thread,
// one call at a time, and never once Stop has returned.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/handle.h"

namespace platform {

class StandardInputLines {
  public:
    /// One line without its line end (LF or CR LF), end false; then, at the end of input or
    /// when reading fails, once with end true and an empty line (a last line without a line
    /// end comes first, as a line).
    using Sink = std::function<void(const std::string& line, bool end)>;

    StandardInputLines();
    ~StandardInputLines();  ///< Stops the reader.
    StandardInputLines(const StandardInputLines&) = delete;
    StandardInputLines& operator=(const StandardInputLines&) = delete;

    /// Starts the one reader. False when it was started before or cannot start.
    bool Start(Sink sink);

    /// Ends the reader (see above); afterwards the sink is not called again. Idempotent.
    void Stop() noexcept;

    /// The state the reader thread shares (defined by each backend).
    struct State;

  private:
    std::shared_ptr<State> m_state;
    UniqueHandle m_thread;
};

}  // namespace platform
