// The service base class: service main routine, control handler, status reports, the stop
// event, device and power notifications, and the single-instance dispatcher entry.
#include "service/service.h"

#include <atomic>
#include <chrono>
#include <mutex>

#include "diagnostics/log_file.h"
#include "platform/error.h"
#include "platform/event.h"
#include "platform/handle.h"
#include "platform/wait.h"
#include "service/host/status_reporter.h"
#include "service/single_instance.h"
#include "text/text.h"

namespace Stoneleaf {
namespace {

// Process-wide: one service object is active per process.
wchar_t g_serviceName[256];
CService* g_instance = nullptr;
platform::ServiceStatusHandle g_statusHandle = nullptr;
platform::Handle g_stopEvent = nullptr;
platform::ServiceStatus g_status;
// Reports come from the service-main thread and from the control handler: one at a time, so
// the manager never hears an older state after a newer one.
std::mutex g_statusLock;
// The control handler may signal the stop event while the service main closes it.
std::mutex g_stopEventLock;
std::atomic<CService::ReportHook> g_reportHook{nullptr};

}  // namespace

CService::CService()
    : m_displayName(),
      m_description(),
      m_dependencies(),
      m_autoStart(0),
      m_initialised(0),
      m_deviceNotification(nullptr),
      m_batteryNotification(nullptr),
      m_powerSourceNotification(nullptr),
      m_powerSchemeNotification(nullptr) {}

CService::~CService() = default;

std::uint32_t CService::SignalStopEvent() noexcept {
    std::lock_guard<std::mutex> hold(g_stopEventLock);
    if (g_stopEvent != nullptr) {
        platform::SetEvent(g_stopEvent);
    }
    return 0;
}

void CService::SetStatusText(const wchar_t* text) noexcept {
    HostStatus().SetText(text);
}

void CService::AnnounceWait(std::uint32_t pendingState, std::uint32_t boundMs) {
    const std::uint32_t hint =
        boundMs > 0xFFFFFFFFu - kWaitHintSlackMs ? 0xFFFFFFFFu : boundMs + kWaitHintSlackMs;
    std::lock_guard<std::mutex> hold(g_statusLock);
    if (g_statusHandle != nullptr) {
        (void)ReportStatusLocked(pendingState, hint);
    } else if (pendingState == platform::kServiceStartPending && g_status.currentState == 0) {
        platform::ExtendServiceStartTimeout(hint);
    }
}

std::uint32_t CService::OnStop() {
    return SignalStopEvent();
}
std::uint32_t CService::OnPause() {
    return 0;
}
std::uint32_t CService::OnContinue() {
    return 0;
}
std::uint32_t CService::OnPreShutdown() {
    return SignalStopEvent();
}
std::uint32_t CService::OnShutdown() {
    return SignalStopEvent();
}
std::uint32_t CService::OnPowerEvent(std::uint32_t, void*) {
    return 0;
}
std::uint32_t CService::OnSessionChange(std::uint32_t, void*) {
    return 0;
}
std::uint32_t CService::OnNetBindAdd() {
    return 0;
}
std::uint32_t CService::OnNetBindRemove() {
    return 0;
}
std::uint32_t CService::OnNetBindEnable() {
    return 0;
}
std::uint32_t CService::OnNetBindDisable() {
    return 0;
}
std::uint32_t CService::OnInterrogate() {
    return 0;
}
std::uint32_t CService::OnParamChange() {
    return 0;
}
std::uint32_t CService::OnDeviceEvent(std::uint32_t, void*) {
    return 0;
}
std::uint32_t CService::OnHardwareProfileChange(std::uint32_t, void*) {
    return 0;
}
std::uint32_t CService::OnTimeChange() {
    return 0;
}
std::uint32_t CService::OnTriggerEvent() {
    return 0;
}
std::uint32_t CService::OnCustomControl(std::uint32_t, std::uint32_t) {
    return 0;
}
void CService::EnterMainLoop(std::uint32_t, wchar_t**) {}

std::uint32_t CService::RegisterNotifications(platform::ServiceStatusHandle statusHandle) {
    m_deviceNotification = platform::RegisterDeviceNotifications(statusHandle);
    m_batteryNotification = platform::RegisterPowerNotification(
        statusHandle, platform::PowerSetting::kBatteryPercentageRemaining);
    m_powerSourceNotification =
        platform::RegisterPowerNotification(statusHandle, platform::PowerSetting::kAcDcPowerSource);
    m_powerSchemeNotification = platform::RegisterPowerNotification(
        statusHandle, platform::PowerSetting::kActivePowerScheme);
    return 0;
}

std::uint32_t CService::ServiceMainLoop(std::uint32_t, wchar_t**) {
    const std::uint32_t wait = platform::WaitForSingleObject(g_stopEvent, platform::kInfinite);
    return wait == platform::kWaitObject0  ? 0
           : wait == platform::kWaitFailed ? 0xFFFFFFFF
                                           : 0xFFFFFFFE;
}

void CService::UnregisterNotifications(platform::ServiceStatusHandle) {
    platform::UnregisterDeviceNotifications(m_deviceNotification);
    m_deviceNotification = nullptr;
    for (platform::NotificationHandle* handle :
         {&m_batteryNotification, &m_powerSourceNotification, &m_powerSchemeNotification}) {
        platform::UnregisterPowerNotification(*handle);
        *handle = nullptr;
    }
}

std::uint32_t CService::BeforeStopService() {
    return 0;
}
std::uint32_t CService::BeforeDeleteService() {
    return 0;
}
std::uint32_t CService::AfterDeleteService() {
    return 0;
}

std::uint32_t CService::DispatchServiceHandler(std::uint32_t, std::uint32_t, void*, void*) {
    return 0;
}

std::uint32_t CService::InitService(const wchar_t* serviceName, const wchar_t* displayName,
                                    const wchar_t* description) {
    if (m_initialised != 0) {
        return platform::kErrorAlreadyInitialized;
    }
    platform::StringCchCopyW(g_serviceName, 256, serviceName);
    platform::StringCchCopyW(m_displayName, 256, displayName);
    platform::StringCchCopyW(m_description, 1024, description);
    m_autoStart = 1;
    m_initialised = 1;
    return 0;
}

void CService::SetReportHookForTesting(ReportHook hook) noexcept {
    g_reportHook = hook;
}

const wchar_t* CService::ServiceName() noexcept {
    return g_serviceName;
}

std::uint32_t CService::EntryService() {
    if (m_initialised == 0) {
        return platform::kErrorNotReady;
    }
    g_instance = this;
    CSingleInstance instance;
    std::uint32_t result = instance.Acquire(g_serviceName);
    if (result != platform::kErrorSuccess) {
        g_instance = nullptr;
        return result;
    }
    result = platform::StartServiceDispatcher(g_serviceName, &CService::ServiceMain);
    g_instance = nullptr;
    instance.Release();
    return result;
}

void CService::ServiceMain(std::uint32_t argc, wchar_t** argv) {
    CService* self = g_instance;
    if (self == nullptr) {
        return;
    }
    {
        std::lock_guard<std::mutex> hold(g_statusLock);
        g_status = {};
    }
    HostStatus().Start(g_serviceName);
    self->EnterMainLoop(argc, argv);
    platform::Handle stopEvent = platform::CreateEvent(true, false);
    {
        std::lock_guard<std::mutex> hold(g_stopEventLock);
        g_stopEvent = stopEvent;
    }
    if (stopEvent != nullptr) {
        platform::ServiceStatusHandle handle = platform::RegisterServiceControlHandler(
            g_serviceName, &CService::ServiceCtrlHandlerEx, self);
        {
            std::lock_guard<std::mutex> hold(g_statusLock);  // the handler reports with it
            g_statusHandle = handle;
        }
        if (handle == nullptr) {
            self->ReportStatus(platform::kServiceStopped, 0);  // fails: no status handle
            std::lock_guard<std::mutex> hold(g_stopEventLock);
            platform::CloseHandle(g_stopEvent);
            g_stopEvent = nullptr;
            return;
        }
        if (const std::wstring problem = platform::ServiceControlChannelProblem();
            !problem.empty()) {
            g_defaultLog.Log(L'E', L"Stoneleaf::CService::ServiceMain", __LINE__, L"%s",
                             problem.c_str());
        }
        self->ReportStatus(platform::kServiceStartPending, 5000);
        if (self->RegisterNotifications(handle) == 0) {
            self->ReportStatus(platform::kServiceRunning, 0);
            (void)self->ServiceMainLoop(argc, argv);
        }
        self->ReportStatus(platform::kServiceStopPending, 0);
        self->UnregisterNotifications(handle);
        std::lock_guard<std::mutex> hold(g_stopEventLock);
        if (g_stopEvent != platform::kInvalidHandleValue) {
            platform::CloseHandle(g_stopEvent);
        }
        g_stopEvent = nullptr;
    }
    std::lock_guard<std::mutex> hold(g_statusLock);
    (void)self->ReportStatusLocked(platform::kServiceStopped, 0);
    g_statusHandle = nullptr;
}

std::uint32_t CService::ServiceCtrlHandlerEx(std::uint32_t control, std::uint32_t eventType,
                                             void* eventData, void* context) {
    if (context == nullptr) {
        return platform::kErrorCallNotImplemented;
    }
    const auto begin = std::chrono::steady_clock::now();
    const std::uint32_t result = DeliverControl(control, eventType, eventData, context);
    const auto answerMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::steady_clock::now() - begin)
                              .count();
    HostStatus().RecordControl(control, result, static_cast<std::uint32_t>(answerMs));
    HostStatus().Heartbeat();  // it answered: the host is alive
    return result;
}

