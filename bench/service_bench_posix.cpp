// The service benchmark on POSIX: the service under the dispatcher on a thread of this
// process (a datagram socket of our own stands in for systemd's notify socket, read between
// rounds; a temporary directory for its state directory), controls through the control
// channel.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "bench/service_bench.h"
#include "service/host/posix/control_channel_posix.h"
#include "service/service_impl.h"
#include "text/text.h"

namespace {

const std::wstring kName = L"keltra-bench-" + std::to_wstring(getpid());

class ChannelService : public RunningService {
  public:
    explicit ChannelService(const wchar_t* key) : m_params(), m_service(Params(key)) {
        char dir[] = "/tmp/kbenchXXXXXX";
        m_dir = mkdtemp(dir);
        m_notify = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address = {AF_UNIX, {}};
        (m_dir + "/notify").copy(address.sun_path, m_dir.size() + 7);
        bind(m_notify, reinterpret_cast<sockaddr*>(&address), sizeof address);
        setenv("NOTIFY_SOCKET", (m_dir + "/notify").c_str(), 1);
        setenv("KELTRA_RUNTIME_DIR", m_dir.c_str(), 1);
        setenv("STATE_DIRECTORY", m_dir.c_str(), 1);  // systemd's StateDirectory=: the record
        (void)m_service.InitService(kName.c_str(), L"Bench", L"Bench");
        m_thread = std::thread([this] { (void)m_service.EntryService(); });
        char buffer[512];
        for (ssize_t n; (n = recv(m_notify, buffer, sizeof buffer - 1, 0)) > 0;) {
            if (std::string(buffer, static_cast<std::size_t>(n)).find("READY=1") !=
                std::string::npos) {
                break;  // running
            }
        }
    }
    ~ChannelService() override {
        std::uint32_t result = 0;
        (void)platform::posix::SendControlRequest(kName.c_str(), 1, 0, &result, 60000);
        m_thread.join();
        m_service.ClearInitialised();
        unsetenv("NOTIFY_SOCKET");
        unsetenv("STATE_DIRECTORY");
        close(m_notify);
        std::filesystem::remove_all(m_dir);
    }
    void CatchUp() override {
        char buffer[512];
        while (recv(m_notify, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
        }
    }
    bool RoundTrip() override {
        std::uint32_t result = 1;
        return platform::posix::SendControlRequest(kName.c_str(), 200, 0, &result, 60000) == 0 &&
               result == 0;
    }

  private:
    const FrameworkParams* Params(const wchar_t* key) {
        platform::StringCchCopyW(m_params.pluginKeyPath, 260, key);
        platform::StringCchCopyW(m_params.valueNameFilter, 260, L"svcbu");
        return &m_params;
    }
    FrameworkParams m_params;
    CServiceImpl m_service;
    std::string m_dir;
    int m_notify = -1;
    std::thread m_thread;
};

}  // namespace

std::unique_ptr<RunningService> RunningService::Start(const wchar_t* key) {
    return std::make_unique<ChannelService>(key);
}
