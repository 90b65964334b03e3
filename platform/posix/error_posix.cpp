// The POSIX backend's last error: one value per thread, as the Windows thread environment keeps it.
#include "platform/error.h"

namespace platform {
namespace {

thread_local ErrorCode t_lastError = kErrorSuccess;

}  // namespace

ErrorCode GetLastError() noexcept {
    return t_lastError;
}

void SetLastError(ErrorCode code) noexcept {
    t_lastError = code;
}

}  // namespace platform
