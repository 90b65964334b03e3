// POSIX-only tests of platform/fault_guard.h: the unguarded-fault hook, handler ownership,
// sent signals, the signal mask and the alternate signal stack.
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <type_traits>

#include "platform/dynamic_library.h"
#include "platform/fault_guard.h"
#include "tests/support/test_support.h"

namespace {

using platform::FaultInfo;
using platform::FaultKind;

constexpr int kSurvived = 7;

struct FaultLibrary {
    void (*writeTo)(std::uintptr_t);
    int (*divide)(int, int);
    void (*undefinedInstruction)();
    void (*breakpoint)();
    int (*recurse)(int);
};

const FaultLibrary& Lib() {
    static const FaultLibrary library = [] {
        FaultLibrary l = {};
        platform::Module module =
            platform::LoadLibrary(keltra::test::PluginPath(L"testlib_faults").c_str());
        if (module == nullptr) {
            ADD_FAILURE() << "cannot load testlib_faults";
            return l;
        }
        l.writeTo =
            reinterpret_cast<void (*)(std::uintptr_t)>(platform::GetProcAddress(module, "WriteTo"));
        l.divide = reinterpret_cast<int (*)(int, int)>(platform::GetProcAddress(module, "Divide"));
        l.undefinedInstruction = reinterpret_cast<void (*)()>(
            platform::GetProcAddress(module, "ExecuteUndefinedInstruction"));
        l.breakpoint =
            reinterpret_cast<void (*)()>(platform::GetProcAddress(module, "ExecuteBreakpoint"));
        l.recurse = reinterpret_cast<int (*)(int)>(platform::GetProcAddress(module, "Recurse"));
        return l;
    }();
    return library;
}

template <typename F>
bool Guarded(F&& f, FaultInfo* info = nullptr) {
    return platform::RunGuarded([](void* p) { (*static_cast<std::remove_reference_t<F>*>(p))(); },
                                &f, info);
}

class Gate {
  public:
    void Open() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_open = true;
        m_changed.notify_all();
    }
    void Wait() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this] { return m_open; });
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_open = false;
};

std::uint32_t SignalExit(int signalNumber) {
    return 128u + static_cast<std::uint32_t>(signalNumber);
}

// --- The unguarded-fault hook --------------------------------------------------------------

void ExitWith42IfItIsTheWriteTo16(int signalNumber, void* signalInfo, void* userContext) {
    const auto* info = static_cast<const siginfo_t*>(signalInfo);
    const bool expected = signalNumber == SIGSEGV && info != nullptr &&
                          info->si_addr == reinterpret_cast<void*>(16) && userContext != nullptr;
    _exit(expected ? 42 : 41);
}

KELTRA_CHILD_ROLE(guard_posix_hook_gets_details) {
    platform::SetUnguardedFaultHandler(&ExitWith42IfItIsTheWriteTo16);
    Lib().writeTo(16);
    return kSurvived;
}

void ExitWith43(int, void*, void*) {
    _exit(43);
}

KELTRA_CHILD_ROLE(guard_posix_guarded_faults_skip_hook) {
    platform::SetUnguardedFaultHandler(&ExitWith43);
    const bool anyCompleted =
        Guarded([] { Lib().writeTo(0); }) || Guarded([] { Lib().divide(1, 0); }) ||
        Guarded([] { Lib().undefinedInstruction(); }) || Guarded([] { Lib().breakpoint(); });
    return anyCompleted ? 3 : 0;
}

KELTRA_CHILD_ROLE(guard_posix_other_thread_goes_to_hook) {
    platform::SetUnguardedFaultHandler(&ExitWith42IfItIsTheWriteTo16);
    Gate entered;
    Gate release;
    std::thread guarded([&] {
        (void)Guarded([&] {
            entered.Open();
            release.Wait();
        });
    });
    entered.Wait();
    std::thread unguarded([] { Lib().writeTo(16); });
    unguarded.join();
    release.Open();
    guarded.join();
    return kSurvived;
}

TEST(FaultGuardPosix, FaultsOutsideGuardsGoToTheHookWithTheirDetails) {
    EXPECT_EQ(keltra::test::RunChild("guard_posix_hook_gets_details"), 42u)
        << "41: the hook got the wrong signal, address or context";
    EXPECT_EQ(keltra::test::RunChild("guard_posix_guarded_faults_skip_hook"), 0u)
        << "43: a guarded fault reached the hook";
    EXPECT_EQ(keltra::test::RunChild("guard_posix_other_thread_goes_to_hook"), 42u)
        << "a fault on an unguarded thread belongs to the hook, not to another thread's guard";
}

// --- The default action --------------------------------------------------------------------

KELTRA_CHILD_ROLE(guard_posix_unguarded_trap) {
    if (Guarded([] { Lib().breakpoint(); })) {
        return 3;
    }
    Lib().breakpoint();  // reported after the instruction: returning would just go on
    return kSurvived;
}

KELTRA_CHILD_ROLE(guard_posix_unguarded_illegal) {
    if (Guarded([] { Lib().undefinedInstruction(); })) {
        return 3;
    }
    Lib().undefinedInstruction();
    return kSurvived;
}

