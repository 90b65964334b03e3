// The test service under the real service manager (Wine's services.exe): created, started,
// sent controls, stopped and deleted, with the states as the manager reports them and the
// run report telling what reached each plug-in. Shutdown, device, power and session events
// cannot be sent to a service under Wine (ControlService refuses them; only the system sends
// them): service_test drives those through the control handler.
#include <gtest/gtest.h>
#include "platform/win32/windows_lean.h"

#include "tests/service/service_test_fixture.h"

namespace keltra::test {
namespace {

struct ScHandle {
    SC_HANDLE handle;
    ~ScHandle() {
        if (handle != nullptr) {
            CloseServiceHandle(handle);
        }
    }
};

SERVICE_STATUS_PROCESS WaitForState(SC_HANDLE service, DWORD state) {
    SERVICE_STATUS_PROCESS status = {};
    for (int i = 0; i < 1000; ++i) {  // the manager has no event for this: poll, bounded
        DWORD size = 0;
        if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                  sizeof status, &size) ||
            status.dwCurrentState == state) {
            break;
        }
        ::Sleep(20);
    }
    EXPECT_EQ(status.dwCurrentState, state);
    return status;
}

DWORD Control(SC_HANDLE service, DWORD control) {
    SERVICE_STATUS status;
    return ControlService(service, control, &status) ? 0 : ::GetLastError();
}

TEST(ServiceScmTest, LifecycleAndControlsUnderTheServiceManager) {
    PluginSet plugins{L"tp_good", L"tp_good", L"tp_hang_handler"};
    const std::wstring name = L"keltra-scm-" + std::to_wstring(::GetCurrentProcessId());
    const std::wstring hold = L"Global\\" + name;
    platform::UniqueHandle startHold(
        platform::CreateMutex(false, true, (hold + L"_start").c_str()));
    platform::UniqueHandle stopHold(platform::CreateMutex(false, true, (hold + L"_stop").c_str()));
    const std::wstring report = MakeTempDirectory(L"scm") + L"\\report.txt";
    const std::wstring command = L"\"" + platform::GetExecutableDirectory() +
                                 L"\\test_service.exe\" " + name + L" \"" + plugins.Key() +
                                 L"\" \"" + report + L"\" 2000 " + hold;
    ScHandle manager{OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)};
    ScHandle service{CreateServiceW(manager.handle, name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                                    SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                    SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr,
                                    nullptr, nullptr, nullptr)};
    ASSERT_NE(service.handle, nullptr) << ::GetLastError();
    struct Deleter {
        SC_HANDLE s;
        ~Deleter() { DeleteService(s); }
    } deleter{service.handle};
    // Wine's manager refuses a start (1055) while another service's start holds its lock.
    DWORD started = ERROR_SERVICE_DATABASE_LOCKED;
    for (int i = 0; i < 20 && started == ERROR_SERVICE_DATABASE_LOCKED; ++i) {
        started = StartServiceW(service.handle, 0, nullptr) ? 0 : ::GetLastError();
    }
    ASSERT_EQ(started, 0u);
    SERVICE_STATUS_PROCESS s = WaitForState(service.handle, SERVICE_START_PENDING);
    EXPECT_EQ(s.dwCheckPoint, 1u);
    EXPECT_EQ(s.dwControlsAccepted, 0u);
    EXPECT_EQ(s.dwWaitHint, 5000u);
    platform::UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, s.dwProcessId));
    const DWORD early = Control(service.handle, SERVICE_CONTROL_STOP);  // Wine 1052, Windows 1061
    EXPECT_TRUE(early == 1052 || early == 1061) << "stop during start: " << early;
    platform::ReleaseMutex(startHold.Get());
    s = WaitForState(service.handle, SERVICE_RUNNING);
    EXPECT_EQ(s.dwCheckPoint, 0u);
    EXPECT_EQ(s.dwControlsAccepted, 0xE5u);
    const DWORD table[][2] = {
        {SERVICE_CONTROL_INTERROGATE, 0}, {128, 0}, {255, 0},  {SERVICE_CONTROL_PARAMCHANGE, 1052},
        {SERVICE_CONTROL_PAUSE, 1052},    {0, 87},  {256, 87}, {SERVICE_CONTROL_SHUTDOWN, 87}};
    for (const auto& row : table) {
        EXPECT_EQ(Control(service.handle, row[0]), row[1]) << "control " << row[0];
    }
    EXPECT_EQ(Control(service.handle, SERVICE_CONTROL_STOP), 0u);
    s = WaitForState(service.handle, SERVICE_STOP_PENDING);
    EXPECT_TRUE(s.dwCheckPoint == 1 || s.dwCheckPoint == 2) << "2 after the handler's re-report";
    EXPECT_EQ(Control(service.handle, SERVICE_CONTROL_STOP), 1061u) << "second stop";
    platform::ReleaseMutex(stopHold.Get());
    WaitForState(service.handle, SERVICE_STOPPED);
    ASSERT_EQ(platform::WaitForSingleObject(process.Get(), kPromptMs), 0u);
    ASSERT_TRUE(DeleteService(service.handle));
    CServiceImpl admin(plugins.Params());
    EXPECT_EQ(admin.AfterDeleteService(), 0u);
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
