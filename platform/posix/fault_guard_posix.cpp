// POSIX fault guard: process-wide handlers for the fault signals, a per-thread chain of jump
// buffers, and a per-thread alternate signal stack.
#include <pthread.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "platform/fault_guard.h"

namespace platform {

namespace {

constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP};
constexpr int kSignalCount = sizeof kFaultSignals / sizeof kFaultSignals[0];

// Room for the handler (and a sanitizer's bookkeeping on the way out); a smaller stack that
// someone else installed is replaced.
constexpr std::size_t kAltStackSize = 64 * 1024;
constexpr std::size_t kMinSharedAltStack = 16 * 1024;

struct GuardFrame {
    sigjmp_buf jump;
    GuardFrame* outer;
    FaultInfo fault;
};

// Read in signal context, so initial-exec: no lazy allocation on first access.
__attribute__((tls_model("initial-exec"))) thread_local GuardFrame* t_innermost = nullptr;
// Faults on addresses in [t_overflowLow, t_overflowHigh) are stack overflows of this thread.
__attribute__((tls_model("initial-exec"))) thread_local std::uintptr_t t_overflowLow = 0;
__attribute__((tls_model("initial-exec"))) thread_local std::uintptr_t t_overflowHigh = 0;

void OnFaultSignal(int signalNumber, siginfo_t* info, void* userContext);

// What the guard displaced when it installed its handler, chained for faults outside any
// guard when no crash handler is set. Two slots per signal, so a reader in signal context
// never sees one half-written.
struct PreviousAction {
    void* function;
    bool takesSigInfo;
};
PreviousAction g_previous[kSignalCount][2];
std::atomic<int> g_previousSlot[kSignalCount] = {-1, -1, -1, -1, -1};

std::atomic<UnguardedFaultHandler> g_unguardedHandler{nullptr};
// Set by the first guarded call: it installs (or re-asserts) the handlers even when the
// crash handler's hook installed them earlier, before plug-in initialisers ran.
std::atomic<bool> g_guardInstalled{false};
std::mutex g_installMutex;

void InstallHandlers(bool forGuard) noexcept {
    std::lock_guard<std::mutex> lock(g_installMutex);
    for (int i = 0; i < kSignalCount; ++i) {
        struct sigaction current = {};
        if (::sigaction(kFaultSignals[i], nullptr, &current) != 0) {
            continue;
        }
        const bool takesSigInfo = (current.sa_flags & SA_SIGINFO) != 0;
        if (takesSigInfo && current.sa_sigaction == &OnFaultSignal) {
            continue;
        }
        void* function = takesSigInfo ? reinterpret_cast<void*>(current.sa_sigaction)
                                      : reinterpret_cast<void*>(current.sa_handler);
        const int slot = g_previousSlot[i].load(std::memory_order_relaxed) == 0 ? 1 : 0;
        g_previous[i][slot] = PreviousAction{function, takesSigInfo};
        g_previousSlot[i].store(slot, std::memory_order_release);

        struct sigaction mine = {};
        mine.sa_sigaction = &OnFaultSignal;
        // SA_NODEFER: the jump back leaves the handler without sigreturn, so the signal must
        // not stay blocked; the mask saved at the guard's entry is restored anyway.
        mine.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
        sigemptyset(&mine.sa_mask);
        ::sigaction(kFaultSignals[i], &mine, nullptr);
    }
    if (forGuard) {
        g_guardInstalled.store(true, std::memory_order_release);
    }
}

int IndexOf(int signalNumber) {
    for (int i = 0; i < kSignalCount; ++i) {
        if (kFaultSignals[i] == signalNumber) {
            return i;
        }
    }
    return -1;
}

FaultInfo Describe(int signalNumber, const siginfo_t* info) {
    FaultInfo fault;
    fault.code = static_cast<std::uint32_t>(signalNumber);
    switch (signalNumber) {
        case SIGSEGV:
        case SIGBUS: {
            const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
            if (address >= t_overflowLow && address < t_overflowHigh) {
                fault.kind = FaultKind::kStackOverflow;
            } else {
                fault.kind = FaultKind::kAccessViolation;
                fault.address = info->si_addr;
            }
            break;
        }
        case SIGFPE:
            fault.kind = info->si_code == FPE_INTDIV || info->si_code == FPE_INTOVF
                             ? FaultKind::kIntegerDivideByZero
                             : FaultKind::kArithmetic;
            break;
        case SIGILL:
            fault.kind = FaultKind::kIllegalInstruction;
            break;
        default:
            fault.kind = FaultKind::kBreakpoint;
            break;
    }
    return fault;
}

// A fault nobody guards: the crash handler, else what was there before us, else the default.
void Unguarded(int signalNumber, siginfo_t* info, void* userContext) {
    if (UnguardedFaultHandler handler = g_unguardedHandler.load(std::memory_order_acquire)) {
        handler(signalNumber, info, userContext);
    } else if (const int index = IndexOf(signalNumber); index >= 0) {
        const int slot = g_previousSlot[index].load(std::memory_order_acquire);
        if (slot >= 0) {
            const PreviousAction previous = g_previous[index][slot];
            const bool isFunction = previous.function != reinterpret_cast<void*>(SIG_DFL) &&
                                    previous.function != reinterpret_cast<void*>(SIG_IGN);
            if (isFunction) {
                if (previous.takesSigInfo) {
                    reinterpret_cast<void (*)(int, siginfo_t*, void*)>(previous.function)(
                        signalNumber, info, userContext);
                } else {
                    reinterpret_cast<void (*)(int)>(previous.function)(signalNumber);
                }
                return;
            }
        }
    }
    // The default action. A fault the kernel reported comes back when the instruction runs
    // again and then ends the process with the original details; a sent signal, or a trap
    // (reported after the instruction), has to be raised again.
    struct sigaction fallback = {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    ::sigaction(signalNumber, &fallback, nullptr);
    if (info == nullptr || info->si_code <= 0 || signalNumber == SIGTRAP) {
        ::raise(signalNumber);
    }
}

void OnFaultSignal(int signalNumber, siginfo_t* info, void* userContext) {
    GuardFrame* frame = t_innermost;
    // si_code > 0: the kernel reported a fault of this thread; kill() and raise() give <= 0.
    if (frame != nullptr && info != nullptr && info->si_code > 0) {
        frame->fault = Describe(signalNumber, info);
        t_innermost = frame->outer;
        siglongjmp(frame->jump, 1);
    }
    Unguarded(signalNumber, info, userContext);
}

// The calling thread's alternate signal stack, when the guard had to provide it.
class AltStack {
  public:
    AltStack() = default;
    AltStack(const AltStack&) = delete;
    AltStack& operator=(const AltStack&) = delete;

    ~AltStack() {
        if (m_mapping == nullptr) {
            return;
        }
        stack_t current = {};
        if (::sigaltstack(nullptr, &current) == 0 && current.ss_sp == m_stack) {
            stack_t off = {};
            off.ss_flags = SS_DISABLE;
            ::sigaltstack(&off, nullptr);
        }
        ::munmap(m_mapping, m_mappingSize);
    }

    bool Prepared() const { return m_prepared; }

    void Prepare() noexcept {
        m_prepared = true;
        const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
        RecordStackBounds(page);
        stack_t current = {};
        if (::sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) == 0 &&
            current.ss_size >= kMinSharedAltStack) {
            return;  // a sanitizer's or the crash handler's: shared, not owned
        }
        const std::size_t size = std::max<std::size_t>(kAltStackSize, SIGSTKSZ);
        void* mapping = ::mmap(nullptr, size + page, PROT_READ | PROT_WRITE,
                               MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
        if (mapping == MAP_FAILED) {
            return;  // faults are still caught, stack overflows are not
        }
        ::mprotect(mapping, page, PROT_NONE);  // an overflow of the handler itself faults
        stack_t mine = {};
        mine.ss_sp = static_cast<char*>(mapping) + page;
        mine.ss_size = size;
        if (::sigaltstack(&mine, nullptr) != 0) {
            ::munmap(mapping, size + page);
            return;
        }
        m_mapping = mapping;
        m_mappingSize = size + page;
        m_stack = mine.ss_sp;
    }

  private:
    // Faults just below the lowest address of the stack (its guard area, or the gap the kernel
    // keeps below a growing main stack) and in its lowest page are overflows.
    static void RecordStackBounds(std::size_t page) {
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

    bool m_prepared = false;
    void* m_mapping = nullptr;
    std::size_t m_mappingSize = 0;
    void* m_stack = nullptr;
};

thread_local AltStack t_altStack;

}  // namespace

bool RunGuarded(void (*routine)(void* context), void* context, FaultInfo* fault) noexcept {
    if (!g_guardInstalled.load(std::memory_order_acquire)) {
        InstallHandlers(true);
    }
    if (!t_altStack.Prepared()) {
        t_altStack.Prepare();
    }
    GuardFrame frame;
    frame.outer = t_innermost;
    frame.fault = FaultInfo{};
    // Saving the mask costs a system call, but a fault may leave signals blocked that the
    // foreign code had blocked for a moment.
    if (sigsetjmp(frame.jump, 1) != 0) {
        // Back from the signal handler, which has already unlinked this frame.
        if (fault != nullptr) {
            *fault = frame.fault;
        }
        return false;
    }
    t_innermost = &frame;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    bool completed = true;
    try {
        routine(context);
    } catch (...) {
        completed = false;
        frame.fault = FaultInfo{FaultKind::kCppException, 0, nullptr};
    }
    std::atomic_signal_fence(std::memory_order_seq_cst);
    t_innermost = frame.outer;
    if (!completed && fault != nullptr) {
        *fault = frame.fault;
    }
    return completed;
}

void SetUnguardedFaultHandler(UnguardedFaultHandler handler) noexcept {
    g_unguardedHandler.store(handler, std::memory_order_release);
    InstallHandlers(false);
}

}  // namespace platform
