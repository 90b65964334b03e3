// The shipped executable under the real Service Control Manager (Wine): every administration
// command with its exit code, controls reaching the real plug-ins of the real registry, the
// single-instance mutex against the running service, and the deletion hooks.
#include <chrono>

#include "service/service_admin.h"
#include "tests/diagnostics/crash_test_support.h"
#include "tests/service/exe_test_support.h"

namespace keltra::test::exe {
namespace {

class ServiceManager : public HostFixture {
  protected:
    void SetUp() override {
        HostFixture::SetUp();
        (void)RunExe({L"/UNINSTALL"});  // left over from an interrupted run
        // A folder with a space: the binary path must reach the manager quoted.
        const std::filesystem::path spaced = std::filesystem::path(dir) / L"with space";
        std::filesystem::create_directories(spaced);
        exe = (spaced / KELTRA_SERVICE_EXE).wstring();
        std::filesystem::copy_file(ExePath(), exe);
    }
    void TearDown() override {
        (void)RunExe({L"/UNINSTALL"});
        HostFixture::TearDown();
    }

    void RunSteps(const std::vector<Step>& steps) {
        for (const Step& step : steps) {
            EXPECT_EQ(step.code, RunExe(step.args)) << platform::WideToUtf8(step.args.back());
        }
    }

    std::wstring exe;
};

TEST_F(ServiceManager, InstallStartControlStopUninstall) {
    for (const std::vector<Step>& part : Lifecycle(exe)) {
        RunSteps(part);
    }
    ExpectLifecycleSeen({PluginPath(kRecorders[0]), PluginPath(kRecorders[1])},
                        "Handler 128 0\nHandler 200 0\nHandler 4 0\n");
}

TEST_F(ServiceManager, DelayedStartOnlyForDOrLowerD) {
    // Wine refuses the delayed-start setting with 124; the service stays installed.
    const std::uint32_t delayed = crash::RunningUnderWine() ? 124 : 0;
    for (const auto& [flag, code] : std::vector<std::pair<std::wstring, std::uint32_t>>{
             {L"D", delayed}, {L"d", delayed}, {L"DD", 0}, {L"x", 0}}) {
        RunSteps({{{L"/INSTALL", exe, flag}, code}, {{L"/UNINSTALL"}, 0}});
    }
}

// The poll of /START and /STOP is bounded and ends at once when the service stops while it
// waits to see it run; here against an installed service that is never started.
TEST_F(ServiceManager, StatusPollIsBoundedAndSeesAStoppedService) {
    ASSERT_EQ(0u, RunExe({L"/INSTALL", exe}));
    platform::UniqueServiceHandle manager(
        platform::OpenServiceManager(platform::kScManagerAllAccess));
    platform::UniqueServiceHandle service(platform::OpenService(
        manager.Get(), L"KeltraServiceFramework", platform::kServiceAllAccess));
    ASSERT_TRUE(service);
    auto start = std::chrono::steady_clock::now();
    // A service that never ran reports 1077 (ERROR_SERVICE_NEVER_STARTED) as its exit code.
    EXPECT_EQ(1077u,
              Stoneleaf::WaitForServiceState(service.Get(), platform::kServiceRunning, 60000));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(1460u, Stoneleaf::WaitForServiceState(service.Get(), platform::kServicePaused, 300));
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(300));
    EXPECT_LT(waited, std::chrono::seconds(5));
}

}  // namespace
}  // namespace keltra::test::exe
