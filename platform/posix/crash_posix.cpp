// POSIX crash hooks: signal registration, the signals' exception information, context capture,
// the alternate signal stack and the immediate end of the process.
#include <signal.h>
#include <ucontext.h>

#include <atomic>

#include "minidump/minidump_format.h"
#include "minidump/minidump_writer.h"
#include "platform/crash.h"
#include "platform/error.h"
#include "platform/fault_guard.h"
#include "platform/posix/crash_internal_posix.h"
#include "platform/posix/raw_syscalls.h"
#include "platform/posix/signal_stack.h"
#include "text/text.h"
#include "text/text_codec.h"

// Sanitizer runtimes end the process themselves after a fatal report (a failed operator new
// under AddressSanitizer never reaches the new handler); they call this callback first. Weak:
// absent from builds without a sanitizer.
extern "C" void __sanitizer_set_death_callback(void (*callback)(void)) __attribute__((weak));

// CaptureCurrentContext: stores the caller's registers as they are after the return, in the
// x64 CONTEXT layout (offsets checked in crash_internal_posix.h). Rdi holds the record.
__asm__(R"(
    .text
    .globl keltra_capture_current_context
    .type keltra_capture_current_context, @function
keltra_capture_current_context:
    .cfi_startproc
    movq %rax, 0x78(%rdi)
    movq %rcx, 0x80(%rdi)
    movq %rdx, 0x88(%rdi)
    movq %rbx, 0x90(%rdi)
    leaq 8(%rsp), %rax
    movq %rax, 0x98(%rdi)
    movq %rbp, 0xa0(%rdi)
    movq %rsi, 0xa8(%rdi)
    movq %rdi, 0xb0(%rdi)
    movq %r8, 0xb8(%rdi)
    movq %r9, 0xc0(%rdi)
    movq %r10, 0xc8(%rdi)
    movq %r11, 0xd0(%rdi)
    movq %r12, 0xd8(%rdi)
    movq %r13, 0xe0(%rdi)
    movq %r14, 0xe8(%rdi)
    movq %r15, 0xf0(%rdi)
    movq (%rsp), %rax
    movq %rax, 0xf8(%rdi)
    pushfq
    .cfi_adjust_cfa_offset 8
    popq %rax
    .cfi_adjust_cfa_offset -8
    movl %eax, 0x44(%rdi)
    movw %cs, 0x38(%rdi)
    movw %ds, 0x3a(%rdi)
    movw %es, 0x3c(%rdi)
    movw %fs, 0x3e(%rdi)
    movw %gs, 0x40(%rdi)
    movw %ss, 0x42(%rdi)
    fxsave64 0x100(%rdi)
    stmxcsr 0x34(%rdi)
    movl $0x10000f, 0x30(%rdi)
    movq 0x78(%rdi), %rax
    ret
    .cfi_endproc
    .size keltra_capture_current_context, .-keltra_capture_current_context
)");

