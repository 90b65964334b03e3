// The service classes driven through the control handler directly, as the manager would call
// it: every control reaches every plug-in once with its four values, shutdown keeps the
// plug-ins loaded, stop unloads them, an answer of 1246 skips the control, a broadcast that
// times out or fails is logged and the control still runs. (Windows: device, power, session
// and shutdown events cannot be sent to a service under Wine, so they are covered here.) Then
// the service main under the platform's service manager when the notifications fail, and the
// shipped executable's entry: its log lines, the dispatcher's error outside the manager, and
// the crash dump's name.
#include <ctime>

#include "platform/error.h"
#include "service/host/service_control.h"
#include "service/service_admin.h"
#include "tests/service/service_test_support.h"

namespace keltra::test {
namespace {

using Stoneleaf::CService;

/// A service that counts its per-control operations and can replace the broadcast's answer.
class ProbeService : public CServiceImpl {
  public:
    using CServiceImpl::CServiceImpl;
    ~ProbeService() override { ClearInitialised(); }
    std::uint32_t DispatchServiceHandler(std::uint32_t control, std::uint32_t eventType,
                                         void* eventData, void* context) override {
        const std::uint32_t result =
            CServiceImpl::DispatchServiceHandler(control, eventType, eventData, context);
        return answer != 0 ? answer : result;
    }
    std::uint32_t OnStop() override {
        ++operations;
        return CServiceImpl::OnStop();
    }
    std::uint32_t OnInterrogate() override {
        ++operations;
        return 6;
    }
    std::uint32_t OnCustomControl(std::uint32_t, std::uint32_t) override {
        ++operations;
        return 5;
    }
    [[nodiscard]] const wchar_t* DisplayName() const { return m_displayName; }
    std::uint32_t answer = 0;
    int operations = 0;
};

wchar_t g_svcArg[] = L"svc-arg";
wchar_t* g_svcArgv[] = {g_svcArg, nullptr};

TEST(ServiceTest, EveryControlReachesEveryPluginOnceUnchanged) {
    LogCapture log;
    CServiceImpl::KeepLogWhenOff(true);  // the param-change's re-read keeps the captured log
    PluginSet plugins{L"tp_good", L"tp_good"};
    CServiceImpl service(plugins.Params());
    service.EnterMainLoop(1, g_svcArgv);
    ASSERT_EQ(service.PluginCount(), 2u);
    int deviceData = 0, wrongKind = 0;  // data of another event type passes through untouched
    struct Row {
        std::uint32_t control, eventType;
        void* data;
    } const rows[] = {{4, 0, nullptr},           {6, 0, nullptr},          {2, 0, nullptr},
                      {11, 0x8000, &deviceData}, {13, 0x8013, &wrongKind}, {14, 5, &wrongKind},
                      {12, 1, nullptr},          {200, 7, nullptr},        {0, 0, nullptr},
                      {300, 0, nullptr},         {5, 0, nullptr}};
    for (const Row& row : rows) {
        EXPECT_EQ(CService::ServiceCtrlHandlerEx(row.control, row.eventType, row.data, &service),
                  0u);
    }
    EXPECT_EQ(CService::ServiceCtrlHandlerEx(4, 0, nullptr, nullptr), 120u);  // no context
    EXPECT_EQ(service.PluginCount(), 2u) << "shutdown must not unload";
    for (std::size_t p = 0; p < 2; ++p) {
        TestPluginRecord& record = plugins[p].Record();
        EXPECT_STREQ(record.mainFirstArg, L"svc-arg");
        EXPECT_EQ(record.unloadCalls.load(), 0u);
        const auto calls = Calls(record);
        ASSERT_EQ(calls.size(), std::size(rows));
        for (std::size_t i = 0; i < calls.size(); ++i) {
            EXPECT_EQ(calls[i].control, rows[i].control);
            EXPECT_EQ(calls[i].eventType, rows[i].eventType);
            EXPECT_EQ(calls[i].eventData, rows[i].data);
            EXPECT_EQ(calls[i].context, &service);
        }
    }
    EXPECT_EQ(CService::ServiceCtrlHandlerEx(1, 0, nullptr, &service), 0u);
    EXPECT_EQ(service.PluginCount(), 0u);
    for (std::size_t p = 0; p < 2; ++p) {
        EXPECT_EQ(plugins[p].Record().unloadCalls.load(), 1u);
        EXPECT_EQ(plugins[p].Record().calls[std::size(rows)].control, 1u);
    }
    EXPECT_EQ(
        log.Messages(L"CServiceImpl::OnStop"),
        (std::vector<std::wstring>{L"D Unloaded all plugins.", L"I Stopped; plug-ins unloaded.",
                                   L"D Terminated service main loop."}));
}

TEST(ServiceTest, InitOnceReportNeedsItAndAnAnswerOf1246SkipsTheControl) {
    PluginSet plugins{L"tp_good"};
    ProbeService service(plugins.Params());
    EXPECT_EQ(service.ReportStatus(platform::kServiceRunning, 0), 21u) << "before InitService";
    ASSERT_EQ(service.InitService(L"keltra-first", L"First", L"one"), 0u);
    EXPECT_EQ(service.InitService(L"keltra-second", L"Second", L"two"), 1247u);
    EXPECT_STREQ(CService::ServiceName(), L"keltra-first");
    EXPECT_STREQ(service.DisplayName(), L"First");
    EXPECT_EQ(service.ReportStatus(platform::kServiceRunning, 0), 21u) << "no status handle";
    service.EnterMainLoop(1, g_svcArgv);
    // control, the broadcast's answer, the handler's result, per-control operations run
    const std::uint32_t rows[][4] = {
        {128, 0, 5, 1}, {4, 0, 6, 1}, {128, 1246, 0, 0}, {4, 1246, 0, 0}, {1, 1246, 0, 0}};
    for (const auto& row : rows) {
        service.answer = row[1];
        service.operations = 0;
        EXPECT_EQ(CService::ServiceCtrlHandlerEx(row[0], 0, nullptr, &service), row[2])
            << row[0] << " answered " << row[1];
        EXPECT_EQ(service.operations, int(row[3])) << row[0] << " answered " << row[1];
    }
    EXPECT_EQ(service.PluginCount(), 1u) << "a stop answered 1246 must not unload";
    EXPECT_EQ(Controls(Calls(plugins[0].Record())),
              (std::vector<std::uint32_t>{128, 4, 128, 4, 1}));
    service.answer = 0;
    EXPECT_EQ(CService::ServiceCtrlHandlerEx(1, 0, nullptr, &service), 0u);
    EXPECT_EQ(service.PluginCount(), 0u);
}

TEST(ServiceTest, ABroadcastThatTimesOutThenFailsIsLoggedAndTheControlStillRuns) {
    LogCapture log;
    PluginSet plugins{L"tp_hang_handler"};
    ProbeService service(plugins.Params());
    service.EnterMainLoop(1, g_svcArgv);
    BoundsScope bounds(2000, 300);  // after the enter-main broadcast, which must not time out
    // The plug-in hangs in its first control and is suppressed; then nobody is left to wait for.
    EXPECT_EQ(service.DispatchServiceHandler(200, 0, nullptr, &service), 1460u);
    EXPECT_EQ(service.DispatchServiceHandler(201, 0, nullptr, &service), 774u);
    EXPECT_EQ(CService::ServiceCtrlHandlerEx(202, 0, nullptr, &service), 5u);
    EXPECT_EQ(service.operations, 1);
    EXPECT_EQ(log.Messages(L"CServiceImpl::DispatchServiceHandler"),
              (std::vector<std::wstring>{L"E Send message [200] timeout.",
                                         L"E Send message [201] failed.",
                                         L"E Send message [202] failed."}));
    plugins[0].Release();
    EXPECT_EQ(service.OnStop(), 0u);
}

// The status reports the service manager is sent when the notifications cannot be registered:
// running is skipped, stop-pending follows start-pending with checkpoint 2. The test service
// runs under the platform's manager (Windows: the service manager; POSIX: the dispatcher with
// a notify socket of the test's, which nobody reads) and writes every report to a file.
TEST(ServiceTest, FailedNotificationsSkipRunningUnderTheServiceManager) {
    PluginSet plugins{L"tp_good"};
    const std::wstring name = L"keltra-notify-" + std::to_wstring(platform::GetCurrentProcessId());
    const std::wstring reports = plugins.Dir() + platform::kPathSeparator + L"reports.txt";
    const std::vector<std::wstring> args = {name,    plugins.Path(), L"2000",
                                            L"none", reports,        L"fail"};
    const std::wstring program = ExePath(KELTRA_TEST_SERVICE_EXE);
    if (platform::kLibrarySuffix == std::wstring(L".dll")) {
        platform::UniqueServiceHandle manager(
            platform::OpenServiceManager(platform::kScManagerAllAccess));
        std::wstring command = L"\"" + program + L"\"";
        for (const std::wstring& arg : args) {
            command += L" \"" + arg + L"\"";
        }
        const platform::ServiceConfig config{
            name.c_str(), name.c_str(), command.c_str(), platform::kServiceDemandStart,
            nullptr,      nullptr,      nullptr};
        platform::UniqueServiceHandle service(
            platform::CreateService(manager.Get(), &config, platform::kServiceAllAccess));
        ASSERT_TRUE(service) << platform::GetLastError();
        EXPECT_TRUE(platform::StartService(service.Get())) << platform::GetLastError();
        EXPECT_EQ(Stoneleaf::WaitForServiceState(service.Get(), platform::kServiceStopped, 60000),
                  0u);
        EXPECT_TRUE(platform::DeleteService(service.Get()));
    } else {
        platform::SetEnvironmentVariable(L"NOTIFY_SOCKET", (plugins.Dir() + L"/notify").c_str());
        platform::SetEnvironmentVariable(L"KELTRA_RUNTIME_DIR", plugins.Dir().c_str());
        EXPECT_EQ(RunExe(args, kPromptMs, program), 0u);
        platform::SetEnvironmentVariable(L"NOTIFY_SOCKET", nullptr);
    }
    // state, checkpoint, accepted controls, wait hint
    EXPECT_EQ(ReadFileBytes(reports), "2 1 0 5000\n3 2 0 0\n1 0 237 0\n");
}

// The shipped executable's entry, each run with the log on: what it returns and logs.
using Entry = HostFixture;

std::wstring DumpName(const std::tm& t) {
    wchar_t name[64];
    platform::StringCchPrintfW(name, 64,
                               L"KeltraServicePlugin.exe_crashdump_%02d%02d-%02d%02d%02d.dmp",
                               t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
    return name;
}

TEST_F(Entry, LogLinesTheDispatchersErrorOutsideTheManagerAndTheDumpName) {
    platform::SetEnvironmentVariable(L"NOTIFY_SOCKET", nullptr);
    const std::string exePath = platform::WideToUtf8(ExePath());
    // Outside the service manager the dispatcher fails: Windows 1063 (under Wine after about
    // 10 s), POSIX 1063 without NOTIFY_SOCKET.
    const struct {
        std::vector<std::wstring> args;
        std::uint32_t code;
        std::vector<std::string> lines;
    } rows[] = {
        {{}, 1063, {"Init service success.", "Entry service failed, dwRet=1063"}},
        {{L"/RUN", L"STOP"},
         0,
         {"Init service success.", "argv[0]=" + exePath, "argv[1]=/RUN", "argv[2]=STOP",
          "Exec arguments success.", "End plugin framework, dwRet=0"}},
    };
    for (const auto& row : rows) {
        std::filesystem::remove(std::filesystem::path(logPath));
        EXPECT_EQ(AsExitCode(row.code), RunExe(row.args))
            << platform::WideToUtf8(row.args.empty() ? L"(none)" : row.args[0]);
        const std::string log = Log();
        for (const std::string& line : row.lines) {
            const std::size_t at = log.find("): " + line);
            const std::size_t end = at + 3 + line.size();
            EXPECT_TRUE(at != std::string::npos && end < log.size() &&
                        (log[end] == '\r' || log[end] == '\n'))
                << line << "\n"
                << log;
        }
    }
    // A crash on a plug-in thread: the dump is named after the process's start, to the second.
    const std::filesystem::path dumps(platform::ServiceDataDirectory(L"KeltraServiceFramework"));
    const auto eachDump = [&dumps](const auto& action) {
        std::error_code ignored;
        for (const auto& entry : std::filesystem::directory_iterator(dumps, ignored)) {
            if (entry.path().filename().wstring().rfind(L"KeltraServicePlugin.exe_", 0) == 0) {
                action(entry.path());
            }
        }
    };
    eachDump([](const std::filesystem::path& dump) { std::filesystem::remove(dump); });
    const std::time_t before = std::time(nullptr);
    EXPECT_EQ(1u, RunExe({L"/RUN", L"201", L"STOP"}, 120000));
    const std::time_t after = std::time(nullptr);
    std::vector<std::wstring> names;
    eachDump([&names](const std::filesystem::path& dump) {
        names.push_back(dump.filename().wstring());
    });
    ASSERT_EQ(names.size(), 1u) << "dumps in " << dumps.string();
    bool matched = false;
    for (std::time_t t = before; t <= after && !matched; ++t) {
        matched = names[0] == DumpName(*std::localtime(&t));
    }
    EXPECT_TRUE(matched) << platform::WideToUtf8(names[0]);
}

}  // namespace
}  // namespace keltra::test
