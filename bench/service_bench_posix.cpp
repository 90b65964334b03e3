// The service benchmark on POSIX: the service under the dispatcher on a thread of this
// process (a datagram socket of our own stands in for systemd's notify socket, read between
// rounds; a temporary directory for its state directory), controls through the control
// channel; and the channel's transport alone, as the floor under it.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "bench/service_bench.h"
#include "service/host/posix/control_channel_posix.h"
#include "service/service_impl.h"
#include "text/text.h"

namespace {

const std::wstring kName = L"keltra-bench-" + std::to_wstring(getpid());

// The channel's transport with nothing behind it: a thread that polls, accepts, checks the
// peer, reads a 12-byte request and answers 36 bytes, and a client that connects, sends, waits
// and reads, one connection per request: the system calls of a control, without the host.
class BareChannel {
  public:
    explicit BareChannel(const std::string& path) {
        FillAddress(path);
        m_listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool listening =
            bind(m_listener, reinterpret_cast<sockaddr*>(&m_address), sizeof m_address) == 0 &&
            listen(m_listener, 8) == 0 && pipe(m_stop) == 0;
        if (listening) {
            m_thread = std::thread([this] { Serve(); });
        }
    }
    ~BareChannel() {
        if (m_thread.joinable()) {
            (void)!write(m_stop[1], "x", 1);
            m_thread.join();
        }
        for (int fd : {m_listener, m_stop[0], m_stop[1]}) {
            close(fd);
        }
    }
    bool RoundTrip() {
        if (!m_thread.joinable()) {
            return false;
        }
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        unsigned char request[12] = {}, answer[36];
        bool ok = connect(fd, reinterpret_cast<sockaddr*>(&m_address), sizeof m_address) == 0 &&
                  send(fd, request, sizeof request, MSG_NOSIGNAL) == sizeof request;
        pollfd ready = {fd, POLLIN, 0};
        ok = ok && poll(&ready, 1, 60000) == 1 && recv(fd, answer, sizeof answer, 0) == 36;
        close(fd);
        return ok;
    }

  private:
    void FillAddress(const std::string& path) {
        m_address = {AF_UNIX, {}};
        path.copy(m_address.sun_path, sizeof m_address.sun_path - 1);
    }
    void Serve() {
        for (;;) {
            pollfd set[2] = {{m_listener, POLLIN, 0}, {m_stop[0], POLLIN, 0}};
            if (poll(set, 2, -1) < 0 || set[1].revents != 0) {
                return;
            }
            const int fd = accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
            ucred peer = {};
            socklen_t size = sizeof peer;
            unsigned char request[12], answer[36] = {};
            if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 &&
                recv(fd, request, sizeof request, MSG_WAITALL) == sizeof request) {
                (void)send(fd, answer, sizeof answer, MSG_NOSIGNAL | MSG_DONTWAIT);
            }
            close(fd);
        }
    }

    sockaddr_un m_address;
    int m_listener = -1;
    int m_stop[2] = {-1, -1};
    std::thread m_thread;
};

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
        m_floor = std::make_unique<BareChannel>(m_dir + "/floor.sock");
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
        m_floor.reset();
        std::filesystem::remove_all(m_dir);
    }
    void CatchUp() override {
        char buffer[512];
        while (recv(m_notify, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
        }
    }
    bool TransportRoundTrip() override { return m_floor->RoundTrip(); }
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
    std::unique_ptr<BareChannel> m_floor;
};

}  // namespace

std::unique_ptr<RunningService> RunningService::Start(const wchar_t* key) {
    return std::make_unique<ChannelService>(key);
}
