// The test plug-in: records every call, and is configured per variant with compile
// definitions (omitted exports, faults, hangs, "IsAlive" answers) and at run time through
// its test exports.
//
// Variant definitions:
//   TP_NAME="..."               description returned by "GetDescription"
//   TP_OMIT_<EXPORT>            leave out MAIN, HANDLER, UNLOAD, GETDESCRIPTION or ISALIVE
//   TP_ON_DELETE                export "OnDeleteService"
//   TP_NOOP                     do nothing, record nothing (benchmarks)
//   TP_RECORDER                 also append every call to "<its own path>.calls" (for runs
//                               in other processes); control 201 faults (TP_FAULT_KIND) on a
//                               thread of its own, outside any guard
//   TP_MAIN_MODE=n, TP_ALIVE_MODE=n, TP_HANDLER_BLOCKS   start-up configuration
//   TP_FAULT_IN_<EXPORT> with TP_FAULT_KIND=1..4    fault in that export: 1 access
//                               violation, 2 integer divide by zero, 3 illegal instruction,
//                               4 C++ throw
//
// Waiting blocks on the system's own primitives (a Win32 event, a futex), never the C++ thread
// library: with mingw's static winpthreads every load of a library that blocks or sleeps
// through it takes a TLS slot that unloading does not give back, and a process has 1088.
#include <atomic>
#include <cstdint>
#include <stdexcept>
#ifdef TP_RECORDER
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#endif

#include "keltra/plugin.h"
#include "tests/plugins/test_plugin_api.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#endif

using namespace keltra::test;

#ifndef TP_MAIN_MODE
#define TP_MAIN_MODE 0
#endif
#ifndef TP_ALIVE_MODE
#define TP_ALIVE_MODE 0
#endif
#ifndef TP_HANDLER_BLOCKS
#define TP_HANDLER_BLOCKS 0
#endif

