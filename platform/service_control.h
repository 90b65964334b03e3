// The administering side of the service manager: install, open, start, control, query and
// delete a service.
//
// Windows: the Service Control Manager. POSIX: systemd; a service is a unit file of
// Type=notify named after the service (<name>.service) in the unit directory
// (/etc/systemd/system, or KELTRA_SYSTEMD_UNIT_DIR when set), started and stopped through
// systemd; controls reach the running service through its control channel, a Unix-domain
// socket in its runtime directory. Without a running systemd the calls fail with a code and
// never report success.
//
// Arguments are checked once, in portable code, before a backend sees them. Every call
// reports failure through the last error, with the Windows codes (1060 no such service,
// 1062 not running, 1073 exists, 5 access denied, 1722 no service manager, ...): 6 for a
// null handle, 87 for a null name, path, configuration or record. Any thread.
#pragma once

#include <cstdint>
#include <string>

#include "platform/service_dispatcher.h"
#include "platform/types.h"
#include "platform/unique_owner.h"

namespace platform {

/// A connection to the service manager or an open service; null means none.
using ServiceHandle = void*;

enum : std::uint32_t {
    kScManagerCreateService = 0x0002,
    kScManagerAllAccess = 0xF003F,
    kServiceAllAccess = 0xF01FF,
    kServiceAutoStart = 2,
    kServiceDemandStart = 3,
    kServiceErrorNormal = 1,

    kErrorServiceRequestTimeout = 1053,
    kErrorServiceDoesNotExist = 1060,
    kErrorServiceNotActive = 1062,
    kErrorProcessAborted = 1067,
    kErrorServiceExists = 1073,
    /// The service manager cannot be reached (POSIX: systemd is not running as PID 1).
    kErrorServiceManagerUnavailable = 1722,
};

/// What CreateService registers.
struct ServiceConfig {
    const wchar_t* name;          ///< the service name, required
    const wchar_t* displayName;   ///< may be null
    const wchar_t* binaryPath;    ///< command line as the manager runs it (quoted if needed)
    std::uint32_t startType;      ///< kServiceAutoStart or kServiceDemandStart
    const wchar_t* dependencies;  ///< double-null-terminated list, or null for none
};

[[nodiscard]] ServiceHandle OpenServiceManager(std::uint32_t access) noexcept;
[[nodiscard]] ServiceHandle CreateService(ServiceHandle manager, const ServiceConfig* config,
                                          std::uint32_t access) noexcept;
[[nodiscard]] ServiceHandle OpenService(ServiceHandle manager, const wchar_t* name,
                                        std::uint32_t access) noexcept;
bool SetServiceDescription(ServiceHandle service, const wchar_t* description) noexcept;
bool SetServiceDelayedAutoStart(ServiceHandle service, bool delayed) noexcept;
bool StartService(ServiceHandle service) noexcept;
/// Sends a control (stop, interrogate, param-change, 128..255; any other code fails with 87)
/// and stores the status after it. On failure the last error is the manager's error, or the
/// handler's own non-zero result.
bool ControlService(ServiceHandle service, std::uint32_t control, ServiceStatus* status) noexcept;
bool QueryServiceStatus(ServiceHandle service, ServiceStatus* status) noexcept;
bool DeleteService(ServiceHandle service) noexcept;
bool CloseServiceHandle(ServiceHandle handle) noexcept;

/// Where the service keeps its files (crash dumps): Windows "C:\ProgramData\Keltra\Brismont
/// Settings"; POSIX the state directory systemd made for the unit ($STATE_DIRECTORY), else
/// /var/lib/<serviceName>. The directory may not exist yet.
[[nodiscard]] std::wstring ServiceDataDirectory(const wchar_t* serviceName);

/// Owns one service-manager or service handle and closes it on destruction.
using UniqueServiceHandle = UniqueOwner<NullMeansNone<ServiceHandle, &CloseServiceHandle>>;

/// The backends, called only after the portable checks above have passed (non-null handles,
/// names, paths and records; a control code the commands may send).
namespace service_backend {
ServiceHandle OpenServiceManager(std::uint32_t access) noexcept;
ServiceHandle CreateService(ServiceHandle manager, const ServiceConfig& config,
                            std::uint32_t access) noexcept;
ServiceHandle OpenService(ServiceHandle manager, const wchar_t* name,
                          std::uint32_t access) noexcept;
bool SetServiceDescription(ServiceHandle service, const wchar_t* description) noexcept;
bool SetServiceDelayedAutoStart(ServiceHandle service, bool delayed) noexcept;
bool StartService(ServiceHandle service) noexcept;
bool ControlService(ServiceHandle service, std::uint32_t control, ServiceStatus* status) noexcept;
bool QueryServiceStatus(ServiceHandle service, ServiceStatus* status) noexcept;
bool DeleteService(ServiceHandle service) noexcept;
bool CloseServiceHandle(ServiceHandle handle) noexcept;
}  // namespace service_backend

}  // namespace platform
