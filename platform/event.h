// Unnamed events: manual-reset and auto-reset, with the Windows semantics.
#pragma once

#include "platform/types.h"

namespace platform {

/// Creates an unnamed event. A manual-reset event stays signalled until ResetEvent and
/// releases every waiter; an auto-reset event releases exactly one waiter (one wait that
/// returns kWaitObject0 for it) and resets itself. Returns null on failure with the last
/// error set. Close with CloseHandle. Any thread may set, reset or wait.
[[nodiscard]] Handle CreateEvent(bool manualReset, bool initiallySignalled) noexcept;

/// Signals the event. False with the last error 6 if the handle is not an event.
bool SetEvent(Handle event) noexcept;

/// Resets the event to not signalled. False with the last error 6 if the handle is not an event.
bool ResetEvent(Handle event) noexcept;

}  // namespace platform
