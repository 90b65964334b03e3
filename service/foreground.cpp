// The foreground host: plug-ins loaded and entered as at service start, controls delivered
// through the service's own control handler, stop on request, the log echoed meanwhile.
#include "service/foreground.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cwchar>
#include <deque>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>

#include "diagnostics/log_file.h"
#include "diagnostics/log_reader.h"
#include "platform/error.h"
#include "platform/event.h"
#include "platform/file.h"
#include "platform/handle.h"
#include "platform/named_mutex.h"
#include "platform/service_dispatcher.h"
#include "platform/text.h"
#include "platform/wait.h"
#include "service/service_admin.h"

namespace Stoneleaf {
namespace {

constexpr std::uint32_t kEchoPollMs = 100;
constexpr std::uint32_t kInputPollMs = 200;

std::atomic<bool> g_interrupted{false};
std::mutex g_printLock;

extern "C" void OnInterrupt(int) {
    g_interrupted = true;
}

void Print(const std::string& text) {
    std::lock_guard<std::mutex> lock(g_printLock);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
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
                Print(text);
            }
        }
    }

    platform::UniqueHandle m_stop;
    platform::UniqueHandle m_file;
    logfilesync::LogTextReader m_reader;
    std::thread m_thread;
};

// Lines of standard input, handed to the main thread; the end of input reads as STOP. The
// reader may stay blocked in a read when the host stops for another reason: it is detached,
// and the process ends without waiting for it.
class InputQueue {
  public:
    InputQueue() : m_ready(platform::CreateEvent(false, false)) {}

    void Push(std::wstring line) {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_lines.push_back(std::move(line));
        }
        platform::SetEvent(m_ready.Get());
    }
    void StartReadingStandardInput() {
        std::thread([this] {
            std::string line;
            while (std::getline(std::cin, line)) {
                Push(platform::Utf8ToWide(line));
            }
            Push(L"STOP");
        }).detach();
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

  private:
    platform::UniqueHandle m_ready;
    std::mutex m_lock;
    std::deque<std::wstring> m_lines;
};

std::wstring Trim(const std::wstring& text) {
    const std::size_t first = text.find_first_not_of(L" \t\r\n");
    const std::size_t last = text.find_last_not_of(L" \t\r\n");
    return first == std::wstring::npos ? L"" : text.substr(first, last - first + 1);
}

// "CODE" or "CODE:EVENTTYPE"; in this terminal any code but stop may be tried.
bool ParseForegroundControl(const std::wstring& text, std::uint32_t* control,
                            std::uint32_t* eventType) {
    const std::size_t colon = text.find(L':');
    const std::wstring code = text.substr(0, colon);
    *eventType = 0;
    if (colon != std::wstring::npos) {
        wchar_t* end = nullptr;
        const std::wstring type = text.substr(colon + 1);
        *eventType = static_cast<std::uint32_t>(std::wcstoul(type.c_str(), &end, 0));
        if (type.empty() || *end != L'\0') {
            return false;
        }
    }
    if (ParseControlCode(code.c_str(), control)) {
        return true;
    }
    wchar_t* end = nullptr;
    const unsigned long value = std::wcstoul(code.c_str(), &end, 0);
    if (code.empty() || *end != L'\0' || value == 0 || value > 0xFFFFFFFFul ||
        value == platform::kServiceControlStop) {
        return false;
    }
    *control = static_cast<std::uint32_t>(value);
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
    wchar_t mutexName[260] = {};
    (void)platform::StringCchPrintfW(mutexName, 260, L"Global\\mtx_%s", CService::ServiceName());
    platform::UniqueHandle instance(platform::CreateMutex(false, true, mutexName));
    if (!instance) {
        return platform::GetLastError();
    }
    if (platform::GetLastError() == platform::kErrorAlreadyExists) {
        std::fprintf(stderr, "/RUN: the service already runs (in this or another form)\n");
        return platform::kErrorAlreadyExists;
    }
    InputQueue input;
    bool stopListed = false;
    for (int i = 2; i < argc && !stopListed; ++i) {
        std::uint32_t control = 0, eventType = 0;
        stopListed = IsCommandWord(argv[i], L"STOP");
        if (!stopListed && !ParseForegroundControl(argv[i], &control, &eventType)) {
            std::fputs(UsageText().c_str(), stderr);
            platform::ReleaseMutex(instance.Get());
            return platform::kErrorInvalidParameter;
        }
        input.Push(argv[i]);
    }
    if (!stopListed) {
        input.Push(L"");  // marks where the listed controls end
    }

    g_interrupted = false;
    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);
    LogEcho echo;
    Print(platform::WideToUtf8(CService::ServiceName()) +
          " in the foreground: loading plug-ins (Ctrl-C or STOP stops)\n");
    wchar_t* serviceArgs[] = {const_cast<wchar_t*>(CService::ServiceName()), nullptr};
    service.EnterMainLoop(1, serviceArgs);
    Print(
        "plug-ins running; controls: a code (128..255, INTERROGATE, PARAMCHANGE, or any "
        "CODE:EVENTTYPE), STOP\n");

    std::wstring line;
    while (!g_interrupted) {
        if (!input.Next(&line)) {
            continue;
        }
        line = Trim(line);
        if (line.empty()) {
            input.StartReadingStandardInput();
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
    Print(g_interrupted ? "interrupted: stopping\n" : "stopping\n");
    Deliver(service, platform::kServiceControlStop, 0);
    platform::ReleaseMutex(instance.Get());
    return 0;
}

}  // namespace Stoneleaf
