// The test service: runs CServiceImpl under the platform's service manager and, once the
// dispatcher has returned, writes the run report (what reached each listed plug-in).
//   test_service NAME KEY REPORT [BOUND_MS [HOLD]]
// BOUND_MS shortens the executive's waits (thread exit BOUND_MS, broadcast BOUND_MS / 2), so
// that a hung plug-in costs little; HOLD names the mutexes a test holds (HeldService).
#include <cstdlib>
#include <string>
#include <vector>

#include "executive/timeouts.h"
#include "platform/dynamic_library.h"
#include "platform/text.h"
#include "tests/service/service_test_support.h"

int main(int argc, char** argv) {
    if (argc < 4) {
        return 87;
    }
    std::vector<std::wstring> args;
    for (int i = 1; i < argc; ++i) {
        args.push_back(platform::Utf8ToWide(argv[i]));
    }
    if (args.size() > 3) {
        executive::Timeouts bounds;
        bounds.threadExitMs =
            static_cast<std::uint32_t>(std::wcstoul(args[3].c_str(), nullptr, 10));
        bounds.broadcastMs = bounds.threadExitMs / 2;
        executive::SetTimeoutsForTesting(bounds);
    }
    // Loads of our own keep each plug-in's record after the service has freed it.
    std::vector<std::wstring> dlls;
    (void)executive::PluginMgr::GetAllPluginDLLs(dlls, args[1].c_str(), L"svcbu");
    std::vector<keltra::test::TestPluginRecord*> records;
    for (const std::wstring& dll : dlls) {
        auto get = reinterpret_cast<keltra::test::TestGetRecordFn>(
            platform::GetProcAddress(platform::LoadLibrary(dll.c_str()), "TestGetRecord"));
        if (get != nullptr) {
            records.push_back(get());
        }
    }
    const FrameworkParams params = keltra::test::TestParams(args[1].c_str());
    keltra::test::HeldService service(&params, args.size() > 4 ? args[4] : L"");
    std::uint32_t result = service.InitService(args[0].c_str(), args[0].c_str(), L"Test service");
    if (result == 0) {
        result = service.EntryService();
    }
    service.ClearInitialised();
    keltra::test::WriteRunReport(args[2], &service, result, records);
    return static_cast<int>(result);
}
