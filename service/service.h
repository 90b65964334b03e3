// The service base class: identity, service main routine, control handler, status reports,
// notifications, and the administration commands.
//
// One service object is active per process: the service name, status record, status handle,
// stop event and the pointer to the active object are process-wide. Every control the service
// manager delivers becomes a call of one virtual operation, so that a derived class changes
// behaviour by overriding them.
//
// Threads: ServiceMain runs on a thread the dispatcher starts; ServiceCtrlHandlerEx runs on the
// dispatcher's thread (the caller of EntryService), one control at a time. The stop event is
// their hand-over. Status reports are serialised, so a re-report by the control handler never
// interleaves with a state change by ServiceMain; they, the status text and every control
// answered go through the host's status reporter (service/host/status_reporter.h). The
// administration commands run on the calling thread of an administering process.
//
// Failure: operations return a 32-bit Windows error code (0 for success); nothing throws.
#pragma once

#include <cstdint>

#include "platform/types.h"
#include "service/host/control_sink.h"
#include "service/host/service_control.h"
#include "service/host/service_dispatcher.h"

namespace Stoneleaf {

class CService {
  public:
    CService();
    CService(const CService&) = delete;
    CService& operator=(const CService&) = delete;

    // The 27 virtual operations, in this order (the destructor first).
    virtual ~CService();
    virtual std::uint32_t OnStop();
    virtual std::uint32_t OnPause();
    virtual std::uint32_t OnContinue();
    virtual std::uint32_t OnPreShutdown();
    virtual std::uint32_t OnShutdown();
    virtual std::uint32_t OnPowerEvent(std::uint32_t eventType, void* eventData);
    virtual std::uint32_t OnSessionChange(std::uint32_t eventType, void* eventData);
    virtual std::uint32_t OnNetBindAdd();
    virtual std::uint32_t OnNetBindRemove();
    virtual std::uint32_t OnNetBindEnable();
    virtual std::uint32_t OnNetBindDisable();
    virtual std::uint32_t OnInterrogate();
    virtual std::uint32_t OnParamChange();
    virtual std::uint32_t OnDeviceEvent(std::uint32_t eventType, void* eventData);
    virtual std::uint32_t OnHardwareProfileChange(std::uint32_t eventType, void* eventData);
    virtual std::uint32_t OnTimeChange();
    virtual std::uint32_t OnTriggerEvent();
    virtual std::uint32_t OnCustomControl(std::uint32_t control, std::uint32_t eventType);
    virtual void EnterMainLoop(std::uint32_t argc, wchar_t** argv);
    virtual std::uint32_t RegisterNotifications(platform::ServiceStatusHandle statusHandle);
    virtual std::uint32_t ServiceMainLoop(std::uint32_t argc, wchar_t** argv);
    virtual void UnregisterNotifications(platform::ServiceStatusHandle statusHandle);
    virtual std::uint32_t BeforeStopService();
    virtual std::uint32_t BeforeDeleteService();
    virtual std::uint32_t AfterDeleteService();
    virtual std::uint32_t DispatchServiceHandler(std::uint32_t control, std::uint32_t eventType,
                                                 void* eventData, void* context);

    /// Sets the names (capacities 256, 256, 1024 characters; longer text is cut), the
    /// auto-start flag and the initialised flag. 1247 when already initialised, nothing changed.
    std::uint32_t InitService(const wchar_t* serviceName, const wchar_t* displayName,
                              const wchar_t* description);

    /// Takes the single-instance mutex "Global\mtx_<service name>" and runs the dispatcher
    /// until the service has stopped. 21 when not initialised, 183 when another process holds
    /// the mutex, or the error of the mutex or the dispatcher.
    std::uint32_t EntryService();

    // The administration commands, implemented in service/service_admin.cpp.

