// The test service under the real service manager (Wine's services.exe): created, started,
// sent controls, stopped and deleted, with the states as the manager reports them and the
// run report telling what reached each plug-in. Shutdown, device, power and session events
// cannot be sent to a service under Wine (ControlService refuses them; only the system sends
// them): service_test drives those through the control handler.
#include <gtest/gtest.h>
#include "platform/win32/windows_lean.h"

#include <tuple>

#include "tests/service/service_test_fixture.h"

namespace keltra::test {
namespace {

// Polls: the manager offers no event for a state. Bounded.
SERVICE_STATUS_PROCESS WaitForState(SC_HANDLE service, DWORD state) {
    SERVICE_STATUS_PROCESS s = {};
    DWORD size = 0;
    for (int i = 0; i < 1000 && s.dwCurrentState != state; ++i, ::Sleep(20)) {
        QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&s), sizeof s,
                             &size);
    }
    EXPECT_EQ(s.dwCurrentState, state);
    return s;
}

DWORD Control(SC_HANDLE service, DWORD control) {
    SERVICE_STATUS status;
    return ControlService(service, control, &status) ? 0 : ::GetLastError();
}

using Seen = std::tuple<DWORD, DWORD, DWORD>;  // checkpoint, accepted controls, wait hint

TEST(ServiceScmTest, LifecycleAndControlsUnderTheServiceManager) {
    PluginSet plugins{L"tp_good", L"tp_good", L"tp_hang_handler"};
    const std::wstring name = L"keltra-scm-" + std::to_wstring(::GetCurrentProcessId());
    platform::UniqueHandle startHold(
        platform::CreateMutex(false, true, (L"Global\\" + name + L"_start").c_str()));
    platform::UniqueHandle stopHold(
        platform::CreateMutex(false, true, (L"Global\\" + name + L"_stop").c_str()));
    const std::wstring report = MakeTempDirectory(L"scm") + L"\\report";
    const std::wstring command = L"\"" + platform::GetExecutableDirectory() +
                                 L"\\test_service.exe\" " + name + L" \"" + plugins.Key() +
                                 L"\" \"" + report + L"\" 2000 Global\\" + name;
    struct Service {
        SC_HANDLE manager, service;
        ~Service() {
            DeleteService(service);
            CloseServiceHandle(service);
            CloseServiceHandle(manager);
        }
    } sc{OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS), nullptr};
    sc.service =
        CreateServiceW(sc.manager, name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                       SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                       command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(sc.service, nullptr) << ::GetLastError();
    DWORD started = ERROR_SERVICE_DATABASE_LOCKED;  // Wine: while another start holds its lock
    for (int i = 0; i < 20 && started == ERROR_SERVICE_DATABASE_LOCKED; ++i) {
        started = StartServiceW(sc.service, 0, nullptr) ? 0 : ::GetLastError();
    }
    ASSERT_EQ(started, 0u);
    SERVICE_STATUS_PROCESS s = WaitForState(sc.service, SERVICE_START_PENDING);
    EXPECT_EQ(Seen(s.dwCheckPoint, s.dwControlsAccepted, s.dwWaitHint), Seen(1, 0, 5000));
    platform::UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, s.dwProcessId));
    const DWORD early = Control(sc.service, SERVICE_CONTROL_STOP);  // Wine 1052, Windows 1061
    EXPECT_TRUE(early == 1052 || early == 1061) << "stop during start: " << early;
    platform::ReleaseMutex(startHold.Get());
    s = WaitForState(sc.service, SERVICE_RUNNING);
    EXPECT_EQ(Seen(s.dwCheckPoint, s.dwControlsAccepted, s.dwWaitHint), Seen(0, 0xE5, 0));
    const DWORD table[][2] = {
        {SERVICE_CONTROL_INTERROGATE, 0}, {128, 0}, {255, 0},  {SERVICE_CONTROL_PARAMCHANGE, 1052},
        {SERVICE_CONTROL_PAUSE, 1052},    {0, 87},  {256, 87}, {SERVICE_CONTROL_SHUTDOWN, 87}};
    for (const auto& row : table) {
        EXPECT_EQ(Control(sc.service, row[0]), row[1]) << "control " << row[0];
    }
    EXPECT_EQ(Control(sc.service, SERVICE_CONTROL_STOP), 0u);
    s = WaitForState(sc.service, SERVICE_STOP_PENDING);
    EXPECT_TRUE(s.dwCheckPoint == 1 || s.dwCheckPoint == 2) << "2 after the handler's re-report";
    EXPECT_EQ(Control(sc.service, SERVICE_CONTROL_STOP), 1061u) << "second stop";
    platform::ReleaseMutex(stopHold.Get());
    WaitForState(sc.service, SERVICE_STOPPED);
    ASSERT_EQ(platform::WaitForSingleObject(process.Get(), kPromptMs), 0u);
    ASSERT_TRUE(DeleteService(sc.service));
    EXPECT_EQ(CServiceImpl(plugins.Params()).AfterDeleteService(), 0u);
    const RunReport run = ReadRunReport(report);
    EXPECT_EQ(run.result, 0u);
    ASSERT_EQ(run.plugins.size(), 3u);
    for (std::size_t p = 0; p < 2; ++p) {
        EXPECT_EQ(plugins[p].Record().onDeleteServiceCalls.load(), 1u);
        const auto calls = Calls(*run.plugins[p]);
        EXPECT_EQ(Controls(calls), (std::vector<std::uint32_t>{4, 128, 255, 1}));
        for (const HandlerCall& call : calls) {
            EXPECT_TRUE(call.eventType == 0 && call.eventData == nullptr &&
                        reinterpret_cast<std::uintptr_t>(call.context) == run.service);
        }
        EXPECT_EQ(run.plugins[p]->mainCalls.load() + run.plugins[p]->unloadCalls.load(), 2u);
    }
    EXPECT_EQ(Controls(Calls(*run.plugins[2])), std::vector<std::uint32_t>{4}) << "hung from then";
}

}  // namespace
}  // namespace keltra::test
