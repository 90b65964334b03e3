// The service process's side of the service manager: dispatcher, control handler, status
// reports and device/power notifications.
//
// Windows: the Service Control Manager. POSIX: systemd (a unit of Type=notify); controls come
// from signals (SIGTERM and SIGINT: stop; SIGHUP: param-change; released here when the process
// entry held them, platform/stop_signals.h, and held again on return) and from the service's
// control channel (service/host/service_control.h, SendServiceControl); status reports become
// notify messages: READY=1 on running, STOPPING=1 on stop-pending, EXTEND_TIMEOUT_USEC= from a
// pending report's wait hint, STATUS= with a short text.
//
// On both platforms the dispatcher runs the service main routine on a thread of its own and
// calls the control handler on the dispatcher's thread (the caller of
// StartServiceDispatcher), one control at a time. Arguments are checked once, in portable
// code, before a backend sees them.
#pragma once

#include <cstdint>
#include <string>

#include "platform/error.h"
#include "platform/types.h"

namespace platform {

/// Service types, states, control codes and accepted-control bits, with their Windows values
/// (the service manager's error codes are in platform/error.h).
enum : std::uint32_t {
    kServiceWin32OwnProcess = 0x10,

    kServiceStopped = 1,
    kServiceStartPending = 2,
    kServiceStopPending = 3,
    kServiceRunning = 4,
    kServiceContinuePending = 5,
    kServicePausePending = 6,
    kServicePaused = 7,

    kServiceControlStop = 1,
    kServiceControlPause = 2,
    kServiceControlContinue = 3,
    kServiceControlInterrogate = 4,
    kServiceControlShutdown = 5,
    kServiceControlParamChange = 6,
    kServiceControlNetBindAdd = 7,
    kServiceControlNetBindRemove = 8,
    kServiceControlNetBindEnable = 9,
    kServiceControlNetBindDisable = 10,
    kServiceControlDeviceEvent = 11,
    kServiceControlHardwareProfileChange = 12,
    kServiceControlPowerEvent = 13,
    kServiceControlSessionChange = 14,
    kServiceControlPreShutdown = 15,
    kServiceControlTimeChange = 16,
    kServiceControlTriggerEvent = 32,
    kServiceControlUserFirst = 128,
    kServiceControlUserLast = 255,

    kServiceAcceptStop = 0x01,
    kServiceAcceptShutdown = 0x04,
    kServiceAcceptHardwareProfileChange = 0x20,
    kServiceAcceptPowerEvent = 0x40,
    kServiceAcceptSessionChange = 0x80,