std::uint32_t CService::DeliverControl(std::uint32_t control, std::uint32_t eventType,
                                       void* eventData, void* context) {
    CService* self = static_cast<CService*>(context);
    if (self->DispatchServiceHandler(control, eventType, eventData, context) ==
        platform::kErrorContinue) {
        self->ReportCurrentStatus();
        return 0;
    }
    std::uint32_t result = 0;
    switch (control) {
        case platform::kServiceControlStop:
            result = self->OnStop();
            break;
        case platform::kServiceControlPause:
            result = self->OnPause();
            break;
        case platform::kServiceControlContinue:
            result = self->OnContinue();
            break;
        case platform::kServiceControlPreShutdown:
            result = self->OnPreShutdown();
            break;
        case platform::kServiceControlShutdown:
            result = self->OnShutdown();
            break;
        case platform::kServiceControlPowerEvent:
            result = self->OnPowerEvent(eventType, eventData);
            break;
        case platform::kServiceControlSessionChange:
            result = self->OnSessionChange(eventType, eventData);
            break;
        case platform::kServiceControlNetBindAdd:
            result = self->OnNetBindAdd();
            break;
        case platform::kServiceControlNetBindRemove:
            result = self->OnNetBindRemove();
            break;
        case platform::kServiceControlNetBindEnable:
            result = self->OnNetBindEnable();
            break;
        case platform::kServiceControlNetBindDisable:
            result = self->OnNetBindDisable();
            break;
        case platform::kServiceControlInterrogate:
            result = self->OnInterrogate();
            break;
        case platform::kServiceControlParamChange:
            result = self->OnParamChange();
            break;
        case platform::kServiceControlDeviceEvent:
            result = self->OnDeviceEvent(eventType, eventData);
            break;
        case platform::kServiceControlHardwareProfileChange:
            result = self->OnHardwareProfileChange(eventType, eventData);
            break;
        case platform::kServiceControlTimeChange:
            result = self->OnTimeChange();
            break;
        case platform::kServiceControlTriggerEvent:
            result = self->OnTriggerEvent();
            break;
        default:
            result = self->OnCustomControl(control, eventType);
            break;
    }
    self->ReportCurrentStatus();
    return result;
}

