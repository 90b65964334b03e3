// The foreground host: plug-ins loaded and entered as at service start, controls delivered
// through the service's own control handler, stop on request, the log echoed meanwhile.
#include "service/foreground.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cwchar>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "diagnostics/log_file.h"
#include "diagnostics/log_reader.h"
#include "platform/error.h"
#include "platform/event.h"
#include "platform/file.h"
#include "platform/handle.h"
#include "platform/standard_input.h"
#include "platform/stop_signals.h"
#include "platform/wait.h"
#include "service/host/service_dispatcher.h"
#include "service/service_admin.h"
#include "service/single_instance.h"
#include "text/text.h"

namespace Stoneleaf {
namespace {

constexpr std::uint32_t kEchoPollMs = 100;
constexpr std::uint32_t kInputPollMs = 200;

// Exit codes of a run that ended because its terminal went away, as a shell reports a process
// ended by SIGHUP or SIGPIPE (128 + the signal's number): the stop itself is a normal one.
constexpr std::uint32_t kExitHangUp = 129;
constexpr std::uint32_t kExitOutputClosed = 141;

std::mutex g_printLock;
std::atomic<bool> g_outputClosed{false};

// Once standard output is a closed pipe nobody reads what follows: the run stops.
void Print(const std::string& text) {
    std::lock_guard<std::mutex> lock(g_printLock);
    if (g_outputClosed) {
        return;
    }
    errno = 0;
    const bool written = std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
    if ((std::fflush(stdout) != 0 || !written) && errno == EPIPE) {
        g_outputClosed = true;
    }
}

// Echoes the lines the log gains from now on, until stopped; the last read follows the stop,
// so every line written before it is shown.
class LogEcho {
  public:
    LogEcho() : m_stop(platform::CreateEvent(true, false)) {
        if (!g_defaultLog.IsOpen() || !m_stop) {
            return;
        }
        m_file.Reset(platform::CreateFile(g_defaultLog.LogPath(), platform::kGenericRead,
                                          platform::kFileShareRead | platform::kFileShareWrite,
                                          false, platform::kOpenExisting,
                                          platform::kFileAttributeNormal));
        if (!m_file) {
            return;
        }
        std::uint32_t high = 0;
        const std::uint32_t low = platform::GetFileSize(m_file.Get(), &high);
        (void)platform::SetFilePointer(m_file.Get(), static_cast<std::int32_t>(low),
                                       reinterpret_cast<std::int32_t*>(&high),
                                       platform::kFileBegin);
        // From the current end: only the lines of this run are shown. The log is open, so its
        // mark is already in the file whenever the end is past the start.
        if (low != 0 || high != 0) {
            m_reader.StartPastMark();
        }
        m_thread = std::thread([this] { Run(); });
    }
    ~LogEcho() {
        if (m_thread.joinable()) {
            platform::SetEvent(m_stop.Get());
            m_thread.join();
        }
    }

  private:
    void Run() {
        bool stopping = false;
        while (!stopping) {
            stopping =
                platform::WaitForSingleObject(m_stop.Get(), kEchoPollMs) == platform::kWaitObject0;
            std::string text;
            unsigned char chunk[8192];
            std::uint32_t got = 0;
            while (platform::ReadFile(m_file.Get(), chunk, sizeof chunk, &got) && got > 0) {
                m_reader.Feed(chunk, got, &text);
            }
            if (stopping) {
                m_reader.Flush(&text);
            }
            if (!text.empty()) {
                Print(logfilesync::ShowControls(text));
            }
        }
    }

    platform::UniqueHandle m_stop;
    platform::UniqueHandle m_file;
    logfilesync::LogTextReader m_reader;
    std::thread m_thread;
};

// The listed controls, then lines of standard input, handed to the main thread; the end of
// input reads as STOP. One reader, started when the listed controls are used up and ended
// with the queue, so nothing reaches the queue once the run is over.
class InputQueue {
  public:
    InputQueue() : m_ready(platform::CreateEvent(false, false)) {}
    ~InputQueue() { m_reader.Stop(); }

    void Push(std::wstring line) {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_lines.push_back(std::move(line));
        }
        platform::SetEvent(m_ready.Get());
    }
    // Reads standard input from now on, once only.
    void StartReadingStandardInput() {
        (void)m_reader.Start([this](const std::string& line, bool end) {
            Push(end ? std::wstring(L"STOP") : platform::Utf8ToWide(line));
        });
    }
    // The next line, or false after waiting a while for one.
    bool Next(std::wstring* line) {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            if (!m_lines.empty()) {
                *line = std::move(m_lines.front());
                m_lines.pop_front();
                return true;
            }
        }
        (void)platform::WaitForSingleObject(m_ready.Get(), kInputPollMs);
        return false;
    }
    [[nodiscard]] bool Empty() {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_lines.empty();
    }

