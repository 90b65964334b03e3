// Windows standard input lines: a reader thread in ReadFile, cancelled by Stop.

#include "platform/handle.h"
#include "platform/standard_input.h"
#include "platform/thread.h"
#include "platform/wait.h"
#include "platform/win32/windows_lean.h"

namespace platform {

struct StandardInputLines::State {
    Shared shared;
};

namespace {

constexpr DWORD kStopLimitMs = 2000;
constexpr DWORD kCancelRetryMs = 20;

// The thread owns one reference to the state, so a reader left behind never reads freed memory.
std::uint32_t ReadLines(void* argument) {
    std::unique_ptr<std::shared_ptr<StandardInputLines::State>> owner(
        static_cast<std::shared_ptr<StandardInputLines::State>*>(argument));
    StandardInputLines::Shared* shared = &(*owner)->shared;
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    std::string pending;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(input, buffer, sizeof buffer, &got, nullptr) && got > 0) {
        StandardInputLines::Feed(shared, &pending, buffer, got);
    }
    StandardInputLines::Finish(shared, &pending);
    return 0;
}

}  // namespace

StandardInputLines::StandardInputLines() : m_state(std::make_shared<State>()) {}

bool StandardInputLines::Start(Sink sink) {
    if (m_thread || m_state->shared.stopped) {
        return false;
    }
    m_state->shared.sink = std::move(sink);
    auto* reference = new std::shared_ptr<State>(m_state);
    m_thread.Reset(BeginThread(&ReadLines, reference, nullptr));
    if (!m_thread) {
        delete reference;
    }
    return m_thread.Valid();
}

void StandardInputLines::Stop() noexcept {
    {
        std::lock_guard<std::mutex> hold(m_state->shared.lock);
        m_state->shared.stopped = true;
    }
    if (!m_thread) {
        return;
    }
    // A cancel that comes before the read starts is lost: repeat until the reader has ended.
    const ULONGLONG deadline = GetTickCount64() + kStopLimitMs;
    while (WaitForSingleObject(m_thread.Get(), kCancelRetryMs) != kWaitObject0 &&
           GetTickCount64() < deadline) {
        (void)CancelSynchronousIo(static_cast<HANDLE>(m_thread.Get()));
    }
    m_thread.Reset();
}

}  // namespace platform