std::uint32_t CService::ReportStatus(std::uint32_t state, std::uint32_t waitHint) {
    std::lock_guard<std::mutex> hold(g_statusLock);
    return ReportStatusLocked(state, waitHint);
}

std::uint32_t CService::ReportStatusLocked(std::uint32_t state, std::uint32_t waitHint) {
    if (m_initialised == 0 || g_statusHandle == nullptr) {
        return platform::kErrorNotReady;
    }
    platform::ServiceStatus next = g_status;
    if (platform::IsPendingState(state)) {
        next.controlsAccepted = 0;
        next.checkPoint++;
    } else {
        next.controlsAccepted = platform::kHostAcceptedControls;
        next.checkPoint = 0;
    }
    next.serviceType = platform::kServiceWin32OwnProcess;
    next.currentState = state;
    next.win32ExitCode = 0;
    next.serviceSpecificExitCode = 0;
    next.waitHint = waitHint;
    if (ReportHook hook = g_reportHook.load()) {
        hook(next);
    }
    g_status = next;
    return HostStatus().Report(g_statusHandle, g_status);
}

void CService::ReportCurrentStatus() {
    std::lock_guard<std::mutex> hold(g_statusLock);
    // Before the first report there is nothing to repeat; after stopped the manager must hear
    // nothing more.
    if (g_status.currentState != 0 && g_status.currentState != platform::kServiceStopped) {
        (void)ReportStatusLocked(g_status.currentState, g_status.waitHint);
    }
}

}  // namespace Stoneleaf