  private:
    platform::UniqueHandle m_ready;
    std::mutex m_lock;
    std::deque<std::wstring> m_lines;
    platform::StandardInputLines m_reader;  // last: stopped before the rest goes
};

std::wstring Trim(const std::wstring& text) {
    const std::size_t first = text.find_first_not_of(L" \t\r\n");
    const std::size_t last = text.find_last_not_of(L" \t\r\n");
    return first == std::wstring::npos ? L"" : text.substr(first, last - first + 1);
}

// "CODE" or "CODE:EVENTTYPE", both decimal; in this terminal any code but stop may be tried.
bool ParseForegroundControl(const std::wstring& text, std::uint32_t* control,
                            std::uint32_t* eventType) {
    const std::size_t colon = text.find(L':');
    const std::wstring code = text.substr(0, colon);
    *eventType = 0;
    if (colon != std::wstring::npos && !ParseDecimal(text.c_str() + colon + 1, eventType)) {
        return false;
    }
    if (ParseControlCode(code.c_str(), control)) {
        return true;
    }
    std::uint32_t value = 0;
    if (!ParseDecimal(code.c_str(), &value) || value == 0 ||
        value == platform::kServiceControlStop) {
        return false;
    }
    *control = value;
    return true;
}

void Deliver(CService& service, std::uint32_t control, std::uint32_t eventType) {
    const std::uint32_t result =
        CService::ServiceCtrlHandlerEx(control, eventType, nullptr, &service);
    Print("control " + std::to_string(control) + " (event type " + std::to_string(eventType) +
          ") delivered: result " + std::to_string(result) + "\n");
}

}  // namespace

std::uint32_t RunForeground(CService& service, int argc, wchar_t** argv) {
    CSingleInstance instance;
    const std::uint32_t acquired = instance.Acquire(CService::ServiceName());
    if (acquired == platform::kErrorAlreadyExists) {
        std::fprintf(stderr, "/RUN: the service already runs (in this or another form)\n");
    }
    if (acquired != platform::kErrorSuccess) {
        return acquired;
    }
    InputQueue input;
    bool stopListed = false;
    for (int i = 2; i < argc && !stopListed; ++i) {
        std::uint32_t control = 0, eventType = 0;
        stopListed = IsCommandWord(argv[i], L"STOP");
        if (!stopListed && !ParseForegroundControl(argv[i], &control, &eventType)) {
            std::fputs(UsageText().c_str(), stderr);
            instance.Release();
            return platform::kErrorInvalidParameter;
        }
        input.Push(argv[i]);
    }

    // From here a stop request, a closed terminal or a closed output stops the plug-ins.
    platform::CatchStopRequests();
    LogEcho echo;
    Print(platform::WideToUtf8(CService::ServiceName()) +
          " in the foreground: loading plug-ins (Ctrl-C or STOP stops)\n");
    wchar_t* serviceArgs[] = {const_cast<wchar_t*>(CService::ServiceName()), nullptr};
    service.EnterMainLoop(1, serviceArgs);
    Print(
        "plug-ins running; controls: a code (128..255, INTERROGATE, PARAMCHANGE, or any "
        "CODE:EVENTTYPE), STOP\n");

    const auto stopAsked = [] {
        return platform::CaughtStopRequest() != platform::StopRequest::kNone || g_outputClosed;
    };
    std::wstring line;
    while (!stopAsked()) {
        if (!stopListed && input.Empty()) {
            input.StartReadingStandardInput();  // the listed controls are done
        }
        if (!input.Next(&line)) {
            continue;
        }
        line = Trim(line);
        if (line.empty()) {
            continue;
        }
        if (IsCommandWord(line.c_str(), L"STOP")) {
            break;
        }
        std::uint32_t control = 0, eventType = 0;
        if (ParseForegroundControl(line, &control, &eventType)) {
            Deliver(service, control, eventType);
        } else {
            Print("not a control: " + platform::WideToUtf8(line) + "\n");
        }
    }
    const platform::StopRequest request = platform::CaughtStopRequest();
    Print(request == platform::StopRequest::kHangUp      ? "terminal closed: stopping\n"
          : request == platform::StopRequest::kInterrupt ? "interrupted: stopping\n"
                                                         : "stopping\n");
    Deliver(service, platform::kServiceControlStop, 0);
    instance.Release();
    return request == platform::StopRequest::kHangUp ? kExitHangUp
           : g_outputClosed                          ? kExitOutputClosed
                                                     : 0;
}

}  // namespace Stoneleaf
