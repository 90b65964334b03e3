// Time limits of the plug-in executive: shipped values and the test-only override.
#include "executive/timeouts.h"

#include <atomic>

namespace executive {
namespace {

const Timeouts kShipped{};
std::atomic<std::uint32_t> g_threadReadyMs{kShipped.threadReadyMs};
std::atomic<std::uint32_t> g_threadExitMs{kShipped.threadExitMs};
std::atomic<std::uint32_t> g_broadcastMs{kShipped.broadcastMs};
std::atomic<std::uint32_t> g_terminateSettleMs{kShipped.terminateSettleMs};
std::atomic<HandlerReadyHook> g_readyHook{nullptr};

}  // namespace

Timeouts GetTimeouts() noexcept {
    Timeouts t;
    t.threadReadyMs = g_threadReadyMs.load();
    t.threadExitMs = g_threadExitMs.load();
    t.broadcastMs = g_broadcastMs.load();
    t.terminateSettleMs = g_terminateSettleMs.load();
    return t;
}

void SetTimeoutsForTesting(const Timeouts& timeouts) noexcept {
    g_threadReadyMs.store(timeouts.threadReadyMs);
    g_threadExitMs.store(timeouts.threadExitMs);
    g_broadcastMs.store(timeouts.broadcastMs);
    g_terminateSettleMs.store(timeouts.terminateSettleMs);
}

void SetHandlerReadyHookForTesting(HandlerReadyHook hook) noexcept {
    g_readyHook.store(hook);
}

HandlerReadyHook GetHandlerReadyHook() noexcept {
    return g_readyHook.load();
}

}  // namespace executive
