// The service benchmark on Windows: the test service created and started through the service
// manager, controls through ControlService.
#include "platform/win32/windows_lean.h"

#include <string>

#include "bench/service_bench.h"
#include "platform/process.h"
#include "platform/thread.h"

namespace {

class ScmService : public RunningService {
  public:
    explicit ScmService(const wchar_t* key) {
        const std::wstring name = L"keltra-bench-" + std::to_wstring(::GetCurrentProcessId());
        // test_service NAME KEY BOUND_MS HOLD: the shipped thread-exit bound; no hold mutex.
        const std::wstring command = L"\"" + platform::GetExecutableDirectory() +
                                     L"\\test_service.exe\" " + name + L" \"" + key +
                                     L"\" 32000 NUL";
        m_manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        m_service =
            CreateServiceW(m_manager, name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                           SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                           command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
        bool started = false;
        for (int i = 0; m_service != nullptr && i < 20 && !started; ++i) {  // 1055: Wine's lock
            started = StartServiceW(m_service, 0, nullptr) != FALSE;
        }
        SERVICE_STATUS status = {};
        for (int i = 0; started && i < 3000 && status.dwCurrentState != SERVICE_RUNNING; ++i) {
            QueryServiceStatus(m_service, &status);
            platform::Sleep(10);  // the manager offers no event for this
        }
        m_running = status.dwCurrentState == SERVICE_RUNNING;
    }
    ~ScmService() override {
        SERVICE_STATUS status = {};
        if (m_service != nullptr) {
            ControlService(m_service, SERVICE_CONTROL_STOP, &status);
            for (int i = 0; i < 3000 && status.dwCurrentState != SERVICE_STOPPED; ++i) {
                platform::Sleep(10);
                QueryServiceStatus(m_service, &status);
            }
            DeleteService(m_service);
            CloseServiceHandle(m_service);
        }
        if (m_manager != nullptr) {
            CloseServiceHandle(m_manager);
        }
    }
    bool RoundTrip() override {
        SERVICE_STATUS status;
        return ControlService(m_service, 200, &status) != FALSE;
    }
    [[nodiscard]] bool Running() const { return m_running; }

  private:
    SC_HANDLE m_manager = nullptr;
    SC_HANDLE m_service = nullptr;
    bool m_running = false;
};

}  // namespace

std::unique_ptr<RunningService> RunningService::Start(const wchar_t* key) {
    auto service = std::make_unique<ScmService>(key);
    if (!service->Running()) {
        return nullptr;
    }
    return service;
}
