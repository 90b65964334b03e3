// The status reporter and the host's status record.
#include "service/host/status_reporter.h"

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <system_error>
#include <utility>

#include "platform/file.h"
#include "platform/handle.h"
#include "platform/thread.h"
#include "service/host/service_control.h"
#include "text/text.h"

namespace Stoneleaf {
namespace {

constexpr char kRecordHeader[] = "keltra-status 1";
constexpr std::uint32_t kMaxRecordBytes = 1u << 20;
// Windows' FILE_SHARE_DELETE: the host may rename a new record over this one while it is read
// (POSIX has no share modes).
constexpr std::uint32_t kShareDelete = 4;

std::int64_t Now() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// One field: backslash, tab and line breaks escaped, so that fields and lines stay apart.
std::string Field(const std::wstring& text) {
    std::string out;
    for (const char c : platform::WideToUtf8(text)) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                out += c;
        }
    }
    return out;
}

bool Unescape(const std::string& field, std::wstring* text) {
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] != '\\') {
            out += field[i];
            continue;
        }
        const char next = ++i < field.size() ? field[i] : '\0';
        if (next == '\\' || next == 't' || next == 'n' || next == 'r') {
            out += next == 't' ? '\t' : next == 'n' ? '\n' : next == 'r' ? '\r' : '\\';
        } else {
            return false;  // a lone or unknown escape: not written by FormatHostView
        }
    }
    *text = platform::Utf8ToWide(out);
    return true;
}

std::vector<std::string> Split(const std::string& line) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (std::size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1) {
        fields.push_back(line.substr(start, tab - start));
    }
    fields.push_back(line.substr(start));
    return fields;
}

template <typename Number>
bool ToNumber(const std::string& text, Number* value) {
    if (text.empty() || text.size() > 19 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    *value = static_cast<Number>(std::strtoull(text.c_str(), nullptr, 10));
    return true;
}

}  // namespace

std::string FormatHostView(const HostView& view) {
    std::ostringstream out;
    out << kRecordHeader << "\nprocess\t" << view.processId << "\nstarted\t" << view.startedAt
        << "\nstate\t" << view.state << "\ntext\t" << Field(view.text) << "\n";
    for (const PluginView& plugin : view.plugins) {
        out << "plugin\t" << Field(plugin.path) << '\t' << Field(plugin.description) << '\t'
            << Field(plugin.state) << "\n";
    }
    if (view.controlSeen) {
        out << "control\t" << view.lastControl << '\t' << view.lastResult << '\t'
            << view.lastControlAt << "\n";
    }
    if (view.handlerAnswered) {
        out << "slowest\t" << view.slowestAnswerMs << '\t' << view.slowestControl << "\n";
    }
    out << "end\n";
    return out.str();
}

bool ParseHostView(const std::string& text, HostView* view) {
    std::istringstream lines(text);
    std::string line;
    if (!std::getline(lines, line) || line != kRecordHeader) {
        return false;
    }
    HostView parsed;
    while (std::getline(lines, line)) {
        const std::vector<std::string> f = Split(line);
        const std::string& key = f[0];
        bool ok = true;
        if (key == "end" && f.size() == 1) {
            *view = std::move(parsed);
            return true;  // only a whole record ends so
        } else if (key == "process" && f.size() == 2) {
            ok = ToNumber(f[1], &parsed.processId);
        } else if (key == "started" && f.size() == 2) {
            ok = ToNumber(f[1], &parsed.startedAt);
        } else if (key == "state" && f.size() == 2) {
            ok = ToNumber(f[1], &parsed.state);
        } else if (key == "text" && f.size() == 2) {
            ok = Unescape(f[1], &parsed.text);
        } else if (key == "plugin" && f.size() == 4) {
            PluginView plugin;
            ok = Unescape(f[1], &plugin.path) && Unescape(f[2], &plugin.description) &&
                 Unescape(f[3], &plugin.state);
            parsed.plugins.push_back(std::move(plugin));
        } else if (key == "control" && f.size() == 4) {
            parsed.controlSeen = true;
            ok = ToNumber(f[1], &parsed.lastControl) && ToNumber(f[2], &parsed.lastResult) &&
                 ToNumber(f[3], &parsed.lastControlAt);
        } else if (key == "slowest" && f.size() == 3) {
            parsed.handlerAnswered = true;
            ok = ToNumber(f[1], &parsed.slowestAnswerMs) && ToNumber(f[2], &parsed.slowestControl);
        } else {
            ok = false;
        }
        if (!ok) {
            return false;
        }
    }
    return false;
}

