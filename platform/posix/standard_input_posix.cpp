// POSIX standard input lines: a reader thread that polls standard input and a wake pipe.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "platform/handle.h"
#include "platform/standard_input.h"
#include "platform/thread.h"
#include "platform/wait.h"

namespace platform {

struct StandardInputLines::State {
    Shared shared;
    int wake[2] = {-1, -1};
};

namespace {

std::uint32_t ReadLines(void* argument) {
    auto* state = static_cast<StandardInputLines::State*>(argument);
    std::string pending;
    char buffer[4096];
    for (;;) {
        pollfd polled[2] = {{STDIN_FILENO, POLLIN, 0}, {state->wake[0], POLLIN, 0}};
        if (::poll(polled, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (polled[1].revents != 0) {
            return 0;  // stopped
        }
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        StandardInputLines::Feed(&state->shared, &pending, buffer, static_cast<std::size_t>(n));
    }
    StandardInputLines::Finish(&state->shared, &pending);
    return 0;
}

}  // namespace

StandardInputLines::StandardInputLines() : m_state(std::make_shared<State>()) {}

bool StandardInputLines::Start(Sink sink) {
    if (m_thread || m_state->shared.stopped || ::pipe2(m_state->wake, O_CLOEXEC) != 0) {
        return false;
    }
    m_state->shared.sink = std::move(sink);
    m_thread.Reset(BeginThread(&ReadLines, m_state.get(), nullptr));
    return m_thread.Valid();
}

void StandardInputLines::Stop() noexcept {
    {
        std::lock_guard<std::mutex> hold(m_state->shared.lock);
        m_state->shared.stopped = true;
    }
    if (m_thread) {
        const char wake = 's';
        (void)!::write(m_state->wake[1], &wake, 1);
        (void)WaitForSingleObject(m_thread.Get(), kInfinite);  // it wakes at once
        m_thread.Reset();
    }
    for (int& fd : m_state->wake) {
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
        }
    }
}

}  // namespace platform
