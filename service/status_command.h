// "/STATUS": the service as the service manager sees it, and the running host's own record
// (service/host/status_reporter.h), as aligned lines or as one JSON object.
//
// Threads: the calling thread of an administering process. Failure: see ShowServiceStatus.
#pragma once

#include <cstdint>
#include <string>

#include "service/host/service_control.h"
#include "service/host/status_reporter.h"

namespace Stoneleaf {

/// Exit codes of "/STATUS" besides 0 (running), as service status tools give them.
inline constexpr std::uint32_t kStatusNotRunning = 3;
inline constexpr std::uint32_t kStatusNotInstalled = 4;

/// What "/STATUS" shows. The host's record is shown only when it was written by the process the
/// manager reports as the service's now (hostCurrent); else hostProblem says why not.
struct ServiceStatusReport {
    std::wstring serviceName;
    platform::ServiceProcessInfo manager;
    std::int64_t now = 0;  ///< seconds since 1970 (UTC), for the uptime
    bool hostCurrent = false;
    std::wstring hostProblem;
    HostView host;
};

/// The report as a few aligned lines, and as one JSON object (UTF-8, one line, newline).
[[nodiscard]] std::string FormatStatusText(const ServiceStatusReport& report);
[[nodiscard]] std::string FormatStatusJson(const ServiceStatusReport& report);

/// Prints the status of serviceName to standard output (JSON when json). Returns 0 when it
/// runs, kStatusNotRunning when installed but not running (stopped or pending),
/// kStatusNotInstalled, or the manager's error code (the caller prints it to standard error).
[[nodiscard]] std::uint32_t ShowServiceStatus(const wchar_t* serviceName, bool json);

}  // namespace Stoneleaf
