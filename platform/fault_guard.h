// Guarded calls into foreign code: a fault or exception inside ends the call, not the host.
//
// Windows: a frame-based structured exception handler sits below the routine's frames (an
// assembly trampoline with its own unwind data), so handlers inside the foreign code get the
// first chance, as with __try/__except. When an exception reaches it, the guard unwinds the
// frames above it (RtlUnwindEx) and the call returns false. Processor faults and raised
// exceptions abandon the routine's frames without running their destructors; a C++ exception
// of gcc-compiled code runs them as it passes, and its exception object is freed.
//
// POSIX: the guard owns the process's handlers for SIGSEGV, SIGBUS, SIGFPE, SIGILL and
// SIGTRAP. A fault the kernel reports on a thread inside a guarded call jumps back to the
// innermost guard (siglongjmp) and restores the thread's own signal mask, as read at its first
// guarded call and again after ForgetSavedSignalMask (so a mask that the foreign code changed
// in this call or an earlier one is put back too); the routine's frames are abandoned without
// running destructors. A C++ exception is caught at
// the guard and runs destructors as it passes. Each thread that makes a guarded call gets an
// alternate signal stack (unless it already has one), so a stack overflow is caught too.
// Signals that a process sends (kill, raise) are not faults and are never swallowed.
//
// Stack overflows: on Windows the guard gives every thread of the process a stack guarantee of
// 64 KB as it starts (a TLS callback), so the dispatcher and the guard have room after an
// overflow; the guard page is put back afterwards. POSIX uses the alternate signal stack.
//
// Cost of a guarded call that does not fault: on Windows two extra plain calls, no setup
// (a few nanoseconds); on POSIX a sigsetjmp without the signal mask and two thread-local
// stores, no system call (a thread's first guarded call reads its mask: one system call).
//
// Thread safety: every function may be called from any thread; each thread has its own guard
// state. Guards nest: the innermost one takes the fault.
#pragma once

#include <cstdint>
#include <type_traits>
#include <utility>

namespace platform {

/// What ended a guarded call.
enum class FaultKind : std::uint32_t {
    kNone = 0,             // the routine returned normally
    kAccessViolation,      // invalid memory access (SIGSEGV, SIGBUS)
    kStackOverflow,        // the thread's stack ran out
    kIntegerDivideByZero,  // integer division by zero (or overflow, as x86 reports both)
    kArithmetic,           // another arithmetic fault
    kIllegalInstruction,   // undefined or privileged instruction (ud2, __builtin_trap)
    kBreakpoint,           // breakpoint or trap instruction (int3)
    kCppException,         // a C++ exception left the routine
    kSoftwareException,    // Windows: another raised exception (RaiseException)
};

/// Details of a fault, for diagnostics and tests.
struct FaultInfo {
    FaultKind kind = FaultKind::kNone;
    /// Windows: the exception code (0xC0000005, ...). POSIX: the signal number, or 0 for a
    /// C++ exception.
    std::uint32_t code = 0;
    /// The data address of an access violation; null for other kinds.
    const void* address = nullptr;
};

/// Runs routine(context) so that a processor fault (access violation, integer divide by zero,
/// illegal instruction, stack overflow, ...) or a software exception (a C++ exception, a
/// raised structured exception) inside it ends the call and goes no further. Returns true when
/// the routine returned normally, false when a fault ended it; then *fault (when fault is not
/// null) says what happened.
///
/// After a fault, state that the foreign code was changing may be inconsistent and locks it
/// held stay held. Windows: a C++ exception of another compiler (MSVC) runs its destructors
/// but its exception object is not destroyed. POSIX: a thread must not be cancelled
/// (pthread_cancel, pthread_exit) inside a guarded call.
///
/// POSIX installation: the signal handlers are installed at the first guarded call of the
/// process (after plug-in libraries have been loaded and have run their initialisers, which
/// may install handlers of their own) and re-asserted by every SetUnguardedFaultHandler.
/// Code that installs a handler for these signals later takes them away from the guard until
/// then.
[[nodiscard]] bool RunGuarded(void (*routine)(void* context), void* context,
                              FaultInfo* fault) noexcept;

/// As above, without the details.
[[nodiscard]] inline bool RunGuarded(void (*routine)(void* context), void* context) noexcept {
    return RunGuarded(routine, context, nullptr);
}

/// POSIX only (no effect on Windows, where unhandled faults go to the unhandled-exception
/// filter): a fault outside any guarded call, or on a thread without one, is passed to the
/// handler set here (the crash handler), called in signal context on the faulting thread with
/// the sigaction arguments (signal number, siginfo_t*, ucontext_t*); if it returns, the
/// signal's default action ends the process (re-raising the original fault when the kernel
/// reported it). With none set, the handler that was installed before the guard's is called
/// when it was a function (a sanitizer's, for example), else the default action follows.
/// Installs or re-asserts the guard's signal handlers. Async-signal-safe to read; set it
/// before threads run. A null handler removes it.
using UnguardedFaultHandler = void (*)(int signalNumber, void* signalInfo, void* userContext);
void SetUnguardedFaultHandler(UnguardedFaultHandler handler) noexcept;

/// POSIX only (no effect on Windows): the calling thread's signal mask was changed on purpose
/// (outside guarded calls); its next guarded call reads the mask again, so that a fault
/// restores the new one. Whatever changes a thread's mask for good calls it: the platform
/// layer's stop-signal hold and release do.
void ForgetSavedSignalMask() noexcept;

/// Calls f() under RunGuarded and returns its result, or faultValue after a fault.
template <typename R, typename F>
[[nodiscard]] R CallGuarded(F&& f, R faultValue) noexcept {
    using Callable = std::remove_reference_t<F>;
    struct Frame {
        Callable* f;
        R result;
    } frame{&f, faultValue};
    const bool ok = RunGuarded(
        [](void* p) {
            auto* fr = static_cast<Frame*>(p);
            fr->result = (*fr->f)();
        },
        &frame);
    return ok ? frame.result : faultValue;
}

/// Calls f() (no result) under RunGuarded; false after a fault.
template <typename F>
bool CallGuardedVoid(F&& f) noexcept {
    return RunGuarded([](void* p) { (*static_cast<std::remove_reference_t<F>*>(p))(); }, &f);
}

}  // namespace platform