namespace platform {

namespace {

using namespace posix::crash;

CrashHooks g_hooks{};

// Exception information of the signals being handled, one slot per thread that meets one.
// Static, claimed with a compare-and-swap: the signal may have interrupted the allocator. A
// thread keeps its slot (its handler never returns). With every slot taken, a signal gets no
// information of its own and the handler captures some instead.
struct SignalSlot {
    std::atomic<std::uint32_t> threadId;
    int signalNumber;
    ExceptionRecord record;
    ContextRecord context;
    ExceptionPointers pointers;
};
constexpr int kSignalSlots = 64;
SignalSlot g_signalSlots[kSignalSlots];
static_assert(std::atomic<std::uint32_t>::is_always_lock_free);

SignalSlot* SlotOfThread(std::uint32_t threadId) noexcept {
    for (SignalSlot& slot : g_signalSlots) {
        if (slot.threadId.load(std::memory_order_acquire) == threadId) {
            return &slot;
        }
    }
    return nullptr;
}

SignalSlot* ClaimSlot(std::uint32_t threadId) noexcept {
    if (SignalSlot* own = SlotOfThread(threadId)) {
        return own;
    }
    for (SignalSlot& slot : g_signalSlots) {
        std::uint32_t expected = 0;
        if (slot.threadId.compare_exchange_strong(expected, threadId, std::memory_order_acq_rel)) {
            return &slot;
        }
    }
    return nullptr;
}

bool IsFaultSignal(int signalNumber) noexcept {
    return signalNumber == SIGSEGV || signalNumber == SIGBUS || signalNumber == SIGFPE ||
           signalNumber == SIGILL || signalNumber == SIGTRAP;
}

}  // namespace

namespace posix::crash {

void ContextFromSignal(const void* userContext, ContextAmd64* c) noexcept {
    const auto* uc = static_cast<const ucontext_t*>(userContext);
    ZeroBytes(c, sizeof *c);
    const greg_t* g = uc->uc_mcontext.gregs;
    c->rax = static_cast<std::uint64_t>(g[REG_RAX]);
    c->rcx = static_cast<std::uint64_t>(g[REG_RCX]);
    c->rdx = static_cast<std::uint64_t>(g[REG_RDX]);
    c->rbx = static_cast<std::uint64_t>(g[REG_RBX]);
    c->rsp = static_cast<std::uint64_t>(g[REG_RSP]);
    c->rbp = static_cast<std::uint64_t>(g[REG_RBP]);
    c->rsi = static_cast<std::uint64_t>(g[REG_RSI]);
    c->rdi = static_cast<std::uint64_t>(g[REG_RDI]);
    c->r8 = static_cast<std::uint64_t>(g[REG_R8]);
    c->r9 = static_cast<std::uint64_t>(g[REG_R9]);
    c->r10 = static_cast<std::uint64_t>(g[REG_R10]);
    c->r11 = static_cast<std::uint64_t>(g[REG_R11]);
    c->r12 = static_cast<std::uint64_t>(g[REG_R12]);
    c->r13 = static_cast<std::uint64_t>(g[REG_R13]);
    c->r14 = static_cast<std::uint64_t>(g[REG_R14]);
    c->r15 = static_cast<std::uint64_t>(g[REG_R15]);
    c->rip = static_cast<std::uint64_t>(g[REG_RIP]);
    c->eFlags = static_cast<std::uint32_t>(g[REG_EFL]);
    // cs, gs, fs and (when the kernel says it saved it) ss, 16 bits each.
    const auto segments = static_cast<std::uint64_t>(g[REG_CSGSFS]);
    c->segCs = static_cast<std::uint16_t>(segments);
    c->segGs = static_cast<std::uint16_t>(segments >> 16);
    c->segFs = static_cast<std::uint16_t>(segments >> 32);
    constexpr unsigned long kSigcontextSs = 0x2;  // UC_SIGCONTEXT_SS
    c->segSs = (uc->uc_flags & kSigcontextSs) != 0 ? static_cast<std::uint16_t>(segments >> 48)
                                                   : std::uint16_t{0x2b};
    c->contextFlags = kContextControl | kContextInteger | kContextSegments;
    if (uc->uc_mcontext.fpregs != nullptr) {
        static_assert(sizeof(*uc->uc_mcontext.fpregs) == sizeof c->fltSave);
        CopyBytes(c->fltSave, uc->uc_mcontext.fpregs, sizeof c->fltSave);
        c->mxCsr = uc->uc_mcontext.fpregs->mxcsr;
        c->contextFlags |= kContextFloatingPoint;
    }
}

// The snapshot request being answered, null while none is: a stray snapshot signal (or one
// arriving after the writer gave up waiting) returns at once.
struct SnapshotRequest {
    const std::uint32_t* threadIds;
    std::uint32_t count;
    ContextAmd64* contexts;
    std::atomic<std::uint32_t> answers[kMaxSnapshotThreads];
};
SnapshotRequest g_snapshot;
std::atomic<bool> g_snapshotArmed{false};
int g_snapshotSignal = 0;

void OnSnapshotSignal(int, siginfo_t*, void* userContext) {
    if (!g_snapshotArmed.load(std::memory_order_acquire)) {
        return;
    }
    const auto self = static_cast<std::uint32_t>(SysGettid());
    for (std::uint32_t i = 0; i < g_snapshot.count; ++i) {
        if (g_snapshot.threadIds[i] == self) {
            ContextFromSignal(userContext, &g_snapshot.contexts[i]);
            g_snapshot.answers[i].store(1, std::memory_order_release);
            for (;;) {
                Syscall(SYS_pause);
            }
        }
    }
}

std::uint64_t MonotonicMillis() noexcept {
    KernelTimespec now = {0, 0};
    Syscall(SYS_clock_gettime, 1 /* CLOCK_MONOTONIC */, reinterpret_cast<long>(&now));
    return static_cast<std::uint64_t>(now.seconds) * 1000 +
           static_cast<std::uint64_t>(now.nanoseconds) / 1000000;
}

void SnapshotThreads(const std::uint32_t* threadIds, std::uint32_t count, ContextAmd64* contexts,
                     bool* answered, std::uint32_t timeoutMs) noexcept {
    if (count > kMaxSnapshotThreads) {
        count = kMaxSnapshotThreads;
    }
    for (std::uint32_t i = 0; i < count; ++i) {
        answered[i] = false;
    }
    if (g_snapshotSignal == 0 || count == 0) {
        return;
    }
    g_snapshot.threadIds = threadIds;
    g_snapshot.count = count;
    g_snapshot.contexts = contexts;
    for (std::uint32_t i = 0; i < count; ++i) {
        g_snapshot.answers[i].store(0, std::memory_order_relaxed);
    }
    g_snapshotArmed.store(true, std::memory_order_release);
    const long pid = SysGetpid();
    for (std::uint32_t i = 0; i < count; ++i) {
        Syscall(SYS_tgkill, pid, threadIds[i], g_snapshotSignal);
    }
    const std::uint64_t deadline = MonotonicMillis() + timeoutMs;
    for (;;) {
        std::uint32_t pending = 0;
        for (std::uint32_t i = 0; i < count; ++i) {
            pending += g_snapshot.answers[i].load(std::memory_order_acquire) == 0 ? 1 : 0;
        }
        if (pending == 0 || MonotonicMillis() >= deadline) {
            break;
        }
        KernelTimespec pause = {0, 1000000};
        Syscall(SYS_nanosleep, reinterpret_cast<long>(&pause), 0);
    }
    // Late answers must not write into contexts already copied to the dump.
    g_snapshotArmed.store(false, std::memory_order_release);
    for (std::uint32_t i = 0; i < count; ++i) {
        answered[i] = g_snapshot.answers[i].load(std::memory_order_acquire) != 0;
    }
}

}  // namespace posix::crash

namespace {

// Fills the calling thread's slot from the signal; null when no slot is free.
ExceptionPointers* Stash(int signalNumber, const siginfo_t* info,
                         const void* userContext) noexcept {
    SignalSlot* slot = ClaimSlot(static_cast<std::uint32_t>(SysGettid()));
    if (slot == nullptr) {
        return nullptr;
    }
    auto* context = AsContext(&slot->context);
    if (userContext != nullptr) {
        ContextFromSignal(userContext, context);
    } else {
        ZeroBytes(context, sizeof *context);
        context->contextFlags = kContextAmd64;
    }
    // Code: the signal number, flags: si_code, address: the faulting address for a fault the
    // kernel reported (si_code > 0), else the interrupted instruction (a sent or raised
    // signal's si_addr holds the sender's ids, not an address).
    MdException* record = AsException(&slot->record);
    ZeroBytes(record, sizeof *record);
    record->exceptionCode = static_cast<std::uint32_t>(signalNumber);
    record->exceptionFlags = info != nullptr ? static_cast<std::uint32_t>(info->si_code) : 0;
    record->exceptionAddress = (info != nullptr && info->si_code > 0 && IsFaultSignal(signalNumber))
                                   ? reinterpret_cast<std::uint64_t>(info->si_addr)
                                   : context->rip;
    slot->pointers.exceptionRecord = &slot->record;
    slot->pointers.contextRecord = &slot->context;
    slot->signalNumber = signalNumber;
    return &slot->pointers;
}

// Every signal the hooks take: its own record and context into the thread's slot, then the
// hook that owns it (a fault outside any guard, or a termination signal).
void OnCrashSignal(int signalNumber, void* signalInfo, void* userContext) {
    ExceptionPointers* pointers =
        Stash(signalNumber, static_cast<const siginfo_t*>(signalInfo), userContext);
    if (IsFaultSignal(signalNumber)) {
        g_hooks.onUnhandledException(pointers);
    } else {
        g_hooks.onSignal(signalNumber);
    }
}

void OnSanitizerDeath() {
    g_hooks.onRuntimeFailure();
}

}  // namespace

void InstallProcessCrashHooks(const CrashHooks& hooks) noexcept {
    g_hooks = hooks;
    SetUnguardedFaultHandler(&OnCrashSignal);
    (void)SetInvalidParameterHandler(hooks.onInvalidParameter);
    for (int signalNumber : {SIGABRT, SIGINT, SIGTERM}) {
        struct sigaction action = {};
        action.sa_sigaction = [](int signalNumber, siginfo_t* info, void* userContext) {
            OnCrashSignal(signalNumber, info, userContext);
        };
        action.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigemptyset(&action.sa_mask);
        sigaction(signalNumber, &action, nullptr);
    }
    // The snapshot signal: a real-time signal of the crash handler's own (the thread layer
    // uses SIGRTMIN + 5 to end threads).
    posix::crash::g_snapshotSignal = SIGRTMIN + 6;
    struct sigaction snapshot = {};
    snapshot.sa_sigaction = &posix::crash::OnSnapshotSignal;
    snapshot.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESTART;
    sigemptyset(&snapshot.sa_mask);
    sigaction(posix::crash::g_snapshotSignal, &snapshot, nullptr);
    if (&__sanitizer_set_death_callback != nullptr) {
        __sanitizer_set_death_callback(&OnSanitizerDeath);
    }
}

bool InstallThreadCrashHooks(const CrashHooks&) noexcept {
    return posix::PrepareThreadSignalStack();
}

void PrepareCrashThread() noexcept {
    // rt_sigprocmask with the kernel's 64-bit set: bit n-1 stands for signal n.
    std::uint64_t set = 0;
    for (int signalNumber : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT}) {
        set |= std::uint64_t{1} << (signalNumber - 1);
    }
    Syscall(SYS_rt_sigprocmask, SIG_UNBLOCK, reinterpret_cast<long>(&set), 0, sizeof set);
}

