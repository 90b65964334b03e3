// The framework singleton and its run: names from the string table, the service object, and
// the road taken by the command line.
#include "service/framework.h"

#include <mutex>

#include "diagnostics/log_file.h"
#include "platform/stop_signals.h"
#include "platform/system_log.h"
#include "resources/string_table.h"
#include "resources/strings.h"
#include "service/foreground.h"
#include "service/service_admin.h"
#include "service/service_impl.h"

namespace {

constexpr int kNameChars = 256;
constexpr int kDescriptionChars = 1024;

// The singleton lock: the lock, an initialised flag and the depth, as a record that lives
// from static initialisation to static destruction.
struct SingletonLock {
    std::mutex mutex;
    std::uint32_t initialised = 1;
    std::uint32_t depth = 0;
};
SingletonLock g_singletonLock;

// The instance, destroyed through its virtual destructor after the entry point has returned.
struct SingletonHolder {
    CPluginFramework* instance = nullptr;
    ~SingletonHolder() {
        g_singletonLock.initialised = 0;
        delete instance;
        instance = nullptr;
    }
};
SingletonHolder g_singleton;

std::uint32_t RunService(CServiceImpl& service) {
    // Only the service writes to the system's log: /RUN and the commands are not the service.
    (void)platform::OpenSystemLog(Stoneleaf::CService::ServiceName());
    const std::uint32_t result = service.EntryService();
    platform::CloseSystemLog();
    if (result != 0) {
        g_defaultLog.Log(L'E', L"CPluginFramework::Run", __LINE__,
                         L"Entry service failed, dwRet=%u", result);
    } else {
        g_defaultLog.Log(L'D', L"CPluginFramework::Run", __LINE__, L"Entry service success.");
    }
    return result;
}

std::uint32_t RunCommand(CServiceImpl& service, int argc, wchar_t** argv) {
    for (int i = 0; i < argc; ++i) {
        g_defaultLog.Log(L'D', L"CPluginFramework::Run", __LINE__, L"argv[%d]=%s", i, argv[i]);
    }
    const bool foreground = Stoneleaf::IsCommandWord(argv[1], L"/RUN");
    if (!foreground) {
        platform::EndOnStopSignals();  // a command has nothing to stop: Ctrl-C just ends it
    }
    const std::uint32_t result = foreground ? Stoneleaf::RunForeground(service, argc, argv)
                                            : service.ExecArguments(argc, argv);
    if (result != 0) {
        g_defaultLog.Log(L'E', L"CPluginFramework::Run", __LINE__,
                         L"Exec arguments failed, dwRet=%u", result);
    } else {
        g_defaultLog.Log(L'D', L"CPluginFramework::Run", __LINE__, L"Exec arguments success.");
    }
    return result;
}

}  // namespace

std::uint32_t InitServiceIdentity(Stoneleaf::CService& service) {
    wchar_t serviceName[kNameChars] = {};
    wchar_t displayName[kNameChars] = {};
    wchar_t description[kDescriptionChars] = {};
    (void)resources::LoadServiceString(IDS_SERVICE_NAME, serviceName, kNameChars);
    (void)resources::LoadServiceString(IDS_DISPLAY_NAME, displayName, kNameChars);
    (void)resources::LoadServiceString(IDS_DESCRIPTION, description, kDescriptionChars);
    return service.InitService(serviceName, displayName, description);
}

CPluginFramework* CPluginFramework::GetInstance() {
    if (g_singleton.instance != nullptr) {
        return g_singleton.instance;
    }
    std::lock_guard<std::mutex> lock(g_singletonLock.mutex);
    ++g_singletonLock.depth;
    struct DepthGuard {
        ~DepthGuard() { --g_singletonLock.depth; }
    } depthGuard;
    if (g_singleton.instance == nullptr) {
        g_singleton.instance = new CPluginFramework;
    }
    return g_singleton.instance;
}

std::uint32_t CPluginFramework::Run(int argc, wchar_t** argv, const FrameworkParams* params) {
    logfilesync::CTraceScope trace(L"CPluginFramework::Run", __LINE__);
    CServiceImpl service(params);
    std::uint32_t result = InitServiceIdentity(service);
    if (result != 0) {
        g_defaultLog.Log(L'E', L"CPluginFramework::Run", __LINE__, L"Init service failed, dwRet=%u",
                         result);
    } else {
        g_defaultLog.Log(L'D', L"CPluginFramework::Run", __LINE__, L"Init service success.");
        result = argc <= 1 ? RunService(service) : RunCommand(service, argc, argv);
    }
    service.ClearInitialised();
    return result;
}
