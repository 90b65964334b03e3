// The test service: runs CServiceImpl under the platform's service manager.
//   test_service NAME KEY BOUND_MS HOLD [REPORTS [fail]]
// BOUND_MS shortens the executive's waits (thread exit BOUND_MS, broadcast BOUND_MS / 2), so
// that a hung plug-in costs little; HOLD names the mutexes a test holds (HeldService).
// REPORTS: a file that gets one line per status report, "state checkpoint accepted waithint",
// as the manager is sent it; "fail" makes the notification registration fail.
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "platform/error.h"
#include "tests/service/service_test_support.h"

namespace {

std::string g_reports;

void RecordReport(const platform::ServiceStatus& s) {
    std::ofstream(g_reports, std::ios::app | std::ios::binary)
        << s.currentState << ' ' << s.checkPoint << ' ' << s.controlsAccepted << ' ' << s.waitHint
        << '\n';
}

class TestService : public keltra::test::HeldService {
  public:
    TestService(const FrameworkParams* params, std::wstring hold, bool failNotifications)
        : HeldService(params, std::move(hold)), m_failNotifications(failNotifications) {}
    std::uint32_t RegisterNotifications(platform::ServiceStatusHandle handle) override {
        const std::uint32_t result = HeldService::RegisterNotifications(handle);
        return m_failNotifications ? platform::kErrorNotReady : result;
    }

  private:
    bool m_failNotifications;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5 || argc > 7) {
        return 87;
    }
    executive::Timeouts bounds;
    bounds.threadExitMs = static_cast<std::uint32_t>(std::strtoul(argv[3], nullptr, 10));
    bounds.broadcastMs = bounds.threadExitMs / 2;
    executive::SetTimeoutsForTesting(bounds);
    if (argc >= 6) {
        g_reports = argv[5];
        Stoneleaf::CService::SetReportHookForTesting(&RecordReport);
    }
    const std::wstring name = platform::Utf8ToWide(argv[1]);
    const FrameworkParams params = keltra::test::TestParams(platform::Utf8ToWide(argv[2]).c_str());
    TestService service(&params, platform::Utf8ToWide(argv[4]),
                        argc == 7 && std::strcmp(argv[6], "fail") == 0);
    std::uint32_t result = service.InitService(name.c_str(), name.c_str(), L"Test service");
    if (result == 0) {
        result = service.EntryService();
    }
    service.ClearInitialised();
    return static_cast<int>(result);
}
