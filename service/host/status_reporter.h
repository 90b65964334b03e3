// The host's status: every status report to the service manager goes through the reporter,
// which also keeps what the host knows about itself (plug-ins, the last control, the slowest
// answer) in a record that "/STATUS" reads from another process.
//
// The record is "<service name>.status" in the service's data directory (ServiceDataDirectory:
// owner-only on POSIX, root's; on Windows under ProgramData), rewritten whole on every change:
// a new owner-only file beside it, then renamed over it, so a reader sees the old record or the
// new one, never a mix. It names the process that wrote it; a reader trusts it only while the
// service manager reports that same process as the service's, so the record of a host that is
// gone is never taken as current. It is deleted when the host reports stopped.
//
// Threads: the reporter is process-wide and locked; any thread. Failure: a record that cannot
// be written is skipped (the next change tries again); reports return the manager's code.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/error.h"
#include "service/host/service_dispatcher.h"

namespace Stoneleaf {

/// One plug-in as the host sees it.
struct PluginView {
    std::wstring path;
    std::wstring description;
    std::wstring state;  ///< "loaded", "suppressed (late)" or "suppressed (not alive)"
};

/// What the host knows about itself. Times are seconds since 1970 (UTC).
struct HostView {
    std::uint32_t processId = 0;
    std::int64_t startedAt = 0;
    std::uint32_t state = 0;  ///< the last state reported (platform::kService...)
    std::wstring text;        ///< the status text
    std::vector<PluginView> plugins;
    bool controlSeen = false;  ///< the three below are set
    std::uint32_t lastControl = 0;
    std::uint32_t lastResult = 0;
    std::int64_t lastControlAt = 0;
    bool handlerAnswered = false;  ///< the two below are set
    std::uint32_t slowestAnswerMs = 0;
    std::uint32_t slowestControl = 0;
};

/// The record's text (UTF-8 lines of tab-separated fields; tab, line breaks and backslash in
/// a field escaped) and back. Parse is false for text that is not a whole record.
[[nodiscard]] std::string FormatHostView(const HostView& view);
[[nodiscard]] bool ParseHostView(const std::string& text, HostView* view);

/// The record's path for the service.
[[nodiscard]] std::wstring StatusRecordPath(const wchar_t* serviceName);

/// Reads the record of the service: 0, 2 when there is none, 13 when it is not a record, or
/// the error of the read.
[[nodiscard]] platform::ErrorCode ReadStatusRecord(const wchar_t* serviceName, HostView* view);

class StatusReporter {
  public:
    /// The host of serviceName starts: from now on every change rewrites its record.
    void Start(const wchar_t* serviceName);
    /// Sends the status to the manager (platform::ReportServiceStatus); stopped ends the record.
    platform::ErrorCode Report(platform::ServiceStatusHandle handle,
                               const platform::ServiceStatus& status);
    /// The short text beside the state (platform::SetServiceStatusText); null clears it.
    void SetText(const wchar_t* text);
    /// The host is healthy (platform::SendServiceHeartbeat).
    void Heartbeat();
    void SetPlugins(std::vector<PluginView> plugins);
    /// A control was delivered, with its result and how long the host took to answer it.
    void RecordControl(std::uint32_t control, std::uint32_t result, std::uint32_t answerMs);
    [[nodiscard]] HostView View();

  private:
    void PublishLocked();

    std::mutex m_lock;
    HostView m_view;
    std::wstring m_path;  // empty: not a started host, nothing is written
};

/// The process's one reporter.
[[nodiscard]] StatusReporter& HostStatus();

}  // namespace Stoneleaf