    kServiceAcceptPauseContinue = 0x02,
    kServiceAcceptParamChange = 0x08,
    kServiceAcceptNetBindChange = 0x10,
    kServiceAcceptPreShutdown = 0x100,
    kServiceAcceptTimeChange = 0x200,
    kServiceAcceptTriggerEvent = 0x400,
};

/// The controls this host accepts while steady (running or paused): stop, shutdown,
/// param-change (the log settings are read again) and the three system notifications. Reported
/// by the host, and by a query of the running service on POSIX.
inline constexpr std::uint32_t kHostAcceptedControls =
    kServiceAcceptStop | kServiceAcceptShutdown | kServiceAcceptParamChange |
    kServiceAcceptHardwareProfileChange | kServiceAcceptPowerEvent | kServiceAcceptSessionChange;

/// True for the four pending states, in which the manager passes no control but interrogate.
constexpr bool IsPendingState(std::uint32_t state) noexcept {
    return state == kServiceStartPending || state == kServiceStopPending ||
           state == kServiceContinuePending || state == kServicePausePending;
}

/// The status record, field for field the Windows SERVICE_STATUS.
struct ServiceStatus {
    std::uint32_t serviceType;
    std::uint32_t currentState;
    std::uint32_t controlsAccepted;
    std::uint32_t win32ExitCode;
    std::uint32_t serviceSpecificExitCode;
    std::uint32_t checkPoint;
    std::uint32_t waitHint;
};

/// The service main routine: runs on a thread the dispatcher starts, with the start arguments.
using ServiceMainRoutine = void (*)(std::uint32_t argc, wchar_t** argv);

/// The extended control handler: runs on the dispatcher's thread; its result goes back to
/// whoever sent the control.
using ServiceControlHandler = std::uint32_t (*)(std::uint32_t control, std::uint32_t eventType,
                                                void* eventData, void* context);

/// Identifies the running service towards the manager; never closed (as on Windows).
using ServiceStatusHandle = void*;

/// A device or power-setting notification registration; null when none.
using NotificationHandle = void*;

/// Power settings the service can ask to be told about.
enum class PowerSetting { kBatteryPercentageRemaining, kAcDcPowerSource, kActivePowerScheme };

/// Makes the calling thread the dispatcher of the one service serviceName and blocks until
/// that service has reported kServiceStopped and its main routine has returned. Returns 0, or
/// an error code: 87 for a null or empty name or a null routine; 1063 when the process was
/// not started by the service manager (POSIX: NOTIFY_SOCKET is not set); 1056 when a
/// dispatcher already runs in this process. The main routine gets argc 1 and argv {name} on
/// POSIX (Windows passes the start arguments).
[[nodiscard]] ErrorCode StartServiceDispatcher(const wchar_t* serviceName,
                                               ServiceMainRoutine main) noexcept;

/// Registers the control handler for serviceName with its context (passed back unchanged).
/// Call it from the service main routine. Returns the status handle, or null with the last
/// error set (87 for a null name or handler).
[[nodiscard]] ServiceStatusHandle RegisterServiceControlHandler(const wchar_t* serviceName,
                                                                ServiceControlHandler handler,
                                                                void* context) noexcept;

/// Reports a status. Returns 0, or an error code (6 for a null handle, 87 for a null status).
[[nodiscard]] ErrorCode ReportServiceStatus(ServiceStatusHandle handle,
                                            const ServiceStatus* status) noexcept;

/// Tells the manager, before the control handler is registered and so before any status
/// report, that the start goes on for up to waitHintMs more (the host loads its plug-ins
/// then). POSIX: EXTEND_TIMEOUT_USEC= to systemd, which then waits that long past its start
/// timeout; Windows: nothing, since the manager hears nothing from a service before its
/// handler exists and the order of reports stays as it is. Does nothing outside a dispatcher.
/// Any thread.
void ExtendServiceStartTimeout(std::uint32_t waitHintMs) noexcept;

/// Sets a short human text about the service (for example how many plug-ins it runs) that
/// accompanies the next status reports. POSIX: sent as STATUS= with the state's name; Windows
/// has no place for it and ignores it. A null text clears it. Any thread.
void SetServiceStatusText(const wchar_t* text) noexcept;

/// Tells the manager that the host is healthy, for a watchdog. POSIX: WATCHDOG=1 (systemd
/// ignores it unless the unit sets WatchdogSec=); Windows has no such message: nothing. Does
/// nothing outside a dispatcher. Any thread.
void SendServiceHeartbeat() noexcept;

/// Why the dispatcher of this process could not open the service's own control channel
/// (POSIX: the socket /CONTROL talks to; Windows has none, the manager carries every control),
/// naming the path; empty when it is open or there is none. Known before the service main
/// routine starts; the dispatcher also puts it into every status text. Any thread.
[[nodiscard]] std::wstring ServiceControlChannelProblem();

/// Registers for device-interface arrival and removal events of every interface class,
/// delivered as kServiceControlDeviceEvent. Null when it fails or the platform has none.
[[nodiscard]] NotificationHandle RegisterDeviceNotifications(ServiceStatusHandle handle) noexcept;

/// Registers for changes of one power setting, delivered as kServiceControlPowerEvent. Null
/// when it fails or the platform has none.
[[nodiscard]] NotificationHandle RegisterPowerNotification(ServiceStatusHandle handle,
                                                           PowerSetting setting) noexcept;

/// Unregister what the two calls above returned; null does nothing.
void UnregisterDeviceNotifications(NotificationHandle handle) noexcept;
void UnregisterPowerNotification(NotificationHandle handle) noexcept;

}  // namespace platform
