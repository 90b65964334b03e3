// The concrete service: the plug-in executive driven by the service lifecycle.
#include "service/service_impl.h"

#include <cstring>

#include "diagnostics/log_file.h"
#include "platform/error.h"
#include "service/host/status_reporter.h"
#include "text/text.h"

namespace {

constexpr wchar_t kEnterMainLoopFn[] = L"CServiceImpl::EnterMainLoop";
constexpr wchar_t kDispatchFn[] = L"CServiceImpl::DispatchServiceHandler";
constexpr wchar_t kOnStopFn[] = L"CServiceImpl::OnStop";
constexpr wchar_t kAfterDeleteFn[] = L"CServiceImpl::AfterDeleteService";

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
}

CServiceImpl::~CServiceImpl() = default;

void CServiceImpl::EnterMainLoop(std::uint32_t argc, wchar_t** argv) {
    logfilesync::CTraceScope scope(kEnterMainLoopFn, __LINE__);
    g_defaultLog.Log(L'D', kEnterMainLoopFn, __LINE__,
                     L"Start handler thread and main thread for all plugins.");
    (void)m_pluginMgr.SearchAndLoadPlugins(m_pluginKeyPath, m_valueNameFilter);
    (void)m_pluginMgr.PostEntryMainMsgToAll(argc, argv);
    PublishPlugins(m_pluginMgr);
    const auto count = static_cast<unsigned>(m_pluginMgr.Count());
    if (count == 0) {
        g_defaultLog.Log(L'W', kEnterMainLoopFn, __LINE__,
                         L"No plugin is loaded; the service runs without plugins.");
        SetStatusText(L"no plug-in loaded");
        return;
    }
    wchar_t text[64];
    platform::StringCchPrintfW(text, 64, count == 1 ? L"%u plug-in loaded" : L"%u plug-ins loaded",
                               count);
    SetStatusText(text);
}

std::uint32_t CServiceImpl::DispatchServiceHandler(std::uint32_t control, std::uint32_t eventType,
                                                   void* eventData, void* context) {
    logfilesync::CTraceScope scope(kDispatchFn, __LINE__);
    const std::uint32_t result =
        m_pluginMgr.PostSysMsgToAll(control, eventType, eventData, context);
    PublishPlugins(m_pluginMgr);  // a plug-in may have been suppressed
    if (result == executive::kBroadcastTimeout) {
        g_defaultLog.Log(L'E', kDispatchFn, __LINE__, L"Send message [%d] timeout.", control);
        return platform::kErrorTimeout;
    }
    if (result == executive::kBroadcastWaitFailed) {
        g_defaultLog.Log(L'E', kDispatchFn, __LINE__, L"Send message [%d] failed.", control);
        return platform::kErrorErrorsEncountered;
    }
    return 0;
}

std::uint32_t CServiceImpl::OnStop() {
    logfilesync::CTraceScope scope(kOnStopFn, __LINE__);
    m_pluginMgr.UnloadAllPlugins();
    PublishPlugins(m_pluginMgr);
    g_defaultLog.Log(L'D', kOnStopFn, __LINE__, L"Unloaded all plugins.");
    SetStatusText(L"plug-ins unloaded");
    SignalStopEvent();
    g_defaultLog.Log(L'D', kOnStopFn, __LINE__, L"Terminated service main loop.");
    return 0;
}

std::uint32_t CServiceImpl::AfterDeleteService() {
    logfilesync::CTraceScope scope(kAfterDeleteFn, __LINE__);
    return executive::PluginMgr::OnDeleteService(m_pluginKeyPath, m_valueNameFilter);
}
