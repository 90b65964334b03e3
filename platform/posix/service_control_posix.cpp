// The administering side on POSIX: systemd. A service is the unit file <name>.service of
// Type=notify in the unit directory; systemctl starts, stops, enables and reports on it, and
// every other control travels the service's own control channel.
//
// systemctl is run as a child with a bounded wait, rather than linking libsystemd, so that the
// host has no library dependency and the same commands an administrator would type are used.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/posix/control_channel_posix.h"
#include "platform/service_control.h"
#include "platform/text.h"

extern char** environ;

namespace platform::service_backend {
namespace {

constexpr int kReloadBoundMs = 30000;
// A start or stop waits for the host's own bounded steps (plug-in threads: 32 s each).
constexpr int kStartStopBoundMs = 120000;
constexpr std::uint32_t kControlBoundMs = 35000;  // one broadcast waits at most 30 s
constexpr int kTimedOut = -2;

struct ServiceObject {
    bool manager = false;
    std::wstring name;  // the service name (services only)
    std::string unit;   // <name>.service
};

ServiceObject* Object(ServiceHandle handle) noexcept {
    return static_cast<ServiceObject*>(handle);
}

std::string UnitDirectory() {
    const char* dir = std::getenv("KELTRA_SYSTEMD_UNIT_DIR");
    return dir != nullptr && dir[0] != '\0' ? dir : "/etc/systemd/system";
}

std::string UnitPath(const std::string& unit) {
    return UnitDirectory() + "/" + unit;
}

// What sd_booted() tests: systemd runs as the system manager.
bool SystemdRunning() noexcept {
    struct stat info {};
    return lstat("/run/systemd/system", &info) == 0 && S_ISDIR(info.st_mode);
}

// Runs systemctl with args, collecting its output; its exit code, -1 when it could not be
// started (errno set), kTimedOut when it did not end within boundMs (it is killed).
int Systemctl(const std::vector<std::string>& args, int boundMs, std::string* output) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return -1;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    std::vector<std::string> all{"systemctl", "--no-ask-password", "--no-pager"};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : all) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, "systemctl", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (spawned != 0) {
        close(fds[0]);
        errno = spawned;
        return -1;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
    bool timedOut = false;
    char buffer[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            timedOut = true;
            break;
        }
        pollfd entry{fds[0], POLLIN, 0};
        const int ready = poll(&entry, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            timedOut = ready == 0;
            break;
        }
        const ssize_t got = read(fds[0], buffer, sizeof buffer);
        if (got <= 0) {
            break;  // end of output: the child is ending
        }
        if (output != nullptr) {
            output->append(buffer, static_cast<std::size_t>(got));
        }
    }
    close(fds[0]);
    if (timedOut) {
        kill(pid, SIGKILL);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (timedOut) {
        return kTimedOut;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// A failed systemctl run as a Windows code: 5 when it was refused for lack of rights.
ErrorCode SystemctlError(int rc, const std::string& output) noexcept {
    if (rc == -1) {
        return errno == ENOENT ? kErrorServiceManagerUnavailable : ErrorFromErrno(errno);
    }
    if (rc == kTimedOut) {
        return kErrorServiceRequestTimeout;
    }
    if (output.find("Access denied") != std::string::npos ||
        output.find("ermission denied") != std::string::npos ||
        output.find("authentication required") != std::string::npos) {
        return kErrorAccessDenied;
    }
    return kErrorServiceManagerUnavailable;
}

bool RunOrFail(const std::vector<std::string>& args, int boundMs) {
    std::string output;
    const int rc = Systemctl(args, boundMs, &output);
    if (rc == 0) {
        return true;
    }
    SetLastError(SystemctlError(rc, output));
    return false;
}

std::map<std::string, std::string> Show(const std::string& unit, bool* ok) {
    std::string output;
    const int rc = Systemctl({"show", unit, "-p", "ActiveState", "-p", "ExecMainStatus", "-p",
                              "ExecMainCode", "-p", "Result", "-p", "LoadState"},
                             kReloadBoundMs, &output);
    std::map<std::string, std::string> values;
    *ok = rc == 0;
    if (rc != 0) {
        SetLastError(SystemctlError(rc, output));
        return values;
    }
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        const std::size_t eq = line.find('=');
        if (eq != std::string::npos) {
            values[line.substr(0, eq)] = line.substr(eq + 1);
        }
    }
    return values;
}

// systemd treats % and $ in ExecStart= as specifiers and variables; the path means them as text.
std::string EscapeExec(const std::string& text) {
    std::string out;
    for (char c : text) {
        out += c;
        if (c == '%' || c == '$') {
            out += c;
        }
    }
    return out;
}

std::string UnitText(const ServiceConfig& config) {
    const std::string name = WideToUtf8(config.name);
    std::string text = "# Written by " + name + " /INSTALL; removed by /UNINSTALL.\n[Unit]\n";
    text += "Description=" +
            WideToUtf8(config.displayName != nullptr ? config.displayName : config.name) +
            "\n\n[Service]\nType=notify\nNotifyAccess=main\n";
    text += "ExecStart=" + EscapeExec(WideToUtf8(config.binaryPath)) + "\n";
    text += "ExecReload=/bin/kill -HUP $MAINPID\n";
    text += "RuntimeDirectory=" + name + "\nStateDirectory=" + name + "\n";
    text += "KillMode=mixed\nTimeoutStopSec=120\n\n[Install]\nWantedBy=multi-user.target\n";
    return text;
}

// Replaces (or adds, after the section's header) one "key=value" line of the unit file.
bool SetUnitLine(const std::string& path, const std::string& section, const std::string& key,
                 const std::string& value) {
    std::ifstream in(path);
    if (!in) {
        SetLastError(ErrorFromErrno(errno));
        return false;
    }
    std::string line, text, current;
    bool done = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line[0] == '[') {
            current = line;
        }
        if (current == section && line.rfind(key + "=", 0) == 0) {
            if (!done) {
                text += key + "=" + value + "\n";
                done = true;
            }
            continue;
        }
        text += line + "\n";
        if (line == section && !done) {
            text += key + "=" + value + "\n";
            done = true;
        }
    }
    in.close();
    std::ofstream out(path, std::ios::trunc);
    out << text;
    out.close();
    if (!out) {
        SetLastError(ErrorFromErrno(errno));
        return false;
    }
    return true;
}

}  // namespace

