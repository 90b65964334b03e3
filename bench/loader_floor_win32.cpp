// The loader-and-threads floor on Windows: LoadLibraryW, GetProcAddress, FreeLibrary,
// CreateThread and a manual-reset event.
#include "platform/win32/windows_lean.h"

#include <chrono>
#include <cstdint>

#include "bench/loader_floor.h"
#include "keltra/plugin.h"

namespace bench {
namespace {

constexpr const char* kExports[] = {KELTRA_EXPORT_MAIN, KELTRA_EXPORT_HANDLER, KELTRA_EXPORT_UNLOAD,
                                    KELTRA_EXPORT_GET_DESCRIPTION, KELTRA_EXPORT_IS_ALIVE};

DWORD WINAPI Life(void* event) {
    ::WaitForSingleObject(static_cast<HANDLE>(event), INFINITE);
    return 0;
}

}  // namespace

double LoaderAndThreadsFloorMicros(const std::vector<std::wstring>& paths, int threads,
                                   int rounds) {
    std::vector<HMODULE> modules(paths.size());
    std::vector<HANDLE> handles(static_cast<std::size_t>(threads));
    volatile std::uintptr_t sink = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int r = 0; r < rounds; ++r) {
        for (std::size_t i = 0; i < paths.size(); ++i) {
            modules[i] = ::LoadLibraryW(paths[i].c_str());
            if (modules[i] == nullptr) {
                return -1;
            }
            for (const char* name : kExports) {
                sink = sink + reinterpret_cast<std::uintptr_t>(::GetProcAddress(modules[i], name));
            }
        }
        HANDLE end = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        std::size_t started = 0;
        while (started < handles.size() &&
               (handles[started] = ::CreateThread(nullptr, 0, &Life, end, 0, nullptr)) != nullptr) {
            ++started;
        }
        ::SetEvent(end);
        for (std::size_t i = 0; i < started; ++i) {
            ::WaitForSingleObject(handles[i], INFINITE);
            ::CloseHandle(handles[i]);
        }
        ::CloseHandle(end);
        for (HMODULE module : modules) {
            ::FreeLibrary(module);
        }
        if (started < handles.size()) {
            return -1;
        }
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    return std::chrono::duration<double, std::micro>(elapsed).count() / rounds;
}

}  // namespace bench
