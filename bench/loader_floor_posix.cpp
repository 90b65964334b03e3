// The loader-and-threads floor on POSIX: dlopen, dlsym, dlclose, pthreads and a futex.
#include <dlfcn.h>
#include <linux/futex.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>

#include "bench/loader_floor.h"
#include "keltra/plugin.h"
#include "text/text.h"

namespace bench {
namespace {

constexpr const char* kExports[] = {KELTRA_EXPORT_MAIN, KELTRA_EXPORT_HANDLER, KELTRA_EXPORT_UNLOAD,
                                    KELTRA_EXPORT_GET_DESCRIPTION, KELTRA_EXPORT_IS_ALIVE};

void* Life(void* word) {
    auto* end = static_cast<std::atomic<std::uint32_t>*>(word);
    while (end->load() == 0) {
        ::syscall(SYS_futex, end, FUTEX_WAIT_PRIVATE, 0, nullptr, nullptr, 0);
    }
    return nullptr;
}

}  // namespace

double LoaderAndThreadsFloorMicros(const std::vector<std::wstring>& paths, int threads,
                                   int rounds) {
    std::vector<std::string> files;
    for (const std::wstring& path : paths) {
        files.push_back(platform::WideToUtf8(path));
    }
    std::vector<void*> modules(files.size());
    std::vector<pthread_t> ids(static_cast<std::size_t>(threads));
    volatile std::uintptr_t sink = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int r = 0; r < rounds; ++r) {
        for (std::size_t i = 0; i < files.size(); ++i) {
            modules[i] = ::dlopen(files[i].c_str(), RTLD_NOW | RTLD_LOCAL);
            if (modules[i] == nullptr) {
                return -1;
            }
            for (const char* name : kExports) {
                sink = sink + reinterpret_cast<std::uintptr_t>(::dlsym(modules[i], name));
            }
        }
        std::atomic<std::uint32_t> end{0};
        std::size_t started = 0;
        while (started < ids.size() && ::pthread_create(&ids[started], nullptr, &Life, &end) == 0) {
            ++started;
        }
        end.store(1);
        ::syscall(SYS_futex, &end, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
        for (std::size_t i = 0; i < started; ++i) {
            ::pthread_join(ids[i], nullptr);
        }
        for (void* module : modules) {
            ::dlclose(module);
        }
        if (started < ids.size()) {
            return -1;
        }
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    return std::chrono::duration<double, std::micro>(elapsed).count() / rounds;
}

}  // namespace bench
