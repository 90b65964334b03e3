// A plug-in for the runs of the shipped executable: appends every call it receives to
// "<its own library path>.calls", so that a test outside the host process reads what arrived.
// Control 201 crashes a thread of its own (no guard: the host's crash handler must catch it);
// control 202 holds "Handler" until "<library>.calls.release" exists (at most 60 s).
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include "keltra/plugin.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

std::mutex g_lock;
std::condition_variable g_unload;
bool g_unloadRequested = false;
int* volatile g_nowhere = nullptr;

std::string RecordPath() {
#if defined(_WIN32)
    HMODULE self = nullptr;
    GetModuleHandleExA(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<LPCSTR>(&RecordPath), &self);
    char path[MAX_PATH] = {};
    GetModuleFileNameA(self, path, MAX_PATH);
    return std::string(path) + ".calls";
#else
    Dl_info info{};
    dladdr(reinterpret_cast<void*>(&RecordPath), &info);
    return std::string(info.dli_fname) + ".calls";
#endif
}

void Record(const char* format, ...) {
    std::lock_guard<std::mutex> lock(g_lock);
    if (std::FILE* file = std::fopen(RecordPath().c_str(), "a")) {
        va_list args;
        va_start(args, format);
        std::vfprintf(file, format, args);
        va_end(args);
        std::fputc('\n', file);
        std::fclose(file);
    }
}

void HoldUntilReleased() {
    const std::string release = RecordPath() + ".release";
    for (int i = 0; i < 6000; ++i) {
        if (std::FILE* file = std::fopen(release.c_str(), "r")) {
            std::fclose(file);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

}  // namespace

KELTRA_PLUGIN_EXPORT void KELTRA_PLUGIN_CALL Main(uint32_t argc, wchar_t** /*argv*/) {
    Record("Main %u", argc);
    std::unique_lock<std::mutex> lock(g_lock);
    g_unload.wait(lock, [] { return g_unloadRequested; });
}

KELTRA_PLUGIN_EXPORT uint32_t KELTRA_PLUGIN_CALL Handler(uint32_t control, uint32_t eventType,
                                                         void* /*eventData*/, void* /*context*/) {
    Record("Handler %u %u", control, eventType);
    if (control == 201) {
        std::thread([] { *g_nowhere = 1; }).join();
    } else if (control == 202) {
        HoldUntilReleased();
    }
    return 0;
}

KELTRA_PLUGIN_EXPORT void KELTRA_PLUGIN_CALL Unload() {
    Record("Unload");
    {
        std::lock_guard<std::mutex> lock(g_lock);
        g_unloadRequested = true;
    }
    g_unload.notify_all();
}

KELTRA_PLUGIN_EXPORT const wchar_t* KELTRA_PLUGIN_CALL GetDescription() {
    return L"recorder";
}

KELTRA_PLUGIN_EXPORT bool KELTRA_PLUGIN_CALL IsAlive() {
    return true;
}

KELTRA_PLUGIN_EXPORT void KELTRA_PLUGIN_CALL OnDeleteService() {
    Record("OnDeleteService");
}
