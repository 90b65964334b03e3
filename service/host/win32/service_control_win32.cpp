// The administering side on Windows: the Service Control Manager (advapi32).
#include <cstring>
#include <vector>

#include "platform/win32/windows_lean.h"
#include "service/host/service_control.h"

#undef CreateService
#undef OpenService
#undef StartService
#undef ControlService
#undef QueryServiceStatus

namespace platform::service_backend {
namespace {

static_assert(sizeof(ServiceStatus) == sizeof(SERVICE_STATUS), "field for field SERVICE_STATUS");

SC_HANDLE Sc(ServiceHandle handle) noexcept {
    return static_cast<SC_HANDLE>(handle);
}

void CopyStatus(const SERVICE_STATUS& from, ServiceStatus* to) noexcept {
    std::memcpy(to, &from, sizeof from);
}

}  // namespace

ServiceHandle OpenServiceManager(std::uint32_t access) noexcept {
    return ::OpenSCManagerW(nullptr, nullptr, access);
}

ServiceHandle CreateService(ServiceHandle manager, const ServiceConfig& config,
                            std::uint32_t access) noexcept {
    return ::CreateServiceW(Sc(manager), config.name, config.displayName, access,
                            kServiceWin32OwnProcess, config.startType, kServiceErrorNormal,
                            config.binaryPath, nullptr, nullptr, config.dependencies, nullptr,
                            nullptr);
}

ServiceHandle OpenService(ServiceHandle manager, const wchar_t* name,
                          std::uint32_t access) noexcept {
    return ::OpenServiceW(Sc(manager), name, access);
}

bool SetServiceDescription(ServiceHandle service, const wchar_t* description) noexcept {
    SERVICE_DESCRIPTIONW info{};
    info.lpDescription = const_cast<wchar_t*>(description);
    return ::ChangeServiceConfig2W(Sc(service), SERVICE_CONFIG_DESCRIPTION, &info) != FALSE;
}

bool SetServiceDelayedAutoStart(ServiceHandle service, bool delayed) noexcept {
    SERVICE_DELAYED_AUTO_START_INFO info{};
    info.fDelayedAutostart = delayed ? TRUE : FALSE;
    return ::ChangeServiceConfig2W(Sc(service), SERVICE_CONFIG_DELAYED_AUTO_START_INFO, &info) !=
           FALSE;
}

bool SetServiceRecovery(ServiceHandle service, const ServiceRecovery& recovery) noexcept {
    if (!recovery.restart) {
        return true;  // a new service has no failure actions
    }
    SC_ACTION actions[3];
    for (int i = 0; i < 3; ++i) {
        actions[i].Type = SC_ACTION_RESTART;
        actions[i].Delay = recovery.restartDelaysMs[i];
    }
    SERVICE_FAILURE_ACTIONSW failure{};
    failure.dwResetPeriod = recovery.resetAfterS;
    failure.cActions = 3;
    failure.lpsaActions = actions;
    if (::ChangeServiceConfig2W(Sc(service), SERVICE_CONFIG_FAILURE_ACTIONS, &failure) == FALSE) {
        return false;
    }
    // Without the flag only a process that vanishes counts as a failure, not a stop that
    // reports an error.
    SERVICE_FAILURE_ACTIONS_FLAG flag{};
    flag.fFailureActionsOnNonCrashFailures = TRUE;
    return ::ChangeServiceConfig2W(Sc(service), SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag) !=
           FALSE;
}

bool StartService(ServiceHandle service) noexcept {
    return ::StartServiceW(Sc(service), 0, nullptr) != FALSE;
}

bool ControlService(ServiceHandle service, std::uint32_t control, ServiceStatus* status) noexcept {
    SERVICE_STATUS raw{};
    const bool ok = ::ControlService(Sc(service), control, &raw) != FALSE;
    CopyStatus(raw, status);
    return ok;
}

bool QueryServiceStatus(ServiceHandle service, ServiceStatus* status) noexcept {
    SERVICE_STATUS raw{};
    const bool ok = ::QueryServiceStatus(Sc(service), &raw) != FALSE;
    CopyStatus(raw, status);
    return ok;
}

bool QueryServiceProcess(ServiceHandle service, ServiceProcessInfo* info) noexcept try {
    SERVICE_STATUS_PROCESS process{};
    DWORD needed = 0;
    if (!::QueryServiceStatusEx(Sc(service), SC_STATUS_PROCESS_INFO,
                                reinterpret_cast<BYTE*>(&process), sizeof process, &needed)) {
        return false;
    }
    std::memcpy(&info->status, &process, sizeof info->status);  // SERVICE_STATUS comes first
    info->processId = process.dwProcessId;
    (void)::QueryServiceConfigW(Sc(service), nullptr, 0, &needed);
    std::vector<BYTE> config(needed);
    if (needed == 0 ||
        !::QueryServiceConfigW(Sc(service), reinterpret_cast<QUERY_SERVICE_CONFIGW*>(config.data()),
                               needed, &needed)) {
        return false;
    }
    const auto* fields = reinterpret_cast<const QUERY_SERVICE_CONFIGW*>(config.data());
    info->binaryPath = fields->lpBinaryPathName != nullptr ? fields->lpBinaryPathName : L"";
    // Recovery: a restart among the failure actions. Unknown where the manager cannot say.
    needed = 0;
    (void)::QueryServiceConfig2W(Sc(service), SERVICE_CONFIG_FAILURE_ACTIONS, nullptr, 0, &needed);
    std::vector<BYTE> actions(needed);
    if (needed != 0 && ::QueryServiceConfig2W(Sc(service), SERVICE_CONFIG_FAILURE_ACTIONS,
                                              actions.data(), needed, &needed)) {
        const auto* failure = reinterpret_cast<const SERVICE_FAILURE_ACTIONSW*>(actions.data());
        info->recovery = 0;
        for (DWORD i = 0; i < failure->cActions; ++i) {
            if (failure->lpsaActions[i].Type == SC_ACTION_RESTART) {
                info->recovery = 1;
            }
        }
    }
    return true;
} catch (...) {
    ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
}

bool DeleteService(ServiceHandle service) noexcept {
    return ::DeleteService(Sc(service)) != FALSE;
}

bool CloseServiceHandle(ServiceHandle handle) noexcept {
    return ::CloseServiceHandle(Sc(handle)) != FALSE;
}

}  // namespace platform::service_backend

namespace platform {

std::wstring ServiceDataDirectory(const wchar_t* /*serviceName*/) {
    return L"C:\\ProgramData\\Keltra\\Brismont Settings";
}

}  // namespace platform
