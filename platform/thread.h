// Worker threads: start, identity, exit code and forced termination.
#pragma once

#include <cstdint>

#include "platform/types.h"

namespace platform {

/// The routine a thread runs; its result becomes the thread's exit code.
using ThreadRoutine = std::uint32_t (*)(void* argument);

/// Starts a thread at once running routine(argument), with the default stack size, like
/// _beginthreadex. Stores its id in *threadId when threadId is not null. Returns the
/// thread's handle (waitable; signalled once the thread has ended), or null on failure with
/// the last error set. The handle stays valid after the thread ends, until CloseHandle.
[[nodiscard]] Handle BeginThread(ThreadRoutine routine, void* argument,
                                 std::uint32_t* threadId) noexcept;

/// Ends a thread that is still running, with the given exit code, and returns true. The
/// thread runs no further code of its own: no destructors, no unwinding, locks it holds stay
/// held. Use it only on threads that do not end when asked (a plug-in that hangs).
/// On Windows this is TerminateThread. On POSIX the thread is sent a private real-time
/// signal whose handler jumps back to the thread's start routine, which then ends the
/// thread. Consequences on POSIX, stated so that callers can judge the risk:
///  - A thread blocked in a system call is woken (the call is interrupted) and ends.
///  - A thread that blocks the signal, or runs with a foreign signal handler installed in
///    its place, does not end; the call still returns true and a later wait times out.
///  - As on Windows, terminating a thread that holds a lock of the C library (the heap,
///    stdio) may leave that lock held for ever; the host only terminates threads that run
///    plug-in code past their time limit.
/// Returns true at once for a thread that has already ended. False with the last error 6
/// for a bad handle. Only threads started by BeginThread can be terminated on POSIX.
bool TerminateThread(Handle thread, std::uint32_t exitCode) noexcept;

/// Stores the thread's exit code, or kStillActive (259) while it runs. False with the last
/// error 6 for a bad handle.
bool GetExitCodeThread(Handle thread, std::uint32_t* exitCode) noexcept;

/// The calling thread's id: nonzero, unique among the live threads of the machine. On POSIX
/// it is the kernel thread id (as ps and top show it).
[[nodiscard]] std::uint32_t GetCurrentThreadId() noexcept;

/// The calling process's id.
[[nodiscard]] std::uint32_t GetCurrentProcessId() noexcept;

/// Suspends the calling thread for at least the given time. For tests and tools: the core
/// waits on events instead.
void Sleep(std::uint32_t milliseconds) noexcept;

}  // namespace platform
