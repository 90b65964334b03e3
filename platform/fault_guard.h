// Guarded calls into foreign code: a fault or exception inside ends the call, not the host.
#pragma once

#include <type_traits>
#include <utility>

namespace platform {

/// Runs routine(context) so that a processor fault (access violation, integer divide by zero,
/// illegal instruction, ...) or a software exception (a C++ exception, a raised structured
/// exception) inside it ends the call and goes no further. Returns true when the routine
/// returned normally, false when a fault ended it.
///
/// Windows: a frame-based structured exception handler below the routine's frames, so
/// handlers inside the foreign code get the first chance, as with __try/__except.
/// POSIX: SIGSEGV, SIGBUS, SIGFPE, SIGILL and SIGTRAP raised on the calling thread while the
/// routine runs jump back to the guard; C++ exceptions are caught. Faults on other threads,
/// or outside a guarded call, are not touched and still reach the process's crash handling.
///
/// After a fault the routine's frames are abandoned without running destructors (as
/// TerminateThread would): state that the foreign code was changing may be inconsistent.
/// Guards nest. Thread-safe: each thread has its own guard state.
[[nodiscard]] bool RunGuarded(void (*routine)(void* context), void* context) noexcept;

/// POSIX only (no effect on Windows, where unhandled faults go to the unhandled-exception
/// filter): the fault guard owns the process's handlers for SIGSEGV, SIGBUS, SIGFPE, SIGILL
/// and SIGTRAP. A fault outside any guarded call is passed to the handler set here (the crash
/// handler), called in signal context on the faulting thread with the sigaction arguments;
/// with none set the signal's default action ends the process. Installs the guard's signal
/// handlers if that has not happened yet. Async-signal-safe to read; set it before threads run.
using UnguardedFaultHandler = void (*)(int signalNumber, void* signalInfo, void* userContext);
void SetUnguardedFaultHandler(UnguardedFaultHandler handler) noexcept;

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
