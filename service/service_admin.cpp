// The administration commands of the service base class: the command line, install,
// uninstall, start, stop, control, status, and the binary path of the service.
#include "service/service_admin.h"

#include <cstdio>
#include <cwchar>
#include <string>

#include "diagnostics/log_file.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/system_log.h"
#include "platform/thread.h"
#include "platform/time.h"
#include "service/host/service_control.h"
#include "service/service.h"
#include "service/status_command.h"
#include "text/text.h"

namespace Stoneleaf {
namespace {

using platform::UniqueServiceHandle;

constexpr std::size_t kBinaryPathChars = 260;
constexpr std::size_t kCommandWordChars = 260;

bool IsSpace(wchar_t c) noexcept {
    return c == L' ' || (c >= 9 && c <= 13);
}

std::wstring TrimSpace(std::wstring text) {
    while (!text.empty() && IsSpace(text.back())) {
        text.pop_back();
    }
    std::size_t first = 0;
    while (first < text.size() && IsSpace(text[first])) {
        ++first;
    }
    return text.erase(0, first);
}

// Why the (trimmed) binary path cannot be installed, or null. A control character would add
// lines to a systemd unit and names no file on Windows; text that is not valid Unicode (a
// byte that is not UTF-8 on Linux, a lone surrogate on Windows) cannot be written into the
// service's configuration as the same name; a relative path would be resolved against the
// service manager's directory. A leading quote opens a quoted program (Windows command line).
const char* BinaryPathProblem(const std::wstring& path) {
    for (const wchar_t c : path) {
        if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) {
            return "the path holds a control character";
        }
    }
    if (path.find(L'\xFFFD') != std::wstring::npos ||
        platform::Utf8ToWide(platform::WideToUtf8(path)) != path) {
        return "the path is not valid text (UTF-8 on Linux)";
    }
    const std::size_t program = !path.empty() && path[0] == L'"' ? 1 : 0;
    if (!platform::IsAbsolutePath(path.c_str() + program)) {
        return "the path is not absolute on this platform";
    }
    return nullptr;
}

void PrintError(const wchar_t* what, std::uint32_t code) {
    const char* why = DescribeAdminError(code);
    std::fprintf(stderr, "%s failed: error %u%s%s\n", platform::WideToUtf8(what).c_str(), code,
                 why[0] != '\0' ? ": " : "", why);
}

}  // namespace

bool IsCommandWord(const wchar_t* arg, const wchar_t* word) noexcept {
    if (arg == nullptr || word == nullptr) {
        return false;
    }
    wchar_t folded[kCommandWordChars] = {};
    if (platform::StringCchCopyW(folded, kCommandWordChars, arg) != 0) {
        return false;  // longer than any command word
    }
    for (wchar_t& c : folded) {
        if (c >= L'a' && c <= L'z') {
            c = static_cast<wchar_t>(c - L'a' + L'A');
        }
    }
    return std::wcscmp(folded, word) == 0;
}

std::uint32_t WaitForServiceState(platform::ServiceHandle service, std::uint32_t target,
                                  std::uint32_t silentMs) noexcept {
    platform::ServiceStatus seen{};
    std::uint64_t lastProgress = platform::TickCount64();
    for (bool first = true;; first = false) {
        platform::ServiceStatus status{};
        if (!platform::QueryServiceStatus(service, &status)) {
            return platform::kErrorTimeout;
        }
        if (status.currentState == target) {
            return 0;
        }
        if (target == platform::kServiceRunning &&
            status.currentState == platform::kServiceStopped) {
            return status.win32ExitCode != 0 ? status.win32ExitCode
                                             : platform::kErrorServiceNotActive;
        }
        const std::uint64_t now = platform::TickCount64();
        if (first || status.currentState != seen.currentState ||
            status.checkPoint != seen.checkPoint) {
            seen = status;
            lastProgress = now;
        }
        // A checkpoint of 0 in a pending state is the manager's own record: the service has
        // not reported yet, and its hint says nothing about the service.
        const bool hinted = platform::IsPendingState(status.currentState) &&
                            status.checkPoint != 0 && status.waitHint != 0;
        const std::uint64_t allowance = hinted ? status.waitHint : silentMs;
        if (now - lastProgress >= allowance) {
            return platform::kErrorTimeout;
        }
        std::uint32_t sleep = status.waitHint;
        sleep = sleep < kServicePollMinSleepMs ? kServicePollMinSleepMs : sleep;
        sleep = sleep > kServicePollMaxSleepMs ? kServicePollMaxSleepMs : sleep;
        const std::uint64_t left = lastProgress + allowance - now;
        platform::Sleep(left < sleep ? static_cast<std::uint32_t>(left) : sleep);
    }
}

