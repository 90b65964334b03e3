// The service control channel: the client that sends one control, and the service's server.
#include "service/host/posix/control_channel_posix.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/error.h"
#include "platform/path_trust.h"
#include "text/text.h"

namespace platform::posix {
namespace {

void PutU32(unsigned char* out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out[i] = static_cast<unsigned char>(value >> (8 * i));
    }
}

std::uint32_t GetU32(const unsigned char* in) {
    return static_cast<std::uint32_t>(in[0]) | static_cast<std::uint32_t>(in[1]) << 8 |
           static_cast<std::uint32_t>(in[2]) << 16 | static_cast<std::uint32_t>(in[3]) << 24;
}

bool FillAddress(const std::string& path, sockaddr_un* address) {
    *address = {};
    address->sun_family = AF_UNIX;
    if (path.size() >= sizeof(address->sun_path)) {
        return false;
    }
    std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
    return true;
}

int RemainingMs(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// Sends or receives exactly `bytes`, waiting at most until the deadline. Returns the number of
// bytes moved (less on end of stream), or -errno (-ETIMEDOUT when the deadline passed). A send
// is tried before any wait (a request fits an empty socket buffer); a receive waits first, as
// the answer comes only after the service has handled the control.
long Transfer(int fd, unsigned char* data, std::size_t bytes, bool sending,
              std::chrono::steady_clock::time_point deadline) {
    std::size_t done = 0;
    bool wait = !sending;
    while (done < bytes) {
        if (wait) {
            pollfd p = {fd, static_cast<short>(sending ? POLLOUT : POLLIN), 0};
            const int ready = poll(&p, 1, RemainingMs(deadline));
            if (ready < 0 && errno == EINTR) {
                continue;
            }
            if (ready <= 0) {
                return ready == 0 ? -ETIMEDOUT : -errno;
            }
        }
        wait = true;
        const ssize_t n = sending ? send(fd, data + done, bytes - done, MSG_NOSIGNAL | MSG_DONTWAIT)
                                  : recv(fd, data + done, bytes - done, MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            return -errno;
        }
        if (n == 0) {
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    return static_cast<long>(done);
}

// Who could put a socket of their own at path: the owner of its directory, anyone who may
// write there (the sticky bit keeps them from replacing the service's own socket), and, for a
// socket that exists, its owner. Empty when only root and this process's user could.
std::string PlantedSocketRisk(const std::string& path, bool socketToo) {
    const std::wstring wide = Utf8ToWide(path);
    if (const std::wstring directory = PlantedNameReason(wide.c_str(), false); !directory.empty()) {
        return "the runtime directory " + WideToUtf8(directory);
    }
    return socketToo ? WideToUtf8(PlantedNameReason(wide.c_str(), true)) : std::string();
}

constexpr std::size_t kFirstVersionBytes = 8;  // magic, result
constexpr std::size_t kAnswerBytes = 36;       // and version, state, ... waitHint

void WriteAnswer(const ControlAnswer& answer, unsigned char (&out)[kAnswerBytes]) {
    const ServiceStatus& s = answer.status;
    const std::uint32_t fields[] = {kControlChannelMagic,
                                    answer.result,
                                    kControlChannelVersion,
                                    s.currentState,
                                    s.controlsAccepted,
                                    s.win32ExitCode,
                                    s.serviceSpecificExitCode,
                                    s.checkPoint,
                                    s.waitHint};
    for (std::size_t i = 0; i < kAnswerBytes / 4; ++i) {
        PutU32(out + 4 * i, fields[i]);
    }
}

// A first-version answer has no status; a later version may add fields after these, which
// this reader does not know and leaves alone. Anything else is not an answer.
bool ReadAnswer(const unsigned char* in, std::size_t size, ControlAnswer* answer) {
    const bool first = size == kFirstVersionBytes;
    if ((!first && size != kAnswerBytes) || GetU32(in) != kControlChannelMagic ||
        (!first && GetU32(in + 8) < 1)) {
        return false;
    }
    *answer = ControlAnswer{};
    answer->result = GetU32(in + 4);
    if (!first) {
        ServiceStatus& s = answer->status;
        s.serviceType = kServiceWin32OwnProcess;
        s.currentState = GetU32(in + 12);
        s.controlsAccepted = GetU32(in + 16);
        s.win32ExitCode = GetU32(in + 20);
        s.serviceSpecificExitCode = GetU32(in + 24);
        s.checkPoint = GetU32(in + 28);
        s.waitHint = GetU32(in + 32);
    }
    return true;
}

}  // namespace

std::string ControlChannelPath(const wchar_t* serviceName) {
    if (const char* dirs = std::getenv("RUNTIME_DIRECTORY"); dirs != nullptr && dirs[0] != '\0') {
        const std::string all(dirs);
        return all.substr(0, all.find(':')) + "/control.sock";
    }
    if (const char* dir = std::getenv("KELTRA_RUNTIME_DIR"); dir != nullptr && dir[0] != '\0') {
        return std::string(dir) + "/control.sock";
    }
    return "/run/" + WideToUtf8(serviceName == nullptr ? L"" : serviceName) + "/control.sock";
}

ErrorCode SendControlRequest(const wchar_t* serviceName, std::uint32_t control,
                             std::uint32_t eventType, ControlAnswer* answer,
                             std::uint32_t timeoutMs, ControlOrigin origin) noexcept {
    if (serviceName == nullptr || answer == nullptr) {
        return kErrorInvalidParameter;
    }
    try {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        sockaddr_un address;
        const std::string path = ControlChannelPath(serviceName);
        if (!FillAddress(path, &address)) {
            return kErrorFileNotFound;
        }
        // A control sent to a socket another user planted would tell them nothing good and
        // get an answer they made up.
        if (!PlantedSocketRisk(path, true).empty()) {
            return kErrorAccessDenied;
        }
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            return ErrorFromErrno(errno);
        }
        // A full listen queue blocks connect: bound it by the same time limit.
        const timeval limit = {static_cast<time_t>(timeoutMs / 1000),
                               static_cast<suseconds_t>(timeoutMs % 1000) * 1000};
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        ErrorCode code = 0;
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            const int e = errno;
            code = e == ENOENT || e == ENOTDIR       ? kErrorFileNotFound
                   : e == ECONNREFUSED               ? 1062u
                   : e == EACCES || e == EPERM       ? kErrorAccessDenied
                   : e == EAGAIN || e == EINPROGRESS ? kErrorServiceRequestTimeout
                                                     : ErrorFromErrno(e);
        } else {
            unsigned char request[12];
            PutU32(request,
                   origin == ControlOrigin::kSystem ? kSystemEventMagic : kControlChannelMagic);
            PutU32(request + 4, control);
            PutU32(request + 8, eventType);
            unsigned char bytes[kAnswerBytes];
            long n = Transfer(fd, request, sizeof request, true, deadline);
            if (n == static_cast<long>(sizeof request)) {
                n = Transfer(fd, bytes, sizeof bytes, false, deadline);
            }
            if (n == -ETIMEDOUT) {
                code = kErrorServiceRequestTimeout;
            } else if (n == 0 || n == -EPIPE || n == -ECONNRESET) {
                code = kErrorAccessDenied;  // disconnected without an answer: refused
            } else if (n < 0) {
                code = ErrorFromErrno(static_cast<int>(-n));
            } else if (!ReadAnswer(bytes, static_cast<std::size_t>(n), answer)) {
                code = kErrorInvalidData;
            }
        }
        close(fd);
        return code;
    } catch (...) {
        return kErrorNotEnoughMemory;
    }
}

ErrorCode SendControlRequest(const wchar_t* serviceName, std::uint32_t control,
                             std::uint32_t eventType, std::uint32_t* result,
                             std::uint32_t timeoutMs, ControlOrigin origin) noexcept {
    if (result == nullptr) {
        return kErrorInvalidParameter;
    }
    ControlAnswer answer;
    const ErrorCode code =
        SendControlRequest(serviceName, control, eventType, &answer, timeoutMs, origin);
    if (code == 0) {
        *result = answer.result;
    }
    return code;
}

ErrorCode ControlChannelServer::Open(const std::string& path) noexcept {
    Close();
    try {
        m_problem.clear();
        sockaddr_un address;
        const std::string temporary = path + "." + std::to_string(getpid());
        if (!FillAddress(temporary, &address)) {
            m_problem = path + ": the path is too long for a socket";
            return kErrorFilenameExcedRange;
        }
        const std::size_t slash = path.rfind('/');
        if (slash != std::string::npos && slash > 0) {
            mkdir(path.substr(0, slash).c_str(), 0755);  // exists already in most cases
        }
        // Clients refuse such a directory too: nobody would ever reach a socket there.
        m_problem = PlantedSocketRisk(path, false);
        if (!m_problem.empty()) {
            return kErrorAccessDenied;
        }
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            const int error = errno;
            m_problem = path + ": " + std::strerror(error);
            return ErrorFromErrno(error);
        }
        unlink(temporary.c_str());
        if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            chmod(temporary.c_str(), 0600) != 0 || listen(fd, 64) != 0 ||
            rename(temporary.c_str(), path.c_str()) != 0) {
            const int error = errno;
            m_problem = path + ": " + std::strerror(error);
            unlink(temporary.c_str());
            close(fd);
            return ErrorFromErrno(error);
        }
        m_listener = fd;
        m_path = path;
        return 0;
    } catch (...) {
        return kErrorNotEnoughMemory;
    }
}

