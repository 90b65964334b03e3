// The service under the POSIX dispatcher in this process, with the test as systemd: a notify
// socket of its own (NOTIFY_SOCKET) receives the status messages, controls come through the
// control channel and as signals, and the plug-ins record what reached them.
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

#include "service/host/posix/control_channel_posix.h"
#include "tests/service/service_test_support.h"
#include "tests/support/other_user.h"

namespace keltra::test {
namespace {

using Sent = std::pair<std::uint32_t, std::uint32_t>;  // channel error, service's answer
constexpr auto kAdmin = platform::ControlOrigin::kControlService;
constexpr auto kSystem = platform::ControlOrigin::kSystem;
const std::wstring kName = L"keltra-svc-" + std::to_wstring(getpid());

int Connect(const std::string& path, int type) {
    const int fd = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
    sockaddr_un address = {AF_UNIX, {}};
    path.copy(address.sun_path, path.size());
    const timeval limit = {kPromptMs / 1000, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    const auto* a = reinterpret_cast<sockaddr*>(&address);
    EXPECT_EQ(type == SOCK_DGRAM ? bind(fd, a, sizeof address) : connect(fd, a, sizeof address), 0);
    return fd;
}

/// The service on a dispatcher thread, held after start-pending and after stop-pending until
/// the test releases it.
class ServiceRun {
  public:
    /// dirOwner: the runtime directory's owner (root's by default).
    explicit ServiceRun(PluginSet& plugins, uid_t dirOwner = 0)
        : m_service(plugins.Params(), L"Global\\" + kName) {
        char dir[] = "/tmp/ksvcXXXXXX";
        m_dir = mkdtemp(dir);
        chmod(m_dir.c_str(), 0755);
        EXPECT_EQ(0, dirOwner == 0 ? 0 : chown(m_dir.c_str(), dirOwner, dirOwner));
        m_notify = Connect(m_dir + "/notify", SOCK_DGRAM);
        setenv("NOTIFY_SOCKET", (m_dir + "/notify").c_str(), 1);
        setenv("KELTRA_RUNTIME_DIR", m_dir.c_str(), 1);
        for (int i = 0; i < 2; ++i) {
            m_holds[i].Reset(platform::CreateMutex(
                false, true, (L"Global\\" + kName + (i == 0 ? L"_start" : L"_stop")).c_str()));
        }
        EXPECT_EQ(m_service.InitService(kName.c_str(), L"Test", L"Test"), 0u);
        m_dispatcher = std::thread([this] {
            m_result = m_service.EntryService();
            m_done.Set();
        });
    }
    ~ServiceRun() {
        Release(0);
        Release(1);
        while (!m_done.Wait(100)) {  // a test that failed half-way: end the service anyhow
            m_service.OnStop();
        }
        m_dispatcher.join();
        m_service.ClearInitialised();
        unsetenv("NOTIFY_SOCKET");
        close(m_notify);
        std::filesystem::remove_all(m_dir);
    }
    void Release(int hold) {  // 0: start, 1: stop
        if (m_holds[hold]) {
            platform::ReleaseMutex(m_holds[hold].Get());
            m_holds[hold].Reset();
        }
    }
    std::uint32_t Join() {
        EXPECT_TRUE(m_done.Wait());
        return m_result;
    }
    Sent Send(std::uint32_t control,
              platform::ControlOrigin origin = platform::ControlOrigin::kControlService,
              std::uint32_t timeoutMs = kPromptMs) {
        std::uint32_t result = 0;
        const auto error = platform::posix::SendControlRequest(kName.c_str(), control, 0, &result,
                                                               timeoutMs, origin);
        return {error, result};
    }
    platform::posix::ControlAnswer Answer(std::uint32_t control) {
        platform::posix::ControlAnswer answer;
        EXPECT_EQ(
            platform::posix::SendControlRequest(kName.c_str(), control, 0, &answer, kPromptMs), 0u);
        return answer;
    }
    /// Reads notify messages until the text has come.
    bool WaitFor(const std::string& text) {
        char buffer[4096];
        ssize_t n = 0;
        while (m_messages.find(text) == std::string::npos &&
               (n = recv(m_notify, buffer, sizeof buffer, 0)) > 0) {
            m_messages.append(buffer, static_cast<std::size_t>(n)).append("|");
        }
        return n >= 0 && m_messages.find(text) != std::string::npos;
    }
    /// What systemd saw: the states of the STATUS= texts, repeats folded, and once stopped.
    std::vector<std::string> States() {
        WaitFor("STATUS=Stopped");
        std::vector<std::string> states;
        for (std::size_t at = 0; (at = m_messages.find("STATUS=", at)) != std::string::npos;) {
            at += 7;
            const std::string state =
                m_messages.substr(at, m_messages.find_first_of(":\n", at) - at);
            if (states.empty() || states.back() != state) {
                states.push_back(state);
            }
        }
        return states;
    }
    int Count(const std::string& text) const {
        int n = 0;
        for (std::size_t at = 0; (at = m_messages.find(text, at)) != std::string::npos; ++at) {
            ++n;
        }
        return n;
    }
    const std::string& Messages() const { return m_messages; }
    HeldService& Service() { return m_service; }
    const std::string& Dir() const { return m_dir; }

  private:
    HeldService m_service;
    std::string m_dir, m_messages;
    int m_notify = -1;
    platform::UniqueHandle m_holds[2];
    std::thread m_dispatcher;
    std::uint32_t m_result = 0xFFFFFFFF;
    Flag m_done;
};

KELTRA_CHILD_ROLE(send) {  // a client of the channel as another user: the error it gets
    std::uint32_t result = 0;
    return static_cast<int>(
        platform::posix::SendControlRequest(args[0].c_str(), 201, 0, &result, kPromptMs));
}

const std::vector<std::string> kLifecycle = {"Starting", "Running", "Stopping", "Stopped"};

TEST(ServiceNotifyTest, ControlsSignalsAndBadInputUnderTheDispatcher) {
    BoundsScope bounds(1000, 500);
    LogCapture log;
    PluginSet plugins{L"tp_good", L"tp_good", L"tp_hang_handler"};
    ServiceRun run(plugins);
    ASSERT_TRUE(run.WaitFor("EXTEND_TIMEOUT_USEC=5000000\nSTATUS=Starting: 3 plug-ins loaded"));
    EXPECT_EQ(run.Send(1), Sent(0, 1061)) << "stop while start is pending";
    EXPECT_EQ(run.Send(4), Sent(0, 1061)) << "interrogate while start is pending";
    run.Release(0);
    ASSERT_TRUE(run.WaitFor("READY=1\nSTATUS=Running: 3 plug-ins loaded"));
    // The first control meets the hung plug-in: the answer comes after the 1000 ms bound.
    EXPECT_EQ(run.Send(4, kAdmin, 100).first, 1053u) << "no answer in time";
    // The answer carries the host's own status after the control.
    const auto running = run.Answer(4);
    EXPECT_EQ(running.result, 0u);
    EXPECT_EQ(running.status.currentState, platform::kServiceRunning);
    EXPECT_EQ(running.status.controlsAccepted, platform::kHostAcceptedControls);
    // The answers of the Windows service manager: codes ControlService cannot send are 87
    // (the system's own events come their own way), accept bits not set 1052.
    const struct {
        std::uint32_t control;
        platform::ControlOrigin origin;
        std::uint32_t answer;
    } table[] = {{200, kAdmin, 0},  {255, kAdmin, 0},    {0, kAdmin, 87},    {256, kAdmin, 87},
                 {5, kAdmin, 87},   {11, kAdmin, 87},    {13, kAdmin, 87},   {14, kAdmin, 87},
                 {17, kAdmin, 87},  {32, kAdmin, 87},    {127, kAdmin, 87},  {0x10001, kAdmin, 87},
                 {2, kAdmin, 1052}, {3, kAdmin, 1052},   {6, kAdmin, 0},     {10, kAdmin, 1052},
                 {13, kSystem, 0},  {16, kSystem, 1052}, {128, kSystem, 87}, {1, kSystem, 87}};
    for (const auto& row : table) {
        EXPECT_EQ(run.Send(row.control, row.origin), Sent(0, row.answer))
            << "control " << row.control << (row.origin == kSystem ? " from the system" : "");
    }
    kill(getpid(), SIGHUP);
    ASSERT_TRUE(plugins[0].WaitFor(TestEvent::HandlerLeft, 5)) << "param-change from SIGHUP";
    // Bad requests are dropped unanswered; a peer that never writes holds up nobody else and
    // is dropped after the request limit.
    const std::string channel = run.Dir() + "/control.sock";
    const int silent = Connect(channel, SOCK_STREAM);
    for (std::size_t size : {8, 16, 12}) {  // short, oversized, wrong magic
        const int fd = Connect(channel, SOCK_STREAM);
        unsigned char bytes[16] = {0x43, 0x43, 0x53, 0x4B, 200};
        bytes[3] += size == 12 ? 1 : 0;
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
    for (int mode : {0600, 0666}) {    // another user: refused by the socket's mode, then by the
        chmod(channel.c_str(), mode);  // peer check (only root can test this)
        platform::UniqueHandle child(platform::StartProcess(
            L"/usr/bin/setpriv", {L"--reuid=65534", L"--regid=65534", L"--clear-groups",
                                  platform::GetExecutablePath(), L"--keltra-child=send", kName}));
        std::uint32_t code = 0;
        ASSERT_EQ(platform::WaitForSingleObject(child.Get(), kPromptMs), 0u);
        platform::GetExitCodeProcess(child.Get(), &code);
        EXPECT_EQ(code, geteuid() == 0 ? 5u : 1u) << "socket mode " << mode;  // setpriv: 1
    }
    kill(getpid(), SIGTERM);
    ASSERT_TRUE(run.WaitFor("STOPPING=1"));
    const auto secondStop = run.Answer(1);
    EXPECT_EQ(secondStop.result, 1061u) << "second stop";
    EXPECT_EQ(secondStop.status.currentState, platform::kServiceStopPending);
    EXPECT_EQ(secondStop.status.controlsAccepted, 0u);
    run.Release(1);
    EXPECT_EQ(run.Join(), 0u);
    EXPECT_EQ(run.States(), kLifecycle);
    EXPECT_EQ(run.Count("EXTEND_TIMEOUT_USEC=5000000"), 1) << "start-pending, no re-report";
    // Each bounded wait announced before it, with 2 s for the step around it: before the first
    // report, each plug-in's ready bound (32 s) and the enter-main broadcast (500 ms); from the
    // stop control on, the stop broadcast and each plug-in's two thread-exit bounds (1000 ms).
    const std::string& sent = run.Messages();
    EXPECT_EQ(run.Count("EXTEND_TIMEOUT_USEC=34000000"), 3);
    EXPECT_LT(sent.find("EXTEND_TIMEOUT_USEC=2500000"), sent.find("STATUS=Starting"));
    EXPECT_EQ(run.Count("EXTEND_TIMEOUT_USEC=2500000"), 2);
    EXPECT_LT(sent.find("STOPPING=1"), sent.find("EXTEND_TIMEOUT_USEC=4000000"));
    EXPECT_GE(run.Count("EXTEND_TIMEOUT_USEC=4000000"), 3);
    EXPECT_EQ(run.Count("READY=1") + run.Count("STOPPING=1") + run.Count("STATUS=Stopped"), 3);
    std::vector<std::uint32_t> expected = {1, 4, 4, 6, 6, 13, 200, 255};  // 6: channel, SIGHUP
    for (std::uint32_t c = 128; c < 168; ++c) {
        expected.push_back(c);
    }
    std::sort(expected.begin(), expected.end());
    for (std::size_t p = 0; p < 2; ++p) {
        const auto calls = Calls(plugins[p].Record());
        auto controls = Controls(calls);
        EXPECT_TRUE(controls.front() == 4 && controls.back() == 1);
        std::sort(controls.begin(), controls.end());
        EXPECT_EQ(controls, expected);
        EXPECT_TRUE(std::all_of(calls.begin(), calls.end(), [&](const HandlerCall& c) {
            return c.eventType == 0 && c.eventData == nullptr && c.context == &run.Service();
        }));
        EXPECT_EQ(plugins[p].Record().unloadCalls.load(), 1u);
    }
    EXPECT_EQ(Controls(Calls(plugins[2].Record())), std::vector<std::uint32_t>{4});
    EXPECT_EQ(
        log.Count(L'E', L"CServiceImpl::DispatchServiceHandler", L"Send message [4] timeout."), 1);
}

// A client reads a server of the channel's first version (its answer ends after the result)
// and of this one, and refuses what neither sends.
TEST(ServiceNotifyTest, AnswersOfEitherVersionAreRead) {
    char dir[] = "/tmp/kchanXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    chmod(dir, 0755);
    setenv("KELTRA_RUNTIME_DIR", dir, 1);
    const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address = {AF_UNIX, {}};
    (std::string(dir) + "/control.sock").copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(0, bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address));
    ASSERT_EQ(0, listen(listener, 4));
    const struct {
        std::vector<std::uint32_t> words;  // what the server answers
        std::uint32_t error, result, state;
    } rows[] = {
        {{0x4B534343, 7}, 0, 7, 0},                           // first version
        {{0x4B534343, 7, 1, 4, 0xED, 0, 0, 0, 0}, 0, 7, 4},   // this one
        {{0x4B534343, 7, 0, 4, 0xED, 0, 0, 0, 0}, 13, 0, 0},  // claims no version
        {{0x4B534343, 7, 1}, 13, 0, 0},                       // cut short
        {{0x4B534344, 7}, 13, 0, 0},                          // not this channel's
    };
    for (const auto& row : rows) {
        std::thread server([&] {
            const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            unsigned char request[12];
            EXPECT_EQ(recv(fd, request, sizeof request, MSG_WAITALL), 12);
            std::vector<unsigned char> bytes;
            for (std::uint32_t w : row.words) {
                for (int i = 0; i < 4; ++i) {
                    bytes.push_back(static_cast<unsigned char>(w >> (8 * i)));
                }
            }
            EXPECT_EQ(send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                      static_cast<ssize_t>(bytes.size()));
            close(fd);
        });
        platform::posix::ControlAnswer answer;
        EXPECT_EQ(platform::posix::SendControlRequest(kName.c_str(), 200, 0, &answer, kPromptMs),
                  row.error)
            << row.words.size() << " words";
        EXPECT_EQ(answer.result, row.result);
        EXPECT_EQ(answer.status.currentState, row.state);
        server.join();
    }
    close(listener);
    std::filesystem::remove_all(dir);
}

TEST(ServiceNotifyTest, StopDuringStartWithNoPluginLoaded) {
    LogCapture log;
    PluginSet plugins{L"tp_no_main"};  // lacks an export: the set fails to load
    HeldService outside(plugins.Params(), L"");
    ASSERT_EQ(outside.InitService(L"keltra-svc-outside", L"", L""), 0u);
    EXPECT_EQ(outside.EntryService(), 1063u) << "not started by systemd";
    outside.ClearInitialised();
    ServiceRun run(plugins);
    ASSERT_TRUE(run.WaitFor("STATUS=Starting: no plug-in loaded"));
    kill(getpid(), SIGTERM);  // kept until running is reported
    kill(getpid(), SIGINT);
    run.Release(1);
    run.Release(0);
    EXPECT_EQ(run.Join(), 0u);
    EXPECT_EQ(run.States(), kLifecycle);
    EXPECT_EQ(run.Count("STATUS=Running: no plug-in loaded"), 1);
    EXPECT_EQ(log.Count(L'W', L"CServiceImpl::EnterMainLoop",
                        L"No plugin is loaded; the service runs without plugins."),
              1);
}

// A runtime directory that another user owns may hold a socket of theirs: the service does not
// listen there and says why (an E line, every status text), and clients refuse to talk there.
TEST(ServiceNotifyTest, ARuntimeDirectoryOfAnotherUserIsRefused) {
    if (const char* why = CannotActAsOtherUser()) {
        GTEST_SKIP() << why;
    }
    LogCapture log;
    PluginSet plugins{L"tp_good"};
    ServiceRun run(plugins, kOtherUser);
    const std::string problem =
        "no control channel, the runtime directory " + run.Dir() + " is owned by uid 65534";
    ASSERT_TRUE(run.WaitFor("STATUS=Starting: 1 plug-in loaded; " + problem));
    run.Release(0);
    ASSERT_TRUE(run.WaitFor("STATUS=Running: 1 plug-in loaded; " + problem));
    const std::string channel = run.Dir() + "/control.sock";
    EXPECT_NE(0, access(channel.c_str(), F_OK)) << "listening where another user may plant";
    const int planted = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address = {AF_UNIX, {}};
    channel.copy(address.sun_path, channel.size());
    ASSERT_EQ(0, bind(planted, reinterpret_cast<sockaddr*>(&address), sizeof address));
    ASSERT_EQ(0, listen(planted, 4));
    ASSERT_EQ(0, lchown(channel.c_str(), kOtherUser, kOtherUser));
    EXPECT_EQ(run.Send(128), Sent(5, 0)) << "talked to a socket another user planted";
    close(planted);
    kill(getpid(), SIGTERM);
    run.Release(1);
    EXPECT_EQ(run.Join(), 0u);
    EXPECT_EQ(log.Count(L'E', L"Stoneleaf::CService::ServiceMain", platform::Utf8ToWide(problem)),
              1);
}

// A re-report by the control handler while the service main changes the state must not send
// the manager the older state after the newer one: the re-report of start-pending is held
// after its record was made, and the running report must wait for it instead of passing it.
Flag* g_reReportStarted;
Flag* g_managerSawRunning;
void InterleaveReports(const platform::ServiceStatus& s) {
    if (s.currentState == platform::kServiceStartPending && s.checkPoint == 2) {
        g_reReportStarted->Set();
        (void)g_managerSawRunning->Wait(1000);  // without serialisation, running passes here
    }
}

TEST(ServiceNotifyTest, ReReportNeverSendsAnOlderStateAndShutdownKeepsPlugins) {
    Flag reReportStarted, managerSawRunning;
    g_reReportStarted = &reReportStarted;
    g_managerSawRunning = &managerSawRunning;
    PluginSet plugins{L"tp_good"};
    ServiceRun run(plugins);
    Stoneleaf::CService::SetReportHookForTesting(&InterleaveReports);
    ASSERT_TRUE(run.WaitFor("STATUS=Starting"));
    // The manager refuses controls while start is pending; the handler is called directly.
    std::thread interrogate([&run] {
        EXPECT_EQ(Stoneleaf::CService::ServiceCtrlHandlerEx(4, 0, nullptr, &run.Service()), 0u);
    });
    EXPECT_TRUE(reReportStarted.Wait());
    run.Release(0);
    ASSERT_TRUE(run.WaitFor("READY=1"));
    managerSawRunning.Set();
    interrogate.join();
    Stoneleaf::CService::SetReportHookForTesting(nullptr);
    run.Release(1);
    EXPECT_EQ(run.Send(5, kSystem), Sent(0, 0));  // shutdown: stops without unloading
    EXPECT_EQ(run.Join(), 0u);
    EXPECT_EQ(run.States(), kLifecycle);
    EXPECT_EQ(Controls(Calls(plugins[0].Record())), (std::vector<std::uint32_t>{4, 5}));
    EXPECT_EQ(run.Service().PluginCount(), 1u);
    run.Service().OnStop();  // the test's own clean-up: the plug-in's threads end here
}

}  // namespace
}  // namespace keltra::test
