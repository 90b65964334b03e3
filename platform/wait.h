// Waiting on one or several kernel objects with a time-out, with the Windows results.
#pragma once

#include <cstdint>

#include "platform/types.h"

namespace platform {

/// Waits until the object is signalled or the time-out (milliseconds, kInfinite for none)
/// passes. Waitable objects: events, threads (signalled once ended), processes (once ended)
/// and mutexes (signalled while unowned; a successful wait takes ownership).
/// Returns kWaitObject0, kWaitTimeout, kWaitAbandoned0 (a mutex whose owner ended while
/// holding it: ownership passes to the caller) or kWaitFailed with the last error set
/// (6 for a bad handle). A time-out of 0 only probes.
[[nodiscard]] std::uint32_t WaitForSingleObject(Handle object, std::uint32_t milliseconds) noexcept;

/// Waits on 1 to 64 (kMaximumWaitObjects) objects. waitAll: returns kWaitObject0 once all
/// are signalled at the same moment (taking auto-reset events only then); otherwise
/// returns kWaitObject0 + index of the lowest signalled object. kWaitTimeout when the time
/// passes. A count of 0, a count above 64 or a null array fails with kWaitFailed and the
/// last error 87 (ERROR_INVALID_PARAMETER), without waiting; a bad handle fails with 6.
/// A wait-all must not name one object twice (87 on Windows and POSIX; Wine lets it pass).
/// On POSIX a named mutex can only be waited on alone (count 1); mixed with other
/// objects the wait fails with 87. Several waiters of one auto-reset event are served in no
/// promised order.
[[nodiscard]] std::uint32_t WaitForMultipleObjects(std::uint32_t count, const Handle* objects,
                                                   bool waitAll,
                                                   std::uint32_t milliseconds) noexcept;

}  // namespace platform
