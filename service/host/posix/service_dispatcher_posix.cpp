// The POSIX service dispatcher under systemd: the service main routine on a thread of its own,
// controls (signals and the control channel) on the dispatcher's thread, status reports as
// notify messages (sd_notify).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/error.h"
#include "platform/stop_signals.h"
#include "service/host/control_sink.h"
#include "service/host/posix/control_channel_posix.h"
#include "service/host/service_control.h"
#include "service/host/service_dispatcher_backend.h"
#include "text/text.h"

namespace platform::backend {
namespace {

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};

// The signal handler's only work: pass the number to the dispatcher through a pipe.
int g_signalPipe[2] = {-1, -1};

void ForwardSignal(int signalNumber) {
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    (void)!write(g_signalPipe[1], &byte, 1);
    errno = saved;
}

const char* StateName(std::uint32_t state) {
    switch (state) {
        case kServiceStopped:
            return "Stopped";
        case kServiceStartPending:
            return "Starting";
        case kServiceStopPending:
            return "Stopping";
        case kServiceRunning:
            return "Running";
        case kServiceContinuePending:
            return "Continuing";
        case kServicePausePending:
            return "Pausing";
        case kServicePaused:
            return "Paused";
        default:
            return "Unknown";
    }
}

// Tells systemd to wait ms more for the state at hand (start or stop), past its timeout.
std::string ExtendTimeout(std::uint32_t ms) {
    return "EXTEND_TIMEOUT_USEC=" + std::to_string(ms * 1000ull) + "\n";
}

class Dispatcher {
  public:
    explicit Dispatcher(const wchar_t* name) : m_name(name) {}

    ErrorCode Run(ServiceMainRoutine main);
    ServiceStatusHandle Register(const wchar_t* name, ServiceControlHandler handler, void* context);
    ErrorCode Report(const ServiceStatus& status);
    void SetText(const wchar_t* text) {
        std::lock_guard<std::mutex> hold(m_lock);
        m_text = text == nullptr ? std::string() : WideToUtf8(text);
    }
    std::string ChannelProblem() {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_channelProblem;
    }

  private:
    std::uint32_t Check(std::uint32_t control, ControlOrigin origin);
    std::uint32_t Deliver(std::uint32_t control, std::uint32_t eventType);
    void OnSignal(int signalNumber);
    void Wake(char why) { (void)!write(m_wake[1], &why, 1); }

