// The test service: runs CServiceImpl under the platform's service manager.
//   test_service NAME KEY BOUND_MS HOLD
// BOUND_MS shortens the executive's waits (thread exit BOUND_MS, broadcast BOUND_MS / 2), so
// that a hung plug-in costs little; HOLD names the mutexes a test holds (HeldService).
#include <cstdlib>

#include "tests/service/service_test_support.h"

int main(int argc, char** argv) {
    if (argc != 5) {
        return 87;
    }
    executive::Timeouts bounds;
    bounds.threadExitMs = static_cast<std::uint32_t>(std::strtoul(argv[3], nullptr, 10));
    bounds.broadcastMs = bounds.threadExitMs / 2;
    executive::SetTimeoutsForTesting(bounds);
    const std::wstring name = platform::Utf8ToWide(argv[1]);
    const FrameworkParams params = keltra::test::TestParams(platform::Utf8ToWide(argv[2]).c_str());
    keltra::test::HeldService service(&params, platform::Utf8ToWide(argv[4]));
    std::uint32_t result = service.InitService(name.c_str(), name.c_str(), L"Test service");
    if (result == 0) {
        result = service.EntryService();
    }
    service.ClearInitialised();
    return static_cast<int>(result);
}
