// The terminal's controls for "/RUN": parsing, the input queue and its one reader, delivery.
#include "service/terminal_controls.h"

#include <deque>
#include <mutex>

#include "platform/event.h"
#include "platform/handle.h"
#include "platform/standard_input.h"
#include "platform/wait.h"
#include "service/service_admin.h"
#include "text/text.h"

namespace Stoneleaf {
namespace {

// How often a wait for input looks again whether the run has ended.
constexpr std::uint32_t kInputPollMs = 200;

std::wstring Trim(const std::wstring& text) {
    const std::size_t first = text.find_first_not_of(L" \t\r\n");
    const std::size_t last = text.find_last_not_of(L" \t\r\n");
    return first == std::wstring::npos ? L"" : text.substr(first, last - first + 1);
}

}  // namespace

bool ParseTerminalControl(const std::wstring& text, std::uint32_t* control,
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

// The listed controls, then lines of standard input, handed to the main thread; the end of
// input reads as STOP.
class TerminalControls::Queue {
  public:
    Queue() : m_ready(platform::CreateEvent(false, false)) {}
    ~Queue() { m_reader.Stop(); }

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

TerminalControls::TerminalControls(Say say, Ended ended)
    : m_say(std::move(say)), m_ended(std::move(ended)), m_queue(std::make_unique<Queue>()) {}

TerminalControls::~TerminalControls() = default;

bool TerminalControls::List(int count, wchar_t** words) {
    int listed = 0;
    bool stop = false;
    for (; listed < count && !stop; ++listed) {
        std::uint32_t control = 0, eventType = 0;
        stop = IsCommandWord(words[listed], L"STOP");
        if (!stop && !ParseTerminalControl(words[listed], &control, &eventType)) {
            return false;
        }
    }
    for (int i = 0; i < listed; ++i) {
        m_queue->Push(words[i]);
    }
    m_stopListed = stop;
    return true;
}

void TerminalControls::Run(const ControlSink& sink) {
    std::wstring line;
    while (!m_ended()) {
        if (!m_stopListed && m_queue->Empty()) {
            m_queue->StartReadingStandardInput();  // the listed controls are done
        }
        if (!m_queue->Next(&line)) {
            continue;
        }
        line = Trim(line);
        if (line.empty()) {
            continue;
        }
        if (IsCommandWord(line.c_str(), L"STOP")) {
            return;
        }
        std::uint32_t control = 0, eventType = 0;
        if (!ParseTerminalControl(line, &control, &eventType)) {
            m_say("not a control: " + platform::WideToUtf8(line) + "\n");
            continue;
        }
        (void)Deliver(sink, control, eventType);
    }
}

std::uint32_t TerminalControls::Deliver(const ControlSink& sink, std::uint32_t control,
                                        std::uint32_t eventType) {
    const std::uint32_t result = sink.Deliver(control, eventType, nullptr);
    m_say("control " + std::to_string(control) + " (event type " + std::to_string(eventType) +
          ") delivered: result " + std::to_string(result) + "\n");
    return result;
}

}  // namespace Stoneleaf
