// The plug-in manager: list reading with its log lines, loading all or none, unloading,
// the deletion hooks, the two broadcasts and the completion wait.
#include "executive/plugin_mgr.h"

#include <new>

#include "diagnostics/lifecycle_log.h"
#include "diagnostics/log_file.h"
#include "executive/library.h"
#include "executive/plugin_discovery.h"
#include "executive/timeouts.h"
#include "keltra/plugin.h"
#include "platform/dynamic_library.h"
#include "platform/error.h"
#include "platform/wait.h"

namespace executive {
namespace {

constexpr wchar_t kGetAllFn[] = L"executive::PluginMgr::GetAllPluginDLLs";

// Turns the reading's steps into the host's log lines.
class LoggingObserver : public DiscoveryObserver {
  public:
    LoggingObserver(const wchar_t* keyPath, const wchar_t* filter)
        : m_keyPath(keyPath), m_filter(filter) {}

    void OnOpenFailed(platform::ErrorCode error, const std::wstring& reason) override {
        g_defaultLog.Log(L'E', kGetAllFn, __LINE__, L"Open registry [%s\\%s] failed, dwErr=%u",
                         m_keyPath, m_filter, error);
        if (!reason.empty()) {  // a malformed or missing registry file, with its name and line
            g_defaultLog.Log(L'E', kGetAllFn, __LINE__, L"%s", reason.c_str());
        }
    }
    void OnCounted(const PluginValue& value, bool exists) override {
        g_defaultLog.Log(L'D', kGetAllFn, __LINE__, L"Found a plugin: %s, bExists=%d",
                         value.path.c_str(), exists ? 1 : 0);
    }
    void OnFate(const PluginValue& value, ValueFate fate) override {
        if (fate == ValueFate::Duplicate) {
            g_defaultLog.Log(L'W', kGetAllFn, __LINE__, L"Found a duplicated plugin: %s",
                             value.path.c_str());
        } else if (fate == ValueFate::DataUnterminated) {
            g_defaultLog.Log(L'W', kGetAllFn, __LINE__,
                             L"Value [%s] holds no terminated path, skipped.", value.name.c_str());
        } else if (fate == ValueFate::Untrusted) {
            g_defaultLog.Log(L'E', kGetAllFn, __LINE__, L"Refused plugin %s: %s (running as root)",
                             value.path.c_str(), value.untrusted.c_str());
        }
    }

