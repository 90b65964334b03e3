// The service under the POSIX dispatcher in this process, with the test as systemd: a notify
// socket of its own (NOTIFY_SOCKET) receives the status messages, controls come through the
// control channel and as signals, and the plug-ins record what reached them.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "platform/posix/control_channel_posix.h"
#include "tests/service/service_test_fixture.h"

namespace keltra::test {
namespace {

using Sent = std::pair<std::uint32_t, std::uint32_t>;  // channel error, handler result

// The service's reports as the base class made them: (state, checkpoint, accepted, wait hint).
std::mutex g_reportsLock;
std::vector<platform::ServiceStatus> g_reports;
void RecordReport(const platform::ServiceStatus& s) {
    std::lock_guard<std::mutex> hold(g_reportsLock);
    g_reports.push_back(s);
}

class ServiceRun {
  public:
    explicit ServiceRun(PluginSet& plugins) : m_service(plugins.Params(), L"Global\\" + Name()) {
        char dir[] = "/tmp/ksvcXXXXXX";
        m_dir = mkdtemp(dir);
        chmod(m_dir.c_str(), 0755);
        sockaddr_un address = {AF_UNIX, {}};
        const std::string notify = m_dir + "/notify";
        notify.copy(address.sun_path, notify.size());
        m_notify = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        bind(m_notify, reinterpret_cast<sockaddr*>(&address), sizeof address);
        setenv("NOTIFY_SOCKET", notify.c_str(), 1);
        setenv("KELTRA_RUNTIME_DIR", m_dir.c_str(), 1);
        for (auto* hold : {&m_startHold, &m_stopHold}) {
            const wchar_t* which = hold == &m_startHold ? L"_start" : L"_stop";
            hold->Reset(platform::CreateMutex(false, true, (L"Global\\" + Name() + which).c_str()));
        }
        g_reports.clear();
        Stoneleaf::CService::SetReportHookForTesting(&RecordReport);
        EXPECT_EQ(m_service.InitService(Name().c_str(), L"Test", L"Test"), 0u);
        m_dispatcher = std::thread([this] {
            m_result = m_service.EntryService();
            m_done.Set();
        });
    }
    ~ServiceRun() {
        ReleaseStart();
        ReleaseStop();
        // A test that failed half-way: stop the service whatever state it is stuck in.
        while (m_dispatcher.joinable() && !m_done.Wait(100)) {
            m_service.OnStop();
        }
        if (m_dispatcher.joinable()) {
            m_dispatcher.join();
        }
        m_service.ClearInitialised();
        Stoneleaf::CService::SetReportHookForTesting(nullptr);
        unsetenv("NOTIFY_SOCKET");
        close(m_notify);
        std::system(("rm -rf " + m_dir).c_str());
    }
    static std::wstring Name() { return L"keltra-svc-" + std::to_wstring(getpid()); }
    void ReleaseStart() { ReleaseHold(m_startHold); }
    void ReleaseStop() { ReleaseHold(m_stopHold); }
    std::uint32_t Join() {
        if (!m_done.Wait()) {
            return 0xFFFFFFFF;
        }
        m_dispatcher.join();
        return m_result;
    }
    Sent Send(std::uint32_t control) {
        std::uint32_t result = 0xDEAD;
        const std::uint32_t error =
            platform::posix::SendControlRequest(Name().c_str(), control, 0, &result, kPromptMs);
        return {error, error == 0 ? result : 0};
    }
    /// Reads notify messages until one holds the text.
    bool WaitFor(const std::string& text) {
        const timeval limit = {kPromptMs / 1000, 0};
        setsockopt(m_notify, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        for (std::size_t seen = 0;; ++seen) {
            while (seen >= m_messages.size()) {
                char buffer[4096];
                const ssize_t n = recv(m_notify, buffer, sizeof buffer, 0);
                if (n <= 0) {
                    return false;
                }
                m_messages.emplace_back(buffer, static_cast<std::size_t>(n));
            }
            if (m_messages[seen].find(text) != std::string::npos) {
                return true;
            }
        }
    }
    /// The states the messages announced, repeats folded: what systemd saw.
    std::vector<std::string> States() {
        WaitFor("STATUS=Stopped");
        std::vector<std::string> states;
        for (const std::string& message : m_messages) {
            for (std::size_t at = 0; at < message.size(); at = message.find('\n', at) + 1) {
                std::string line = message.substr(at, message.find('\n', at) - at);
                line = line == "READY=1" ? "Running" : line == "STOPPING=1" ? "Stopping" : line;
                if (line.rfind("STATUS=", 0) == 0) {
                    line = line.substr(7, line.find(':') - 7);
                }
                if (line.find('=') == std::string::npos &&
                    (states.empty() || states.back() != line)) {
                    states.push_back(line);
                }
            }
        }
        return states;
    }
    int Count(const std::string& text) const {
        return static_cast<int>(std::count_if(m_messages.begin(), m_messages.end(), [&](auto& m) {
            return m.find(text) != std::string::npos;
        }));
    }
    HeldService& Service() { return m_service; }
    const std::string& Dir() const { return m_dir; }

  private:
    static void ReleaseHold(platform::UniqueHandle& hold) {
        if (hold) {
            platform::ReleaseMutex(hold.Get());
            hold.Reset();
        }
    }
    HeldService m_service;
    std::string m_dir;
    int m_notify = -1;
    platform::UniqueHandle m_startHold, m_stopHold;
    std::thread m_dispatcher;
    std::uint32_t m_result = 0xFFFFFFFF;
    Flag m_done;
    std::vector<std::string> m_messages;
};

const std::vector<std::string> kLifecycle = {"Starting", "Running", "Stopping", "Stopped"};

TEST(ServiceNotifyTest, ControlsSignalsAndBadInputUnderTheDispatcher) {
    BoundsScope bounds(1000, 500);
    LogCapture log;
    PluginSet plugins{L"tp_good", L"tp_good", L"tp_hang_handler"};
    ServiceRun run(plugins);
    ASSERT_TRUE(run.WaitFor("EXTEND_TIMEOUT_USEC=5000000\nSTATUS=Starting: 3 plug-ins loaded"));
    EXPECT_EQ(run.Send(1), Sent(0, 1061)) << "stop while start is pending";
    EXPECT_EQ(run.Send(4), Sent(0, 0)) << "interrogate while start is pending";
    run.ReleaseStart();
    ASSERT_TRUE(run.WaitFor("READY=1\nSTATUS=Running: 3 plug-ins loaded"));
    const Sent table[][2] = {{{200, 0}, {0, 0}},  {{255, 0}, {0, 0}},     {{13, 0}, {0, 0}},
                             {{0, 0}, {0, 87}},   {{256, 0}, {0, 87}},    {{2, 0}, {0, 1052}},
                             {{6, 0}, {0, 1052}}, {{0x10001, 0}, {0, 87}}};
    for (const auto& row : table) {
        EXPECT_EQ(run.Send(row[0].first), row[1]) << "control " << row[0].first;
    }
    kill(getpid(), SIGHUP);
    ASSERT_TRUE(plugins[0].WaitFor(TestEvent::HandlerLeft, 5)) << "param-change from SIGHUP";
    // Peers that misbehave are dropped without an answer; one that never writes does not
    // hold up anyone else, and is dropped after the request limit.
    auto connectRaw = [&] {
        const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address = {AF_UNIX, {}};
        const std::string path = platform::posix::ControlChannelPath(ServiceRun::Name().c_str());
        path.copy(address.sun_path, path.size());
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        const timeval limit = {kPromptMs / 1000, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        return fd;
    };
    const int silent = connectRaw();
    for (std::size_t size : {8, 16, 12}) {
        const int fd = connectRaw();
        unsigned char bytes[16] = {0x43, 0x43, 0x53,
                                   static_cast<unsigned char>(size == 12 ? 0x4C : 0x4B), 200};
        EXPECT_EQ(send(fd, bytes, size, MSG_NOSIGNAL), static_cast<ssize_t>(size));
        shutdown(fd, SHUT_WR);
        EXPECT_LE(recv(fd, bytes, sizeof bytes, 0), 0) << "answered a bad request of " << size;
        close(fd);
    }
    std::vector<std::thread> many;
    for (std::uint32_t c = 128; c < 168; ++c) {
        many.emplace_back([&run, c] { EXPECT_EQ(run.Send(c), Sent(0, 0)); });
    }
    for (auto& t : many) {
        t.join();
    }
    unsigned char answer[8];
    EXPECT_EQ(recv(silent, answer, sizeof answer, 0), 0) << "a silent peer is dropped";
    close(silent);
    if (geteuid() == 0) {  // another user: refused by the socket's mode, then by credentials
        for (const char* mode : {"0600", "0666"}) {
            if (mode[2] == '6') {
                chmod((run.Dir() + "/control.sock").c_str(), 0666);
            }
            platform::UniqueHandle child(platform::StartProcess(
                L"/usr/bin/setpriv", {L"--reuid=65534", L"--regid=65534", L"--clear-groups",
                                      platform::GetExecutableDirectory() + L"/test_control_client",
                                      ServiceRun::Name(), L"201"}));
            std::uint32_t code = 0;
            ASSERT_EQ(platform::WaitForSingleObject(child.Get(), kPromptMs), 0u);
            platform::GetExitCodeProcess(child.Get(), &code);
            EXPECT_EQ(code, 5u) << "socket mode " << mode;
        }
    }
    kill(getpid(), SIGTERM);
    ASSERT_TRUE(run.WaitFor("STOPPING=1"));
    EXPECT_EQ(run.Send(1), Sent(0, 1061)) << "second stop";
    run.ReleaseStop();
    EXPECT_EQ(run.Join(), 0u);
    EXPECT_EQ(run.States(), kLifecycle);
    EXPECT_EQ(run.Count("EXTEND_TIMEOUT_USEC=5000000"), 2) << "start-pending and its re-report";
    EXPECT_EQ(run.Count("STATUS=Stopped"), 1);
    // (state, checkpoint) at each change, and the interrogate's re-report of start-pending.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> changes;
    for (const auto& s : g_reports) {
        if (changes.empty() || changes.back().first != s.currentState ||
            (s.currentState == 2 && s.checkPoint == 2)) {
            changes.emplace_back(s.currentState, s.checkPoint);
            EXPECT_EQ(s.controlsAccepted, s.checkPoint == 0 ? 0xE5u : 0u);
        }
    }
    EXPECT_EQ(changes, (decltype(changes){{2, 1}, {2, 2}, {4, 0}, {3, 1}, {1, 0}}));
    std::vector<std::uint32_t> expected = {4, 200, 255, 13, 6, 1};
    for (std::uint32_t c = 128; c < 168; ++c) {
        expected.push_back(c);
    }
    std::sort(expected.begin(), expected.end());
    for (std::size_t p = 0; p < 2; ++p) {
        auto calls = Calls(plugins[p].Record());
        auto controls = Controls(calls);
        EXPECT_EQ(controls.front(), 4u);
        EXPECT_EQ(controls.back(), 1u);
        std::sort(controls.begin(), controls.end());
        EXPECT_EQ(controls, expected);
        for (const HandlerCall& call : calls) {
            EXPECT_TRUE(call.eventType == 0 && call.eventData == nullptr &&
                        call.context == &run.Service());
        }
        EXPECT_EQ(plugins[p].Record().unloadCalls.load(), 1u);
    }
    EXPECT_EQ(Controls(Calls(plugins[2].Record())), std::vector<std::uint32_t>{4});
    EXPECT_EQ(
        log.Count(L'E', L"CServiceImpl::DispatchServiceHandler", L"Send message [4] timeout."), 1);
}

TEST(ServiceNotifyTest, StopDuringStartWithNoPluginLoaded) {
    LogCapture log;
    PluginSet plugins{L"tp_no_main"};  // lacks an export: the set fails to load
    {
        HeldService outside(plugins.Params(), L"");
        ASSERT_EQ(outside.InitService(L"keltra-svc-outside", L"", L""), 0u);
        EXPECT_EQ(outside.EntryService(), 1063u) << "not started by systemd";
        outside.ClearInitialised();
    }
    ServiceRun run(plugins);
    ASSERT_TRUE(run.WaitFor("STATUS=Starting: no plug-in loaded"));
    kill(getpid(), SIGTERM);  // kept until running is reported
    kill(getpid(), SIGINT);
    run.ReleaseStop();
    run.ReleaseStart();
    EXPECT_EQ(run.Join(), 0u);
    EXPECT_EQ(run.States(), kLifecycle);
    EXPECT_EQ(run.Count("STATUS=Running: no plug-in loaded"), 1);
    EXPECT_EQ(log.Count(L'W', L"CServiceImpl::EnterMainLoop",
                        L"No plugin is loaded; the service runs without plugins."),
              1);
}

TEST(ServiceNotifyTest, ShutdownStopsWithoutUnloading) {
    PluginSet plugins{L"tp_good", L"tp_good"};
    ServiceRun run(plugins);
    run.ReleaseStart();
    run.ReleaseStop();
    ASSERT_TRUE(run.WaitFor("READY=1"));
    EXPECT_EQ(run.Send(5), Sent(0, 0));
    EXPECT_EQ(run.Join(), 0u);
    EXPECT_EQ(run.States(), kLifecycle);
    EXPECT_EQ(run.Service().PluginCount(), 2u);
    for (std::size_t p = 0; p < 2; ++p) {
        EXPECT_EQ(Controls(Calls(plugins[p].Record())), std::vector<std::uint32_t>{5});
        EXPECT_EQ(plugins[p].Record().unloadCalls.load(), 0u);
    }
    run.Service().OnStop();  // the test's own clean-up: the plug-ins' threads end here
    EXPECT_EQ(plugins[0].Record().unloadCalls.load(), 1u);
}

// A re-report by the control handler while the service main changes the state must not send
// the manager the older state after the newer one: the re-report of start-pending is held
// after its record was made, and the running report must wait for it instead of passing it.
Flag* g_reReportStarted;
Flag* g_managerSawRunning;
void InterleaveReports(const platform::ServiceStatus& s) {
    RecordReport(s);
    if (s.currentState == platform::kServiceStartPending && s.checkPoint == 2) {
        g_reReportStarted->Set();
        (void)g_managerSawRunning->Wait(1000);  // without serialisation, running passes here
    }
}

TEST(ServiceNotifyTest, ReReportNeverSendsAnOlderState) {
    Flag reReportStarted, managerSawRunning;
    g_reReportStarted = &reReportStarted;
    g_managerSawRunning = &managerSawRunning;
    PluginSet plugins{L"tp_good"};
    ServiceRun run(plugins);
    Stoneleaf::CService::SetReportHookForTesting(&InterleaveReports);
    ASSERT_TRUE(run.WaitFor("STATUS=Starting"));
    std::thread interrogate([&run] { EXPECT_EQ(run.Send(4), Sent(0, 0)); });
    EXPECT_TRUE(reReportStarted.Wait());
    run.ReleaseStart();
    ASSERT_TRUE(run.WaitFor("READY=1"));
    managerSawRunning.Set();
    interrogate.join();
    EXPECT_EQ(run.Send(1), Sent(0, 0));
    run.ReleaseStop();
    EXPECT_EQ(run.Join(), 0u);
    EXPECT_EQ(run.States(), kLifecycle);
    EXPECT_EQ(run.Count("STATUS=Stopped"), 1);
}

}  // namespace
}  // namespace keltra::test
