// Windows crash hooks: the unhandled-exception filter and the C runtime's handlers, context
// capture, MiniDumpWriteDump of dbghelp.dll (loaded at run time) and TerminateProcess.
#include "platform/win32/windows_lean.h"

#include <dbghelp.h>
#include <signal.h>
#include <stdlib.h>

#include <atomic>

#include "platform/crash.h"
#include "platform/dynamic_library.h"
#include "platform/handle.h"

// CaptureCurrentContext is RtlCaptureContext itself, reached by a jump so that no frame of
// ours lies between the caller and the capture.
__asm__(
    ".text\n"
    ".globl keltra_capture_current_context\n"
    ".def keltra_capture_current_context; .scl 2; .type 32; .endef\n"
    "keltra_capture_current_context:\n"
    "    jmp *__imp_RtlCaptureContext(%rip)\n");

// g++ vtables refer to __cxa_pure_virtual weakly, and in a static mingw link nothing else
// pulls it in: a pure virtual call would jump to address 0. Referring to it here links the C++
// library's own, which reports the call and ends in std::terminate, the crash handler's.
extern "C" void __cxa_pure_virtual();
// The linker's name for the start of the image being linked.
extern "C" const IMAGE_DOS_HEADER __ImageBase;
[[gnu::used]] void (*const g_keepPureVirtualHandler)() = &__cxa_pure_virtual;