void ControlChannelServer::Close() noexcept {
    for (const Pending& p : m_pending) {
        close(p.fd);
    }
    m_pending.clear();
    if (m_listener >= 0) {
        close(m_listener);
        unlink(m_path.c_str());
        m_listener = -1;
    }
}

void ControlChannelServer::AppendPollSet(std::vector<pollfd>* set) const {
    if (m_listener >= 0 && m_pending.size() < kMaxPending) {
        set->push_back({m_listener, POLLIN, 0});
    }
    for (const Pending& p : m_pending) {
        set->push_back({p.fd, POLLIN, 0});
    }
}

int ControlChannelServer::TimeoutMs() const {
    int nearest = -1;
    for (const Pending& p : m_pending) {
        const int left = RemainingMs(p.deadline);
        nearest = nearest < 0 || left < nearest ? left : nearest;
    }
    return nearest;
}

void ControlChannelServer::Accept(const Serve& serve) {
    // One connection per readiness of the listener: another that waits keeps it readable for
    // the next poll, and asking again now would mostly hear that none is there.
    const int fd = accept4(m_listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        return;
    }
    ucred peer = {};
    socklen_t size = sizeof peer;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 ||
        (peer.uid != 0 && peer.uid != geteuid())) {
        close(fd);  // refused: no answer
        return;
    }
    const Clock::time_point now = Clock::now();
    Pending pending{fd, {}, 0, now + std::chrono::milliseconds(kRequestLimitMs)};
    // A client sends its request right after connecting, so it is usually here already: serve
    // it now rather than after another round of poll.
    if (!Progress(&pending, serve, now)) {
        m_pending.push_back(pending);
    }
}