ServiceHandle OpenServiceManager(std::uint32_t /*access*/) noexcept {
    if (!SystemdRunning()) {
        SetLastError(kErrorServiceManagerUnavailable);
        return nullptr;
    }
    auto* object = new (std::nothrow) ServiceObject;
    if (object == nullptr) {
        SetLastError(kErrorNotEnoughMemory);
        return nullptr;
    }
    object->manager = true;
    return object;
}

ServiceHandle CreateService(ServiceHandle manager, const ServiceConfig& config,
                            std::uint32_t /*access*/) noexcept try {
    if (!Object(manager)->manager) {
        SetLastError(kErrorInvalidHandle);
        return nullptr;
    }
    auto object = std::make_unique<ServiceObject>();
    object->name = config.name;
    object->unit = WideToUtf8(config.name) + ".service";
    const std::string path = UnitPath(object->unit);
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        SetLastError(errno == EEXIST ? kErrorServiceExists : ErrorFromErrno(errno));
        return nullptr;
    }
    const std::string text = UnitText(config);
    const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    const int writeError = errno;
    close(fd);
    if (!written) {
        unlink(path.c_str());
        SetLastError(ErrorFromErrno(writeError));
        return nullptr;
    }
    if (!RunOrFail({"daemon-reload"}, kReloadBoundMs) ||
        (config.startType == kServiceAutoStart &&
         !RunOrFail({"enable", object->unit}, kReloadBoundMs))) {
        const ErrorCode error = GetLastError();
        unlink(path.c_str());
        (void)Systemctl({"daemon-reload"}, kReloadBoundMs, nullptr);
        SetLastError(error);
        return nullptr;
    }
    return object.release();
} catch (...) {
    SetLastError(kErrorNotEnoughMemory);
    return nullptr;
}

ServiceHandle OpenService(ServiceHandle manager, const wchar_t* name,
                          std::uint32_t /*access*/) noexcept try {
    if (!Object(manager)->manager) {
        SetLastError(kErrorInvalidHandle);
        return nullptr;
    }
    auto object = std::make_unique<ServiceObject>();
    object->name = name;
    object->unit = WideToUtf8(name) + ".service";
    if (access(UnitPath(object->unit).c_str(), F_OK) != 0) {
        SetLastError(errno == ENOENT ? kErrorServiceDoesNotExist : ErrorFromErrno(errno));
        return nullptr;
    }
    return object.release();
} catch (...) {
    SetLastError(kErrorNotEnoughMemory);
    return nullptr;
}

bool SetServiceDescription(ServiceHandle service, const wchar_t* description) noexcept try {
    // Description= holds the display name, the title systemctl shows; the longer text is kept
    // under a key systemd ignores (X- prefix).
    return SetUnitLine(UnitPath(Object(service)->unit), "[Unit]", "X-Description",
                       WideToUtf8(description));
} catch (...) {
    SetLastError(kErrorNotEnoughMemory);
    return false;
}

bool SetServiceDelayedAutoStart(ServiceHandle /*service*/, bool delayed) noexcept {
    if (!delayed) {
        return true;
    }
    // systemd orders units by dependencies, not by a delay after boot.
    SetLastError(kErrorNotSupported);
    return false;
}

