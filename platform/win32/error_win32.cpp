// The Windows backend's last error: the system's own per-thread value.
#include "platform/error.h"
#include "platform/win32/windows_lean.h"

namespace platform {

ErrorCode GetLastError() noexcept {
    return ::GetLastError();
}

void SetLastError(ErrorCode code) noexcept {
    ::SetLastError(code);
}

}  // namespace platform
