// POSIX stop requests: the signal mask of the calling thread, and recording handlers.
#include <signal.h>

#include <atomic>

#include "platform/fault_guard.h"
#include "platform/stop_signals.h"

namespace platform {
namespace {

std::atomic<int> g_caught{static_cast<int>(StopRequest::kNone)};
static_assert(std::atomic<int>::is_always_lock_free);

sigset_t StopSet() {
    sigset_t set;
    sigemptyset(&set);
    for (int signalNumber : {SIGTERM, SIGINT, SIGHUP}) {
        sigaddset(&set, signalNumber);
    }
    return set;
}

void Install(int signalNumber, void (*handler)(int)) {
    struct sigaction action = {};
    action.sa_handler = handler;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(signalNumber, &action, nullptr);
}

extern "C" void OnStopSignal(int signalNumber) {
    int none = static_cast<int>(StopRequest::kNone);
    g_caught.compare_exchange_strong(
        none,
        static_cast<int>(signalNumber == SIGHUP ? StopRequest::kHangUp : StopRequest::kInterrupt));
}

// Does nothing: its being there turns a write to a closed pipe into an EPIPE failure.
extern "C" void OnBrokenPipe(int) {}

}  // namespace

void HoldStopSignals() noexcept {
    const sigset_t set = StopSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    ForgetSavedSignalMask();
}

bool ReleaseStopSignals() noexcept {
    const sigset_t set = StopSet();
    sigset_t before;
    sigemptyset(&before);
    pthread_sigmask(SIG_UNBLOCK, &set, &before);
    ForgetSavedSignalMask();
    return sigismember(&before, SIGTERM) == 1;
}

void EndOnStopSignals() noexcept {
    for (int signalNumber : {SIGTERM, SIGINT, SIGHUP}) {
        Install(signalNumber, SIG_DFL);
    }
    (void)ReleaseStopSignals();
}

void CatchStopRequests() noexcept {
    for (int signalNumber : {SIGTERM, SIGINT, SIGHUP}) {
        Install(signalNumber, &OnStopSignal);
    }
    Install(SIGPIPE, &OnBrokenPipe);
    (void)ReleaseStopSignals();
}

StopRequest CaughtStopRequest() noexcept {
    return static_cast<StopRequest>(g_caught.load());
}

}  // namespace platform
