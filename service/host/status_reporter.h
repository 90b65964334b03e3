// The host's status: every status report to the service manager goes through the reporter,
// which also keeps what the host knows about itself (plug-ins, the last control, the slowest
// answer) in a record that "/STATUS" reads from another process.
//
// The record is "<service name>.status" in the service's data directory (ServiceDataDirectory:
// owner-only on POSIX, root's; on Windows under ProgramData), rewritten whole when it changed:
// a new owner-only file beside it, then renamed over it, so a reader sees the old record or the
// new one, never a mix. It names the process that wrote it; a reader trusts it only while the
// service manager reports that same process as the service's, so the record of a host that is
// gone is never taken as current. It is deleted when the host reports stopped.
//
// When it is written: a new state, text or plug-in list before the call returns (so a reader
// that hears of a state from the manager finds it in the record). A control and the heartbeat
// that follows it are left to the reporter's writer thread, which keeps file and manager I/O
// out of the control's path and publishes the newest view at most every kCoalesceMs: a burst
// of controls costs one write, and the record shows a control at most that much later.
//
// Threads: the reporter is process-wide and locked; any thread. The writer runs from Start
// until the host reports stopped. Failure: a record that cannot be made is skipped (the next
// change tries again); one that is made but cannot replace the old (Windows, while a reader
// has it open) is tried again by the writer after its pause; reports return the manager's
// code.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/error.h"
#include "service/host/service_dispatcher.h"

namespace Stoneleaf {

/// One plug-in as the host sees it.
struct PluginView {
    std::wstring path;
    std::wstring description;
    std::wstring state;  ///< "loaded", "suppressed (late)" or "suppressed (not alive)"

    bool operator==(const PluginView&) const = default;
};

/// What the host knows about itself. Times are seconds since 1970 (UTC).
struct HostView {
    std::uint32_t processId = 0;
    std::int64_t startedAt = 0;
    std::uint32_t state = 0;  ///< the last state reported (platform::kService...)
    std::wstring text;        ///< the status text
    std::vector<PluginView> plugins;
    bool controlSeen = false;  ///< the three below are set
    std::uint32_t lastControl = 0;
    std::uint32_t lastResult = 0;
    std::int64_t lastControlAt = 0;
    bool handlerAnswered = false;  ///< the two below are set
    std::uint32_t slowestAnswerMs = 0;
    std::uint32_t slowestControl = 0;
};

/// The record's text (UTF-8 lines of tab-separated fields; tab, line breaks and backslash in
/// a field escaped) and back. Parse is false for text that is not a whole record.
[[nodiscard]] std::string FormatHostView(const HostView& view);
[[nodiscard]] bool ParseHostView(const std::string& text, HostView* view);

/// The record's path for the service.
[[nodiscard]] std::wstring StatusRecordPath(const wchar_t* serviceName);

/// Reads the record of the service: 0, 2 when there is none, 13 when it is not a record, or
/// the error of the read.
[[nodiscard]] platform::ErrorCode ReadStatusRecord(const wchar_t* serviceName, HostView* view);

class StatusReporter {
  public:
    /// How long the writer gathers changes after a write before it writes again.
    static constexpr std::chrono::milliseconds kCoalesceMs{50};

    StatusReporter() = default;
    StatusReporter(const StatusReporter&) = delete;
    StatusReporter& operator=(const StatusReporter&) = delete;
    /// Ends the writer, if it still runs (without writing what it has not written yet).
    ~StatusReporter();

    /// The host of serviceName starts: from now on its record is kept, and the writer runs.
    void Start(const wchar_t* serviceName);
    /// Sends the status to the manager (platform::ReportServiceStatus); a new state is in the
    /// record when this returns; stopped deletes the record and ends the writer.
    platform::ErrorCode Report(platform::ServiceStatusHandle handle,
                               const platform::ServiceStatus& status);
    /// The short text beside the state (platform::SetServiceStatusText); null clears it.
    void SetText(const wchar_t* text);
    /// The host is healthy (platform::SendServiceHeartbeat): sent by the writer while it runs
    /// (several heartbeats within kCoalesceMs become one), else at once.
    void Heartbeat();
    void SetPlugins(std::vector<PluginView> plugins);
    /// A control was delivered, with its result and how long the host took to answer it. The
    /// writer publishes it; returns without file I/O.
    void RecordControl(std::uint32_t control, std::uint32_t result, std::uint32_t answerMs);
    [[nodiscard]] HostView View();

  private:
    // Writes the view when it changed since the last write; serialised by m_writeLock, so
    // records go out in the order of the views they hold. Called without m_lock held.
    void Publish();
    void WriterLoop();
    [[nodiscard]] bool WriterRunsLocked() const;
    // Lets an idle writer see the change made under hold, which it unlocks.
    void WakeWriter(std::unique_lock<std::mutex>& hold);
    // Asks the writer to end; returns it for joining outside the locks. m_lock held.
    std::thread StopWriterLocked();

    std::mutex m_writeLock;  // taken before m_lock: one writer of the record at a time
    std::mutex m_lock;       // everything below
    HostView m_view;
    std::wstring m_path;             // empty: not a started host, nothing is written
    bool m_changed = false;          // the view differs from the last record written
    bool m_heartbeatDue = false;     // for the writer
    bool m_quit = false;             // the writer ends
    bool m_writerIdle = false;       // the writer waits for work (not inside a pause or a write)
    std::condition_variable m_wake;  // the writer waits here
    std::thread m_writer;
};

/// The process's one reporter.
[[nodiscard]] StatusReporter& HostStatus();

}  // namespace Stoneleaf
