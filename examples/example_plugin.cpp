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
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>

#include "keltra/plugin.h"

#ifndef EXAMPLE_NAME
#define EXAMPLE_NAME "Example plug-in"
#endif
#define EXAMPLE_WIDEN2(x) L##x
#define EXAMPLE_WIDEN(x) EXAMPLE_WIDEN2(x)

namespace {

// "Unload" is called on another thread than "Main": a flag under a lock plus a condition
// variable is the portable way to hand the request over.
std::mutex g_lock;
std::condition_variable g_stop;
bool g_stopRequested = false;
std::atomic<bool> g_mainRunning{false};
std::atomic<std::uint32_t> g_eventsHandled{0};

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
    {
        std::unique_lock<std::mutex> lock(g_lock);
        g_stop.wait(lock, [] { return g_stopRequested; });
    }
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
    {
        std::lock_guard<std::mutex> lock(g_lock);
        g_stopRequested = true;
    }
    g_stop.notify_all();
}

KELTRA_PLUGIN_EXPORT const wchar_t* KELTRA_PLUGIN_CALL GetDescription() {
    return EXAMPLE_WIDEN(EXAMPLE_NAME);
}

KELTRA_PLUGIN_EXPORT bool KELTRA_PLUGIN_CALL IsAlive() {
    // Before "Main" has started the plug-in is alive too; it only says no after "Main" ended.
    std::lock_guard<std::mutex> lock(g_lock);
    return !(g_stopRequested && !g_mainRunning);
}

KELTRA_PLUGIN_EXPORT void KELTRA_PLUGIN_CALL OnDeleteService() {
    Report("OnDeleteService: the service was uninstalled");
}
