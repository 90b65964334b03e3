// The POSIX backend's clocks: local wall-clock time with milliseconds, and a monotonic tick count.
#include <time.h>

#include "platform/posix/kernel_object.h"
#include "platform/time.h"

namespace platform {

void GetLocalTime(LocalTime* time) noexcept {
    posix::TerminationDeferral deferral;  // localtime_r takes the C library's time-zone lock
    if (time == nullptr) {
        return;
    }
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    time->year = static_cast<std::uint16_t>(local.tm_year + 1900);
    time->month = static_cast<std::uint16_t>(local.tm_mon + 1);
    time->dayOfWeek = static_cast<std::uint16_t>(local.tm_wday);  // Sunday is 0 in both
    time->day = static_cast<std::uint16_t>(local.tm_mday);
    time->hour = static_cast<std::uint16_t>(local.tm_hour);
    time->minute = static_cast<std::uint16_t>(local.tm_min);
    // A leap second (tm_sec 60) has no SYSTEMTIME form.
    time->second = static_cast<std::uint16_t>(local.tm_sec > 59 ? 59 : local.tm_sec);
    time->milliseconds = static_cast<std::uint16_t>(now.tv_nsec / 1000000);
}

std::uint64_t TickCount64() noexcept {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000u +
           static_cast<std::uint64_t>(now.tv_nsec / 1000000);
}

}  // namespace platform