  private:
    const wchar_t* m_keyPath;
    const wchar_t* m_filter;
};

}  // namespace

platform::ErrorCode PluginMgr::GetAllPluginDLLs(std::vector<std::wstring>& dlls,
                                                const wchar_t* keyPath, const wchar_t* filter) {
    logfilesync::CTraceScope scope(kGetAllFn, __LINE__);
    if (keyPath == nullptr || filter == nullptr) {
        return platform::kErrorInvalidParameter;
    }
    try {
        LoggingObserver observer(keyPath, filter);
        return ReadPluginList(dlls, keyPath, filter, observer);
    } catch (const std::bad_alloc&) {
        dlls.clear();
        return platform::kErrorNotEnoughMemory;
    }
}

platform::ErrorCode PluginMgr::SearchAndLoadPlugins(const wchar_t* keyPath, const wchar_t* filter) {
    static constexpr wchar_t kFn[] = L"executive::PluginMgr::SearchAndLoadPlugins";
    logfilesync::CTraceScope scope(kFn, __LINE__);
    std::vector<std::wstring> dlls;
    const platform::ErrorCode read = GetAllPluginDLLs(dlls, keyPath, filter);
    if (read != platform::kErrorSuccess) {
        g_defaultLog.Log(L'E', kFn, __LINE__, L"Read plugin DLLs from registry failed, dwErr=%u",
                         read);
        return read;
    }
    platform::ErrorCode result = platform::kErrorSuccess;
    for (const std::wstring& path : dlls) {
        auto* plugin = new (std::nothrow) PlugIn;
        if (plugin == nullptr) {
            g_defaultLog.Log(L'E', kFn, __LINE__, L"Alloc memory failed for PPlugin.");
            result = platform::kErrorNotEnoughMemory;
            break;
        }
        g_defaultLog.Log(L'D', kFn, __LINE__, L"Creating service object for plugin %s.",
                         path.c_str());
        BeforeBoundedWait(GetTimeouts().threadReadyMs);
        if (!plugin->Create(path.c_str())) {
            g_defaultLog.Log(L'E', kFn, __LINE__, L"Failed creating service object.");
            result = platform::kErrorCreateFailed;
            delete plugin;
            continue;
        }
        g_defaultLog.Log(L'D', kFn, __LINE__, L"Add plugin [%s]", path.c_str());
        try {
            m_plugins.push_back(plugin);
            m_count = m_plugins.size();
        } catch (const std::bad_alloc&) {
            // The list cannot hold it: same outcome as a plug-in that cannot be allocated.
            plugin->Destroy();
            delete plugin;
            g_defaultLog.Log(L'E', kFn, __LINE__, L"Alloc memory failed for PPlugin.");
            result = platform::kErrorNotEnoughMemory;
            break;
        }
    }
    if (result != platform::kErrorSuccess) {
        g_defaultLog.Log(L'E', kFn, __LINE__, L"Failed (dwErr=%d), unload all plugins.",
                         static_cast<int>(result));
        UnloadAllPlugins();
    }
    return result;
}

void PluginMgr::UnloadAllPlugins() {
    logfilesync::CTraceScope scope(L"executive::PluginMgr::UnloadAllPlugins", __LINE__);
    for (PlugIn* plugin : m_plugins) {
        BeforeBoundedWait(2ull * GetTimeouts().threadExitMs);  // handler thread, then main
        plugin->Destroy();
        delete plugin;
    }
    m_plugins.clear();
    m_count = 0;
}

platform::ErrorCode PluginMgr::OnDeleteService(const wchar_t* keyPath, const wchar_t* filter) {
    static constexpr wchar_t kFn[] = L"executive::PluginMgr::OnDeleteService";
    logfilesync::CTraceScope scope(kFn, __LINE__);
    std::vector<std::wstring> dlls;
    const platform::ErrorCode read = GetAllPluginDLLs(dlls, keyPath, filter);
    if (read != platform::kErrorSuccess) {
        g_defaultLog.Log(L'E', kFn, __LINE__, L"Read plugin DLLs from registry failed, dwErr=%u",
                         read);
        return read;
    }
    for (const std::wstring& path : dlls) {
        g_defaultLog.Log(L'D', kFn, __LINE__, L"Library: %s", path.c_str());
        Library library;
        if (!library.Load(path.c_str())) {
            g_defaultLog.Log(L'E', kFn, __LINE__, L"Load library failed.");
            continue;
        }
        auto hook = reinterpret_cast<KeltraOnDeleteServiceFn>(
            platform::GetProcAddress(library.Module(), KELTRA_EXPORT_ON_DELETE_SERVICE));
        if (hook != nullptr) {
            g_defaultLog.Log(L'D', kFn, __LINE__, L"==>");
            hook();
            g_defaultLog.Log(L'D', kFn, __LINE__, L"<==");
        } else {
            g_defaultLog.Log(L'E', kFn, __LINE__, L"Get OnDeleteService() failed.");
        }
        library.Unload();
    }
    return platform::kErrorSuccess;
}

void PluginMgr::BeforeBoundedWait(std::uint64_t boundMs) const {
    if (m_waitObserver != nullptr) {
        m_waitObserver->BeforeBoundedWait(
            boundMs > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<std::uint32_t>(boundMs));
    }
}

std::uint32_t PluginMgr::PostEntryMainMsgToAll(std::uint32_t argc, wchar_t** argv) {
    logfilesync::CTraceScope scope(L"executive::PluginMgr::PostEntryMainMsgToAll", __LINE__);
    if (m_count == 0) {
        return kBroadcastComplete;
    }
    for (PlugIn* plugin : m_plugins) {
        (void)plugin->PostEnterMainMsg(argc, argv);
    }
    return WaitForComplete();
}

std::uint32_t PluginMgr::PostSysMsgToAll(std::uint32_t control, std::uint32_t eventType,
                                         void* eventData, void* context) {
    logfilesync::CTraceScope scope(L"executive::PluginMgr::PostSysMsgToAll", __LINE__);
    if (m_count == 0) {
        return kBroadcastComplete;
    }
    for (PlugIn* plugin : m_plugins) {
        (void)plugin->PostSysMsg(control, eventType, eventData, context);
    }
    return WaitForComplete();
}

std::uint32_t PluginMgr::WaitForComplete() {
    static constexpr wchar_t kFn[] = L"executive::PluginMgr::WaitForComplete";
    logfilesync::CTraceScope scope(kFn, __LINE__);
    std::uint32_t count = 0;
    try {
        m_waitHandles.assign(m_plugins.size(), nullptr);
    } catch (const std::bad_alloc&) {
        g_defaultLog.Log(L'E', kFn, __LINE__, L"Failed to wait events, dwErr=%d",
                         static_cast<int>(platform::kErrorNotEnoughMemory));
        return kBroadcastWaitFailed;
    }
    for (PlugIn* plugin : m_plugins) {
        if (!plugin->IsSuppressed() && plugin->CompletionEvent() != nullptr) {
            m_waitHandles[count++] = plugin->CompletionEvent();
        }
    }
    const std::uint32_t boundMs = GetTimeouts().broadcastMs;
    if (count != 0) {
        BeforeBoundedWait(boundMs);
    }
    const std::uint32_t wait =
        platform::WaitForMultipleObjects(count, m_waitHandles.data(), true, boundMs);
    const platform::ErrorCode waitError = platform::GetLastError();

    if (wait == platform::kWaitTimeout) {
        for (PlugIn* plugin : m_plugins) {
            if (plugin->IsSuppressed()) {
                continue;
            }
            const platform::Handle event = plugin->CompletionEvent();
            if (event == nullptr ||
                platform::WaitForSingleObject(event, 0) != platform::kWaitObject0) {
                plugin->Suppress();
                g_defaultLog.Log(L'W', kFn, __LINE__,
                                 L"Module \"%s\" didn't finish processing message in time, "
                                 L"suppressed!",
                                 plugin->GetDescription());
                logfilesync::ReportLifecycle(
                    L'W', L"Plug-in \"%s\" suppressed: it did not finish a control within %u ms.",
                    plugin->GetDescription(), GetTimeouts().broadcastMs);
            }
        }
        return kBroadcastTimeout;
    }
    if (wait == platform::kWaitFailed) {
        g_defaultLog.Log(L'E', kFn, __LINE__, L"Failed to wait events, dwErr=%d",
                         static_cast<int>(waitError));
        return kBroadcastWaitFailed;
    }
    return kBroadcastComplete;
}

}  // namespace executive
