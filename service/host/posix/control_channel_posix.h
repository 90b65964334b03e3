// The service's control channel on POSIX: a Unix-domain socket in the service's runtime
// directory that carries one control to the running service and its handler's result back.
//
// Wire format, little-endian: a request of 12 bytes {u32 magic, u32 control, u32 eventType},
// an answer of 36 bytes {u32 magic, u32 result, u32 version, then the service's status after
// the control: u32 state, u32 controlsAccepted, u32 win32ExitCode, u32 serviceSpecificExitCode,
// u32 checkPoint, u32 waitHint}. The request's magic says who sends it: kControlChannelMagic a
// control as ControlService sends it, kSystemEventMagic an event of the system (shutdown,
// power, ...); the answer carries kControlChannelMagic. The answer's first 8 bytes are the
// whole answer of the first version of the channel, so a client of either version reads a
// server of the other while a package upgrade replaces one of them. One request per
// connection. The socket is created with mode 0600 (atomically: bound under a temporary name,
// restricted, then renamed), and the service also checks each peer's credentials: root and the
// service's own user are served, everyone else is disconnected without an answer.
#pragma once

#include <poll.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/types.h"
#include "service/host/service_control.h"

namespace platform::posix {

inline constexpr std::uint32_t kControlChannelMagic = 0x4B534343;
inline constexpr std::uint32_t kSystemEventMagic = 0x4B534345;
/// The answer's version: 1 adds the status after the control. A first-version answer (8
/// bytes) counts as version 0, without a status.
inline constexpr std::uint32_t kControlChannelVersion = 1;

/// What the service answers a control: the result, and its status after the control (from
/// version 1; currentState 0 when the service did not send one).
struct ControlAnswer {
    std::uint32_t result = 0;
    ServiceStatus status{};
};

/// Sends one control from origin to the running service's channel and waits up to timeoutMs
/// for the answer. Returns 0 and the service's answer in *answer (result: the manager's
/// refusal, platform::AdmitControl, or the handler's result), or 2 (no channel: the service is not
/// running or has no channel), 1062 when nobody accepts the connection, 5 when refused for
/// lack of rights (the socket's mode, or the service closed the connection without an
/// answer) and when another user could have put the socket there (the runtime directory is
/// owned by a user other than root and this process's own, or writable by group or others
/// without the sticky bit, or the socket is such a user's), 1053 when no answer came in time,
/// 13 for a malformed answer; 87 for a null name or answer. Any thread.
ErrorCode SendControlRequest(const wchar_t* serviceName, std::uint32_t control,
                             std::uint32_t eventType, ControlAnswer* answer,
                             std::uint32_t timeoutMs,
                             ControlOrigin origin = ControlOrigin::kControlService) noexcept;
/// The same for a caller that needs only the result.
ErrorCode SendControlRequest(const wchar_t* serviceName, std::uint32_t control,
                             std::uint32_t eventType, std::uint32_t* result,
                             std::uint32_t timeoutMs,
                             ControlOrigin origin = ControlOrigin::kControlService) noexcept;

/// The socket path: $RUNTIME_DIRECTORY/control.sock when set (systemd sets it for
/// RuntimeDirectory=; the first of several), else $KELTRA_RUNTIME_DIR/control.sock, else
/// /run/<serviceName>/control.sock.
std::string ControlChannelPath(const wchar_t* serviceName);

/// The service's side. Used by the dispatcher on its own thread only; not thread-safe.
/// Requests are read without blocking, several at a time; one that is short, oversized, has a
/// wrong magic, or is not complete within kRequestLimitMs is dropped without an answer. A
/// request already complete when its connection is accepted is served at once.
class ControlChannelServer {
  public:
    static constexpr std::uint32_t kRequestLimitMs = 2000;
    static constexpr std::size_t kMaxPending = 32;  // more wait in the listen queue

    /// Answers one well-formed request: (control, eventType, origin) to the result and the
    /// status after it.
    using Serve = std::function<ControlAnswer(std::uint32_t control, std::uint32_t eventType,
                                              ControlOrigin origin)>;

    ControlChannelServer() = default;
    ControlChannelServer(const ControlChannelServer&) = delete;
    ControlChannelServer& operator=(const ControlChannelServer&) = delete;
    ~ControlChannelServer() { Close(); }

    /// Creates the directory (one level, mode 0755) if missing and listens at path, replacing
    /// a stale socket. Returns 0 or the error code (206 when the path is too long; 5 when the
    /// directory is owned by a user other than root and this process's own, or writable by
    /// group or others without the sticky bit: clients would refuse it). On failure Problem()
    /// says why, naming the path.
    ErrorCode Open(const std::string& path) noexcept;
    /// Why the last Open failed; empty after a successful one.
    [[nodiscard]] const std::string& Problem() const noexcept { return m_problem; }
    /// Drops every pending connection, closes the socket and removes its file.
    void Close() noexcept;

    /// The descriptors to poll (the listener and the pending connections), and the time to the
    /// nearest request deadline (-1 for none).
    void AppendPollSet(std::vector<pollfd>* set) const;
    [[nodiscard]] int TimeoutMs() const;
    /// After a poll: accepts, reads, serves the requests that are complete, drops late ones.
    /// polled: the entries that AppendPollSet added, with their results.
    void Handle(const pollfd* polled, std::size_t count, const Serve& serve);

  private:
    using Clock = std::chrono::steady_clock;
    struct Pending {
        int fd;
        unsigned char bytes[13];  // one more than a request: an oversized one shows
        std::size_t got;
        Clock::time_point deadline;
    };
    // Accepts one connection and serves its request if it is already complete.
    void Accept(const Serve& serve);
    // Reads what p's peer has sent; serves and answers a complete request. True when the
    // connection is finished (answered, dropped, or late at `now`) and closed.
    bool Progress(Pending* p, const Serve& serve, Clock::time_point now);

    int m_listener = -1;
    std::string m_path;
    std::string m_problem;
    std::vector<Pending> m_pending;
};

}  // namespace platform::posix
