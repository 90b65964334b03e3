// The Windows backend's clocks.
#include "platform/time.h"
#include "platform/win32/windows_lean.h"

namespace platform {

static_assert(sizeof(LocalTime) == sizeof(SYSTEMTIME));

void GetLocalTime(LocalTime* time) noexcept {
    if (time == nullptr) {
        return;
    }
    SYSTEMTIME now{};
    ::GetLocalTime(&now);
    *time = LocalTime{now.wYear, now.wMonth,  now.wDayOfWeek, now.wDay,
                      now.wHour, now.wMinute, now.wSecond,    now.wMilliseconds};
}

std::uint64_t TickCount64() noexcept {
    return ::GetTickCount64();
}

}  // namespace platform