std::wstring StatusRecordPath(const wchar_t* serviceName) {
    return platform::ServiceDataDirectory(serviceName) + platform::kPathSeparator + serviceName +
           L".status";
}

platform::ErrorCode ReadStatusRecord(const wchar_t* serviceName, HostView* view) {
    platform::UniqueHandle file(
        platform::CreateFile(StatusRecordPath(serviceName).c_str(), platform::kGenericRead,
                             platform::kFileShareRead | kShareDelete, false,
                             platform::kOpenExisting, platform::kFileAttributeNormal));
    if (!file) {
        return platform::GetLastError();
    }
    std::string text;
    char chunk[4096];
    std::uint32_t got = 0;
    while (platform::ReadFile(file.Get(), chunk, sizeof chunk, &got) && got > 0 &&
           text.size() < kMaxRecordBytes) {
        text.append(chunk, got);
    }
    return ParseHostView(text, view) ? 0 : platform::ErrorCode{platform::kErrorInvalidData};
}

StatusReporter::~StatusReporter() {
    std::thread writer;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        writer = StopWriterLocked();
    }
    if (writer.joinable()) {
        writer.join();
    }
}

void StatusReporter::Start(const wchar_t* serviceName) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_view = HostView{};
    m_view.processId = platform::GetCurrentProcessId();
    m_view.startedAt = Now();
    m_path = StatusRecordPath(serviceName);
    m_changed = false;  // nothing worth a record until the first report
    m_heartbeatDue = false;
    m_quit = false;
    if (!m_writer.joinable()) {
        try {
            m_writer = std::thread([this] { WriterLoop(); });
        } catch (const std::system_error&) {
            // No writer: controls and heartbeats are then published where they happen.
        }
    }
}

platform::ErrorCode StatusReporter::Report(platform::ServiceStatusHandle handle,
                                           const platform::ServiceStatus& status) {
    const platform::ErrorCode result = platform::ReportServiceStatus(handle, &status);
    std::thread writer;
    bool changed = false;
    {
        std::lock_guard<std::mutex> write(m_writeLock);
        std::lock_guard<std::mutex> hold(m_lock);
        if (status.currentState == platform::kServiceStopped) {
            m_view.state = status.currentState;
            if (!m_path.empty()) {
                (void)platform::DeleteFile(m_path.c_str());
            }
            m_path.clear();  // a stopped host has no record
            writer = StopWriterLocked();
        } else if (status.currentState != m_view.state) {
            m_view.state = status.currentState;
            m_changed = changed = true;
        }
    }
    if (writer.joinable()) {
        writer.join();
    } else if (changed) {
        Publish();  // the same state again (every control re-reports it) is left to the writer
    }
    return result;
}

void StatusReporter::SetText(const wchar_t* text) {
    platform::SetServiceStatusText(text);
    {
        std::lock_guard<std::mutex> hold(m_lock);
        const std::wstring next = text != nullptr ? text : L"";
        if (next == m_view.text) {
            return;  // the same text again (every control republishes it)
        }
        m_view.text = next;
        m_changed = true;
    }
    Publish();
}

void StatusReporter::Heartbeat() {
    std::unique_lock<std::mutex> hold(m_lock);
    if (!WriterRunsLocked()) {
        hold.unlock();
        platform::SendServiceHeartbeat();
        return;
    }
    m_heartbeatDue = true;
    WakeWriter(hold);
}

