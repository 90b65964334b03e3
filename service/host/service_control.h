// The administering side of the service manager: install, open, start, control, query and
// delete a service.
//
// Windows: the Service Control Manager. POSIX: systemd; a service is a unit file of
// Type=notify named after the service (<name>.service) in the unit directory
// (/etc/systemd/system, or KELTRA_SYSTEMD_UNIT_DIR when set) or, installed by the Debian
// package, in /lib/systemd/system (then CreateService fails with 1073, and DeleteService leaves
// it to the package manager: 5, the reason on standard error), started and stopped through
// systemd; controls reach the running service through its control channel, a Unix-domain
// socket in its runtime directory. Without a running systemd the calls fail with a code and
// never report success.
//
// Arguments are checked once, in portable code, before a backend sees them. Every call
// reports failure through the last error, with the Windows codes (1060 no such service,
// 1062 not running, 1073 exists, 5 access denied, 1053 no answer in time, 1722 no service
// manager: on POSIX only when systemd is not running, ...): 6 for a null handle, 87 for a
// null name, path, configuration or record. On POSIX a systemctl failure of another kind is
// 1627 and systemctl's own message goes to standard error. Any thread.
#pragma once

#include <cstdint>
#include <string>

#include "platform/error.h"
#include "platform/types.h"
#include "platform/unique_owner.h"
#include "service/host/service_dispatcher.h"