bool ParseDecimal(const wchar_t* text, std::uint32_t* value) noexcept {
    if (text == nullptr || value == nullptr || text[0] < L'0' || text[0] > L'9') {
        return false;
    }
    wchar_t* end = nullptr;
    const unsigned long long number = std::wcstoull(text, &end, 10);
    if (*end != L'\0' || number > 0xFFFFFFFFull) {
        return false;
    }
    *value = static_cast<std::uint32_t>(number);
    return true;
}

bool ParseControlCode(const wchar_t* text, std::uint32_t* control) noexcept {
    if (text == nullptr || control == nullptr || text[0] == L'\0') {
        return false;
    }
    std::uint32_t code = 0;
    if (IsCommandWord(text, L"INTERROGATE")) {
        code = platform::kServiceControlInterrogate;
    } else if (IsCommandWord(text, L"PARAMCHANGE")) {
        code = platform::kServiceControlParamChange;
    } else {
        // Decimal only, as the service manager's own tools read codes: 0310 is 310, not octal.
        if (!ParseDecimal(text, &code)) {
            return false;
        }
    }
    const bool allowed =
        code == platform::kServiceControlInterrogate ||
        code == platform::kServiceControlParamChange ||
        (code >= platform::kServiceControlUserFirst && code <= platform::kServiceControlUserLast);
    if (allowed) {
        *control = code;
    }
    return allowed;
}

// Opens the service manager and the named service with full access, as every command but
// the installation does. 0, or the error of the call that failed.
static std::uint32_t OpenOwnService(const wchar_t* name, UniqueServiceHandle& manager,
                                    UniqueServiceHandle& service) noexcept {
    manager.Reset(platform::OpenServiceManager(platform::kScManagerAllAccess));
    if (!manager) {
        return platform::GetLastError();
    }
    service.Reset(platform::OpenService(manager.Get(), name, platform::kServiceAllAccess));
    return service ? 0 : platform::GetLastError();
}

std::uint32_t ControlRunningService(const wchar_t* serviceName, std::uint32_t control) noexcept {
    UniqueServiceHandle manager;
    UniqueServiceHandle service;
    if (const std::uint32_t rc = OpenOwnService(serviceName, manager, service); rc != 0) {
        return rc;
    }
    platform::ServiceStatus status{};
    if (!platform::ControlService(service.Get(), control, &status)) {
        return platform::GetLastError();
    }
    return 0;
}

std::string UsageText() {
    return "usage: keltra-service                      run as the service (started by the "
           "service manager)\n"
           "       keltra-service /INSTALL PATH [D] [/NORESTART]\n"
           "                                           install the service for PATH (D: "
           "delayed automatic start; /NORESTART: not restarted after a failure)\n"
           "       keltra-service /UNINSTALL           stop and remove the service\n"
           "       keltra-service /START | /STOP       start or stop the installed service\n"
           "       keltra-service /STATUS [--json]     the service's state and what its host "
           "reports (exit code 0 running, 3 not running, 4 not installed)\n"
           "       keltra-service /CONTROL CODE        send a control to the running service: "
           "128..255, INTERROGATE (4), PARAMCHANGE (6)\n"
           "       keltra-service /RUN [CODE...] [STOP] run the host in this terminal; then "
           "controls from standard input, one a line; STOP, end of input or Ctrl-C stops\n"
           "The exit code is a Windows error code, 0 for success.\n";
}

const char* DescribeAdminError(std::uint32_t code) noexcept {
    switch (code) {
        case platform::kErrorAccessDenied:
            return "access denied (run as administrator/root)";
        case platform::kErrorNotSupported:
            return "not supported on this platform";
        case platform::kErrorInvalidParameter:
            return "invalid parameter";
        case platform::kErrorBufferOverflow:
            return "the binary path does not fit in 259 characters";
        case platform::kErrorInvalidLevel:
            return "the service manager refused this setting";
        case platform::kErrorAlreadyExists:
            return "the service is already running in another process";
        case platform::kErrorServiceRequestTimeout:
            return "the service did not respond in time";
        case platform::kErrorServiceAlreadyRunning:
            return "the service is already running";
        case platform::kErrorServiceDoesNotExist:
            return "the service is not installed";
        case platform::kErrorServiceCannotAcceptControl:
            return "the service cannot accept this control now";
        case platform::kErrorServiceNotActive:
            return "the service is not running";
        case platform::kErrorProcessAborted:
            return "the service process ended abnormally";
        case platform::kErrorServiceExists:
            return "the service is already installed";
        case platform::kErrorTimeout:
            return "timed out waiting for the service";
        case platform::kErrorFunctionFailed:
            return "systemctl failed (its message is above)";
        case platform::kErrorServiceManagerUnavailable:
            return "the service manager cannot be reached (on Linux: systemd is not running)";
        default:
            return "";
    }
}

