// The foreground host: plug-ins loaded and entered as at service start, controls delivered
// through the service's own control handler, stop on request, the log echoed meanwhile.
#include "service/foreground.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cwchar>
#include <mutex>
#include <string>
#include <thread>

#include "diagnostics/log_file.h"
#include "diagnostics/log_reader.h"
#include "platform/error.h"
#include "platform/event.h"
#include "platform/file.h"
#include "platform/handle.h"
#include "platform/stop_signals.h"
#include "platform/wait.h"
#include "service/host/service_dispatcher.h"
#include "service/service_admin.h"
#include "service/single_instance.h"
#include "service/terminal_controls.h"
#include "text/text.h"

namespace Stoneleaf {
namespace {

constexpr std::uint32_t kEchoPollMs = 100;

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
    const auto stopAsked = [] {
        return platform::CaughtStopRequest() != platform::StopRequest::kNone || g_outputClosed;
    };
    TerminalControls controls(&Print, stopAsked);
    if (!controls.List(argc - 2, argv + 2)) {
        std::fputs(UsageText().c_str(), stderr);
        instance.Release();
        return platform::kErrorInvalidParameter;
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

    const ControlSink sink = service.Sink();
    controls.Run(sink);
    const platform::StopRequest request = platform::CaughtStopRequest();
    Print(request == platform::StopRequest::kHangUp      ? "terminal closed: stopping\n"
          : request == platform::StopRequest::kInterrupt ? "interrupted: stopping\n"
                                                         : "stopping\n");
    (void)controls.Deliver(sink, platform::kServiceControlStop, 0);
    instance.Release();
    return request == platform::StopRequest::kHangUp ? kExitHangUp
           : g_outputClosed                          ? kExitOutputClosed
                                                     : 0;
}

}  // namespace Stoneleaf
