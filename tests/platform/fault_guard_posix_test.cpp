// POSIX-only tests of platform/fault_guard.h: sent signals, handler ownership, the signal mask
// and the alternate signal stack.
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "tests/platform/fault_guard_fixture.h"

namespace {

using namespace keltra::test::faults;
using platform::FaultInfo;
using platform::FaultKind;

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

// A SIGSEGV sent to the guarded thread itself is still not a fault of the guarded code.
KELTRA_CHILD_ROLE(guard_posix_sent_signal) {
    platform::SetUnguardedFaultHandler([](int, void*, void*) { _exit(45); });
    return Guarded([] { ::pthread_kill(::pthread_self(), SIGSEGV); }) ? kSurvived : 4;
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
    Lib().writeTo(0);  // with no hook set, the handler the guard displaced gets it
    return kSurvived;
}

KELTRA_CHILD_ROLE(guard_posix_foreign_handler_first) {
    // The crash handler's hook at process start, then a plug-in's initialiser's handler.
    platform::SetUnguardedFaultHandler([](int, void*, void*) { _exit(43); });
    InstallForeignSegvHandler();
    return Guarded([] { Lib().writeTo(0); }) ? 5 : 0;  // 44: the foreign handler kept it
}

TEST(FaultGuardPosix, SentSignalsAndForeignHandlersDoNotFoolTheGuard) {
    EXPECT_EQ(keltra::test::RunChild("guard_posix_sent_signal"), 45u) << "4: swallowed";
    EXPECT_EQ(keltra::test::RunChild("guard_posix_foreign_handler_later"), 44u);
    EXPECT_EQ(keltra::test::RunChild("guard_posix_foreign_handler_first"), 0u);
}

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
    EXPECT_EQ(info.code, static_cast<std::uint32_t>(SIGSEGV));
    EXPECT_FALSE(IsBlocked(SIGUSR2)) << "the foreign code's mask outlived the guard";
    EXPECT_FALSE(IsBlocked(SIGSEGV)) << "the fault signal stayed blocked";
}

TEST(FaultGuardPosix, AThreadsOwnAlternateStackIsKeptAndUsed) {
    std::thread([] {
        constexpr std::size_t kSize = 128 * 1024;
        void* own =
            ::mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        ASSERT_NE(own, MAP_FAILED);
        stack_t mine = {}, previous = {}, after = {};
        mine.ss_sp = own;
        mine.ss_size = kSize;
        ASSERT_EQ(::sigaltstack(&mine, &previous), 0);
        EXPECT_EQ(Faulting([] { Lib().recurse(0); }).kind, FaultKind::kStackOverflow);
        ASSERT_EQ(::sigaltstack(nullptr, &after), 0);
        EXPECT_EQ(after.ss_sp, own) << "the guard replaced the thread's own alternate stack";
        ::sigaltstack(&previous, nullptr);
        ::munmap(own, kSize);
    }).join();
}

}  // namespace
