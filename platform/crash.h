// Crash handling hooks: the OS-level registrations, context capture, minidump writing and the
// immediate end of the process that the crash handler builds on.
//
// This header holds only system-independent declarations. Everything here runs, or is
// designed to run, on a thread that has just met a fatal event: in signal context on POSIX,
// inside an unhandled-exception filter on Windows. Functions marked "crash path" take no lock,
// do not allocate and are async-signal-safe on POSIX.
#pragma once

#include <cstddef>
#include <cstdint>

#include "text/text.h"

namespace platform {

/// Storage for one processor context in the Windows x64 CONTEXT layout (also the minidump's
/// CONTEXT_AMD64 layout, used on every x86-64 platform). Opaque to the core.
struct alignas(16) ContextRecord {
    unsigned char bytes[1232];
};

/// Storage for one exception record in the Windows x64 EXCEPTION_RECORD layout. Opaque to
/// the core.
struct alignas(8) ExceptionRecord {
    unsigned char bytes[152];
};

/// An exception record and a processor context: the layout of EXCEPTION_POINTERS.
struct ExceptionPointers {
    ExceptionRecord* exceptionRecord;
    ContextRecord* contextRecord;
};

/// The handlers the OS-level hooks call. All are called on the thread that meets the event
/// and must not return normally (the results exist only because the signatures need them).
struct CrashHooks {
    /// Unhandled processor fault or structured exception, with the system's description.
    /// Windows: the unhandled-exception filter. POSIX: SIGSEGV, SIGBUS, SIGFPE, SIGILL and
    /// SIGTRAP outside any guarded call (through the fault guard), on any thread, with the
    /// record and context built from the signal (code = signal number, address = si_addr).
    std::int32_t (*onUnhandledException)(ExceptionPointers* exceptionPointers);
    /// Pure virtual call detected by the C runtime (Windows; g++ code reaches terminate).
    void (*onRuntimeFailure)();
    /// Invalid parameter detected by the C runtime. POSIX: the emulated runtime's handler
    /// (SetInvalidParameterHandler of text/text.h).
    InvalidParameterHandler onInvalidParameter;
    /// Allocation failure in the C runtime's operator new (Windows runtimes that offer it).
    int (*onNewFailure)(std::size_t size);
    /// SIGABRT, SIGINT, SIGTERM; on Windows also SIGILL on the installing thread.
    void (*onSignal)(int signalNumber);
    /// Windows: SIGFPE and SIGSEGV on the installing thread. Not used on POSIX, where the
    /// fault guard owns those signals and passes them to onUnhandledException.
    void (*onFaultSignal)(int signalNumber);
};

/// Registers the process-wide hooks. Windows: SetUnhandledExceptionFilter; a vectored handler
/// that only records processor faults (see CurrentSignalExceptionPointers); the purecall and
/// new handlers of the linked C runtime and of every C runtime DLL loaded at this moment that
/// exports the setter; the invalid-parameter handler of the linked runtime, and in those DLLs
/// one that calls whatever handler the linked runtime holds when the DLL detects an invalid
/// parameter (so a later SetInvalidParameterHandler of text/text.h holds for all of them);
/// _set_abort_behavior(_CALL_REPORTFAULT) where a loaded runtime exports it; signal() for
/// SIGABRT, SIGINT and SIGTERM. POSIX: the fault
/// guard's unguarded-fault handler, the emulated invalid-parameter handler, sigaction for
/// SIGABRT, SIGINT and SIGTERM (on the alternate stack, with SA_SIGINFO), the crash handler's
/// own snapshot signal SIGRTMIN + 6 (see WriteMiniDump; no other part may use it), and the
/// sanitizer runtime's death callback when one is linked (its own fatal reports, such as a failed
/// operator new, then end the process through onRuntimeFailure). Call before other threads
/// start; the hooks stay until the process ends. Not thread-safe.
void InstallProcessCrashHooks(const CrashHooks& hooks) noexcept;

/// Registers the hooks that hold per thread, for the calling thread. Windows: signal() for
/// SIGFPE, SIGILL and SIGSEGV (onFaultSignal, onSignal for SIGILL), and a stack guarantee so
/// that the handlers have room after a stack overflow. POSIX: an alternate signal stack for
/// the calling thread when it has none (threads started by BeginThread have one already), so
/// that a fault after stack exhaustion can still be handled; the signals themselves are
/// process-wide there. Returns false when something could not be set up (the rest still is).
bool InstallThreadCrashHooks(const CrashHooks& hooks) noexcept;

/// Crash path. Makes the calling thread ready to run the rest of the crash path. POSIX:
/// unblocks the fatal signals, so that a fault inside the crash handler re-enters it (where
/// the caller can end the process) instead of the kernel killing the process with the
/// signal's default action. Windows: nothing.
void PrepareCrashThread() noexcept;

/// Crash path. Captures the caller's registers into *context as they are right after this
/// call returns (RtlCaptureContext semantics: Rip is the return address, Rsp the caller's
/// stack pointer after the return). Called directly (not through a wrapper) so that the
/// captured frame is the caller's own.
void CaptureCurrentContext(ContextRecord* context) noexcept
    __asm__("keltra_capture_current_context");

/// Crash path. Fills *record with zeros, then sets the exception code and the address.
void InitialiseExceptionRecord(ExceptionRecord* record, std::uint32_t code,
                               const void* address) noexcept;

/// Crash path. The instruction pointer (Rip) held in a context.
[[nodiscard]] const void* InstructionPointerOf(const ContextRecord* context) noexcept;

/// Crash path. The exception code and address of a record.
[[nodiscard]] std::uint32_t ExceptionCodeOf(const ExceptionRecord* record) noexcept;
[[nodiscard]] const void* ExceptionAddressOf(const ExceptionRecord* record) noexcept;

/// Crash path. The exception pointers that describe the signal the calling thread is
/// handling, or null when there are none (a raised signal, for example). Windows: for SIGFPE,
/// SIGSEGV and SIGILL, the C runtime's pointers (__pxcptinfoptrs) or, when the runtime has
/// none (mingw's start-up filter calls the handler without them), the fault being dispatched
/// on the calling thread as a recording vectored handler saw it, provided the signal was
/// delivered for that fault and not raised; null for other signals.
/// POSIX: the record (code = signal number, address = si_addr) and context (from the
/// signal's ucontext) of the signal with this number that the hooks are delivering on the
/// calling thread. The storage is static.
[[nodiscard]] ExceptionPointers* CurrentSignalExceptionPointers(int signalNumber) noexcept;

/// Crash path. Writes a minidump of the process to path (created or replaced; its directory
/// is not created) with the calling thread as the faulting thread and exceptionPointers (may
/// be null) as its exception. Windows: MiniDumpWriteDump of dbghelp.dll, loaded at run time,
/// type MiniDumpNormal. POSIX: the same file format written here, with the threads of
/// /proc/self/task, the modules of /proc/self/maps, the faulting thread's context and stack,
/// the other threads' contexts and stacks (best effort: each is asked through the snapshot
/// signal and then holds still; one that does not answer within 200 ms is listed without),
/// system information, the exception and the text of /proc/self/maps; nothing allocated, no
/// locks, raw system calls only. POSIX: the file is made 0600 (an existing one is narrowed to
/// it), never through a symbolic link, and never into a file another user owns (5). A write that
/// fails part-way removes the file, so a file at path is always a complete dump. Returns 0 on
/// success or the Windows error code. Callers serialise: one crashing thread at a time.
std::uint32_t WriteMiniDump(const wchar_t* path, ExceptionPointers* exceptionPointers) noexcept;

/// Crash path. Ends the process at once with exitCode: no destructors, no atexit handlers,
/// no flushing (TerminateProcess of the current process; exit_group on POSIX).
[[noreturn]] void TerminateCurrentProcess(std::uint32_t exitCode) noexcept;

/// Crash path. The calling thread's id (the same value as GetCurrentThreadId of
/// platform/thread.h), without touching any state that could need initialisation.
[[nodiscard]] std::uint32_t CrashThreadId() noexcept;

/// Crash path. Parks the calling thread for good (until the process ends): a thread that
/// meets a fatal event while another thread writes the dump waits here.
[[noreturn]] void ParkCrashThread() noexcept;

}  // namespace platform
