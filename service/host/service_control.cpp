// The portable part of the administering side: argument checks, once, before a backend runs.
#include "service/host/service_control.h"

#include "platform/error.h"

namespace platform {
namespace {

template <typename T>
T Fail(ErrorCode code, T value) noexcept {
    SetLastError(code);
    return value;
}

bool Empty(const wchar_t* text) noexcept {
    return text == nullptr || text[0] == L'\0';
}

// The codes each origin can send; every other one the manager refuses with 87.
bool Sendable(std::uint32_t control, ControlOrigin origin) noexcept {
    if (origin == ControlOrigin::kSystem) {
        return control == kServiceControlShutdown ||
               (control >= kServiceControlDeviceEvent && control <= kServiceControlTimeChange) ||
               control == kServiceControlTriggerEvent;
    }
    return (control >= kServiceControlStop && control <= kServiceControlNetBindDisable &&
            control != kServiceControlShutdown) ||
           (control >= kServiceControlUserFirst && control <= kServiceControlUserLast);
}

}  // namespace

ServiceHandle OpenServiceManager(std::uint32_t access) noexcept {
    return service_backend::OpenServiceManager(access);
}

ServiceHandle CreateService(ServiceHandle manager, const ServiceConfig* config,
                            std::uint32_t access) noexcept {
    if (manager == nullptr) {
        return Fail<ServiceHandle>(kErrorInvalidHandle, nullptr);
    }
    if (config == nullptr || Empty(config->name) || Empty(config->binaryPath)) {
        return Fail<ServiceHandle>(kErrorInvalidParameter, nullptr);
    }
    return service_backend::CreateService(manager, *config, access);
}

ServiceHandle OpenService(ServiceHandle manager, const wchar_t* name,
                          std::uint32_t access) noexcept {
    if (manager == nullptr) {
        return Fail<ServiceHandle>(kErrorInvalidHandle, nullptr);
    }
    if (Empty(name)) {
        return Fail<ServiceHandle>(kErrorInvalidParameter, nullptr);
    }
    return service_backend::OpenService(manager, name, access);
}

bool SetServiceDescription(ServiceHandle service, const wchar_t* description) noexcept {
    if (service == nullptr) {
        return Fail(kErrorInvalidHandle, false);
    }
    return service_backend::SetServiceDescription(service,
                                                  description != nullptr ? description : L"");
}

bool SetServiceDelayedAutoStart(ServiceHandle service, bool delayed) noexcept {
    if (service == nullptr) {
        return Fail(kErrorInvalidHandle, false);
    }
    return service_backend::SetServiceDelayedAutoStart(service, delayed);
}

bool SetServiceRecovery(ServiceHandle service, const ServiceRecovery* recovery) noexcept {
    if (service == nullptr) {
        return Fail(kErrorInvalidHandle, false);
    }
    return service_backend::SetServiceRecovery(service,
                                               recovery != nullptr ? *recovery : ServiceRecovery{});
}

bool StartService(ServiceHandle service) noexcept {
    if (service == nullptr) {
        return Fail(kErrorInvalidHandle, false);
    }
    return service_backend::StartService(service);
}

bool ControlService(ServiceHandle service, std::uint32_t control, ServiceStatus* status) noexcept {
    if (service == nullptr) {
        return Fail(kErrorInvalidHandle, false);
    }
    if (status == nullptr || !Sendable(control, ControlOrigin::kControlService)) {
        return Fail(kErrorInvalidParameter, false);
    }
    *status = ServiceStatus{};
    return service_backend::ControlService(service, control, status);
}

bool QueryServiceStatus(ServiceHandle service, ServiceStatus* status) noexcept {
    if (service == nullptr) {
        return Fail(kErrorInvalidHandle, false);
    }
    if (status == nullptr) {
        return Fail(kErrorInvalidParameter, false);
    }
    *status = ServiceStatus{};
    return service_backend::QueryServiceStatus(service, status);
}

bool QueryServiceProcess(ServiceHandle service, ServiceProcessInfo* info) noexcept {
    if (service == nullptr) {
        return Fail(kErrorInvalidHandle, false);
    }
    if (info == nullptr) {
        return Fail(kErrorInvalidParameter, false);
    }
    try {
        *info = ServiceProcessInfo{ServiceStatus{}, 0, std::wstring(), -1};
    } catch (...) {
        return Fail(kErrorNotEnoughMemory, false);
    }
    return service_backend::QueryServiceProcess(service, info);
}

bool DeleteService(ServiceHandle service) noexcept {
    if (service == nullptr) {
        return Fail(kErrorInvalidHandle, false);
    }
    return service_backend::DeleteService(service);
}

bool CloseServiceHandle(ServiceHandle handle) noexcept {
    if (handle == nullptr) {
        return Fail(kErrorInvalidHandle, false);
    }
    return service_backend::CloseServiceHandle(handle);
}

std::uint32_t AcceptBitOf(std::uint32_t control) noexcept {
    switch (control) {
        case kServiceControlStop:
            return kServiceAcceptStop;
        case kServiceControlPause:
        case kServiceControlContinue:
            return kServiceAcceptPauseContinue;
        case kServiceControlShutdown:
            return kServiceAcceptShutdown;
        case kServiceControlParamChange:
            return kServiceAcceptParamChange;
        case kServiceControlNetBindAdd:
        case kServiceControlNetBindRemove:
        case kServiceControlNetBindEnable:
        case kServiceControlNetBindDisable:
            return kServiceAcceptNetBindChange;
        case kServiceControlHardwareProfileChange:
            return kServiceAcceptHardwareProfileChange;
        case kServiceControlPowerEvent:
            return kServiceAcceptPowerEvent;
        case kServiceControlSessionChange:
            return kServiceAcceptSessionChange;
        case kServiceControlPreShutdown:
            return kServiceAcceptPreShutdown;
        case kServiceControlTimeChange:
            return kServiceAcceptTimeChange;
        case kServiceControlTriggerEvent:
            return kServiceAcceptTriggerEvent;
        default:
            return 0;
    }
}

ErrorCode AdmitControl(std::uint32_t control, ControlOrigin origin, std::uint32_t state,
                       std::uint32_t controlsAccepted) noexcept {
    if (!Sendable(control, origin)) {
        return kErrorInvalidParameter;
    }
    if (state == kServiceStopped) {
        return kErrorServiceNotActive;
    }
    if (IsPendingState(state)) {
        return kErrorServiceCannotAcceptControl;
    }
    const std::uint32_t bit = AcceptBitOf(control);
    return bit != 0 && (controlsAccepted & bit) == 0 ? ErrorCode{kErrorInvalidServiceControl}
                                                     : ErrorCode{0};
}

}  // namespace platform
