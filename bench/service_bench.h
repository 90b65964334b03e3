// The service benchmark's one platform-specific part: a running service to send controls to,
// through the platform's real path.
#pragma once

#include <memory>

/// A service with the plug-ins listed under key, running until destroyed. Windows: the test
/// service created and started through the service manager (under Wine, Wine's). POSIX: the
/// service under the dispatcher on a thread of this process, reached through its control
/// channel (the path an administrator's command takes).
class RunningService {
  public:
    /// Null when the service cannot be started.
    static std::unique_ptr<RunningService> Start(const wchar_t* key);
    virtual ~RunningService() = default;
    /// One user-defined control, answered: false when it failed.
    virtual bool RoundTrip() = 0;
    /// Between rounds, outside the timing: the manager's side catches up (POSIX: the notify
    /// messages the host sent are read, as systemd reads them; a full socket would block the
    /// host).
    virtual void CatchUp() {}
    /// The floor under one control: its transport with nothing behind it (POSIX: a request
    /// and answer of the channel's sizes over a new Unix-domain connection to a bare thread,
    /// the channel's own system calls; Windows: none, false).
    virtual bool TransportRoundTrip() { return false; }
};