void InitialiseExceptionRecord(ExceptionRecord* record, std::uint32_t code,
                               const void* address) noexcept {
    MdException* fields = AsException(record);
    ZeroBytes(fields, sizeof *fields);
    fields->exceptionCode = code;
    fields->exceptionAddress = reinterpret_cast<std::uint64_t>(address);
}

const void* InstructionPointerOf(const ContextRecord* context) noexcept {
    return reinterpret_cast<const void*>(AsContext(context)->rip);
}

std::uint32_t ExceptionCodeOf(const ExceptionRecord* record) noexcept {
    return AsException(record)->exceptionCode;
}

const void* ExceptionAddressOf(const ExceptionRecord* record) noexcept {
    return reinterpret_cast<const void*>(AsException(record)->exceptionAddress);
}

ExceptionPointers* CurrentSignalExceptionPointers(int signalNumber) noexcept {
    SignalSlot* slot = SlotOfThread(static_cast<std::uint32_t>(SysGettid()));
    if (slot == nullptr || slot->signalNumber != signalNumber) {
        return nullptr;
    }
    return &slot->pointers;
}

void TerminateCurrentProcess(std::uint32_t exitCode) noexcept {
    SysExitGroup(static_cast<int>(exitCode));
}

std::uint32_t CrashThreadId() noexcept {
    return static_cast<std::uint32_t>(SysGettid());
}

void ParkCrashThread() noexcept {
    for (;;) {
        Syscall(SYS_pause);
    }
}

std::uint32_t WriteMiniDump(const wchar_t* path, ExceptionPointers* exceptionPointers) noexcept {
    // The wide path in UTF-8 (at most 4 bytes per character); refused when it is empty, does
    // not fit or is not valid text.
    static char utf8Path[1024 * 4 + 1];
    if (path == nullptr) {
        return kErrorInvalidName;
    }
    std::size_t length = 0;
    while (path[length] != L'\0') {
        ++length;
    }
    const utf::Converted converted = utf::Convert(path, length, utf8Path, sizeof utf8Path - 1);
    utf8Path[converted.written] = '\0';
    if (length == 0 || !converted.Complete(length) || converted.firstInvalid != utf::kAllValid) {
        return kErrorInvalidName;
    }
    return ErrorFromErrno(posix::crash::WriteMinidumpFile(utf8Path, exceptionPointers,
                                                          posix::crash::SnapshotThreads));
}

}  // namespace platform
