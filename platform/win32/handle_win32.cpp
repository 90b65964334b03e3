// The Windows backend's CloseHandle.
#include "platform/handle.h"
#include "platform/win32/windows_lean.h"

namespace platform {

bool CloseHandle(Handle handle) noexcept {
    // The all-bits-set value is also the current-process pseudo handle, which the system
    // "closes" successfully; here it is the failed-creation value and so a bad handle.
    if (handle == kInvalidHandleValue) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    return ::CloseHandle(handle) != FALSE;
}

}  // namespace platform
