// The calling thread's last error code, as the platform calls leave it.
#pragma once

#include "platform/types.h"

namespace platform {

/// The error code the last failing platform call on this thread left behind. Per thread;
/// on Windows it is the system's own last-error value.
[[nodiscard]] ErrorCode GetLastError() noexcept;

/// Sets the calling thread's last error code.
void SetLastError(ErrorCode code) noexcept;

/// Maps a POSIX errno value to the Windows error code with the nearest meaning (ENOENT to 2,
/// EACCES to 5, ENOMEM to 8, ...). Unknown values map to 1 (ERROR_INVALID_FUNCTION). Pure and
/// available on every platform so that both backends can be tested against one table.
[[nodiscard]] ErrorCode ErrorFromErrno(int errnoValue) noexcept;

}  // namespace platform
