// The concrete service: the plug-in executive driven by the service lifecycle.
#include "service/service_impl.h"

#include <cstring>

#include <atomic>
#include <string>

#include "diagnostics/lifecycle_log.h"
#include "diagnostics/log_file.h"
#include "platform/error.h"
#include "service/host/service_dispatcher.h"
#include "service/host/status_reporter.h"
#include "text/text.h"

namespace {

constexpr wchar_t kEnterMainLoopFn[] = L"CServiceImpl::EnterMainLoop";
constexpr wchar_t kDispatchFn[] = L"CServiceImpl::DispatchServiceHandler";
constexpr wchar_t kOnStopFn[] = L"CServiceImpl::OnStop";
constexpr wchar_t kAfterDeleteFn[] = L"CServiceImpl::AfterDeleteService";
constexpr wchar_t kReloadFn[] = L"CServiceImpl::ReloadLogSettings";

std::atomic<bool> g_keepLogWhenOff{false};

// Why no plug-in runs, from what loading the list returned.
std::wstring NoPluginReason(platform::ErrorCode loaded) {
    if (loaded == platform::kErrorSuccess) {
        return L"the plug-in list is empty";
    }
    if (loaded == platform::kErrorCreateFailed) {
        return L"a listed plug-in could not be loaded, so none is (error 1631)";
    }
    return L"the plug-in list could not be read (error " + std::to_wstring(loaded) + L")";
}

// Each plug-in as the status shows it: path, description, and whether it still gets messages.
void PublishPlugins(const executive::PluginMgr& manager) {
    std::vector<Stoneleaf::PluginView> plugins;
    for (executive::PlugIn* plugin : manager.Plugins()) {
        const wchar_t* description = plugin->GetDescription();
        const auto why = plugin->SuppressedAs();
        plugins.push_back(
            {plugin->Entries().GetLibrary().Path(), description != nullptr ? description : L"",
             why == executive::PlugIn::Suppression::kLate       ? L"suppressed (late)"
             : why == executive::PlugIn::Suppression::kNotAlive ? L"suppressed (not alive)"
                                                                : L"loaded"});
    }
    Stoneleaf::HostStatus().SetPlugins(std::move(plugins));
}

}  // namespace

CServiceImpl::CServiceImpl(const FrameworkParams* params) {
    static_assert(sizeof(m_pluginKeyPath) == sizeof(params->pluginKeyPath));
    std::memcpy(m_pluginKeyPath, params->pluginKeyPath, sizeof m_pluginKeyPath);
    std::memcpy(m_valueNameFilter, params->valueNameFilter, sizeof m_valueNameFilter);
    m_pluginMgr.SetWaitObserver(&m_announcer);
}

void CServiceImpl::WaitAnnouncer::BeforeBoundedWait(std::uint32_t boundMs) {
    if (const std::uint32_t state = pendingState.load(); state != 0) {
        m_service.AnnounceWait(state, boundMs);
    }
}

CServiceImpl::~CServiceImpl() = default;

void CServiceImpl::EnterMainLoop(std::uint32_t argc, wchar_t** argv) {
    logfilesync::CTraceScope scope(kEnterMainLoopFn, __LINE__);
    g_defaultLog.Log(L'D', kEnterMainLoopFn, __LINE__,
                     L"Start handler thread and main thread for all plugins.");
    m_announcer.pendingState = platform::kServiceStartPending;
    const platform::ErrorCode loaded =
        m_pluginMgr.SearchAndLoadPlugins(m_pluginKeyPath, m_valueNameFilter);
    (void)m_pluginMgr.PostEntryMainMsgToAll(argc, argv);
    m_announcer.pendingState = 0;
    PublishPlugins(m_pluginMgr);
    const auto count = static_cast<unsigned>(m_pluginMgr.Count());
    if (count == 0) {
        g_defaultLog.Log(L'W', kEnterMainLoopFn, __LINE__,
                         L"No plugin is loaded; the service runs without plugins.");
        logfilesync::ReportLifecycle(L'W', L"Started without plug-ins: %s.",
                                     NoPluginReason(loaded).c_str());
        SetStatusText(L"no plug-in loaded");
        return;
    }
    logfilesync::LogLifecycle(
        L'I', kEnterMainLoopFn, __LINE__,
        count == 1 ? L"Started with %u plug-in." : L"Started with %u plug-ins.", count);
    wchar_t text[64];
    platform::StringCchPrintfW(text, 64, count == 1 ? L"%u plug-in loaded" : L"%u plug-ins loaded",
                               count);
    SetStatusText(text);
}

