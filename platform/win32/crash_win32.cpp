// Windows crash hooks: the unhandled-exception filter and the C runtime's handlers, context
// capture, MiniDumpWriteDump of dbghelp.dll (loaded at run time) and TerminateProcess.
#include "platform/win32/windows_lean.h"

#include <dbghelp.h>
#include <signal.h>
#include <stdlib.h>

#include "platform/crash.h"

// CaptureCurrentContext is RtlCaptureContext itself, reached by a jump so that no frame of
// ours lies between the caller and the capture.
__asm__(
    ".text\n"
    ".globl keltra_capture_current_context\n"
    ".def keltra_capture_current_context; .scl 2; .type 32; .endef\n"
    "keltra_capture_current_context:\n"
    "    jmp *__imp_RtlCaptureContext(%rip)\n");

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
    HMODULE dbghelp = LoadLibraryW(L"dbghelp.dll");
    if (dbghelp == nullptr) {
        return GetLastError();
    }
    HANDLE file =
        CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return GetLastError();
    }
    MINIDUMP_EXCEPTION_INFORMATION exceptionInformation = {};
    exceptionInformation.ThreadId = threadId;
    exceptionInformation.ExceptionPointers = exceptionPointers;
    exceptionInformation.ClientPointers = FALSE;
    auto write = reinterpret_cast<MiniDumpWriteDumpFunction>(
        reinterpret_cast<void*>(GetProcAddress(dbghelp, "MiniDumpWriteDump")));
    DWORD error = ERROR_PROC_NOT_FOUND;
    if (write != nullptr) {
        MINIDUMP_CALLBACK_INFORMATION callback = {nullptr, nullptr};
        if (write(GetCurrentProcess(), GetCurrentProcessId(), file, MiniDumpNormal,
                  exceptionPointers != nullptr ? &exceptionInformation : nullptr, nullptr,
                  &callback)) {
            CloseHandle(file);
            FreeLibrary(dbghelp);
            return ERROR_SUCCESS;
        }
        error = GetLastError();
    }
    // An empty or partial dump would mislead whoever opens it; leave none.
    CloseHandle(file);
    DeleteFileW(path);
    return error;
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
        "_set_invalid_parameter_handler",
        [&](SetInvalidParameterHandlerFunction set) { set(hooks.onInvalidParameter); });

    ForEachRuntimeExport<SetAbortBehavior>("_set_abort_behavior", [](SetAbortBehavior set) {
        set(_CALL_REPORTFAULT, _CALL_REPORTFAULT);
    });

    signal(SIGABRT, hooks.onSignal);
    signal(SIGINT, hooks.onSignal);
    signal(SIGTERM, hooks.onSignal);
}

bool InstallThreadCrashHooks(const CrashHooks& hooks) noexcept {
    signal(SIGFPE, hooks.onFaultSignal);
    signal(SIGILL, hooks.onSignal);
    signal(SIGSEGV, hooks.onFaultSignal);
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
    if (signalNumber != SIGFPE && signalNumber != SIGSEGV) {
        return nullptr;
    }
    void** pointers = __pxcptinfoptrs();
    return pointers != nullptr ? static_cast<ExceptionPointers*>(*pointers) : nullptr;
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
        HANDLE thread = CreateThread(nullptr, 256 * 1024, &DumpThread, &g_dumpRequest, 0, nullptr);
        if (thread != nullptr) {
            const DWORD waited = WaitForSingleObject(thread, 60000);
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
