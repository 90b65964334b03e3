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
// 1062 not running, 1073 exists, 5 access denied, ...). Any thread.
#pragma once

#include <cstdint>

#include "platform/service_dispatcher.h"
#include "platform/types.h"

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

    kErrorServiceDoesNotExist = 1060,
    kErrorServiceNotActive = 1062,
    kErrorServiceExists = 1073,
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
/// Sends a control (stop, interrogate, param-change, 128..255) and stores the status after it.
/// On failure the last error is the manager's error, or the handler's own non-zero result.
bool ControlService(ServiceHandle service, std::uint32_t control, ServiceStatus* status) noexcept;
bool QueryServiceStatus(ServiceHandle service, ServiceStatus* status) noexcept;
bool DeleteService(ServiceHandle service) noexcept;
bool CloseServiceHandle(ServiceHandle handle) noexcept;

}  // namespace platform
