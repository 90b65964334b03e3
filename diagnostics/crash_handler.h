// The crash handler: every fatal event of the process writes a minidump to g_crashDumpPath and
// ends the process with exit code 1.
//
// Overview. InstallProcessHandlers registers the process-wide handlers, InstallThreadHandlers
// those that hold per thread (call it on the entry thread, right after). From then on each of
// these events runs the same path, on the thread that meets it:
//   - an unhandled processor fault or structured exception on any thread (Windows: the
//     unhandled-exception filter; POSIX: SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP outside any
//     guarded call, handed over by the fault guard): OnUnhandledException;
//   - std::terminate (an uncaught exception, a pure virtual call in g++ code) and a pure
//     virtual call detected by the C runtime: OnRuntimeFailure;
//   - an invalid parameter detected by the C runtime: OnInvalidParameter;
//   - a failed operator new: OnNewFailure;
//   - SIGABRT, SIGINT, SIGTERM (and on Windows SIGILL raised on the entry thread): OnSignal.
//     The executable on POSIX holds SIGINT and SIGTERM as stop requests from its first
//     instruction until their owner takes them (platform/stop_signals.h): they reach OnSignal
//     only in processes that do not;
//   - SIGFPE and SIGSEGV raised through the Windows C runtime on the entry thread:
//     OnFaultSignal.
// The path: wait for the crash gate (one crashing thread at a time; a later one parks until
// the process is gone, a fault inside the handler itself ends the process at once), take the
// exception information (the system's, or one captured here into static storage), write the
// dump, end the process with exit code 1. Nothing on it allocates or takes a lock. A fault
// inside a guarded plug-in call (platform/fault_guard.h) is not a crash and never gets here.
//
// Failure: no dump (a missing directory, an unwritable or cut path, no dump writer) still
// ends the process with exit code 1. A dump that cannot be written completely is removed,
// so a file at the path is always a complete dump.
//
// Threads: the install calls run on the entry thread before any other thread starts. The
// handlers may run on any thread, also several at once. g_crashDumpPath is written only by
// the entry thread before other threads start, and read only by the handlers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/crash.h"

namespace Stoneleaf {

/// Capacity of g_crashDumpPath in wide characters, terminator included.
inline constexpr std::size_t kCrashDumpPathCapacity = 260;

/// The path of the dump file: "crashdump.dmp" (the current directory) until the process entry
/// copies its own path in with a bounded copy. Read by the handlers only up to its capacity,
/// whether or not it is terminated.
extern wchar_t g_crashDumpPath[kCrashDumpPathCapacity];

/// The crash handler. It has no fields; the process entry keeps one instance from
/// installation until it returns. Destroying it uninstalls nothing: the handlers stay
/// registered through static destruction and process exit.
class CCrashHandler {
  public:
    CCrashHandler() = default;
    CCrashHandler(const CCrashHandler&) = delete;
    CCrashHandler& operator=(const CCrashHandler&) = delete;
    virtual ~CCrashHandler() = default;

    /// Registers the process-wide handlers: the unhandled-exception hook, the purecall, new
    /// and invalid-parameter handlers, the abort behaviour and the SIGABRT, SIGINT and
    /// SIGTERM handlers. Entry thread only, before other threads start.
    static void InstallProcessHandlers();

    /// Registers the handlers that hold per thread, for the calling thread: std::terminate,
    /// the fault signals, and room to handle a stack overflow (alternate signal stack on
    /// POSIX, stack guarantee on Windows). std::set_unexpected no longer exists in C++20;
    /// an exception that escapes a noexcept function reaches std::terminate instead.
    static void InstallThreadHandlers();

    /// Unhandled structured exception (Windows) or unguarded fault signal (POSIX), any
    /// thread. Writes the dump with the system's exception information and ends the process;
    /// returns 1 (EXCEPTION_EXECUTE_HANDLER) only in the signature.
    static std::int32_t OnUnhandledException(platform::ExceptionPointers* exceptionPointers);

    /// std::terminate and the runtime's pure virtual call: captured exception information.
    static void OnRuntimeFailure();

    /// Invalid parameter detected by the C runtime; the arguments are ignored.
    static void OnInvalidParameter(const wchar_t* expression, const wchar_t* function,
                                   const wchar_t* file, unsigned int line, std::uintptr_t reserved);

    /// Failed operator new; the size is ignored. Returns 0 only in the signature.
    static int OnNewFailure(std::size_t size);

    /// SIGABRT, SIGINT, SIGTERM (and SIGILL on the Windows entry thread). Uses the signal's
    /// own context where the platform has one (POSIX), else captured information.
    static void OnSignal(int signalNumber);

    /// SIGFPE and SIGSEGV through the Windows C runtime: the runtime's exception pointers for
    /// the signal being handled, or captured information when it has none (a raised signal).
    static void OnFaultSignal(int signalNumber);

    /// Writes the dump file at g_crashDumpPath with the calling thread as the faulting
    /// thread. Callers hold the crash gate.
    static void WriteMiniDump(platform::ExceptionPointers* exceptionPointers);

    /// Makes exception information for the current point of execution in static storage:
    /// the caller's registers, and a record with code 0 whose address is the point in the
    /// caller right after the capture. Inlined so that the captured frame is the caller's
    /// own, which stays live while the dump is written. The storage is shared: callers hold
    /// the crash gate. Nothing is allocated.
    [[gnu::always_inline]] static inline void CaptureExceptionPointers(
        platform::ExceptionPointers** exceptionPointers) {
        platform::CaptureCurrentContext(&s_capturedContext);
        platform::InitialiseExceptionRecord(&s_capturedRecord, 0,
                                            platform::InstructionPointerOf(&s_capturedContext));
        s_capturedPointers.exceptionRecord = &s_capturedRecord;
        s_capturedPointers.contextRecord = &s_capturedContext;
        *exceptionPointers = &s_capturedPointers;
    }

  private:
    static platform::ContextRecord s_capturedContext;
    static platform::ExceptionRecord s_capturedRecord;
    static platform::ExceptionPointers s_capturedPointers;
};

}  // namespace Stoneleaf