void StatusReporter::SetPlugins(std::vector<PluginView> plugins) {
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (plugins == m_view.plugins) {
            return;  // the same list again (every control republishes it)
        }
        m_view.plugins = std::move(plugins);
        m_changed = true;
    }
    Publish();
}

void StatusReporter::RecordControl(std::uint32_t control, std::uint32_t result,
                                   std::uint32_t answerMs) {
    {
        std::unique_lock<std::mutex> hold(m_lock);
        m_view.controlSeen = true;
        m_view.lastControl = control;
        m_view.lastResult = result;
        m_view.lastControlAt = Now();
        if (!m_view.handlerAnswered || answerMs > m_view.slowestAnswerMs) {
            m_view.handlerAnswered = true;
            m_view.slowestAnswerMs = answerMs;
            m_view.slowestControl = control;
        }
        m_changed = true;
        if (WriterRunsLocked()) {
            WakeWriter(hold);
            return;
        }
    }
    Publish();
}

HostView StatusReporter::View() {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_view;
}

bool StatusReporter::WriterRunsLocked() const {
    return m_writer.joinable() && !m_quit;
}

void StatusReporter::WakeWriter(std::unique_lock<std::mutex>& hold) {
    // Only a writer waiting for work needs the call, and it comes after the unlock: woken
    // under the lock, the writer would at once block on it again. The condition variable
    // lives as long as the reporter, which outlives its writer.
    const bool idle = m_writerIdle;
    hold.unlock();
    if (idle) {
        m_wake.notify_one();
    }
}

std::thread StatusReporter::StopWriterLocked() {
    m_quit = true;
    m_wake.notify_one();
    return std::move(m_writer);
}

void StatusReporter::WriterLoop() {
    std::unique_lock<std::mutex> hold(m_lock);
    for (;;) {
        m_writerIdle = true;
        m_wake.wait(hold, [this] { return m_quit || m_changed || m_heartbeatDue; });
        m_writerIdle = false;
        if (m_quit) {
            return;
        }
        const bool heartbeat = std::exchange(m_heartbeatDue, false);
        hold.unlock();
        if (heartbeat) {
            platform::SendServiceHeartbeat();
        }
        Publish();
        hold.lock();
        // Whatever comes in the next moments waits for one write together.
        const auto next = std::chrono::steady_clock::now() + kCoalesceMs;
        m_wake.wait_until(hold, next, [this] { return m_quit; });
    }
}

void StatusReporter::Publish() {
    std::lock_guard<std::mutex> write(m_writeLock);
    std::wstring path;
    std::string text;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_path.empty() || !m_changed) {
            return;
        }
        m_changed = false;
        path = m_path;
        text = FormatHostView(m_view);
    }
    const std::wstring temporary = path + L".new";
    (void)platform::DeleteFile(temporary.c_str());  // left by a host that died while writing
    platform::UniqueHandle file(platform::CreatePrivateFile(temporary.c_str()));
    std::uint32_t written = 0;
    const bool ok = file &&
                    platform::WriteFile(file.Get(), text.data(),
                                        static_cast<std::uint32_t>(text.size()), &written) &&
                    written == text.size();
    file.Reset(nullptr);
    const bool moved = ok && platform::MoveFile(temporary.c_str(), path.c_str());
    if (!moved) {
        (void)platform::DeleteFile(temporary.c_str());
    }
    if (!ok || moved) {
        return;  // a record that could not be made waits for the next change
    }
    // Windows refuses to replace a file that a reader (/STATUS) has open: the writer tries
    // again after its pause, or the record would keep the old view until the next change.
    std::unique_lock<std::mutex> hold(m_lock);
    if (m_path == path) {
        m_changed = true;
        if (WriterRunsLocked()) {
            WakeWriter(hold);
        }
    }
}

StatusReporter& HostStatus() {
    // Never destroyed: its writer may still run while the process exits.
    static StatusReporter* const reporter = new StatusReporter;
    return *reporter;
}

}  // namespace Stoneleaf