std::uint32_t CService::ExecArguments(int argc, wchar_t** argv) {
    if (!IsInitialised()) {
        return platform::kErrorNotReady;
    }
    if (argc == 0 || argv == nullptr) {
        return platform::kErrorInvalidParameter;
    }
    if (argc < 2) {
        return 0;
    }
    const wchar_t* command = argv[1];
    std::uint32_t result = 0;
    if (IsCommandWord(command, L"/INSTALL")) {
        // /INSTALL PATH [D] [/NORESTART]: each word in its place, nothing else after the path.
        int next = 3;
        const bool delayed = argc > next && (std::wcscmp(argv[next], L"D") == 0 ||
                                             std::wcscmp(argv[next], L"d") == 0);
        next += delayed ? 1 : 0;
        const bool noRestart = argc > next && IsCommandWord(argv[next], L"/NORESTART");
        next += noRestart ? 1 : 0;
        if (argc < 3 || next < argc) {
            std::fputs(UsageText().c_str(), stderr);
            return platform::kErrorInvalidParameter;
        }
        result = Install(argv[2], delayed, !noRestart);
    } else if (IsCommandWord(command, L"/UNINSTALL")) {
        result = Uninstall();
    } else if (IsCommandWord(command, L"/START")) {
        result = Start();
    } else if (IsCommandWord(command, L"/STOP")) {
        result = Stop();
    } else if (IsCommandWord(command, L"/STATUS")) {
        const bool json = argc >= 3 && std::wcscmp(argv[2], L"--json") == 0;
        if (argc > 3 || (argc == 3 && !json)) {
            std::fputs(UsageText().c_str(), stderr);
            return platform::kErrorInvalidParameter;
        }
        result = ShowServiceStatus(ServiceName(), json);
        if (result == kStatusNotRunning || result == kStatusNotInstalled) {
            return result;  // answers, not failures
        }
    } else if (IsCommandWord(command, L"/CONTROL")) {
        std::uint32_t control = 0;
        if (argc < 3 || !ParseControlCode(argv[2], &control)) {
            std::fputs(UsageText().c_str(), stderr);
            return platform::kErrorInvalidParameter;
        }
        result = ControlRunningService(ServiceName(), control);
    } else {
        std::fputs(UsageText().c_str(), stderr);
        return platform::kErrorInvalidParameter;
    }
    if (result != 0) {
        PrintError(command, result);
    }
    return result;
}

std::uint32_t CService::BuildBinaryPath(const wchar_t* path, wchar_t (&out)[260]) {
    std::wstring text = TrimSpace(path != nullptr ? path : L"");
    if (text.size() >= 2 && text.front() != L'"' && text.back() != L'"' &&
        text.find(L' ') != std::wstring::npos) {
        text = L"\"" + text + L"\"";
    }
    if (platform::StringCchCopyW(out, kBinaryPathChars, text.c_str()) != 0) {
        return platform::kErrorBufferOverflow;
    }
    return 0;
}

platform::ServiceConfig CService::InstallConfig(const wchar_t* command) const noexcept {
    return {ServiceName(),
            m_displayName,
            command,
            m_autoStart != 0 ? platform::kServiceAutoStart : platform::kServiceDemandStart,
            m_dependencies,
            m_description,
            nullptr};
}

std::uint32_t CService::Install(const wchar_t* binaryPath, bool delayedStart,
                                bool restartOnFailure) {
    if (binaryPath == nullptr) {
        return platform::kErrorInvalidParameter;
    }
    // The path is checked before the service manager is asked, so that bad input gets the
    // same answer on a machine where the manager cannot be reached.
    if (const char* why = BinaryPathProblem(TrimSpace(binaryPath)); why != nullptr) {
        std::fprintf(stderr, "/INSTALL: %s; nothing is installed\n", why);
        return platform::kErrorInvalidParameter;
    }
    wchar_t command[kBinaryPathChars] = {};
    if (const std::uint32_t rc = BuildBinaryPath(binaryPath, command); rc != 0) {
        return rc;
    }
    UniqueServiceHandle manager(platform::OpenServiceManager(platform::kScManagerCreateService));
    if (!manager) {
        return platform::GetLastError();
    }
    platform::ServiceRecovery recovery;
    recovery.restart = restartOnFailure;
    platform::ServiceConfig config = InstallConfig(command);
    config.recovery = &recovery;
    UniqueServiceHandle service(
        platform::CreateService(manager.Get(), &config, platform::kServiceAllAccess));
    if (!service) {
        return platform::GetLastError();
    }
    std::uint32_t result = 0;
    if (!platform::SetServiceDescription(service.Get(), m_description)) {
        result = platform::GetLastError();
    }
    if (m_autoStart != 0 && delayedStart &&
        !platform::SetServiceDelayedAutoStart(service.Get(), true)) {
        result = platform::GetLastError();
    }
    SetRecovery(service.Get(), recovery);
    // The executable formats its own entries in the system's log.
    if (const platform::ErrorCode registered =
            platform::RegisterSystemLogSource(ServiceName(), TrimSpace(binaryPath).c_str());
        registered != 0 && result == 0) {
        result = registered;
    }
    return result;
}

