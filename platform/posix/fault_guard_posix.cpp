// POSIX fault guard: process-wide handlers for the fault signals and a per-thread chain of jump
// buffers; every guarding thread gets room to handle a stack overflow (posix/signal_stack.h).
#include <setjmp.h>
#include <signal.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "platform/fault_guard.h"
#include "platform/posix/signal_stack.h"

namespace platform {

namespace {

constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP};
constexpr int kSignalCount = sizeof kFaultSignals / sizeof kFaultSignals[0];

struct GuardFrame {
    sigjmp_buf jump;
    GuardFrame* outer;
    FaultInfo fault;
};

// Read in signal context, so initial-exec: no lazy allocation on first access.
__attribute__((tls_model("initial-exec"))) thread_local GuardFrame* t_innermost = nullptr;
// The signal mask a fault puts back: the thread's own, read at its first guarded call and again
// after ForgetSavedSignalMask, instead of a system call at every guarded call.
__attribute__((tls_model("initial-exec"))) thread_local sigset_t t_savedMask;
__attribute__((tls_model("initial-exec"))) thread_local bool t_maskSaved = false;

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
            if (posix::IsStackOverflowAddress(info->si_addr)) {
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
        // The foreign code may have blocked signals for a moment when it faulted.
        ::pthread_sigmask(SIG_SETMASK, &t_savedMask, nullptr);
        siglongjmp(frame->jump, 1);
    }
    Unguarded(signalNumber, info, userContext);
}

}  // namespace

bool RunGuarded(void (*routine)(void* context), void* context, FaultInfo* fault) noexcept {
    if (!g_guardInstalled.load(std::memory_order_acquire)) {
        InstallHandlers(true);
    }
    (void)posix::PrepareThreadSignalStack();
    if (!t_maskSaved) {
        ::pthread_sigmask(SIG_BLOCK, nullptr, &t_savedMask);
        t_maskSaved = true;
    }
    GuardFrame frame;
    frame.outer = t_innermost;
    frame.fault = FaultInfo{};
    // The handler puts the saved mask back before it jumps: the jump itself saves none.
    if (sigsetjmp(frame.jump, 0) != 0) {
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

void ForgetSavedSignalMask() noexcept {
    t_maskSaved = false;
}

void SetUnguardedFaultHandler(UnguardedFaultHandler handler) noexcept {
    g_unguardedHandler.store(handler, std::memory_order_release);
    InstallHandlers(false);
}

}  // namespace platform
