// Windows fault guard: the language-specific handler of the assembly trampoline.
#include <malloc.h>

#include <cstdint>

#include "platform/fault_guard.h"
#include "platform/win32/windows_lean.h"

namespace {

// What the handler learned about the exception, for the guard's caller.
struct GuardRecord {
    DWORD code;
    const void* address;
    struct GccException* gccException;
};

// The head of a gcc C++ exception object (the Itanium ABI's _Unwind_Exception as libgcc's
// SEH unwinder lays it out).
struct GccException {
    std::uint64_t exceptionClass;
    void (*cleanup)(int reason, GccException* exception);
    std::uintptr_t privateData[6];
};

// Exception codes of gcc's SEH-based C++ exceptions ("GCC" with a type in the top byte).
constexpr DWORD kGccThrow = 0x20474343;
constexpr DWORD kGccUnwind = 0x21474343;
constexpr DWORD kGccForced = 0x22474343;
constexpr DWORD kMsvcCppException = 0xE06D7363;
constexpr int kUrcForeignExceptionCaught = 1;

// Stack kept free for the exception dispatch after a stack overflow: the dispatcher, the
// handler and RtlUnwindEx each need several kilobytes (contexts of 1.2 KB are copied).
constexpr ULONG kStackGuarantee = 64 * 1024;

// Runs on every thread of the process as it starts (and on the first thread before the C++
// runtime), so each thread that may make a guarded call has the room without a per-call check.
void NTAPI GuaranteeStackForHandlers(PVOID, DWORD reason, PVOID) {
    if (reason != DLL_PROCESS_ATTACH && reason != DLL_THREAD_ATTACH) {
        return;
    }
    ULONG current = 0;
    if (SetThreadStackGuarantee(&current) && current < kStackGuarantee) {
        ULONG wanted = kStackGuarantee;
        SetThreadStackGuarantee(&wanted);
    }
}

}  // namespace

// A TLS callback: the runtime's TLS directory lists every pointer placed between its .CRT$XLA
// and .CRT$XLZ markers.
extern "C" __attribute__((section(".CRT$XLF"), used))
const PIMAGE_TLS_CALLBACK keltra_fault_guard_thread_start = &GuaranteeStackForHandlers;

namespace {

platform::FaultKind KindOf(DWORD code) {
    switch (code) {
        case EXCEPTION_ACCESS_VIOLATION:
        case EXCEPTION_IN_PAGE_ERROR:
        case EXCEPTION_DATATYPE_MISALIGNMENT:
        case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
        case EXCEPTION_GUARD_PAGE:
            return platform::FaultKind::kAccessViolation;
        case EXCEPTION_STACK_OVERFLOW:
            return platform::FaultKind::kStackOverflow;
        case EXCEPTION_INT_DIVIDE_BY_ZERO:
        case EXCEPTION_INT_OVERFLOW:
            return platform::FaultKind::kIntegerDivideByZero;
        case EXCEPTION_FLT_DENORMAL_OPERAND:
        case EXCEPTION_FLT_DIVIDE_BY_ZERO:
        case EXCEPTION_FLT_INEXACT_RESULT:
        case EXCEPTION_FLT_INVALID_OPERATION:
        case EXCEPTION_FLT_OVERFLOW:
        case EXCEPTION_FLT_STACK_CHECK:
        case EXCEPTION_FLT_UNDERFLOW:
            return platform::FaultKind::kArithmetic;
        case EXCEPTION_ILLEGAL_INSTRUCTION:
        case EXCEPTION_PRIV_INSTRUCTION:
            return platform::FaultKind::kIllegalInstruction;
        case EXCEPTION_BREAKPOINT:
        case EXCEPTION_SINGLE_STEP:
            return platform::FaultKind::kBreakpoint;
        case kGccThrow:
        case kMsvcCppException:
            return platform::FaultKind::kCppException;
        default:
            return platform::FaultKind::kSoftwareException;
    }
}

}  // namespace

extern "C" {

unsigned keltra_fault_guard_enter(void (*routine)(void*), void* context, GuardRecord* record);
extern char keltra_fault_guard_resume[];

// Called by the system's dispatcher for an exception that nothing above the trampoline
// handled. The unwind pass (and the final target-frame call) needs nothing from it.
EXCEPTION_DISPOSITION keltra_fault_guard_handler(EXCEPTION_RECORD* exception,
                                                 void* establisherFrame, CONTEXT* context,
                                                 DISPATCHER_CONTEXT* dispatcher) {
    if ((exception->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) != 0) {
        return ExceptionContinueSearch;
    }
    // gcc's own unwinding protocol: these only pass by on their way to a gcc frame.
    if (exception->ExceptionCode == kGccUnwind || exception->ExceptionCode == kGccForced) {
        return ExceptionContinueSearch;
    }
    auto* record = *reinterpret_cast<GuardRecord**>(static_cast<char*>(establisherFrame) + 32);
    record->code = exception->ExceptionCode;
    record->address = nullptr;
    record->gccException = nullptr;
    if (exception->ExceptionCode == EXCEPTION_ACCESS_VIOLATION &&
        exception->NumberParameters >= 2) {
        record->address = reinterpret_cast<const void*>(exception->ExceptionInformation[1]);
    }
    if (exception->ExceptionCode == kGccThrow && exception->NumberParameters >= 1 &&
        exception->ExceptionInformation[0] != 0) {
        // During the unwind, a gcc frame with destructors to run takes over: it lands in its
        // cleanup code, which resumes the unwind with _Unwind_Resume towards the frame and
        // address that a gcc catch would have stored in the exception. Store ours.
        auto* gcc = reinterpret_cast<GccException*>(exception->ExceptionInformation[0]);
        gcc->privateData[1] = reinterpret_cast<std::uintptr_t>(establisherFrame);
        gcc->privateData[2] = reinterpret_cast<std::uintptr_t>(keltra_fault_guard_resume);
        gcc->privateData[3] = 0;
        record->gccException = gcc;
    }
    RtlUnwindEx(establisherFrame, keltra_fault_guard_resume, exception, nullptr, context,
                dispatcher->HistoryTable);
    return ExceptionContinueSearch;  // not reached: RtlUnwindEx resumes in the trampoline
}

}  // extern "C"

namespace platform {

bool RunGuarded(void (*routine)(void* context), void* context, FaultInfo* fault) noexcept {
    GuardRecord record = {};
    if (keltra_fault_guard_enter(routine, context, &record) != 0) {
        return true;
    }
    if (GccException* gcc = record.gccException; gcc != nullptr && gcc->cleanup != nullptr) {
        // What a catch would do when it ends: destroy and free the exception object, through
        // the runtime of the module that threw it.
        gcc->cleanup(kUrcForeignExceptionCaught, gcc);
    }
    if (record.code == EXCEPTION_STACK_OVERFLOW) {
        _resetstkoflw();  // put the guard page back, or the next overflow ends the process
    }
    if (fault != nullptr) {
        fault->kind = KindOf(record.code);
        fault->code = record.code;
        fault->address = record.address;
    }
    return false;
}

void SetUnguardedFaultHandler(UnguardedFaultHandler) noexcept {}

void ForgetSavedSignalMask() noexcept {}

}  // namespace platform
