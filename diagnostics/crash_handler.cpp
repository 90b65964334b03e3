// The crash handler's portable part: the handler routines, the crash gate and the dump path.
#include "diagnostics/crash_handler.h"

#include <atomic>
#include <exception>
#include <new>

#include "platform/system_log.h"

namespace Stoneleaf {

wchar_t g_crashDumpPath[kCrashDumpPathCapacity] = L"crashdump.dmp";

platform::ContextRecord CCrashHandler::s_capturedContext;
platform::ExceptionRecord CCrashHandler::s_capturedRecord;
platform::ExceptionPointers CCrashHandler::s_capturedPointers;

namespace {

// The thread that owns the crash path, 0 while no handler runs. Static and lock-free: the
// heap or a lock may be what failed.
std::atomic<std::uint32_t> s_crashOwner{0};
static_assert(std::atomic<std::uint32_t>::is_always_lock_free);

// One crashing thread at a time: the first writes the dump and ends the process. A second
// thread must not race it to the file (the dump would end up cut short), so it parks until
// the process is gone. A fault inside the handler itself comes back here on the owning thread:
// the dump is lost either way, so the process ends at once rather than recursing.
void EnterCrashGate() noexcept {
    platform::PrepareCrashThread();
    const std::uint32_t self = platform::CrashThreadId();
    std::uint32_t expected = 0;
    if (s_crashOwner.compare_exchange_strong(expected, self, std::memory_order_acq_rel)) {
        return;
    }
    if (expected == self) {
        platform::TerminateCurrentProcess(1);
    }
    platform::ParkCrashThread();
}

[[noreturn]] void EndProcess() noexcept {
    platform::TerminateCurrentProcess(1);
}

// std::set_new_handler takes no size.
void OnStdNewFailure() {
    CCrashHandler::OnNewFailure(0);
}

platform::CrashHooks Hooks() noexcept {
    platform::CrashHooks hooks{};
    hooks.onUnhandledException = &CCrashHandler::OnUnhandledException;
    hooks.onRuntimeFailure = &CCrashHandler::OnRuntimeFailure;
    hooks.onInvalidParameter = &CCrashHandler::OnInvalidParameter;
    hooks.onNewFailure = &CCrashHandler::OnNewFailure;
    hooks.onSignal = &CCrashHandler::OnSignal;
    hooks.onFaultSignal = &CCrashHandler::OnFaultSignal;
    return hooks;
}

}  // namespace

void CCrashHandler::InstallProcessHandlers() {
    platform::InstallProcessCrashHooks(Hooks());
    // The C++ library's operator new asks this handler, not the C runtime's, on every platform.
    std::set_new_handler(&OnStdNewFailure);
}

void CCrashHandler::InstallThreadHandlers() {
    std::set_terminate(&OnRuntimeFailure);
    (void)platform::InstallThreadCrashHooks(Hooks());
}

std::int32_t CCrashHandler::OnUnhandledException(platform::ExceptionPointers* exceptionPointers) {
    EnterCrashGate();
    WriteMiniDump(exceptionPointers);
    EndProcess();
}

void CCrashHandler::OnRuntimeFailure() {
    EnterCrashGate();
    platform::ExceptionPointers* exceptionPointers = nullptr;
    CaptureExceptionPointers(&exceptionPointers);
    WriteMiniDump(exceptionPointers);
    EndProcess();
}

void CCrashHandler::OnInvalidParameter(const wchar_t*, const wchar_t*, const wchar_t*, unsigned int,
                                       std::uintptr_t) {
    EnterCrashGate();
    platform::ExceptionPointers* exceptionPointers = nullptr;
    CaptureExceptionPointers(&exceptionPointers);
    WriteMiniDump(exceptionPointers);
    EndProcess();
}

int CCrashHandler::OnNewFailure(std::size_t) {
    EnterCrashGate();
    platform::ExceptionPointers* exceptionPointers = nullptr;
    CaptureExceptionPointers(&exceptionPointers);
    WriteMiniDump(exceptionPointers);
    EndProcess();
}

void CCrashHandler::OnSignal(int signalNumber) {
    EnterCrashGate();
    platform::ExceptionPointers* exceptionPointers =
        platform::CurrentSignalExceptionPointers(signalNumber);
    if (exceptionPointers == nullptr) {
        CaptureExceptionPointers(&exceptionPointers);
    }
    WriteMiniDump(exceptionPointers);
    EndProcess();
}

void CCrashHandler::OnFaultSignal(int signalNumber) {
    EnterCrashGate();
    platform::ExceptionPointers* exceptionPointers =
        platform::CurrentSignalExceptionPointers(signalNumber);
    if (exceptionPointers == nullptr) {
        CaptureExceptionPointers(&exceptionPointers);
    }
    WriteMiniDump(exceptionPointers);
    EndProcess();
}

void CCrashHandler::WriteMiniDump(platform::ExceptionPointers* exceptionPointers) {
    // A private, terminated copy: the writer never reads past the buffer, and an unterminated
    // buffer names no file at all, so nothing is written rather than a file at a cut path.
    static wchar_t path[kCrashDumpPathCapacity];
    std::size_t length = 0;
    while (length < kCrashDumpPathCapacity && g_crashDumpPath[length] != L'\0') {
        path[length] = g_crashDumpPath[length];
        ++length;
    }
    if (length == 0 || length == kCrashDumpPathCapacity) {
        return;
    }
    path[length] = L'\0';
    platform::WriteCrashSystemLog(platform::WriteMiniDump(path, exceptionPointers) == 0);
}

}  // namespace Stoneleaf
