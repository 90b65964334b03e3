// Stop requests that arrive as signals, and who owns them.
//
// A stop request is never a crash. POSIX: SIGTERM (the service manager, kill), SIGINT (Ctrl-C)
// and SIGHUP (the terminal went away; systemctl reload for the service). The process entry
// holds them from its first instruction until their owner is ready, so none meets the crash
// handler or the system's default action on the way: the service dispatcher
// (service/host/service_dispatcher.h), the foreground host (CatchStopRequests), or, for an
// administration command, the system's default action (EndOnStopSignals), which ends the
// process at once without a dump. A request that comes while held waits, pending, for its
// owner.
//
// Windows: the console's Ctrl-C reaches the C runtime's SIGINT on a thread of the system's;
// nothing is held (HoldStopSignals and ReleaseStopSignals do nothing, EndOnStopSignals leaves
// the crash handler in place), and CatchStopRequests takes the runtime's SIGINT and SIGTERM.
//
// Threads: a hold applies to the calling thread and to every thread it starts afterwards,
// which inherit it; the process entry holds on the entry thread before any other starts.
#pragma once

namespace platform {

/// What CatchStopRequests has caught first.
enum class StopRequest {
    kNone,       ///< nothing yet
    kInterrupt,  ///< SIGINT or SIGTERM
    kHangUp,     ///< SIGHUP: the terminal is gone (POSIX)
};

/// Holds SIGTERM, SIGINT and SIGHUP on the calling thread (POSIX).
void HoldStopSignals() noexcept;

/// Lets them arrive again on the calling thread; one that came meanwhile arrives now. Call
/// once their handling is installed. True when they were held before (POSIX).
bool ReleaseStopSignals() noexcept;

/// For a process that has nothing to stop: SIGTERM, SIGINT and SIGHUP take the system's
/// default action (the process ends, no dump is written), then are released (POSIX).
void EndOnStopSignals() noexcept;

/// For the foreground host: SIGINT and SIGTERM (and SIGHUP on POSIX) are recorded, the first
/// one kept, for the host to act on; then they are released. POSIX also stops SIGPIPE from
/// ending the process: a write to a closed output then fails with EPIPE, which the host can
/// see and act on. Handlers, not "ignore", so that programs a plug-in starts get the defaults.
void CatchStopRequests() noexcept;

/// The first request CatchStopRequests has caught, kNone before any. Any thread.
[[nodiscard]] StopRequest CaughtStopRequest() noexcept;

}  // namespace platform
