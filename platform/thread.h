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
/// the last error set (87 for a null routine). The handle stays valid after the thread ends,
/// until CloseHandle.
[[nodiscard]] Handle BeginThread(ThreadRoutine routine, void* argument,
                                 std::uint32_t* threadId) noexcept;

/// Ends a thread that is still running, with the given exit code, and returns true. The
/// thread runs no further code of its own: no destructors, no unwinding, locks it holds stay
/// held. Use it only on threads that do not end when asked (a plug-in that hangs). Once it
/// has returned true for a running thread, that thread's exit code is the one given here.
/// For a thread that has already ended (or was already terminated) it returns true and
/// changes nothing. A thread that terminates itself does not return from the call.
/// False with the last error 6 for a bad handle or a handle that is not a thread.
///
/// On Windows this is TerminateThread. On POSIX the thread is marked, woken if it sleeps in a
/// wait of this layer, and sent a private real-time signal whose handler jumps back to the
/// thread's start routine, which then ends the thread: its message queue goes, its handle is
/// signalled, the pthread returns (thread_local destructors run). Consequences on POSIX,
/// stated so that callers can judge the risk:
///  - A thread blocked in a system call (read, sleep, poll, ...) is woken (the call is
///    interrupted) and ends.
///  - A thread inside a call of this layer (a wait, GetMessage, SetEvent, ...) ends when it
///    leaves that call; a blocked wait or GetMessage returns at once for that purpose. The
///    layer's own locks and allocations are never left half-done, which is more than Windows
///    promises.
///  - A thread that blocks the signal, or runs with a foreign signal handler installed in
///    its place, does not end; the call still returns true and a later wait times out. If it
///    ends later by itself, the exit code is still the one given here.
///  - As on Windows, terminating a thread that holds a lock of the C library (the heap,
///    stdio) or of any other library may leave that lock held for ever; the host only
///    terminates threads that run plug-in code past their time limit.
/// Only threads started by BeginThread can be terminated on POSIX (no other thread has a
/// handle there).
bool TerminateThread(Handle thread, std::uint32_t exitCode) noexcept;

/// Stores the thread's exit code, or kStillActive (259) while it runs. False with the last
/// error 6 for a bad handle.
bool GetExitCodeThread(Handle thread, std::uint32_t* exitCode) noexcept;

/// The calling thread's id: nonzero, unique among the live threads of the machine. On POSIX
/// it is the kernel thread id (as ps and top show it).
[[nodiscard]] std::uint32_t GetCurrentThreadId() noexcept;

/// The calling process's id.
[[nodiscard]] std::uint32_t GetCurrentProcessId() noexcept;

/// Suspends the calling thread for at least the given time (kInfinite: for ever; 0: yields).
/// For tests and tools: the core waits on events instead.
void Sleep(std::uint32_t milliseconds) noexcept;

}  // namespace platform
