// The concrete service: loads every plug-in at start, forwards every control to all plug-ins
// with the completion wait, unloads them on stop, and gives every listed library its deletion
// hook when the service is deleted.
//
// Threads: EnterMainLoop runs on the service-main thread before the control handler exists;
// DispatchServiceHandler and OnStop run on the dispatcher thread, one control at a time. That
// order is what keeps the plug-in manager (which has no lock) consistent. AfterDeleteService
// runs in an administering process where no plug-in is loaded. While the service starts and
// while it stops, each bounded wait of the plug-in manager is announced to the service manager
// before it begins (CService::AnnounceWait).
#pragma once

#include <atomic>
#include <cstdint>

#include "executive/plugin_mgr.h"
#include "service/framework_params.h"
#include "service/service.h"

class CServiceImpl : public Stoneleaf::CService {
  public:
    /// Copies the parameters whole (both 260-character fields).
    explicit CServiceImpl(const FrameworkParams* params);
    ~CServiceImpl() override;

    std::uint32_t OnStop() override;
    void EnterMainLoop(std::uint32_t argc, wchar_t** argv) override;
    std::uint32_t AfterDeleteService() override;
    /// Broadcasts the control to every plug-in and waits: 0, 1460 when the wait timed out (the
    /// late plug-ins are suppressed), 774 when it failed. Never 1246.
    std::uint32_t DispatchServiceHandler(std::uint32_t control, std::uint32_t eventType,
                                         void* eventData, void* context) override;

    /// Reads the log settings again and applies them to the running log (before a param-change
    /// reaches the plug-ins), logging what changed. With a kept log (see KeepLogWhenOff), a
    /// registry that switches the log off changes only its roll-over. Dispatcher thread.
    void ReloadLogSettings();
    /// The foreground host keeps a log of its own when the registry has none: a re-read must
    /// not close it. Set by the process entry before the service runs.
    static void KeepLogWhenOff(bool keep) noexcept;

    /// The plug-ins loaded now (tests and the status text).
    [[nodiscard]] std::uint64_t PluginCount() const noexcept { return m_pluginMgr.Count(); }

  private:
    // Passes each bounded wait of the plug-in manager on to the service manager while the
    // service starts (plug-ins loaded and entered before the first report) or stops (the stop
    // broadcast and the unload), so that it waits as long as those bounds allow.
    class WaitAnnouncer : public executive::WaitObserver {
      public:
        explicit WaitAnnouncer(CServiceImpl& service) : m_service(service) {}
        void BeforeBoundedWait(std::uint32_t boundMs) override;
        /// kServiceStartPending or kServiceStopPending while announcing, else 0.
        std::atomic<std::uint32_t> pendingState{0};

      private:
        CServiceImpl& m_service;
    };

    wchar_t m_pluginKeyPath[260];
    wchar_t m_valueNameFilter[260];
    executive::PluginMgr m_pluginMgr;
    WaitAnnouncer m_announcer{*this};
    bool m_stopTimedOut = false;  // the stop control's broadcast timed out (dispatcher thread)
};