bool QueryServiceStatus(ServiceHandle service, ServiceStatus* status) noexcept try {
    bool ok = false;
    auto values = Show(Object(service)->unit, &ok);
    if (!ok) {
        return false;
    }
    if (values["LoadState"] == "not-found") {
        SetLastError(kErrorServiceDoesNotExist);
        return false;
    }
    const std::string& state = values["ActiveState"];
    status->serviceType = kServiceWin32OwnProcess;
    if (state == "active" || state == "reloading") {
        status->currentState = kServiceRunning;
        status->controlsAccepted = kServiceAcceptStop | kServiceAcceptShutdown |
                                   kServiceAcceptHardwareProfileChange | kServiceAcceptPowerEvent |
                                   kServiceAcceptSessionChange;
    } else if (state == "activating") {
        status->currentState = kServiceStartPending;
    } else if (state == "deactivating") {
        status->currentState = kServiceStopPending;
    } else {
        status->currentState = kServiceStopped;
        const std::string& code = values["ExecMainCode"];  // 1 exited, 2 killed, 3 dumped
        const std::uint32_t exit =
            static_cast<std::uint32_t>(std::strtoul(values["ExecMainStatus"].c_str(), nullptr, 10));
        if (code == "2" || code == "3") {
            status->win32ExitCode = kErrorProcessAborted;
        } else if (exit != 0) {
            status->win32ExitCode = exit;
        } else if (values["Result"] == "timeout") {
            status->win32ExitCode = kErrorServiceRequestTimeout;
        }
    }
    return true;
} catch (...) {
    SetLastError(kErrorNotEnoughMemory);
    return false;
}

bool StartService(ServiceHandle service) noexcept try {
    ServiceStatus status{};
    if (!service_backend::QueryServiceStatus(service, &status)) {
        return false;
    }
    if (status.currentState != kServiceStopped) {
        SetLastError(kErrorServiceAlreadyRunning);
        return false;
    }
    // systemctl waits for READY=1 or the failure; a service that ended while starting has
    // been started all the same, and its status tells why it ended.
    std::string output;
    const int rc = Systemctl({"start", Object(service)->unit}, kStartStopBoundMs, &output);
    if (rc == 0 || (service_backend::QueryServiceStatus(service, &status) &&
                    status.currentState == kServiceStopped && status.win32ExitCode != 0)) {
        return true;
    }
    SetLastError(SystemctlError(rc, output));
    return false;
} catch (...) {
    SetLastError(kErrorNotEnoughMemory);
    return false;
}

bool ControlService(ServiceHandle service, std::uint32_t control, ServiceStatus* status) noexcept
    try {
    ServiceObject* object = Object(service);
    if (!service_backend::QueryServiceStatus(service, status)) {
        return false;
    }
    if (status->currentState != kServiceRunning) {
        SetLastError(status->currentState == kServiceStopped
                         ? ErrorCode{kErrorServiceNotActive}
                         : ErrorCode{kErrorServiceCannotAcceptControl});
        return false;
    }
    if (control == kServiceControlStop) {
        if (!RunOrFail({"stop", object->unit}, kStartStopBoundMs)) {
            return false;
        }
        return service_backend::QueryServiceStatus(service, status);
    }
    std::uint32_t result = 0;
    const ErrorCode rc =
        posix::SendControlRequest(object->name.c_str(), control, 0, &result, kControlBoundMs);
    if (rc != 0 || result != 0) {
        SetLastError(rc != 0 ? rc : result);
        return false;
    }
    return service_backend::QueryServiceStatus(service, status);
} catch (...) {
    SetLastError(kErrorNotEnoughMemory);
    return false;
}

bool DeleteService(ServiceHandle service) noexcept try {
    const std::string& unit = Object(service)->unit;
    (void)Systemctl({"disable", unit}, kReloadBoundMs, nullptr);
    if (unlink(UnitPath(unit).c_str()) != 0) {
        SetLastError(errno == ENOENT ? kErrorServiceDoesNotExist : ErrorFromErrno(errno));
        return false;
    }
    return RunOrFail({"daemon-reload"}, kReloadBoundMs);
} catch (...) {
    SetLastError(kErrorNotEnoughMemory);
    return false;
}

bool CloseServiceHandle(ServiceHandle handle) noexcept {
    delete Object(handle);
    return true;
}

}  // namespace platform::service_backend

namespace platform {

std::wstring ServiceDataDirectory(const wchar_t* serviceName) {
    const char* state = std::getenv("STATE_DIRECTORY");  // may list several, ':'-separated
    if (state != nullptr && state[0] != '\0') {
        const std::string first(state, std::strcspn(state, ":"));
        return Utf8ToWide(first);
    }
    return L"/var/lib/" + std::wstring(serviceName != nullptr ? serviceName : L"");
}

}  // namespace platform