namespace platform {

/// A connection to the service manager or an open service; null means none.
using ServiceHandle = void*;

enum : std::uint32_t {
    kScManagerConnect = 0x0001,
    kScManagerCreateService = 0x0002,
    kServiceQueryConfig = 0x0001,
    kServiceQueryStatus = 0x0004,
    kScManagerAllAccess = 0xF003F,
    kServiceAllAccess = 0xF01FF,
    kServiceAutoStart = 2,
    kServiceDemandStart = 3,
    kServiceErrorNormal = 1,
};

/// What the service manager does when the service fails: an install-time policy, set once by
/// the installation. A failure is a process that ends without having reported stopped (a
/// crash, exit code 1 after the dump) or a stop reported with a non-zero exit code.
/// Windows: the service's failure actions (one restart action per delay, the last repeated
/// for every later failure, the count reset after resetAfterS without a failure) and the
/// failure-actions flag, so that a non-zero exit code counts too. POSIX: the unit's
/// Restart=on-failure with the first delay (systemd 252 has no growing delay) and a start-rate
/// limit, after which the unit stays failed until an administrator starts it.
struct ServiceRecovery {
    bool restart = true;  ///< false: the service stays down after a failure
    std::uint32_t restartDelaysMs[3] = {5000, 30000, 60000};  ///< 1st, 2nd, every later failure
    std::uint32_t resetAfterS = 86400;         ///< the failure count forgotten after a quiet day
    std::uint32_t startLimitBurst = 10;        ///< POSIX: at most this many starts
    std::uint32_t startLimitIntervalS = 3600;  ///< POSIX: within this many seconds
};

/// What CreateService registers.
struct ServiceConfig {
    const wchar_t* name;          ///< the service name, required
    const wchar_t* displayName;   ///< may be null
    const wchar_t* binaryPath;    ///< command line as the manager runs it (quoted if needed)
    std::uint32_t startType;      ///< kServiceAutoStart or kServiceDemandStart
    const wchar_t* dependencies;  ///< double-null-terminated list, or null for none
    /// May be null. POSIX writes it into the unit with everything else, so that the unit is
    /// written once; Windows sets it only through SetServiceDescription.
    const wchar_t* description;
    /// Null: the default policy (restarted after a failure). POSIX writes it into the unit;
    /// Windows sets it only through SetServiceRecovery.
    const ServiceRecovery* recovery;
};

[[nodiscard]] ServiceHandle OpenServiceManager(std::uint32_t access) noexcept;
/// Registers the service. POSIX: the binary path is one program (a pair of double quotes
/// around it, as a path with a space gets for Windows, is taken off), written so that systemd
/// runs exactly that file; the unit is written whole (temporary file, then linked into place,
/// mode 0644), systemd reloads once and its ExecStart= is read back: where systemd would run
/// another file or none (it refuses quotes and backslashes in a program's name), the unit is
/// removed again and the call fails with 87, the reason on standard error.
[[nodiscard]] ServiceHandle CreateService(ServiceHandle manager, const ServiceConfig* config,
                                          std::uint32_t access) noexcept;
[[nodiscard]] ServiceHandle OpenService(ServiceHandle manager, const wchar_t* name,
                                        std::uint32_t access) noexcept;
bool SetServiceDescription(ServiceHandle service, const wchar_t* description) noexcept;
bool SetServiceDelayedAutoStart(ServiceHandle service, bool delayed) noexcept;
/// Sets what the manager does when the service fails. Windows: ChangeServiceConfig2W with the
/// failure actions, then with the failure-actions flag (Wine 8 refuses the flag with 124); a
/// policy without restart is not set at all (the manager's default: no action); null is the
/// default policy. POSIX: the unit already holds it (CreateService): nothing to do.
bool SetServiceRecovery(ServiceHandle service, const ServiceRecovery* recovery) noexcept;
bool StartService(ServiceHandle service) noexcept;
/// Sends a control and stores the status after it. The codes and answers are those of
/// AdmitControl (87 for a code that cannot be sent, 1062 stopped, 1061 pending, 1052 not
/// accepted); 1053 when the service does not answer in time. On failure the last error is
/// the manager's error, or the handler's own non-zero result. POSIX: a control other than
/// stop goes straight to the service's control channel, and the status is the one the
/// service answered with; systemd is asked only when no service answers there.
bool ControlService(ServiceHandle service, std::uint32_t control, ServiceStatus* status) noexcept;
bool QueryServiceStatus(ServiceHandle service, ServiceStatus* status) noexcept;

/// What the manager knows of an installed service beyond its status.
struct ServiceProcessInfo {
    ServiceStatus status{};
    std::uint32_t processId = 0;  ///< 0 when no process runs
    std::wstring binaryPath;      ///< the command line (Windows) or program (POSIX) it runs
    int recovery = -1;            ///< 1 restarted after a failure, 0 not, -1 unknown
};
/// Queries the status, process id, binary path and recovery of a service opened with query
/// access (kServiceQueryStatus | kServiceQueryConfig). POSIX: systemd's MainPID, ExecStart
/// and Restart; Windows: QueryServiceStatusEx, QueryServiceConfig and the failure actions.
bool QueryServiceProcess(ServiceHandle service, ServiceProcessInfo* info) noexcept;
bool DeleteService(ServiceHandle service) noexcept;
bool CloseServiceHandle(ServiceHandle handle) noexcept;

/// Who sends a control: ControlService (an administrator, "/CONTROL"), or the system itself
/// (shutdown, device, hardware-profile, power, session, pre-shutdown, time-change and trigger
/// events, which ControlService cannot send).
enum class ControlOrigin { kControlService, kSystem };

/// What the service manager answers a control before the service's handler sees it, for a
/// service in the given state that accepts the given controls: 0 to deliver it. 87 for a code
/// its origin cannot send: ControlService sends only stop, pause, continue, interrogate,
/// param-change, the four net-bind codes and 128..255; the system only its events (5, 11 to
/// 16, 32). Then 1062 when the service is stopped; 1061 while a state is pending (interrogate
/// too); 1052 when the service does not accept the control (its accept bit is not set: pause,
/// continue, param-change, net-bind, ...).
/// The one rule: the POSIX control channel applies it as the Windows manager does.
[[nodiscard]] ErrorCode AdmitControl(std::uint32_t control, ControlOrigin origin,
                                     std::uint32_t state, std::uint32_t controlsAccepted) noexcept;

/// The accept bit a control needs (kServiceAccept...), or 0 for those that need none
/// (interrogate, user-defined codes).
[[nodiscard]] std::uint32_t AcceptBitOf(std::uint32_t control) noexcept;

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
bool SetServiceRecovery(ServiceHandle service, const ServiceRecovery& recovery) noexcept;
bool StartService(ServiceHandle service) noexcept;
bool ControlService(ServiceHandle service, std::uint32_t control, ServiceStatus* status) noexcept;
bool QueryServiceStatus(ServiceHandle service, ServiceStatus* status) noexcept;
bool QueryServiceProcess(ServiceHandle service, ServiceProcessInfo* info) noexcept;
bool DeleteService(ServiceHandle service) noexcept;
bool CloseServiceHandle(ServiceHandle handle) noexcept;
}  // namespace service_backend

}  // namespace platform
