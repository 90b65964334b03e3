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

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
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

    /// What the reader thread and Stop share: the sink runs under the lock, never once
    /// stopped is set. Each backend's State holds one.
    struct Shared {
        std::mutex lock;
        bool stopped = false;
        Sink sink;
    };
    /// For the backends' readers (portable): appends bytes to *pending and hands every line
    /// it completes to the sink; Finish hands over an unfinished last line, then the end.
    static void Feed(Shared* shared, std::string* pending, const char* bytes, std::size_t count);
    static void Finish(Shared* shared, std::string* pending);

    /// The state the reader thread shares (defined by each backend).
    struct State;

  private:
    std::shared_ptr<State> m_state;
    UniqueHandle m_thread;
};

}  // namespace platform
