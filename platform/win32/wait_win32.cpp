// The Windows backend's waits.
#include "platform/wait.h"
#include "platform/win32/windows_lean.h"

namespace platform {

std::uint32_t WaitForSingleObject(Handle object, std::uint32_t milliseconds) noexcept {
    return ::WaitForSingleObject(object, milliseconds);
}

std::uint32_t WaitForMultipleObjects(std::uint32_t count, const Handle* objects, bool waitAll,
                                     std::uint32_t milliseconds) noexcept {
    // The system would fault on a null array rather than report it.
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || objects == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    return ::WaitForMultipleObjects(count, objects, waitAll ? TRUE : FALSE, milliseconds);
}

}  // namespace platform
