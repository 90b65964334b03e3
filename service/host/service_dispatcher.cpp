// The portable part of the service dispatcher: argument checks, once, before a backend runs.
#include "service/host/service_dispatcher.h"

#include "platform/error.h"
#include "service/host/service_dispatcher_backend.h"

namespace platform {

ErrorCode StartServiceDispatcher(const wchar_t* serviceName, ServiceMainRoutine main) noexcept {
    if (serviceName == nullptr || serviceName[0] == L'\0' || main == nullptr) {
        return kErrorInvalidParameter;
    }
    return backend::StartServiceDispatcher(serviceName, main);
}

ServiceStatusHandle RegisterServiceControlHandler(const wchar_t* serviceName,
                                                  ServiceControlHandler handler,
                                                  void* context) noexcept {
    if (serviceName == nullptr || serviceName[0] == L'\0' || handler == nullptr) {
        SetLastError(kErrorInvalidParameter);
        return nullptr;
    }
    return backend::RegisterServiceControlHandler(serviceName, handler, context);
}

ErrorCode ReportServiceStatus(ServiceStatusHandle handle, const ServiceStatus* status) noexcept {
    if (handle == nullptr) {
        return kErrorInvalidHandle;
    }
    if (status == nullptr) {
        return kErrorInvalidParameter;
    }
    return backend::ReportServiceStatus(handle, status);
}

void ExtendServiceStartTimeout(std::uint32_t waitHintMs) noexcept {
    backend::ExtendServiceStartTimeout(waitHintMs);
}

void SetServiceStatusText(const wchar_t* text) noexcept {
    backend::SetServiceStatusText(text);
}

void SendServiceHeartbeat() noexcept {
    backend::SendServiceHeartbeat();
}

std::wstring ServiceControlChannelProblem() {
    return backend::ServiceControlChannelProblem();
}

NotificationHandle RegisterDeviceNotifications(ServiceStatusHandle handle) noexcept {
    return handle == nullptr ? nullptr : backend::RegisterDeviceNotifications(handle);
}

NotificationHandle RegisterPowerNotification(ServiceStatusHandle handle,
                                             PowerSetting setting) noexcept {
    return handle == nullptr ? nullptr : backend::RegisterPowerNotification(handle, setting);
}

void UnregisterDeviceNotifications(NotificationHandle handle) noexcept {
    if (handle != nullptr) {
        backend::UnregisterDeviceNotifications(handle);
    }
}

void UnregisterPowerNotification(NotificationHandle handle) noexcept {
    if (handle != nullptr) {
        backend::UnregisterPowerNotification(handle);
    }
}

}  // namespace platform
