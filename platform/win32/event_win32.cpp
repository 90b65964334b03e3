// The Windows backend's unnamed events.
#include "platform/event.h"
#include "platform/win32/windows_lean.h"

namespace platform {

Handle CreateEvent(bool manualReset, bool initiallySignalled) noexcept {
    return ::CreateEventW(nullptr, manualReset ? TRUE : FALSE, initiallySignalled ? TRUE : FALSE,
                          nullptr);
}

bool SetEvent(Handle event) noexcept {
    return ::SetEvent(event) != FALSE;
}

bool ResetEvent(Handle event) noexcept {
    return ::ResetEvent(event) != FALSE;
}

}  // namespace platform
