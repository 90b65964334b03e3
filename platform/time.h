// Local wall-clock time with milliseconds, and a monotonic clock for measuring.
#pragma once

#include <cstdint>

namespace platform {

/// The fields of the Windows SYSTEMTIME structure.
struct LocalTime {
    std::uint16_t year;
    std::uint16_t month;
    std::uint16_t dayOfWeek;
    std::uint16_t day;
    std::uint16_t hour;
    std::uint16_t minute;
    std::uint16_t second;
    std::uint16_t milliseconds;
};

/// The current local time (GetLocalTime).
void GetLocalTime(LocalTime* time) noexcept;

/// Milliseconds from an arbitrary fixed point, never going back (GetTickCount64).
[[nodiscard]] std::uint64_t TickCount64() noexcept;

}  // namespace platform