    std::wstring m_name;
    std::mutex m_lock;              // the fields below; never held while the handler runs
    Stoneleaf::ControlSink m_sink;  // none until the service main routine registers it
    ServiceStatus m_last = {};
    std::string m_text;
    std::string m_channelProblem;  // set before the service main routine starts
    std::string m_lastStatusLine;
    bool m_stopRequested = false;  // a stop signal that came while start was pending
    bool m_stopDelivered = false;  // a stop reached the handler; a second one is refused
    int m_wake[2] = {-1, -1};      // 'd': main routine returned; 'r': running reported
};

std::mutex g_startLock;
Dispatcher* g_dispatcher = nullptr;

ErrorCode Dispatcher::Run(ServiceMainRoutine main) {
    if (pipe2(m_wake, O_CLOEXEC) != 0 || pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        return ErrorFromErrno(errno);
    }
    struct sigaction previous[3];
    struct sigaction forward = {};
    forward.sa_handler = &ForwardSignal;
    forward.sa_flags = SA_RESTART;
    sigemptyset(&forward.sa_mask);
    for (int i = 0; i < 3; ++i) {
        sigaction(kSignals[i], &forward, &previous[i]);
    }
    // The process entry holds them until now; held again before their old owners return.
    const bool wereHeld = ReleaseStopSignals();
    posix::ControlChannelServer channel;
    if (channel.Open(posix::ControlChannelPath(m_name.c_str())) != 0) {
        // Signals work without it, but /CONTROL will not: every status text says why.
        std::lock_guard<std::mutex> hold(m_lock);
        m_channelProblem = "no control channel, " + channel.Problem();
    }

    std::thread serviceMain([this, main] {
        wchar_t* argv[] = {m_name.data(), nullptr};
        main(1, argv);
        Wake('d');
    });
    const posix::ControlChannelServer::Serve serve = [this](std::uint32_t c, std::uint32_t t,
                                                            ControlOrigin origin) {
        posix::ControlAnswer answer;
        answer.result = Check(c, origin);
        if (answer.result == 0) {
            answer.result = Deliver(c, t);
        }
        std::lock_guard<std::mutex> hold(m_lock);
        answer.status = m_last;  // the handler has reported again by now
        return answer;
    };
    for (bool done = false; !done;) {
        std::vector<pollfd> set = {{m_wake[0], POLLIN, 0}, {g_signalPipe[0], POLLIN, 0}};
        channel.AppendPollSet(&set);
        if (poll(set.data(), set.size(), channel.TimeoutMs()) < 0) {
            continue;  // EINTR
        }
        char why;
        if (set[0].revents != 0 && read(m_wake[0], &why, 1) == 1) {
            done = why == 'd';
            std::unique_lock<std::mutex> hold(m_lock);
            if (why == 'r' && m_stopRequested && m_last.currentState == kServiceRunning) {
                m_stopRequested = false;
                hold.unlock();
                OnSignal(SIGTERM);
            }
        }
        unsigned char signalNumber;
        while (!done && set[1].revents != 0 && read(g_signalPipe[0], &signalNumber, 1) == 1) {
            OnSignal(signalNumber);
        }
        if (!done) {
            channel.Handle(set.data() + 2, set.size() - 2, serve);
        }
    }
    channel.Close();
    serviceMain.join();
    if (wereHeld) {
        HoldStopSignals();
    }
    for (int i = 0; i < 3; ++i) {
        sigaction(kSignals[i], &previous[i], nullptr);
    }
    for (int* fd : {&m_wake[0], &m_wake[1], &g_signalPipe[0], &g_signalPipe[1]}) {
        close(*fd);
        *fd = -1;
    }
    return 0;
}

ServiceStatusHandle Dispatcher::Register(const wchar_t* name, ServiceControlHandler handler,
                                         void* context) {
    if (m_name != name) {
        SetLastError(kErrorServiceNotInExe);
        return nullptr;
    }
    std::lock_guard<std::mutex> hold(m_lock);
    m_sink = Stoneleaf::ControlSink(handler, context);
    return this;
}

ErrorCode Dispatcher::Report(const ServiceStatus& status) {
    std::lock_guard<std::mutex> hold(m_lock);
    const bool changed = status.currentState != m_last.currentState;
    std::string message;
    if (changed && status.currentState == kServiceRunning) {
        message += "READY=1\n";
        m_stopDelivered = false;
    }
    if (changed && status.currentState == kServiceStopPending) {
        message += "STOPPING=1\n";
    }
    if (IsPendingState(status.currentState) && status.waitHint != 0) {
        message += ExtendTimeout(status.waitHint);
    }
    std::string line = StateName(status.currentState);
    if (!m_text.empty() && status.currentState != kServiceStopped) {
        line += ": " + m_text;
    }
    if (!m_channelProblem.empty() && status.currentState != kServiceStopped) {
        line += (m_text.empty() ? ": " : "; ") + m_channelProblem;
    }
    if (line != m_lastStatusLine) {
        message += "STATUS=" + line + "\n";
        m_lastStatusLine = line;
    }
    m_last = status;
    if (changed && status.currentState == kServiceRunning && m_stopRequested) {
        Wake('r');
    }
    if (message.empty()) {
        return 0;
    }
    const int sent = sd_notify(0, message.c_str());
    return sent < 0 ? ErrorFromErrno(-sent) : 0;
}

// The manager's answer before the handler: the state as the manager sees it (start-pending
// until the first report; stop-pending once a stop reached the handler, as the handler's own
// re-report will say).
std::uint32_t Dispatcher::Check(std::uint32_t control, ControlOrigin origin) {
    std::lock_guard<std::mutex> hold(m_lock);
    std::uint32_t state = m_last.currentState;
    if (!m_sink || state == 0) {
        state = kServiceStartPending;
    } else if (m_stopDelivered && state != kServiceStopped) {
        state = kServiceStopPending;
    }
    return AdmitControl(control, origin, state, m_last.controlsAccepted);
}

std::uint32_t Dispatcher::Deliver(std::uint32_t control, std::uint32_t eventType) {
    Stoneleaf::ControlSink sink;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        sink = m_sink;
    }
    const std::uint32_t result = sink.Deliver(control, eventType, nullptr);
    if (sink && control == kServiceControlStop) {
        std::lock_guard<std::mutex> hold(m_lock);
        m_stopDelivered = true;
    }
    return result;
}

