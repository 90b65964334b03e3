// An example plug-in: the smallest complete implementation of the plug-in contract.
//
// What it shows:
//  - "Main" runs on the plug-in's own main thread and waits until "Unload" tells it to stop;
//    real work (a timer, a socket loop, ...) would go where the wait is.
//  - "Handler" receives every service-control event on the handler thread, one at a time, and
//    here just reports what it got.
//  - "GetDescription" names the plug-in in the host's log lines.
//  - "IsAlive" tells the host whether to keep sending events; this one answers no once "Main"
//    has ended.
//  - "OnDeleteService" (optional) runs once when the service is uninstalled.
// Nothing here may throw out of an export or block "Handler" for long: the host waits at most
// 30 s for all plug-ins to handle one event, and a late plug-in is no longer waited for.
#include <atomic>
#include <cstdint>
#include <cstdio>

#include "keltra/plugin.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#endif

#ifndef EXAMPLE_NAME
#define EXAMPLE_NAME "Example plug-in"
#endif
#define EXAMPLE_WIDEN2(x) L##x
#define EXAMPLE_WIDEN(x) EXAMPLE_WIDEN2(x)

namespace {

// "Unload" is called on another thread than "Main": a flag that "Unload" sets and "Main" sleeps
// on until it is set, through the system's own calls (a Win32 event, a Linux futex). Built with
// mingw and a static C++ runtime, std::condition_variable or std::this_thread::sleep_for would
// take a thread-local slot at every load that unloading never gives back.
std::atomic<std::uint32_t> g_stopRequested{0};
#if defined(_WIN32)
// Manual reset: once set it stays set, so an "Unload" before "Main" is not lost. Closed when
// the library is freed.
struct StopEvent {
    HANDLE handle = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ~StopEvent() { ::CloseHandle(handle); }
} g_stopEvent;
#endif
std::atomic<bool> g_mainRunning{false};
std::atomic<std::uint32_t> g_eventsHandled{0};

void WaitForStop() {
#if defined(_WIN32)
    ::WaitForSingleObject(g_stopEvent.handle, INFINITE);
#else
    while (g_stopRequested.load() == 0) {  // the wait returns at once once the word is not 0
        ::syscall(SYS_futex, &g_stopRequested, FUTEX_WAIT_PRIVATE, 0, nullptr, nullptr, 0);
    }
#endif
}

void RequestStop() {
    g_stopRequested.store(1);
#if defined(_WIN32)
    ::SetEvent(g_stopEvent.handle);
#else
    ::syscall(SYS_futex, &g_stopRequested, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
#endif
}

// Plug-ins have no console of their own; a real one would write to its own log.
void Report(const char* what) {
    std::fprintf(stderr, "[%s] %s\n", EXAMPLE_NAME, what);
}
void Report(const char* what, std::uint32_t a) {
    std::fprintf(stderr, "[%s] %s %u\n", EXAMPLE_NAME, what, a);
}
void Report(const char* what, std::uint32_t a, std::uint32_t b) {
    std::fprintf(stderr, "[%s] %s %u, %u\n", EXAMPLE_NAME, what, a, b);
}

}  // namespace

KELTRA_PLUGIN_EXPORT void KELTRA_PLUGIN_CALL Main(uint32_t argc, wchar_t** /*argv*/) {
    g_mainRunning = true;
    Report("Main: started with argument count", argc);
    WaitForStop();
    Report("Main: stopping after events", g_eventsHandled.load());
    g_mainRunning = false;
}

KELTRA_PLUGIN_EXPORT uint32_t KELTRA_PLUGIN_CALL Handler(uint32_t control, uint32_t eventType,
                                                         void* /*eventData*/, void* /*context*/) {
    g_eventsHandled++;
    Report("Handler: control, event type", control, eventType);
    return 0;  // NO_ERROR; the host records it but does not act on it
}

KELTRA_PLUGIN_EXPORT void KELTRA_PLUGIN_CALL Unload() {
    RequestStop();
}

KELTRA_PLUGIN_EXPORT const wchar_t* KELTRA_PLUGIN_CALL GetDescription() {
    return EXAMPLE_WIDEN(EXAMPLE_NAME);
}

KELTRA_PLUGIN_EXPORT bool KELTRA_PLUGIN_CALL IsAlive() {
    // Before "Main" has started the plug-in is alive too; it only says no after "Main" ended.
    return !(g_stopRequested.load() != 0 && !g_mainRunning.load());
}

KELTRA_PLUGIN_EXPORT void KELTRA_PLUGIN_CALL OnDeleteService() {
    Report("OnDeleteService: the service was uninstalled");
}