bool ControlChannelServer::Progress(Pending* p, const Serve& serve, Clock::time_point now) {
    const ssize_t n = recv(p->fd, p->bytes + p->got, sizeof p->bytes - p->got, 0);
    bool drop = n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR);
    p->got += n > 0 ? static_cast<std::size_t>(n) : 0;
    drop = drop || p->got == sizeof p->bytes;  // oversized
    if (!drop && p->got == 12) {
        const std::uint32_t magic = GetU32(p->bytes);
        drop = true;
        if (magic == kControlChannelMagic || magic == kSystemEventMagic) {
            unsigned char answer[kAnswerBytes];
            WriteAnswer(serve(GetU32(p->bytes + 4), GetU32(p->bytes + 8),
                              magic == kSystemEventMagic ? ControlOrigin::kSystem
                                                         : ControlOrigin::kControlService),
                        answer);
            (void)send(p->fd, answer, sizeof answer, MSG_NOSIGNAL | MSG_DONTWAIT);
        }
    }
    if (drop || (p->got < 12 && now >= p->deadline)) {
        close(p->fd);
        return true;
    }
    return false;
}

void ControlChannelServer::Handle(const pollfd* polled, std::size_t count, const Serve& serve) {
    const Clock::time_point now = Clock::now();
    bool accept = false;
    for (std::size_t i = 0; i < count; ++i) {
        if (polled[i].fd == m_listener) {
            accept = polled[i].revents != 0;
            continue;
        }
        for (auto it = m_pending.begin(); it != m_pending.end(); ++it) {
            if (it->fd != polled[i].fd) {
                continue;
            }
            const bool finished =
                polled[i].revents != 0 ? Progress(&*it, serve, now) : now >= it->deadline;
            if (finished) {
                if (polled[i].revents == 0) {
                    close(it->fd);  // late: dropped without an answer
                }
                m_pending.erase(it);
            }
            break;
        }
    }
    // Requests not polled this round (added after the poll set was made) keep their deadline.
    if (accept && m_pending.size() < kMaxPending) {
        Accept(serve);
    }
}

}  // namespace platform::posix
