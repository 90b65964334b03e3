// The Windows service dispatcher: the Service Control Manager's dispatcher, control handler,
// status reports and device/power notifications.
#include "platform/win32/windows_lean.h"

#include <dbt.h>

#include "service/host/control_sink.h"
#include "service/host/service_dispatcher_backend.h"

namespace platform::backend {
namespace {

// One service per process: the routines the manager's entry points hand over to.
ServiceMainRoutine g_main = nullptr;
Stoneleaf::ControlSink g_sink;

void WINAPI MainEntry(DWORD argc, LPWSTR* argv) {
    g_main(argc, argv);
}

// The manager passes back the context it was given, which the sink already holds.
DWORD WINAPI HandlerEntry(DWORD control, DWORD eventType, LPVOID eventData, LPVOID) {
    return g_sink.Deliver(control, eventType, eventData);
}

const GUID kBatteryPercentageRemaining = {
    0xA7AD8041, 0xB45A, 0x4CAE, {0x87, 0xA3, 0xEE, 0xCB, 0xB4, 0x68, 0xA9, 0xE1}};
const GUID kAcDcPowerSource = {
    0x5D3E9A59, 0xE9D5, 0x4B00, {0xA6, 0xBD, 0xFF, 0x34, 0xFF, 0x51, 0x65, 0x48}};
const GUID kActivePowerScheme = {
    0x31F9F286, 0x5084, 0x42FE, {0xB7, 0x20, 0x2B, 0x02, 0x64, 0x99, 0x37, 0x63}};

}  // namespace

ErrorCode StartServiceDispatcher(const wchar_t* serviceName, ServiceMainRoutine main) noexcept {
    g_main = main;
    SERVICE_TABLE_ENTRYW table[] = {{const_cast<wchar_t*>(serviceName), &MainEntry},
                                    {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) ? 0 : ::GetLastError();
}

ServiceStatusHandle RegisterServiceControlHandler(const wchar_t* serviceName,
                                                  ServiceControlHandler handler,
                                                  void* context) noexcept {
    g_sink = Stoneleaf::ControlSink(handler, context);
    return RegisterServiceCtrlHandlerExW(serviceName, &HandlerEntry, context);
}

ErrorCode ReportServiceStatus(ServiceStatusHandle handle, const ServiceStatus* status) noexcept {
    static_assert(sizeof(SERVICE_STATUS) == sizeof(ServiceStatus));
    SERVICE_STATUS record;
    record.dwServiceType = status->serviceType;
    record.dwCurrentState = status->currentState;
    record.dwControlsAccepted = status->controlsAccepted;
    record.dwWin32ExitCode = status->win32ExitCode;
    record.dwServiceSpecificExitCode = status->serviceSpecificExitCode;
    record.dwCheckPoint = status->checkPoint;
    record.dwWaitHint = status->waitHint;
    return SetServiceStatus(static_cast<SERVICE_STATUS_HANDLE>(handle), &record) ? 0
                                                                                 : ::GetLastError();
}

void ExtendServiceStartTimeout(std::uint32_t) noexcept {}  // nothing before the handler

void SetServiceStatusText(const wchar_t*) noexcept {}
void SendServiceHeartbeat() noexcept {}

NotificationHandle RegisterDeviceNotifications(ServiceStatusHandle handle) noexcept {
    DEV_BROADCAST_DEVICEINTERFACE_W filter = {};
    filter.dbcc_size = 32;  // the header and the class GUID, with an empty name
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    return RegisterDeviceNotificationW(
        handle, &filter, DEVICE_NOTIFY_SERVICE_HANDLE | DEVICE_NOTIFY_ALL_INTERFACE_CLASSES);
}

std::wstring ServiceControlChannelProblem() {
    return std::wstring();  // the manager carries every control
}

NotificationHandle RegisterPowerNotification(ServiceStatusHandle handle,
                                             PowerSetting setting) noexcept {
    const GUID* guid = setting == PowerSetting::kBatteryPercentageRemaining
                           ? &kBatteryPercentageRemaining
                       : setting == PowerSetting::kAcDcPowerSource ? &kAcDcPowerSource
                                                                   : &kActivePowerScheme;
    return RegisterPowerSettingNotification(handle, guid, DEVICE_NOTIFY_SERVICE_HANDLE);
}

void UnregisterDeviceNotifications(NotificationHandle handle) noexcept {
    UnregisterDeviceNotification(handle);
}

void UnregisterPowerNotification(NotificationHandle handle) noexcept {
    UnregisterPowerSettingNotification(static_cast<HPOWERNOTIFY>(handle));
}

}  // namespace platform::backend