namespace {

#define TP_WIDEN2(x) L##x
#define TP_WIDEN(x) TP_WIDEN2(x)
const wchar_t kDescription[] = TP_WIDEN(TP_NAME);

TestPluginRecord g_record;
std::atomic<MainMode> g_mainMode{static_cast<MainMode>(TP_MAIN_MODE)};
std::atomic<AliveMode> g_aliveMode{static_cast<AliveMode>(TP_ALIVE_MODE)};
std::atomic<std::uint32_t> g_handlerBlocks{TP_HANDLER_BLOCKS};

// A one-way signal: once set it stays set, and every waiter, now or later, returns. Not a
// lock: a thread terminated inside Wait leaves nothing held.
class Signal {
  public:
#if defined(_WIN32)
    Signal() = default;
    ~Signal() {
        ::CloseHandle(m_event);
    }
    Signal(const Signal&) = delete;
    Signal& operator=(const Signal&) = delete;
#endif
    void Set() {
        m_set.store(1);
#if defined(_WIN32)
        ::SetEvent(m_event);
#else
        ::syscall(SYS_futex, &m_set, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
#endif
    }
    void Wait() {
#if defined(_WIN32)
        if (m_set.load() == 0) {
            ::WaitForSingleObject(m_event, INFINITE);
        }
#else
        while (m_set.load() == 0) {
            ::syscall(SYS_futex, &m_set, FUTEX_WAIT_PRIVATE, 0, nullptr, nullptr, 0);
        }
#endif
    }

  private:
    std::atomic<std::uint32_t> m_set{0};
    static_assert(sizeof(std::atomic<std::uint32_t>) == 4, "a futex word");
#if defined(_WIN32)
    // Manual reset and never reset: it stays signalled like the flag. Closed when the library
    // is freed.
    HANDLE m_event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
#endif
};

Signal g_released;
Signal g_unloadRequested;
std::atomic<TestNotifyFn> g_notify{nullptr};
std::atomic<void*> g_notifyContext{nullptr};

[[maybe_unused]] std::uint32_t ThreadId() {
#if defined(_WIN32)
    return static_cast<std::uint32_t>(::GetCurrentThreadId());
#else
    return static_cast<std::uint32_t>(::syscall(SYS_gettid));
#endif
}

[[maybe_unused]] void Notify(TestEvent event) {
    if (auto fn = g_notify.load()) {
        fn(g_notifyContext.load(), event);
    }
}

#if defined(TP_FAULT_KIND)
[[maybe_unused]] void Fault() {
#if TP_FAULT_KIND == 1
    // A page reserved without access: the null page is not reliably unmapped everywhere.
#if defined(_WIN32)
    void* page = ::VirtualAlloc(nullptr, 4096, MEM_RESERVE, PAGE_NOACCESS);
#else
    void* page = ::mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
#endif
    *static_cast<volatile int*>(page) = 42;
#elif TP_FAULT_KIND == 2
    volatile int zero = 0;
    volatile int quotient = 42 / zero;
    (void)quotient;
#elif TP_FAULT_KIND == 3
    __builtin_trap();
#elif TP_FAULT_KIND == 4
    throw std::runtime_error("test plug-in throws");
#endif
}
#define TP_FAULT() Fault()
#else
#define TP_FAULT() ((void)0)
#endif

#ifdef TP_NOOP
#define TP_RECORD(statement) ((void)0)
#else
#define TP_RECORD(statement) statement
#endif

#ifdef TP_RECORDER
void Log(const std::string& line) {
    static std::mutex lock;
    std::lock_guard<std::mutex> guard(lock);
#if defined(_WIN32)
    HMODULE self = nullptr;
    ::GetModuleHandleExA(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<LPCSTR>(&Log), &self);
    char path[MAX_PATH] = {};
    ::GetModuleFileNameA(self, path, MAX_PATH);
#else
    Dl_info info{};
    ::dladdr(reinterpret_cast<void*>(&Log), &info);
    const char* path = info.dli_fname;
#endif
    if (std::FILE* file = std::fopen((std::string(path) + ".calls").c_str(), "ab")) {
        std::fprintf(file, "%s\n", line.c_str());
        std::fclose(file);
    }
}
#define TP_LOG(text) Log(text)
#else
#define TP_LOG(text) ((void)0)
#endif

}  // namespace

#ifndef TP_OMIT_MAIN
KELTRA_PLUGIN_EXPORT void KELTRA_PLUGIN_CALL Main([[maybe_unused]] uint32_t argc,
                                                  [[maybe_unused]] wchar_t** argv) {
    TP_LOG("Main " + std::to_string(argc));
    TP_RECORD(g_record.mainThreadId = ThreadId());
    for (int i = 0; argc > 0 && argv != nullptr && argv[0] != nullptr && argv[0][i] && i < 63;
         ++i) {
        g_record.mainFirstArg[i] = argv[0][i];
    }
    TP_RECORD(g_record.mainCalls++);
    TP_RECORD(Notify(TestEvent::MainEntered));
#ifdef TP_FAULT_IN_MAIN
    TP_FAULT();
#endif
    if (g_mainMode.load() == MainMode::WaitForUnload) {
        g_unloadRequested.Wait();
    } else if (g_mainMode.load() == MainMode::IgnoreUnload) {
        g_released.Wait();
    }
    TP_RECORD(g_record.mainReturns++);
    TP_RECORD(Notify(TestEvent::MainLeft));
}
#endif

#ifndef TP_OMIT_HANDLER
KELTRA_PLUGIN_EXPORT uint32_t KELTRA_PLUGIN_CALL Handler(uint32_t control,
                                                         [[maybe_unused]] uint32_t eventType,
                                                         [[maybe_unused]] void* eventData,
                                                         [[maybe_unused]] void* context) {
#ifndef TP_NOOP
    if (g_record.handlersRunning.fetch_add(1) != 0) {
        g_record.handlerOverlaps++;
    }
    const std::uint32_t index = g_record.handlerCalls.load();
    if (index < kMaxRecordedCalls) {
        g_record.calls[index] = {control, eventType, eventData, context, ThreadId()};
    }
    g_record.handlerCalls++;
    Notify(TestEvent::HandlerEntered);
#endif
    TP_LOG("Handler " + std::to_string(control) + " " + std::to_string(eventType));
#ifdef TP_RECORDER
    if (control == 201) {
        std::thread(Fault).join();
    }
#endif
#ifdef TP_FAULT_IN_HANDLER
    g_record.handlersRunning--;
    TP_FAULT();
#endif
    if (g_handlerBlocks.load() != 0) {
        g_released.Wait();
    }
    TP_RECORD(g_record.handlersRunning--);
    TP_RECORD(Notify(TestEvent::HandlerLeft));
    return HandlerResultFor(control);
}
#endif

#ifndef TP_OMIT_UNLOAD
KELTRA_PLUGIN_EXPORT void KELTRA_PLUGIN_CALL Unload() {
    TP_RECORD(g_record.unloadThreadId = ThreadId());
    TP_RECORD(g_record.unloadCalls++);
    TP_RECORD(Notify(TestEvent::UnloadCalled));
    TP_LOG("Unload");
    g_unloadRequested.Set();
#ifdef TP_FAULT_IN_UNLOAD
    TP_FAULT();
#endif
}
#endif

#ifndef TP_OMIT_GETDESCRIPTION
KELTRA_PLUGIN_EXPORT const wchar_t* KELTRA_PLUGIN_CALL GetDescription() {
    TP_RECORD(g_record.getDescriptionCalls++);
#ifdef TP_FAULT_IN_GETDESCRIPTION
    TP_FAULT();
#endif
    return kDescription;
}
#endif

#ifndef TP_OMIT_ISALIVE
KELTRA_PLUGIN_EXPORT bool KELTRA_PLUGIN_CALL IsAlive() {
    const std::uint32_t call = g_record.isAliveCalls++;
#ifdef TP_FAULT_IN_ISALIVE
    TP_FAULT();
#endif
    const AliveMode mode = g_aliveMode.load();
    return mode == AliveMode::Always || (mode == AliveMode::Toggle && call % 2 == 0);
}
#endif

#ifdef TP_ON_DELETE
KELTRA_PLUGIN_EXPORT void KELTRA_PLUGIN_CALL OnDeleteService() {
    g_record.onDeleteServiceCalls++;
    TP_LOG("OnDeleteService");
}
#endif

KELTRA_PLUGIN_EXPORT TestPluginRecord* TestGetRecord() {
    return &g_record;
}

KELTRA_PLUGIN_EXPORT void TestConfigure(const TestPluginConfig* config) {
    g_mainMode = config->mainMode;
    g_aliveMode = config->aliveMode;
    g_handlerBlocks = config->handlerBlocks;
}

KELTRA_PLUGIN_EXPORT void TestSetNotify(TestNotifyFn fn, void* context) {
    g_notifyContext = context;
    g_notify = fn;
}

KELTRA_PLUGIN_EXPORT void TestRelease() {
    g_released.Set();
}