namespace platform {

static_assert(sizeof(ContextRecord) == sizeof(CONTEXT));
static_assert(alignof(ContextRecord) >= alignof(CONTEXT));
static_assert(sizeof(ExceptionRecord) == sizeof(EXCEPTION_RECORD));
static_assert(sizeof(ExceptionPointers) == sizeof(EXCEPTION_POINTERS));
static_assert(offsetof(ExceptionPointers, contextRecord) ==
              offsetof(EXCEPTION_POINTERS, ContextRecord));

namespace {

CrashHooks g_hooks{};

LONG WINAPI UnhandledExceptionHook(EXCEPTION_POINTERS* exceptionPointers) {
    return g_hooks.onUnhandledException(reinterpret_cast<ExceptionPointers*>(exceptionPointers));
}

// The C runtimes a process may have loaded. Each keeps its own handlers, and the setters that
// the toolchain links may only emulate them (mingw's msvcrt import library keeps the
// invalid-parameter and purecall handlers to itself), so each loaded runtime is told directly
// through its own export where it has one.
constexpr const wchar_t* kRuntimeModules[] = {L"ucrtbase.dll", L"msvcrt.dll"};

template <typename Function, typename Call>
void ForEachRuntimeExport(const char* name, Call call) {
    for (const wchar_t* moduleName : kRuntimeModules) {
        HMODULE module = GetModuleHandleW(moduleName);
        if (module == nullptr) {
            continue;
        }
        FARPROC address = GetProcAddress(module, name);
        if (address != nullptr) {
            call(reinterpret_cast<Function>(reinterpret_cast<void*>(address)));
        }
    }
}

using NewHandler = int(__cdecl*)(size_t);
using SetNewHandler = NewHandler(__cdecl*)(NewHandler);
using SetPurecallHandler = _purecall_handler(__cdecl*)(_purecall_handler);
using SetInvalidParameterHandlerFunction =
    _invalid_parameter_handler(__cdecl*)(_invalid_parameter_handler);
using SetAbortBehavior = unsigned int(__cdecl*)(unsigned int, unsigned int);
using MiniDumpWriteDumpFunction = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE,
                                                PMINIDUMP_EXCEPTION_INFORMATION,
                                                PMINIDUMP_USER_STREAM_INFORMATION,
                                                PMINIDUMP_CALLBACK_INFORMATION);

// Room for the handlers after a stack overflow: the filter runs on the overflowed stack.
constexpr ULONG kStackGuaranteeBytes = 64 * 1024;

DWORD WriteDumpFor(DWORD threadId, const wchar_t* path, EXCEPTION_POINTERS* exceptionPointers) {
    const UniqueModule dbghelp(LoadLibraryW(L"dbghelp.dll"));
    if (!dbghelp) {
        return GetLastError();
    }
    UniqueHandle file(CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return GetLastError();
    }
    MINIDUMP_EXCEPTION_INFORMATION exceptionInformation = {};
    exceptionInformation.ThreadId = threadId;
    exceptionInformation.ExceptionPointers = exceptionPointers;
    exceptionInformation.ClientPointers = FALSE;
    auto write = reinterpret_cast<MiniDumpWriteDumpFunction>(reinterpret_cast<void*>(
        GetProcAddress(static_cast<HMODULE>(dbghelp.Get()), "MiniDumpWriteDump")));
    // No callback information at all rather than one with a null routine: both mean "no
    // callbacks", but some dbghelp implementations (Wine's) call the routine of any callback
    // information they are given, null or not, and fault half-way through.
    if (write != nullptr &&
        write(GetCurrentProcess(), GetCurrentProcessId(), file.Get(), MiniDumpNormal,
              exceptionPointers != nullptr ? &exceptionInformation : nullptr, nullptr, nullptr)) {
        return ERROR_SUCCESS;
    }
    const DWORD error = write != nullptr ? GetLastError() : ERROR_PROC_NOT_FOUND;
    // An empty or partial dump would mislead whoever opens it; leave none.
    file.Reset();
    DeleteFileW(path);
    return error;
}

// The last processor fault met on each thread, copied at first chance by a vectored handler
// that only records (it never handles anything). mingw's start-up code catches a fault of the
// main thread in a frame filter of its own and calls the SIGSEGV, SIGFPE or SIGILL handler
// without publishing the exception pointers the way the C runtime's filter does; this copy
// gives the handler the system's description of the fault all the same.
struct FaultSlot {
    std::atomic<DWORD> threadId;
    int signalNumber;
    bool deliveredForFault;   // the signal being handled came from the start-up code's handler
    ULONG_PTR recordAddress;  // where the dispatcher kept the record: inside the live dispatch
    DWORD64 faultRsp;         // the faulting frame's stack pointer
    EXCEPTION_RECORD record;
    CONTEXT context;
    EXCEPTION_POINTERS pointers;
};
constexpr int kFaultSlots = 64;
FaultSlot g_faultSlots[kFaultSlots];

// The signal the C runtime raises for a processor fault, or 0 when none.
int SignalOfFault(DWORD code) {
    switch (code) {
        case EXCEPTION_ACCESS_VIOLATION:
        case EXCEPTION_IN_PAGE_ERROR:
        case EXCEPTION_STACK_OVERFLOW:
        case EXCEPTION_DATATYPE_MISALIGNMENT:
        case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
            return SIGSEGV;
        case EXCEPTION_ILLEGAL_INSTRUCTION:
        case EXCEPTION_PRIV_INSTRUCTION:
            return SIGILL;
        case EXCEPTION_INT_DIVIDE_BY_ZERO:
        case EXCEPTION_INT_OVERFLOW:
        case EXCEPTION_FLT_DENORMAL_OPERAND:
        case EXCEPTION_FLT_DIVIDE_BY_ZERO:
        case EXCEPTION_FLT_INEXACT_RESULT:
        case EXCEPTION_FLT_INVALID_OPERATION:
        case EXCEPTION_FLT_OVERFLOW:
        case EXCEPTION_FLT_STACK_CHECK:
        case EXCEPTION_FLT_UNDERFLOW:
            return SIGFPE;
        default:
            return 0;
    }
}

FaultSlot* FaultSlotOfThread(DWORD threadId) {
    for (FaultSlot& slot : g_faultSlots) {
        if (slot.threadId.load(std::memory_order_acquire) == threadId) {
            return &slot;
        }
    }
    return nullptr;
}

LONG CALLBACK RecordFault(EXCEPTION_POINTERS* exceptionPointers) {
    const int signalNumber = SignalOfFault(exceptionPointers->ExceptionRecord->ExceptionCode);
    if (signalNumber == 0) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    const DWORD self = GetCurrentThreadId();
    FaultSlot* slot = FaultSlotOfThread(self);
    for (int i = 0; slot == nullptr && i < kFaultSlots; ++i) {
        DWORD expected = 0;
        if (g_faultSlots[i].threadId.compare_exchange_strong(expected, self)) {
            slot = &g_faultSlots[i];
        }
    }
    if (slot != nullptr) {
        slot->signalNumber = signalNumber;
        slot->recordAddress = reinterpret_cast<ULONG_PTR>(exceptionPointers->ExceptionRecord);
        slot->faultRsp = exceptionPointers->ContextRecord->Rsp;
        slot->record = *exceptionPointers->ExceptionRecord;
        slot->record.ExceptionRecord = nullptr;
        slot->context = *exceptionPointers->ContextRecord;
        slot->pointers.ExceptionRecord = &slot->record;
        slot->pointers.ContextRecord = &slot->context;
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

// The recorded fault when the signal being handled was delivered for it: by the start-up
// code's handler (a raised signal comes from the runtime's raise, and a fault handled earlier,
// by a guarded call say, must not pass for it), with the calling thread still inside the
// fault's dispatch (the record's place lies between this frame and the faulting frame).
EXCEPTION_POINTERS* FaultInDispatch(int signalNumber) {
    FaultSlot* slot = FaultSlotOfThread(GetCurrentThreadId());
    const auto here = reinterpret_cast<ULONG_PTR>(__builtin_frame_address(0));
    if (slot == nullptr || !slot->deliveredForFault || slot->signalNumber != signalNumber ||
        here >= slot->recordAddress || slot->recordAddress >= slot->faultRsp) {
        return nullptr;
    }
    return &slot->pointers;
}

// True for an address inside the image this code is linked into, where mingw's start-up code
// (and its exception handler) lives; the C runtime's raise lives in the runtime's DLL.
bool InThisImage(const void* address) {
    const auto base = reinterpret_cast<std::uintptr_t>(&__ImageBase);
    const auto* headers = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + __ImageBase.e_lfanew);
    return reinterpret_cast<std::uintptr_t>(address) - base < headers->OptionalHeader.SizeOfImage;
}

// SIGFPE, SIGILL and SIGSEGV on the installing thread: notes who delivered the signal, then
// runs the hook. The start-up code's exception handler calls it for a processor fault without
// publishing exception pointers; the runtime's raise calls it for a raised signal.
void __cdecl DeliverThreadSignal(int signalNumber) {
    if (FaultSlot* slot = FaultSlotOfThread(GetCurrentThreadId())) {
        slot->deliveredForFault = InThisImage(__builtin_return_address(0));
    }
    (signalNumber == SIGILL ? g_hooks.onSignal : g_hooks.onFaultSignal)(signalNumber);
}

// An invalid parameter detected by a runtime DLL other than the linked runtime goes to the
// handler the linked runtime holds at that moment: whoever replaces that one later (the trace
// log's formatter does) replaces it for every runtime of the process.
void __cdecl ForwardInvalidParameter(const wchar_t* expression, const wchar_t* function,
                                     const wchar_t* file, unsigned int line,
                                     std::uintptr_t reserved) {
    _invalid_parameter_handler handler = _get_invalid_parameter_handler();
    if (handler == nullptr || handler == &ForwardInvalidParameter) {
        handler = g_hooks.onInvalidParameter;
    }
    handler(expression, function, file, line, reserved);
}

struct DumpRequest {
    DWORD threadId;
    const wchar_t* path;
    EXCEPTION_POINTERS* exceptionPointers;
    DWORD result;
};
DumpRequest g_dumpRequest;

DWORD WINAPI DumpThread(void* argument) {
    auto* request = static_cast<DumpRequest*>(argument);
    request->result = WriteDumpFor(request->threadId, request->path, request->exceptionPointers);
    return 0;
}

}  // namespace

void InstallProcessCrashHooks(const CrashHooks& hooks) noexcept {
    g_hooks = hooks;
    SetUnhandledExceptionFilter(&UnhandledExceptionHook);
    AddVectoredExceptionHandler(0, &RecordFault);

    _set_purecall_handler(hooks.onRuntimeFailure);
    ForEachRuntimeExport<SetPurecallHandler>(
        "_set_purecall_handler", [&](SetPurecallHandler set) { set(hooks.onRuntimeFailure); });

    // msvcrt.dll exports its setter under its C++ name only.
    ForEachRuntimeExport<SetNewHandler>("_set_new_handler",
                                        [&](SetNewHandler set) { set(hooks.onNewFailure); });
    ForEachRuntimeExport<SetNewHandler>("?_set_new_handler@@YAP6AH_K@ZP6AH0@Z@Z",
                                        [&](SetNewHandler set) { set(hooks.onNewFailure); });

    _set_invalid_parameter_handler(hooks.onInvalidParameter);
    ForEachRuntimeExport<SetInvalidParameterHandlerFunction>(
        "_set_invalid_parameter_handler", [&](SetInvalidParameterHandlerFunction set) {
            // A DLL that already holds the hook is the linked runtime itself: left so.
            if (set(&ForwardInvalidParameter) == hooks.onInvalidParameter) {
                set(hooks.onInvalidParameter);
            }
        });

    ForEachRuntimeExport<SetAbortBehavior>("_set_abort_behavior", [](SetAbortBehavior set) {
        set(_CALL_REPORTFAULT, _CALL_REPORTFAULT);
    });

    signal(SIGABRT, hooks.onSignal);
    signal(SIGINT, hooks.onSignal);
    signal(SIGTERM, hooks.onSignal);
}

bool InstallThreadCrashHooks(const CrashHooks& hooks) noexcept {
    g_hooks = hooks;
    signal(SIGFPE, &DeliverThreadSignal);
    signal(SIGILL, &DeliverThreadSignal);
    signal(SIGSEGV, &DeliverThreadSignal);
    ULONG guarantee = kStackGuaranteeBytes;
    return SetThreadStackGuarantee(&guarantee) != FALSE;
}

void PrepareCrashThread() noexcept {}

void InitialiseExceptionRecord(ExceptionRecord* record, std::uint32_t code,
                               const void* address) noexcept {
    auto* fields = reinterpret_cast<EXCEPTION_RECORD*>(record);
    ZeroMemory(fields, sizeof *fields);
    fields->ExceptionCode = code;
    fields->ExceptionAddress = const_cast<void*>(address);
}

const void* InstructionPointerOf(const ContextRecord* context) noexcept {
    return reinterpret_cast<const void*>(reinterpret_cast<const CONTEXT*>(context)->Rip);
}

std::uint32_t ExceptionCodeOf(const ExceptionRecord* record) noexcept {
    return reinterpret_cast<const EXCEPTION_RECORD*>(record)->ExceptionCode;
}

const void* ExceptionAddressOf(const ExceptionRecord* record) noexcept {
    return reinterpret_cast<const EXCEPTION_RECORD*>(record)->ExceptionAddress;
}

ExceptionPointers* CurrentSignalExceptionPointers(int signalNumber) noexcept {
    if (signalNumber != SIGFPE && signalNumber != SIGSEGV && signalNumber != SIGILL) {
        return nullptr;
    }
    void** runtimePointers = __pxcptinfoptrs();
    if (runtimePointers != nullptr && *runtimePointers != nullptr) {
        return static_cast<ExceptionPointers*>(*runtimePointers);
    }
    return reinterpret_cast<ExceptionPointers*>(FaultInDispatch(signalNumber));
}

std::uint32_t WriteMiniDump(const wchar_t* path, ExceptionPointers* exceptionPointers) noexcept {
    auto* pointers = reinterpret_cast<EXCEPTION_POINTERS*>(exceptionPointers);
    const DWORD threadId = GetCurrentThreadId();
    const bool stackOverflow = pointers != nullptr && pointers->ExceptionRecord != nullptr &&
                               pointers->ExceptionRecord->ExceptionCode == EXCEPTION_STACK_OVERFLOW;
    if (stackOverflow) {
        // The overflowed stack has too little room left for dbghelp: write from a fresh thread
        // while this one waits. Bounded, so that a thread start blocked for good (the loader
        // lock held by the crashed thread) cannot hang the process.
        g_dumpRequest = {threadId, path, pointers, ERROR_TIMEOUT};
        const UniqueHandle thread(
            CreateThread(nullptr, 256 * 1024, &DumpThread, &g_dumpRequest, 0, nullptr));
        if (thread) {
            const DWORD waited = WaitForSingleObject(thread.Get(), 60000);
            return waited == WAIT_OBJECT_0 ? g_dumpRequest.result : ERROR_TIMEOUT;
        }
    }
    return WriteDumpFor(threadId, path, pointers);
}

void TerminateCurrentProcess(std::uint32_t exitCode) noexcept {
    for (;;) {
        TerminateProcess(GetCurrentProcess(), exitCode);
    }
}

std::uint32_t CrashThreadId() noexcept {
    return GetCurrentThreadId();
}

void ParkCrashThread() noexcept {
    for (;;) {
        Sleep(INFINITE);
    }
}

}  // namespace platform
