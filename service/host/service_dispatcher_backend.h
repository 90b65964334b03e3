// Private to the platform layer: what each backend provides behind service_dispatcher.h. The
// portable wrappers (service_dispatcher.cpp) check the arguments before calling these.
#pragma once

#include "service/host/service_dispatcher.h"

namespace platform::backend {

ErrorCode StartServiceDispatcher(const wchar_t* serviceName, ServiceMainRoutine main) noexcept;
ServiceStatusHandle RegisterServiceControlHandler(const wchar_t* serviceName,
                                                  ServiceControlHandler handler,
                                                  void* context) noexcept;
ErrorCode ReportServiceStatus(ServiceStatusHandle handle, const ServiceStatus* status) noexcept;
void ExtendServiceStartTimeout(std::uint32_t waitHintMs) noexcept;
void SetServiceStatusText(const wchar_t* text) noexcept;
void SendServiceHeartbeat() noexcept;
std::wstring ServiceControlChannelProblem();
NotificationHandle RegisterDeviceNotifications(ServiceStatusHandle handle) noexcept;
NotificationHandle RegisterPowerNotification(ServiceStatusHandle handle,
                                             PowerSetting setting) noexcept;
void UnregisterDeviceNotifications(NotificationHandle handle) noexcept;
void UnregisterPowerNotification(NotificationHandle handle) noexcept;

}  // namespace platform::backend