TEST(FaultGuardPosix, WithoutAHookTheSignalsDefaultActionEndsTheProcess) {
    // The sanitizers leave SIGTRAP and SIGILL alone, so the default action is seen here.
    EXPECT_EQ(keltra::test::RunChild("guard_posix_unguarded_trap"), SignalExit(SIGTRAP));
    EXPECT_EQ(keltra::test::RunChild("guard_posix_unguarded_illegal"), SignalExit(SIGILL));
}

// --- Sent signals --------------------------------------------------------------------------

void ExitWith45(int, void*, void*) {
    _exit(45);
}

KELTRA_CHILD_ROLE(guard_posix_sent_signal) {
    platform::SetUnguardedFaultHandler(&ExitWith45);
    // A SIGSEGV sent to the guarded thread itself is still not a fault of the guarded code.
    const bool completed = Guarded([] { ::pthread_kill(::pthread_self(), SIGSEGV); });
    return completed ? kSurvived : 4;
}

TEST(FaultGuardPosix, ASignalSentByAProcessIsNotTakenForAFault) {
    EXPECT_EQ(keltra::test::RunChild("guard_posix_sent_signal"), 45u)
        << "4: the guard swallowed a sent signal";
}

// --- Handler ownership ---------------------------------------------------------------------

void ForeignHandler(int, siginfo_t*, void*) {
    _exit(44);
}

void InstallForeignSegvHandler() {
    struct sigaction foreign = {};
    foreign.sa_sigaction = &ForeignHandler;
    foreign.sa_flags = SA_SIGINFO;
    sigemptyset(&foreign.sa_mask);
    ::sigaction(SIGSEGV, &foreign, nullptr);
}

KELTRA_CHILD_ROLE(guard_posix_foreign_handler_later) {
    if (Guarded([] { Lib().writeTo(0); })) {
        return 3;
    }
    InstallForeignSegvHandler();                  // a library replaces the guard's handler
    platform::SetUnguardedFaultHandler(nullptr);  // re-asserts the guard's handlers
    if (Guarded([] { Lib().writeTo(0); })) {
        return 5;
    }
    // With no hook set, an unguarded fault goes to the handler the guard displaced.
    Lib().writeTo(0);
    return kSurvived;
}

KELTRA_CHILD_ROLE(guard_posix_foreign_handler_first) {
    platform::SetUnguardedFaultHandler(&ExitWith43);  // the crash handler, at process start
    InstallForeignSegvHandler();  // a plug-in's initialiser, before the first guarded call
    if (Guarded([] { Lib().writeTo(0); })) {
        return 5;
    }
    return 0;
}

TEST(FaultGuardPosix, TheGuardTakesItsSignalsBackAndChainsToTheDisplacedHandler) {
    EXPECT_EQ(keltra::test::RunChild("guard_posix_foreign_handler_later"), 44u);
    EXPECT_EQ(keltra::test::RunChild("guard_posix_foreign_handler_first"), 0u)
        << "44: a handler installed before the first guarded call kept the signal";
    // (43 would mean the guarded fault reached the crash handler's hook.)
}

// --- Signal mask and alternate stack -------------------------------------------------------

bool IsBlocked(int signalNumber) {
    sigset_t mask;
    sigemptyset(&mask);
    ::pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    return sigismember(&mask, signalNumber) == 1;
}

TEST(FaultGuardPosix, TheSignalMaskOfTheGuardsEntryIsRestoredAfterAFault) {
    ASSERT_FALSE(IsBlocked(SIGUSR2));
    FaultInfo info;
    EXPECT_FALSE(Guarded(
        [] {
            sigset_t block;
            sigemptyset(&block);
            sigaddset(&block, SIGUSR2);
            ::pthread_sigmask(SIG_BLOCK, &block, nullptr);
            Lib().writeTo(0);
        },
        &info));
    EXPECT_EQ(info.kind, FaultKind::kAccessViolation);
    EXPECT_EQ(info.code, static_cast<std::uint32_t>(SIGSEGV));
    EXPECT_FALSE(IsBlocked(SIGUSR2)) << "the foreign code's mask outlived the guard";
    EXPECT_FALSE(IsBlocked(SIGSEGV)) << "the fault signal stayed blocked";
}

TEST(FaultGuardPosix, AThreadsOwnAlternateStackIsKeptAndUsed) {
    std::thread thread([] {
        constexpr std::size_t kSize = 128 * 1024;
        void* own =
            ::mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        ASSERT_NE(own, MAP_FAILED);
        stack_t mine = {};
        mine.ss_sp = own;
        mine.ss_size = kSize;
        stack_t previous = {};
        ASSERT_EQ(::sigaltstack(&mine, &previous), 0);

        FaultInfo info;
        EXPECT_FALSE(Guarded([] { Lib().recurse(0); }, &info));
        EXPECT_EQ(info.kind, FaultKind::kStackOverflow);
        stack_t after = {};
        ASSERT_EQ(::sigaltstack(nullptr, &after), 0);
        EXPECT_EQ(after.ss_sp, own) << "the guard replaced the thread's own alternate stack";

        ::sigaltstack(&previous, nullptr);
        ::munmap(own, kSize);
    });
    thread.join();
}

}  // namespace
