// The Windows backend's threads: _beginthreadex and the thread calls, forwarded.
#include <process.h>

#include "platform/thread.h"
#include "platform/win32/windows_lean.h"

namespace platform {

static_assert(sizeof(unsigned) == sizeof(std::uint32_t));

Handle BeginThread(ThreadRoutine routine, void* argument, std::uint32_t* threadId) noexcept {
    if (routine == nullptr) {
        // The C runtime would call its invalid-parameter handler, which ends the process.
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    unsigned id = 0;
    // On x64 there is one calling convention, so the routine is what _beginthreadex expects.
    const std::uintptr_t handle = ::_beginthreadex(nullptr, 0, routine, argument, 0, &id);
    if (handle == 0) {
        return nullptr;  // the failing CreateThread left the last error
    }
    if (threadId != nullptr) {
        *threadId = id;
    }
    return reinterpret_cast<Handle>(handle);
}

bool TerminateThread(Handle thread, std::uint32_t exitCode) noexcept {
    return ::TerminateThread(thread, exitCode) != FALSE;
}

bool GetExitCodeThread(Handle thread, std::uint32_t* exitCode) noexcept {
    DWORD code = 0;
    if (exitCode == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (!::GetExitCodeThread(thread, &code)) {
        return false;
    }
    *exitCode = code;
    return true;
}

std::uint32_t GetCurrentThreadId() noexcept {
    return ::GetCurrentThreadId();
}

std::uint32_t GetCurrentProcessId() noexcept {
    return ::GetCurrentProcessId();
}

void Sleep(std::uint32_t milliseconds) noexcept {
    ::Sleep(milliseconds);
}

}  // namespace platform
