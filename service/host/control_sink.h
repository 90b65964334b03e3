// The one place the host's controls go, and the sources that deliver to it: the seam between the
// service host and whatever runs it.
//
// Every control reaches the host through one sink, the service's control handler
// (CService::Sink). Three sources deliver to it, each on one thread, one control at a time:
//
// | source                  | where                                     | admission rule        |
// |-------------------------|-------------------------------------------|-----------------------|
// | Windows service manager | win32/service_dispatcher_win32.cpp        | the manager's own     |
// | systemd: signals, the   | posix/service_dispatcher_posix.cpp,       | AdmitControl, applied |
// | control channel         | posix/control_channel_posix.h             | by the source         |
// | the terminal of /RUN    | service/terminal_controls.h               | none (any code but    |
// |                         |                                           | stop may be tried)    |
//
// What goes back the other way has one home each:
// - state, wait hint, status text and the heartbeat a watchdog would use: the status reporter
//   (status_reporter.h), which also keeps the host's own view (plug-ins, last control, slowest
//   answer) for "/STATUS" on both platforms;
// - the answer to one control: the sink's result, and on the control channel the status after
//   it (posix/control_channel_posix.h);
// - what the manager does when the host fails, and later a watchdog interval: the install-time
//   policy ServiceRecovery in ServiceConfig (service_control.h), which becomes the unit's lines
//   on Linux and the service's configuration on Windows.
#pragma once

#include <cstdint>

#include "service/host/service_dispatcher.h"

namespace Stoneleaf {

/// The one place a control goes: a handler and the context it is called with. A copy delivers
/// to the same handler; a default one has none.
class ControlSink {
  public:
    ControlSink() = default;
    ControlSink(platform::ServiceControlHandler handler, void* context) noexcept
        : m_handler(handler), m_context(context) {}

    [[nodiscard]] explicit operator bool() const noexcept { return m_handler != nullptr; }

    /// Delivers one control on the calling thread and returns the handler's result: 1052 (the
    /// control cannot be accepted now) when there is no handler yet.
    std::uint32_t Deliver(std::uint32_t control, std::uint32_t eventType, void* eventData) const {
        return m_handler == nullptr ? platform::kErrorServiceCannotAcceptControl
                                    : m_handler(control, eventType, eventData, m_context);
    }

  private:
    platform::ServiceControlHandler m_handler = nullptr;
    void* m_context = nullptr;
};

}  // namespace Stoneleaf
