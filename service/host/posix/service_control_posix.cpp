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
#include <cstdio>
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
#include "service/host/posix/control_channel_posix.h"
#include "service/host/posix/systemd_unit.h"
#include "service/host/service_control.h"
#include "text/text.h"

extern char** environ;

namespace platform::service_backend {
namespace {

constexpr int kReloadBoundMs = 30000;
// A start or stop lasts as long as systemd waits: the host extends systemd's timeout before
// each of its own bounded waits, and systemd fails the job when one passes without word.
constexpr int kAsLongAsSystemdWaits = -1;
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

// Where the distribution's packages put units (the Debian package of this service too).
std::string PackagedUnitPath(const std::string& unit) {
    return "/lib/systemd/system/" + unit;
}

// What sd_booted() tests: systemd runs as the system manager.
bool SystemdRunning() noexcept {
    struct stat info {};
    return lstat("/run/systemd/system", &info) == 0 && S_ISDIR(info.st_mode);
}

// Runs systemctl with args, collecting its output; its exit code, -1 when it could not be
// started (errno set), kTimedOut when it did not end within boundMs (it is killed; a negative
// boundMs: no bound of its own).
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
        const auto left = boundMs < 0 ? -1
                                      : std::chrono::duration_cast<std::chrono::milliseconds>(
                                            deadline - std::chrono::steady_clock::now())
                                            .count();
        if (boundMs >= 0 && left <= 0) {
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

// A failed systemctl run as a Windows code: 1722 only when systemd is not running; 1053 when
// it did not end in time; 5 when refused for lack of rights; 1060 for a unit systemd does not
// know; anything else 1627, with systemctl's own message on standard error.
ErrorCode SystemctlError(int rc, const std::string& output) {
    const int spawnError = errno;
    if (!SystemdRunning()) {
        return kErrorServiceManagerUnavailable;
    }
    if (rc == -1) {
        return ErrorFromErrno(spawnError);
    }
    if (rc == kTimedOut) {
        return kErrorServiceRequestTimeout;
    }
    for (const char* denied : {"Access denied", "ermission denied", "authentication required"}) {
        if (output.find(denied) != std::string::npos) {
            return kErrorAccessDenied;
        }
    }
    for (const char* missing : {" not found", " not loaded", " does not exist"}) {
        if (output.find(missing) != std::string::npos) {
            return kErrorServiceDoesNotExist;
        }
    }
    std::fprintf(stderr, "systemctl: %s", output.c_str());
    return kErrorFunctionFailed;
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

// The named properties of the unit as systemctl show gives them.
std::map<std::string, std::string> Show(const std::string& unit,
                                        const std::vector<std::string>& properties, bool* ok) {
    std::vector<std::string> args{"show", unit};
    for (const std::string& property : properties) {
        args.insert(args.end(), {"-p", property});
    }
    std::string output;
    const int rc = Systemctl(args, kReloadBoundMs, &output);
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

// Replaces the value of one "key=" line of the unit (it must be there); reloads systemd only
// when the unit changed.
bool SetUnitValue(const std::string& path, const std::string& key, const std::string& value) {
    std::ifstream in(path);
    if (!in) {
        SetLastError(ErrorFromErrno(errno));
        return false;
    }
    std::ostringstream before;
    before << in.rdbuf();
    std::istringstream lines(before.str());
    std::string line, text;
    while (std::getline(lines, line)) {
        text += (line.rfind(key + "=", 0) == 0 ? key + "=" + value : line) + "\n";
    }
    if (text == before.str()) {
        return true;
    }
    if (const ErrorCode error = posix::WriteUnitFile(path, text, true); error != 0) {
        SetLastError(error);
        return false;
    }
    return RunOrFail({"daemon-reload"}, kReloadBoundMs);
}

// After the reload: does systemd run exactly program? The reason on standard error when not.
bool RunsExactly(const std::string& unit, const std::string& program) {
    bool ok = false;
    auto values = Show(unit, {"LoadState", "ExecStart"}, &ok);
    if (!ok) {
        return false;
    }
    if (values["LoadState"] == "loaded" &&
        values["ExecStart"].rfind(posix::ExecStartShownFor(program), 0) == 0) {
        return true;
    }
    std::fprintf(stderr,
                 "/INSTALL: systemd would not run %s as given (LoadState=%s, ExecStart=%s); "
                 "nothing is installed\n",
                 program.c_str(), values["LoadState"].c_str(), values["ExecStart"].c_str());
    SetLastError(kErrorInvalidParameter);
    return false;
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
    if (access(PackagedUnitPath(object->unit).c_str(), F_OK) == 0) {
        SetLastError(kErrorServiceExists);  // installed by the package
        return nullptr;
    }
    if (const ErrorCode error = posix::WriteUnitFile(path, posix::UnitText(config), false);
        error != 0) {
        SetLastError(error);
        return nullptr;
    }
    // Enabling only links the unit into its target; the one reload then reads it whole.
    const bool autoStart = config.startType == kServiceAutoStart;
    if ((autoStart && !RunOrFail({"enable", "--no-reload", object->unit}, kReloadBoundMs)) ||
        !RunOrFail({"daemon-reload"}, kReloadBoundMs) ||
        !RunsExactly(object->unit, posix::ProgramOf(config.binaryPath))) {
        const ErrorCode error = GetLastError();
        if (autoStart) {
            (void)Systemctl({"disable", "--no-reload", object->unit}, kReloadBoundMs, nullptr);
        }
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
    // Installed by /INSTALL, or by the package.
    if (access(UnitPath(object->unit).c_str(), F_OK) != 0 &&
        (errno != ENOENT || access(PackagedUnitPath(object->unit).c_str(), F_OK) != 0)) {
        SetLastError(errno == ENOENT ? kErrorServiceDoesNotExist : ErrorFromErrno(errno));
        return nullptr;
    }
    return object.release();
} catch (...) {
    SetLastError(kErrorNotEnoughMemory);
    return nullptr;
}

bool SetServiceDescription(ServiceHandle service, const wchar_t* description) noexcept try {
    return SetUnitValue(UnitPath(Object(service)->unit), "X-Description",
                        posix::UnitValue(description));
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

bool SetServiceRecovery(ServiceHandle /*service*/, const ServiceRecovery& /*recovery*/) noexcept {
    return true;  // written into the unit with everything else by CreateService
}

bool QueryServiceStatus(ServiceHandle service, ServiceStatus* status) noexcept try {
    bool ok = false;
    auto values = Show(
        Object(service)->unit,
        {"ActiveState", "SubState", "ExecMainStatus", "ExecMainCode", "Result", "LoadState"}, &ok);
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
        status->controlsAccepted = kHostAcceptedControls;
    } else if (state == "activating" && values["SubState"] != "auto-restart") {
        // (auto-restart: the process has gone and waits for its restart, stopped as on Windows)
        status->currentState = kServiceStartPending;
    } else if (state == "deactivating") {
        status->currentState = kServiceStopPending;
    } else {
        status->currentState = kServiceStopped;
        const std::string& code = values["ExecMainCode"];  // 1 exited, 2 killed, 3 dumped
        const std::uint32_t exit =
            static_cast<std::uint32_t>(std::strtoul(values["ExecMainStatus"].c_str(), nullptr, 10));
        if (values["Result"] == "timeout") {
            // systemd ended it: a wait passed without the host extending it.
            status->win32ExitCode = kErrorTimeout;
        } else if (code == "2" || code == "3") {
            status->win32ExitCode = kErrorProcessAborted;
        } else if (exit != 0) {
            status->win32ExitCode = exit;
        }
    }
    return true;
} catch (...) {
    SetLastError(kErrorNotEnoughMemory);
    return false;
}

bool QueryServiceProcess(ServiceHandle service, ServiceProcessInfo* info) noexcept try {
    if (!service_backend::QueryServiceStatus(service, &info->status)) {
        return false;
    }
    bool ok = false;
    auto values = Show(Object(service)->unit, {"MainPID", "ExecStart", "Restart"}, &ok);
    if (!ok) {
        return false;
    }
    info->processId =
        static_cast<std::uint32_t>(std::strtoul(values["MainPID"].c_str(), nullptr, 10));
    // "{ path=PROGRAM ; argv[]=... }": the program systemd runs.
    const std::string& exec = values["ExecStart"];
    const std::size_t from = exec.find("path=");
    if (from != std::string::npos) {
        info->binaryPath = Utf8ToWide(exec.substr(from + 5, exec.find(" ; ", from) - from - 5));
    }
    const std::string& restart = values["Restart"];
    info->recovery = restart.empty() ? -1 : restart == "no" ? 0 : 1;
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
    const int rc = Systemctl({"start", Object(service)->unit}, kAsLongAsSystemdWaits, &output);
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
    ErrorCode channel = 0;
    if (control != kServiceControlStop) {
        // The running service applies the manager's rule itself and answers with its status:
        // systemd is asked only when nobody answers.
        posix::ControlAnswer answer;
        channel =
            posix::SendControlRequest(object->name.c_str(), control, 0, &answer, kControlBoundMs);
        if (channel == 0) {
            *status = answer.status;
            if (answer.status.currentState == 0 &&  // a first-version service: no status
                !service_backend::QueryServiceStatus(service, status)) {
                return false;
            }
            if (answer.result != 0) {
                SetLastError(answer.result);
            }
            return answer.result == 0;
        }
        if (channel != kErrorFileNotFound && channel != kErrorServiceNotActive) {
            SetLastError(channel);
            return false;
        }
    }
    if (!service_backend::QueryServiceStatus(service, status)) {
        return false;
    }
    // This answers for a service that is not there to ask.
    if (const ErrorCode refused = AdmitControl(control, ControlOrigin::kControlService,
                                               status->currentState, status->controlsAccepted);
        refused != 0) {
        SetLastError(refused);
        return false;
    }
    if (control != kServiceControlStop) {
        SetLastError(channel);  // it runs, but its channel is not there
        return false;
    }
    if (!RunOrFail({"stop", object->unit}, kAsLongAsSystemdWaits)) {
        return false;
    }
    return service_backend::QueryServiceStatus(service, status);
} catch (...) {
    SetLastError(kErrorNotEnoughMemory);
    return false;
}

bool DeleteService(ServiceHandle service) noexcept try {
    const std::string& unit = Object(service)->unit;
    if (access(UnitPath(unit).c_str(), F_OK) != 0 &&
        access(PackagedUnitPath(unit).c_str(), F_OK) == 0) {
        std::fprintf(stderr, "%s was installed by a package: remove the package instead\n",
                     unit.c_str());
        SetLastError(kErrorAccessDenied);
        return false;
    }
    (void)Systemctl({"disable", "--no-reload", unit}, kReloadBoundMs, nullptr);
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
