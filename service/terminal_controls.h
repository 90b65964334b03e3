// The terminal of "/RUN" as a source of controls: the codes listed on its command line, then
// the lines of standard input, delivered to the host's control sink until STOP.
//
// Threads: Run runs on the foreground host's main thread and delivers there, one control at a
// time; one reader thread takes lines from standard input, started once the listed controls are
// used up and ended with the object, so nothing is read once the run is over. Failure: a line
// that is not a control is said and skipped; nothing throws out of Run but what the sink throws.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "service/host/control_sink.h"

namespace Stoneleaf {

/// "CODE" or "CODE:EVENTTYPE", both decimal, or a control's name (INTERROGATE, PARAMCHANGE,
/// ...). In this terminal any code but stop may be tried, since no manager state exists to
/// refuse it: stop is the word STOP and ends the run. False for anything else.
[[nodiscard]] bool ParseTerminalControl(const std::wstring& text, std::uint32_t* control,
                                        std::uint32_t* eventType);

class TerminalControls {
  public:
    /// Shows one line to the user (a control's outcome, or why a line is not a control).
    using Say = std::function<void(const std::string& line)>;
    /// True once the run ends whatever the input says (a stop request, a closed output).
    using Ended = std::function<bool()>;

    TerminalControls(Say say, Ended ended);
    ~TerminalControls();
    TerminalControls(const TerminalControls&) = delete;
    TerminalControls& operator=(const TerminalControls&) = delete;

    /// Queues the controls of the command line in order; STOP among them ends the run there.
    /// False, with nothing queued, when one is neither a control nor STOP.
    [[nodiscard]] bool List(int count, wchar_t** words);

    /// Delivers the listed controls, then the lines of standard input (empty ones skipped; the
    /// end of input reads as STOP), to sink, each outcome said, until STOP or ended(). Stop
    /// itself is left to the caller, so that it is delivered however the run ends.
    void Run(const ControlSink& sink);

    /// Delivers one control to sink and says its outcome; returns the handler's result.
    std::uint32_t Deliver(const ControlSink& sink, std::uint32_t control, std::uint32_t eventType);

  private:
    class Queue;
    Say m_say;
    Ended m_ended;
    bool m_stopListed = false;
    std::unique_ptr<Queue> m_queue;
};

}  // namespace Stoneleaf
