// The process entry: trace log, crash handler, crash-dump path, framework parameters, and the
// framework run whose result is the exit code.
#include <cstring>
#include <cwchar>
#include <string>

#include "diagnostics/crash_handler.h"
#include "diagnostics/dump_retention.h"
#include "diagnostics/log_file.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/system_log.h"
#include "platform/time.h"
#include "resources/string_table.h"
#include "resources/strings.h"
#include "service/framework.h"
#include "service/framework_params.h"
#include "service/host/service_control.h"
#include "service/service_admin.h"
#include "service/service_impl.h"
#include "text/text.h"

namespace {

constexpr std::size_t kPathChars = 260;
constexpr wchar_t kPluginKeyPath[] = L"Software\\Keltra\\Brismont Settings\\SvcPlugins";
constexpr wchar_t kValueNameFilter[] = L"svcbu";
constexpr wchar_t kDumpPrefix[] = L"KeltraServicePlugin.exe_crashdump_";

// "/RUN" shows the trace log as it is written: without a log switched on in the registry, it
// writes one of its own beside the executable, at every level.
void OpenForegroundLog() {
    const std::wstring path =
        platform::GetExecutableDirectory() + platform::kPathSeparator + L"keltra-foreground.log";
    if (g_defaultLog.Configure(1, path.c_str(), 0, 0)) {
        (void)g_defaultLog.Open();
        CServiceImpl::KeepLogWhenOff(true);
    }
}

// "/RUN" on a machine without a registry file of its own takes the default one the build
// writes beside the executable (the example plug-ins). Windows has a real registry: the
// variable means nothing there, and no such file is written.
void UseDefaultRegistryFile() {
    const std::wstring defaultFile =
        platform::GetExecutableDirectory() + platform::kPathSeparator + L"keltra-default.reg";
    if (platform::GetEnvironmentVariable(platform::kRegistryFileVariable).empty() &&
        !platform::PathFileExists(platform::kDefaultRegistryFile) &&
        platform::PathFileExists(defaultFile.c_str())) {
        platform::SetEnvironmentVariable(platform::kRegistryFileVariable, defaultFile.c_str());
    }
}

// The dump goes to the service's data directory, made now so that it exists when a crash
// comes; where it cannot be made, the bare file name puts the dump in the current directory.
// A host (not an administration command) first prunes the older dumps there.
void SetCrashDumpPath(bool host) {
    wchar_t serviceName[256] = {};
    (void)resources::LoadServiceString(IDS_SERVICE_NAME, serviceName, 256);
    const std::wstring directory = platform::ServiceDataDirectory(serviceName);
    platform::LocalTime now{};
    platform::GetLocalTime(&now);
    wchar_t name[kPathChars] = {};
    (void)platform::StringCchPrintfW(name, kPathChars, L"%s%02d%02d-%02d%02d%02d.dmp", kDumpPrefix,
                                     now.month, now.day, now.hour, now.minute, now.second);
    wchar_t path[kPathChars] = {};
    // Owner-only where the platform has modes: a dump holds process memory.
    const platform::ErrorCode made = platform::CreateDirectoryTree(directory.c_str(), true);
    if (made == 0 || made == platform::kErrorAlreadyExists) {
        (void)platform::StringCchPrintfW(path, kPathChars, L"%s%c%s", directory.c_str(),
                                         platform::kPathSeparator, name);
        if (host) {
            (void)Stoneleaf::PruneCrashDumps(directory, kDumpPrefix, Stoneleaf::ReadDumpsKept());
        }
    } else {
        g_defaultLog.Log(L'W', L"wmain", __LINE__,
                         L"Cannot create the dump directory %s, dwErr=%u; dumps go to %s",
                         directory.c_str(), made, name);
        (void)platform::StringCchCopyW(path, kPathChars, name);
    }
    (void)platform::StringCchCopyW(Stoneleaf::g_crashDumpPath, Stoneleaf::kCrashDumpPathCapacity,
                                   path);
    // The crash path formats nothing: its entry for the system's log is ready now.
    const std::wstring written = L"Crashed; a crash dump was written to " + std::wstring(path);
    const std::wstring failed = L"Crashed; no crash dump could be written to " + std::wstring(path);
    platform::PrepareCrashSystemLog(written.c_str(), failed.c_str());
}

}  // namespace

int wmain(int argc, wchar_t** argv, wchar_t** /*envp*/) {
    const bool foreground = argc >= 2 && Stoneleaf::IsCommandWord(argv[1], L"/RUN");
    if (foreground) {
        UseDefaultRegistryFile();
    }
    if (g_defaultLog.LoadSettings() == 1 && g_defaultLog.Enabled() != 0) {
        (void)g_defaultLog.Open();
    }
    if (foreground && !g_defaultLog.IsOpen()) {
        OpenForegroundLog();
    }
    g_defaultLog.Log(L'D', L"wmain", __LINE__, L"==>");

    Stoneleaf::CCrashHandler crashHandler;
    Stoneleaf::CCrashHandler::InstallProcessHandlers();
    Stoneleaf::CCrashHandler::InstallThreadHandlers();
    SetCrashDumpPath(argc < 2 || foreground);

    FrameworkParams params;
    std::memset(&params, 0, sizeof params);
    (void)platform::StringCchCopyW(params.pluginKeyPath, kPathChars, kPluginKeyPath);
    (void)platform::StringCchCopyW(params.valueNameFilter, kPathChars, kValueNameFilter);

    g_defaultLog.Log(L'D', L"wmain", __LINE__, L"Begin to run plugin framework...");
    const std::uint32_t result = CPluginFramework::GetInstance()->Run(argc, argv, &params);
    g_defaultLog.Log(L'D', L"wmain", __LINE__, L"End plugin framework, dwRet=%u", result);
    g_defaultLog.Log(L'D', L"wmain", __LINE__, L"<==");
    g_defaultLog.Close();
    return static_cast<int>(result);
}
