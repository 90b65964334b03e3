// Time limits of the plug-in executive, with the shipped values and a test-only override.
//
// The shipped values are fixed: 32000 ms for a handler thread to become ready and for each
// plug-in thread to end, 30000 ms for all plug-ins to finish one broadcast. Tests shorten them
// so that a hung plug-in costs milliseconds instead of half a minute; nothing else changes them.
//
// Threads: GetTimeouts may be called from any thread. The setters are for tests and
// benchmarks and should be called while no plug-in exists; the values are read once per wait.
#pragma once

#include <cstdint>

namespace executive {

struct Timeouts {
    /// How long Executive::Create waits for the handler thread to signal readiness.
    std::uint32_t threadReadyMs = 32000;
    /// How long Executive::Destroy waits for the handler thread, and then for the main thread.
    std::uint32_t threadExitMs = 32000;
    /// How long PluginMgr::WaitForComplete waits for all plug-ins of one broadcast.
    std::uint32_t broadcastMs = 30000;
    /// How long a thread whose procedure has already returned is given to finish exiting
    /// before it would be terminated. Not a wait for the thread's work.
    std::uint32_t terminateSettleMs = 5000;
};

/// The values in force: the shipped ones unless a test replaced them.
[[nodiscard]] Timeouts GetTimeouts() noexcept;

/// Test-only: replaces the values in force. Pass Timeouts{} to restore the shipped ones.
void SetTimeoutsForTesting(const Timeouts& timeouts) noexcept;

/// Test-only: a routine the handler thread runs after it has created its message queue and
/// before it signals readiness; null (the default) for none. Lets a test hold a handler thread
/// in the not-yet-ready state to exercise the Half-started path without waiting 32 s.
using HandlerReadyHook = void (*)();
void SetHandlerReadyHookForTesting(HandlerReadyHook hook) noexcept;
[[nodiscard]] HandlerReadyHook GetHandlerReadyHook() noexcept;

}  // namespace executive