    /// Performs one administration command from a command line (argv[0] is the program).
    std::uint32_t ExecArguments(int argc, wchar_t** argv);
    /// Creates and configures the service; restartOnFailure sets the recovery (restart after
    /// a failure), whose failure is a warning (standard error and log) that leaves the result
    /// unchanged.
    std::uint32_t Install(const wchar_t* binaryPath, bool delayedStart,
                          bool restartOnFailure = true);
    std::uint32_t Uninstall();
    std::uint32_t Start();
    std::uint32_t Stop();
    /// Trims the path and quotes it when it holds a space; 111 when the result does not fit
    /// in 260 characters with its terminator.
    static std::uint32_t BuildBinaryPath(const wchar_t* path, wchar_t (&out)[260]);
    /// What Install registers for a command line made by BuildBinaryPath: the names, start
    /// type, dependencies and description of this object (pointers into it and command). The
    /// packages are built from it too, so they register the service as Install does.
    [[nodiscard]] platform::ServiceConfig InstallConfig(const wchar_t* command) const noexcept;

    /// The service main routine and the extended control handler the manager calls.
    static void ServiceMain(std::uint32_t argc, wchar_t** argv);
    static std::uint32_t ServiceCtrlHandlerEx(std::uint32_t control, std::uint32_t eventType,
                                              void* eventData, void* context);

    /// The one place the host's controls go, whatever their source: ServiceCtrlHandlerEx with
    /// this object, the pair ServiceMain registers with the service manager.
    [[nodiscard]] ControlSink Sink() noexcept { return ControlSink(&ServiceCtrlHandlerEx, this); }

    /// Reports a state; 21 before InitService or without a status handle.
    std::uint32_t ReportStatus(std::uint32_t state, std::uint32_t waitHint);

    /// The owner clears the initialised mark before it destroys the object.
    void ClearInitialised() noexcept { m_initialised = 0; }
    [[nodiscard]] bool IsInitialised() const noexcept { return m_initialised != 0; }

    /// Test-only: a routine called with each status record just before it is sent, inside
    /// the serialised section (null: none). Lets a test try to interleave two reports.
    using ReportHook = void (*)(const platform::ServiceStatus& status);
    static void SetReportHookForTesting(ReportHook hook) noexcept;

    /// The process-wide service name; empty before InitService.
    [[nodiscard]] static const wchar_t* ServiceName() noexcept;

  protected:
    /// Signals the stop event if it exists; returns 0.
    std::uint32_t SignalStopEvent() noexcept;
    /// A short human text for the manager beside the state (platform::SetServiceStatusText).
    static void SetStatusText(const wchar_t* text) noexcept;

    /// What a wait hint adds to a wait's bound: the step's own work around the wait.
    static constexpr std::uint32_t kWaitHintSlackMs = 2000;
    /// Tells the manager, before a wait of up to boundMs on the way through pendingState
    /// (kServiceStartPending or kServiceStopPending), to give the service that long: a report
    /// of pendingState with the bound and the slack as its wait hint (the checkpoint
    /// advances; POSIX: EXTEND_TIMEOUT_USEC, and STOPPING=1 on the first stop-pending). Before
    /// the control handler exists only a start can be announced, without a report
    /// (platform::ExtendServiceStartTimeout); after stopped nothing is. Any thread.
    void AnnounceWait(std::uint32_t pendingState, std::uint32_t boundMs);

  private:
    static void SetRecovery(platform::ServiceHandle service,
                            const platform::ServiceRecovery& recovery);
    /// The control handler's work: the plug-ins' dispatch, then the control's operation, then
    /// the current state reported again. ServiceCtrlHandlerEx adds the host's record of it.
    static std::uint32_t DeliverControl(std::uint32_t control, std::uint32_t eventType,
                                        void* eventData, void* context);
    /// Reports the current state and wait hint again, unless nothing was reported yet or
    /// stopped was: under the status lock, so the state sent is the one current then.
    void ReportCurrentStatus();
    std::uint32_t ReportStatusLocked(std::uint32_t state, std::uint32_t waitHint);

  protected:
    wchar_t m_displayName[256];
    wchar_t m_description[1024];
    wchar_t m_dependencies[1024];
    std::uint32_t m_autoStart;
    std::uint32_t m_initialised;
    platform::NotificationHandle m_deviceNotification;
    platform::NotificationHandle m_batteryNotification;
    platform::NotificationHandle m_powerSourceNotification;
    platform::NotificationHandle m_powerSchemeNotification;
};

}  // namespace Stoneleaf
