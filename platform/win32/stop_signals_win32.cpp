// Windows stop requests: the C runtime's SIGINT (Ctrl-C) and SIGTERM; nothing to hold.
#include <atomic>
#include <csignal>

#include "platform/stop_signals.h"

namespace platform {
namespace {

std::atomic<int> g_caught{static_cast<int>(StopRequest::kNone)};

extern "C" void OnStopSignal(int signalNumber) {
    int none = static_cast<int>(StopRequest::kNone);
    g_caught.compare_exchange_strong(none, static_cast<int>(StopRequest::kInterrupt));
    std::signal(signalNumber, &OnStopSignal);  // the runtime resets it before the call
}

}  // namespace

void HoldStopSignals() noexcept {}

bool ReleaseStopSignals() noexcept {
    return false;
}

void EndOnStopSignals() noexcept {}

void CatchStopRequests() noexcept {
    std::signal(SIGINT, &OnStopSignal);
    std::signal(SIGTERM, &OnStopSignal);
}

StopRequest CaughtStopRequest() noexcept {
    return static_cast<StopRequest>(g_caught.load());
}

}  // namespace platform
