// A plug-in for the runs of the shipped executable: appends every call it receives to
// "<its own library path>.calls", so that a test outside the host process reads what arrived.
// Control 201 crashes a thread of its own (no guard: the host's crash handler must catch it).
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

void Record(const std::string& line) {
    std::lock_guard<std::mutex> lock(g_lock);
    if (std::FILE* file = std::fopen(RecordPath().c_str(), "ab")) {
        std::fprintf(file, "%s\n", line.c_str());
        std::fclose(file);
    }
}

}  // namespace

KELTRA_PLUGIN_EXPORT void KELTRA_PLUGIN_CALL Main(uint32_t argc, wchar_t** /*argv*/) {
    Record("Main " + std::to_string(argc));  // and returns: the host must cope with an early end
}

KELTRA_PLUGIN_EXPORT uint32_t KELTRA_PLUGIN_CALL Handler(uint32_t control, uint32_t eventType,
                                                         void* /*eventData*/, void* /*context*/) {
    Record("Handler " + std::to_string(control) + " " + std::to_string(eventType));
    if (control == 201) {
        std::thread([] { *g_nowhere = 1; }).join();
    }
    return 0;
}

KELTRA_PLUGIN_EXPORT void KELTRA_PLUGIN_CALL Unload() {
    Record("Unload");
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
