// POSIX-only tests of platform/fault_guard.h: an unguarded fault ends the process, a sent signal
// is no fault, the guard keeps its signals from handlers that plug-ins install, and a fault
// puts the thread's signal mask back.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include "platform/stop_signals.h"
#include "tests/platform/fault_guard_fixture.h"

namespace {

using namespace keltra::test::faults;

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

// A fault outside any guard still ends the process, after guarded ones (Windows: the crash
// tests cover it; Wine's debugger can hang while processes crash at the same time).
KELTRA_CHILD_ROLE(guard_posix_unguarded) {
    void (*const raise)() = args.at(0) == L"trap" ? &Lib::Breakpoint : +[] { Lib::WriteTo(0); };
    if (Guarded(raise)) {
        return 3;  // the guard is in place and working first
    }
    raise();
    return kSurvived;
}

KELTRA_CHILD_ROLE(guard_posix_foreign_handler_later) {
    if (Guarded([] { Lib::WriteTo(0); })) {
        return 3;
    }
    InstallForeignSegvHandler();                  // a library replaces the guard's handler
    platform::SetUnguardedFaultHandler(nullptr);  // re-asserts the guard's handlers
    if (Guarded([] { Lib::WriteTo(0); })) {
        return 5;
    }
    Lib::WriteTo(0);  // with no hook set, the handler the guard displaced gets it
    return kSurvived;
}

KELTRA_CHILD_ROLE(guard_posix_foreign_handler_first) {
    // The crash handler's hook at process start, then a plug-in's initialiser's handler.
    platform::SetUnguardedFaultHandler([](int, void*, void*) { _exit(43); });
    InstallForeignSegvHandler();
    return Guarded([] { Lib::WriteTo(0); }) ? 5 : 0;  // 44: the foreign handler kept it
}

bool Blocked(int signalNumber) {
    sigset_t now;
    ::pthread_sigmask(SIG_BLOCK, nullptr, &now);
    return sigismember(&now, signalNumber) == 1;
}

// The mask after a fault: a signal the foreign code blocked before faulting is unblocked again,
// and a hold of the stop signals between guarded calls stays (and its release too).
KELTRA_CHILD_ROLE(guard_posix_mask) {
    if (Guarded([] {
            sigset_t set;
            sigemptyset(&set);
            sigaddset(&set, SIGUSR2);
            ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
            Lib::WriteTo(0);
        }) ||
        Blocked(SIGUSR2)) {
        return 3;
    }
    platform::HoldStopSignals();
    if (Guarded([] { Lib::WriteTo(0); }) || !Blocked(SIGTERM)) {
        return 4;
    }
    (void)platform::ReleaseStopSignals();
    return Guarded([] { Lib::WriteTo(0); }) || Blocked(SIGTERM) ? 5 : 0;
}

TEST(FaultGuardPosix, UnguardedFaultsSentSignalsForeignHandlersAndTheSignalMask) {
    EXPECT_EQ(keltra::test::RunChild("guard_posix_mask"), 0u);
    EXPECT_EQ(keltra::test::RunChild("guard_posix_sent_signal"), 45u) << "4: swallowed";
    EXPECT_EQ(keltra::test::RunChild("guard_posix_foreign_handler_later"), 44u);
    EXPECT_EQ(keltra::test::RunChild("guard_posix_foreign_handler_first"), 0u);
    for (const wchar_t* kind : {L"trap", L"null write"}) {  // the code of a crash varies
        const std::uint32_t code = keltra::test::RunChild("guard_posix_unguarded", {kind});
        EXPECT_TRUE(code != 0 && code != 3 && code != static_cast<std::uint32_t>(kSurvived))
            << code;
    }
}

}  // namespace