void CService::SetRecovery(platform::ServiceHandle service,
                           const platform::ServiceRecovery& recovery) {
    static constexpr wchar_t kFn[] = L"Stoneleaf::CService::Install";
    if (!recovery.restart) {
        g_defaultLog.Log(L'D', kFn, __LINE__, L"Recovery: none (not restarted after a failure).");
        return;
    }
    g_defaultLog.Log(L'D', kFn, __LINE__,
                     L"Recovery: restart after %u, %u, %u ms, failure count reset after %u s.",
                     recovery.restartDelaysMs[0], recovery.restartDelaysMs[1],
                     recovery.restartDelaysMs[2], recovery.resetAfterS);
    if (platform::SetServiceRecovery(service, &recovery)) {
        return;
    }
    // The service runs all the same, only not restarted: the installation stands.
    const std::uint32_t error = platform::GetLastError();
    g_defaultLog.Log(L'W', kFn, __LINE__,
                     L"Set recovery failed, dwErr=%u; the service is installed without it.", error);
    const char* why = DescribeAdminError(error);
    std::fprintf(stderr,
                 "/INSTALL: warning: the service is installed, but it will not be restarted "
                 "after a failure: error %u%s%s\n",
                 error, why[0] != '\0' ? ": " : "", why);
}

std::uint32_t CService::Uninstall() {
    if (const std::uint32_t rc = BeforeStopService(); rc != 0) {
        return rc;
    }
    if (const std::uint32_t rc = Stop(); rc != 0) {
        return rc;
    }
    if (const std::uint32_t rc = BeforeDeleteService(); rc != 0) {
        return rc;
    }
    UniqueServiceHandle manager;
    UniqueServiceHandle service;
    if (const std::uint32_t rc = OpenOwnService(ServiceName(), manager, service); rc != 0) {
        return rc;
    }
    if (!platform::DeleteService(service.Get())) {
        return platform::GetLastError();
    }
    (void)platform::UnregisterSystemLogSource(ServiceName());
    return AfterDeleteService();
}

std::uint32_t CService::Start() {
    UniqueServiceHandle manager;
    UniqueServiceHandle service;
    if (const std::uint32_t rc = OpenOwnService(ServiceName(), manager, service); rc != 0) {
        return rc;
    }
    if (!platform::StartService(service.Get())) {
        return platform::GetLastError();
    }
    return WaitForServiceState(service.Get(), platform::kServiceRunning, kServicePollBoundMs);
}

std::uint32_t CService::Stop() {
    UniqueServiceHandle manager;
    UniqueServiceHandle service;
    if (const std::uint32_t rc = OpenOwnService(ServiceName(), manager, service); rc != 0) {
        return rc;
    }
    platform::ServiceStatus status{};
    if (!platform::QueryServiceStatus(service.Get(), &status)) {
        return platform::GetLastError();
    }
    if (status.currentState == platform::kServiceStopped) {
        return 0;
    }
    if (!platform::ControlService(service.Get(), platform::kServiceControlStop, &status) &&
        platform::GetLastError() != platform::kErrorServiceRequestTimeout) {
        return platform::GetLastError();
    }
    // 1053: the manager stopped waiting for the control handler, which unloads the plug-ins
    // within their own bounds; the stop goes on, and its progress decides.
    const std::uint32_t result =
        WaitForServiceState(service.Get(), platform::kServiceStopped, kServicePollBoundMs);
    if (result != 0 || !platform::QueryServiceStatus(service.Get(), &status)) {
        return result;
    }
    // Stopped, but by the manager because a wait hint passed without progress (systemd).
    return status.win32ExitCode == platform::kErrorTimeout ? std::uint32_t{platform::kErrorTimeout}
                                                           : 0;
}

}  // namespace Stoneleaf