std::uint32_t CServiceImpl::DispatchServiceHandler(std::uint32_t control, std::uint32_t eventType,
                                                   void* eventData, void* context) {
    logfilesync::CTraceScope scope(kDispatchFn, __LINE__);
    if (control == platform::kServiceControlStop) {
        // OnStop follows (this never answers 1246): the service is stopping from here on.
        m_announcer.pendingState = platform::kServiceStopPending;
    }
    if (control == platform::kServiceControlParamChange) {
        ReloadLogSettings();  // so that the plug-ins' handling is logged at the new level
    }
    const std::uint32_t result =
        m_pluginMgr.PostSysMsgToAll(control, eventType, eventData, context);
    PublishPlugins(m_pluginMgr);  // a plug-in may have been suppressed
    if (result == executive::kBroadcastTimeout) {
        g_defaultLog.Log(L'E', kDispatchFn, __LINE__, L"Send message [%d] timeout.", control);
        logfilesync::ReportLifecycle(
            L'E', L"Control %u timed out: a plug-in did not finish it and is suppressed.", control);
        m_stopTimedOut = m_stopTimedOut || control == platform::kServiceControlStop;
        return platform::kErrorTimeout;
    }
    if (result == executive::kBroadcastWaitFailed) {
        g_defaultLog.Log(L'E', kDispatchFn, __LINE__, L"Send message [%d] failed.", control);
        logfilesync::ReportLifecycle(L'E', L"Control %u failed: the wait for the plug-ins failed.",
                                     control);
        return platform::kErrorErrorsEncountered;
    }
    return 0;
}

void CServiceImpl::KeepLogWhenOff(bool keep) noexcept {
    g_keepLogWhenOff = keep;
}

void CServiceImpl::ReloadLogSettings() {
    logfilesync::LogSettings settings;
    if (logfilesync::ReadLogSettings(&settings) != 1 || settings.enabled == 0) {
        if (g_keepLogWhenOff) {
            const logfilesync::LogSettings read = settings;
            settings = g_defaultLog.CurrentSettings();
            settings.maxSize = read.maxSize;
            settings.keepFiles = read.keepFiles;
        }
    }
    const std::wstring changes = g_defaultLog.Reconfigure(settings);
    logfilesync::LogLifecycle(L'I', kReloadFn, __LINE__, L"Log settings re-read: %s",
                              changes.empty() ? L"nothing changed" : changes.c_str());
}

std::uint32_t CServiceImpl::OnStop() {
    logfilesync::CTraceScope scope(kOnStopFn, __LINE__);
    m_pluginMgr.UnloadAllPlugins();
    PublishPlugins(m_pluginMgr);
    g_defaultLog.Log(L'D', kOnStopFn, __LINE__, L"Unloaded all plugins.");
    if (m_stopTimedOut) {
        logfilesync::LogLifecycle(L'W', kOnStopFn, __LINE__,
                                  L"Stopped after the stop control timed out; plug-ins unloaded.");
    } else {
        logfilesync::LogLifecycle(L'I', kOnStopFn, __LINE__, L"Stopped; plug-ins unloaded.");
    }
    SetStatusText(L"plug-ins unloaded");
    SignalStopEvent();
    g_defaultLog.Log(L'D', kOnStopFn, __LINE__, L"Terminated service main loop.");
    return 0;
}

std::uint32_t CServiceImpl::AfterDeleteService() {
    logfilesync::CTraceScope scope(kAfterDeleteFn, __LINE__);
    return executive::PluginMgr::OnDeleteService(m_pluginKeyPath, m_valueNameFilter);
}
