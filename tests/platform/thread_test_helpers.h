// Helpers for the platform tests: callables on platform threads, events, failure checks and
// the time bound; includes what most platform tests use.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/error.h"
#include "platform/event.h"
#include "platform/file.h"
#include "platform/handle.h"
#include "platform/message_queue.h"
#include "platform/process.h"
#include "platform/thread.h"
#include "platform/wait.h"
#include "tests/support/test_support.h"

/// Expects call to give failure with exactly the last error code (cleared before the call).
#define EXPECT_FAILS_WITH(code, failure, call)       \
    do {                                             \
        ::platform::SetLastError(0);                 \
        EXPECT_EQ(failure, call);                    \
        EXPECT_EQ(code, ::platform::GetLastError()); \
    } while (0)

namespace keltra::test {

/// The bound for anything that must happen: reached only when the code under test fails.
inline constexpr std::uint32_t kLongWait = 20000;

inline platform::UniqueHandle MakeEvent(bool manualReset, bool signalled = false) {
    return platform::UniqueHandle(platform::CreateEvent(manualReset, signalled));
}

/// The exit code of a thread, or 0xFFFFFFFF when it cannot be read.
inline std::uint32_t ThreadExitCode(platform::Handle thread) {
    std::uint32_t code = 0xFFFFFFFF;
    return platform::GetExitCodeThread(thread, &code) ? code : 0xFFFFFFFF;
}

/// Runs body() on a thread of BeginThread; its result is the exit code. The destructor waits
/// for the thread (bounded) and terminates it if it hangs, so a failing test does not leave a
/// thread using the test's locals; the body is freed after that.
class TestThread {
  public:
    using Body = std::function<std::uint32_t()>;
    explicit TestThread(Body body)
        : m_body(std::make_unique<Body>(std::move(body))),
          m_handle(platform::BeginThread(&Run, m_body.get(), &m_id)) {
        EXPECT_TRUE(m_handle.Valid()) << "BeginThread failed with " << platform::GetLastError();
    }
    ~TestThread() {
        if (m_handle && !Ended()) {
            platform::TerminateThread(m_handle.Get(), 0xDEAD);
            (void)platform::WaitForSingleObject(m_handle.Get(), kLongWait);
        }
    }

    [[nodiscard]] platform::Handle Handle() const { return m_handle.Get(); }
    [[nodiscard]] std::uint32_t Id() const { return m_id; }

    /// Waits (bounded) for the thread to end and returns its exit code, or 0xFFFFFFFF.
    std::uint32_t Join() { return Ended() ? ThreadExitCode(m_handle.Get()) : 0xFFFFFFFF; }

  private:
    static std::uint32_t Run(void* body) { return (*static_cast<Body*>(body))(); }
    bool Ended() {
        const bool ended =
            platform::WaitForSingleObject(m_handle.Get(), kLongWait) == platform::kWaitObject0;
        EXPECT_TRUE(ended) << "test thread " << m_id << " hangs";
        return ended;
    }

    std::unique_ptr<Body> m_body;
    std::uint32_t m_id = 0;
    platform::UniqueHandle m_handle;
};

/// count TestThreads running body(index), with their handles for a wait on all of them.
class TestThreads {
  public:
    TestThreads(int count, const std::function<std::uint32_t(int)>& body) {
        for (int i = 0; i < count; ++i) {
            m_threads.push_back(std::make_unique<TestThread>([body, i] { return body(i); }));
            m_handles.push_back(m_threads.back()->Handle());
        }
    }
    TestThread& operator[](std::size_t i) { return *m_threads[i]; }
    platform::Handle* Handles() { return m_handles.data(); }
    /// Joins every thread; true when each returned 0.
    bool AllReturnZero() {
        bool zero = true;
        for (auto& thread : m_threads) {
            zero = thread->Join() == 0 && zero;
        }
        return zero;
    }

  private:
    std::vector<std::unique_ptr<TestThread>> m_threads;
    std::vector<platform::Handle> m_handles;
};

/// Lets count threads start a race together: each Arrive() returns once all have arrived.
struct StartingLine {
    explicit StartingLine(int count) : left(count) {}
    void Arrive() {
        for (left.fetch_sub(1); left.load() > 0;) {
            std::this_thread::yield();
        }
    }
    std::atomic<int> left;
};

/// The state of a thread that a test terminates: it lives outside the thread, which runs no
/// further code of its own.
struct Victim {
    platform::UniqueHandle started = MakeEvent(true);
    platform::UniqueHandle blocker = MakeEvent(false);  // auto-reset, for the routine's use
    void* data = nullptr;                               // for the routine
};

/// Starts routine on a thread, waits until it sets victim.started, terminates it with code
/// 77 and checks that it ended with that code, which terminating it again leaves. Stores the
/// thread's id in *threadId.
inline void TerminateAndCheck(platform::ThreadRoutine routine, Victim& victim,
                              std::uint32_t* threadId = nullptr) {
    platform::UniqueHandle thread(platform::BeginThread(routine, &victim, threadId));
    ASSERT_EQ(platform::kWaitObject0,
              platform::WaitForSingleObject(victim.started.Get(), kLongWait));
    EXPECT_EQ(platform::kStillActive, ThreadExitCode(thread.Get()));
    ASSERT_TRUE(platform::TerminateThread(thread.Get(), 77));
    ASSERT_EQ(platform::kWaitObject0, platform::WaitForSingleObject(thread.Get(), kLongWait));
    EXPECT_EQ(77u, ThreadExitCode(thread.Get()));
    EXPECT_TRUE(platform::TerminateThread(thread.Get(), 9)) << "ended: nothing to do";
    EXPECT_TRUE(ThreadExitCode(thread.Get()) == 77 || RunningUnderWine()) << "Wine overwrites it";
}

}  // namespace keltra::test