void Dispatcher::OnSignal(int signalNumber) {
    std::unique_lock<std::mutex> hold(m_lock);
    const std::uint32_t state = m_last.currentState;
    if (signalNumber == SIGHUP) {
        if (state == kServiceRunning && !m_stopDelivered) {
            hold.unlock();
            Deliver(kServiceControlParamChange, 0);
        }
        return;
    }
    if (state == 0 || state == kServiceStartPending) {
        m_stopRequested = true;  // delivered once running is reported
        return;
    }
    hold.unlock();
    if (Check(kServiceControlStop, ControlOrigin::kControlService) == 0) {
        Deliver(kServiceControlStop, 0);
    }
}

}  // namespace

ErrorCode StartServiceDispatcher(const wchar_t* serviceName, ServiceMainRoutine main) noexcept {
    const char* notify = std::getenv("NOTIFY_SOCKET");
    if (notify == nullptr || notify[0] == '\0') {
        return kErrorFailedServiceControllerConnect;
    }
    try {
        Dispatcher dispatcher(serviceName);
        {
            std::lock_guard<std::mutex> hold(g_startLock);
            if (g_dispatcher != nullptr) {
                return kErrorServiceAlreadyRunning;
            }
            g_dispatcher = &dispatcher;
        }
        const ErrorCode result = dispatcher.Run(main);
        std::lock_guard<std::mutex> hold(g_startLock);
        g_dispatcher = nullptr;
        return result;
    } catch (...) {
        std::lock_guard<std::mutex> hold(g_startLock);
        g_dispatcher = nullptr;
        return kErrorNotEnoughMemory;
    }
}

ServiceStatusHandle RegisterServiceControlHandler(const wchar_t* serviceName,
                                                  ServiceControlHandler handler,
                                                  void* context) noexcept {
    std::lock_guard<std::mutex> hold(g_startLock);
    if (g_dispatcher == nullptr) {
        SetLastError(kErrorFailedServiceControllerConnect);
        return nullptr;
    }
    try {
        return g_dispatcher->Register(serviceName, handler, context);
    } catch (...) {
        SetLastError(kErrorNotEnoughMemory);
        return nullptr;
    }
}

ErrorCode ReportServiceStatus(ServiceStatusHandle handle, const ServiceStatus* status) noexcept {
    try {
        return static_cast<Dispatcher*>(handle)->Report(*status);
    } catch (...) {
        return kErrorNotEnoughMemory;
    }
}

void ExtendServiceStartTimeout(std::uint32_t waitHintMs) noexcept {
    std::lock_guard<std::mutex> hold(g_startLock);
    if (g_dispatcher != nullptr && waitHintMs != 0) {
        try {
            (void)sd_notify(0, ExtendTimeout(waitHintMs).c_str());
        } catch (...) {
        }
    }
}

void SetServiceStatusText(const wchar_t* text) noexcept {
    std::lock_guard<std::mutex> hold(g_startLock);
    if (g_dispatcher != nullptr) {
        try {
            g_dispatcher->SetText(text);
        } catch (...) {
        }
    }
}

void SendServiceHeartbeat() noexcept {
    std::lock_guard<std::mutex> hold(g_startLock);
    if (g_dispatcher != nullptr) {
        (void)sd_notify(0, "WATCHDOG=1");
    }
}

std::wstring ServiceControlChannelProblem() {
    std::lock_guard<std::mutex> hold(g_startLock);
    return g_dispatcher != nullptr ? Utf8ToWide(g_dispatcher->ChannelProblem()) : std::wstring();
}

NotificationHandle RegisterDeviceNotifications(ServiceStatusHandle) noexcept {
    return nullptr;
}
NotificationHandle RegisterPowerNotification(ServiceStatusHandle, PowerSetting) noexcept {
    return nullptr;
}
void UnregisterDeviceNotifications(NotificationHandle) noexcept {}
void UnregisterPowerNotification(NotificationHandle) noexcept {}

}  // namespace platform::backend
