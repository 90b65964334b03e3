// Per-thread alternate signal stacks and stack bounds for the fault and crash handlers.
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>

#include "platform/posix/signal_stack.h"

namespace platform::posix {
namespace {

// Room for a handler that writes a dump, and for a sanitizer's bookkeeping on the way out.
constexpr std::size_t kOwnStackBytes = 64 * 1024;
// A smaller alternate stack that someone else installed is replaced; a larger one is shared.
constexpr std::size_t kSharedStackMinimum = 16 * 1024;

// Read in signal context, so initial-exec: no lazy allocation on first access.
__attribute__((tls_model("initial-exec"))) thread_local std::uintptr_t t_overflowLow = 0;
__attribute__((tls_model("initial-exec"))) thread_local std::uintptr_t t_overflowHigh = 0;

// Faults just below the lowest address of the stack (its guard area, or the gap the kernel
// keeps below a growing main stack) and in its lowest pages are overflows.
void RecordStackBounds(std::size_t page) noexcept {
    pthread_attr_t attributes;
    if (::pthread_getattr_np(::pthread_self(), &attributes) != 0) {
        return;
    }
    void* low = nullptr;
    std::size_t size = 0;
    std::size_t guard = 0;
    if (::pthread_attr_getstack(&attributes, &low, &size) == 0) {
        ::pthread_attr_getguardsize(&attributes, &guard);
        const auto bottom = reinterpret_cast<std::uintptr_t>(low);
        const std::size_t below = std::max<std::size_t>(guard, 256 * page);
        t_overflowLow = bottom > below ? bottom - below : 0;
        t_overflowHigh = bottom + 16 * page;
    }
    ::pthread_attr_destroy(&attributes);
}

// The calling thread's own alternate stack, if it has one; unmapped when the thread ends.
class OwnStack {
  public:
    OwnStack() = default;
    OwnStack(const OwnStack&) = delete;
    OwnStack& operator=(const OwnStack&) = delete;
    ~OwnStack() { Release(); }

    bool Prepare() noexcept {
        if (m_prepared) {
            return m_ready;
        }
        m_prepared = true;
        const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
        RecordStackBounds(page);
        stack_t current = {};
        if (::sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) == 0 &&
            current.ss_size >= kSharedStackMinimum) {
            m_ready = true;
            return true;
        }
        const std::size_t size = std::max<std::size_t>(kOwnStackBytes, SIGSTKSZ);
        void* mapping = ::mmap(nullptr, size + page, PROT_READ | PROT_WRITE,
                               MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
        if (mapping == MAP_FAILED) {
            return false;
        }
        ::mprotect(mapping, page, PROT_NONE);  // an overflow of the handler itself faults
        stack_t mine = {};
        mine.ss_sp = static_cast<char*>(mapping) + page;
        mine.ss_size = size;
        if (::sigaltstack(&mine, nullptr) != 0) {
            ::munmap(mapping, size + page);
            return false;
        }
        m_mapping = mapping;
        m_mappingBytes = size + page;
        m_stack = mine.ss_sp;
        m_ready = true;
        return true;
    }

    void Release() noexcept {
        if (m_mapping == nullptr) {
            return;
        }
        stack_t current = {};
        if (::sigaltstack(nullptr, &current) != 0 || (current.ss_flags & SS_ONSTACK) != 0) {
            return;  // still running on it: it goes with the process
        }
        if (current.ss_sp == m_stack) {
            stack_t off = {};
            off.ss_flags = SS_DISABLE;
            ::sigaltstack(&off, nullptr);
        }
        ::munmap(m_mapping, m_mappingBytes);
        m_mapping = nullptr;
        m_ready = false;
    }

  private:
    bool m_prepared = false;
    bool m_ready = false;
    void* m_mapping = nullptr;
    std::size_t m_mappingBytes = 0;
    void* m_stack = nullptr;
};

thread_local OwnStack t_ownStack;

}  // namespace

bool PrepareThreadSignalStack() noexcept {
    return t_ownStack.Prepare();
}

void ReleaseThreadSignalStack() noexcept {
    t_ownStack.Release();
}

bool IsStackOverflowAddress(const void* address) noexcept {
    const auto value = reinterpret_cast<std::uintptr_t>(address);
    return value >= t_overflowLow && value < t_overflowHigh;
}

}  // namespace platform::posix
