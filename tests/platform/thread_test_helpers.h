// Helpers for the platform thread tests: a callable on a platform thread, and time bounds.
//
// Threads that a test terminates must not run a TestThread body: the body is freed when it
// returns, which a terminated thread never does. Those tests call BeginThread directly.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <utility>

#include "platform/dynamic_library.h"
#include "platform/error.h"
#include "platform/handle.h"
#include "platform/thread.h"
#include "platform/wait.h"

namespace keltra::test {

/// The bound for anything that must happen: reached only when the code under test fails.
inline constexpr std::uint32_t kLongWait = 20000;

/// True under Wine, whose ntdll alone exports wine_get_version. Tests that meet a known Wine
/// gap check what Wine gets right, then skip the rest naming the gap. Leaves the last error
/// as it was.
inline bool RunningUnderWine() {
    static const bool wine = [] {
        const platform::ErrorCode saved = platform::GetLastError();
        bool found = false;
        if (platform::Module ntdll = platform::LoadLibrary(L"ntdll.dll")) {
            found = platform::GetProcAddress(ntdll, "wine_get_version") != nullptr;
            platform::FreeLibrary(ntdll);
        }
        platform::SetLastError(saved);
        return found;
    }();
    return wine;
}

/// Runs body() on a thread of BeginThread; its result is the exit code. The destructor waits
/// for the thread (bounded) and terminates it if it hangs, so a failing test does not leave a
/// thread using the test's locals.
class TestThread {
  public:
    explicit TestThread(std::function<std::uint32_t()> body) {
        auto owned = std::make_unique<std::function<std::uint32_t()>>(std::move(body));
        m_handle.Reset(platform::BeginThread(&Run, owned.get(), &m_id));
        if (m_handle) {
            owned.release();  // the thread owns it now
        }
    }
    TestThread(const TestThread&) = delete;
    TestThread& operator=(const TestThread&) = delete;
    ~TestThread() {
        if (m_handle &&
            platform::WaitForSingleObject(m_handle.Get(), kLongWait) != platform::kWaitObject0) {
            ADD_FAILURE() << "test thread " << m_id << " hangs; terminating it";
            platform::TerminateThread(m_handle.Get(), 0xDEAD);
            (void)platform::WaitForSingleObject(m_handle.Get(), kLongWait);
        }
    }

    [[nodiscard]] platform::Handle Handle() const { return m_handle.Get(); }
    [[nodiscard]] std::uint32_t Id() const { return m_id; }
    [[nodiscard]] bool Started() const { return m_handle.Valid(); }

    /// Waits (bounded) for the thread to end and returns its exit code, or 0xFFFFFFFF.
    std::uint32_t Join() {
        if (platform::WaitForSingleObject(m_handle.Get(), kLongWait) != platform::kWaitObject0) {
            ADD_FAILURE() << "test thread " << m_id << " did not end";
            return 0xFFFFFFFF;
        }
        std::uint32_t code = 0xFFFFFFFF;
        EXPECT_TRUE(platform::GetExitCodeThread(m_handle.Get(), &code));
        return code;
    }

  private:
    static std::uint32_t Run(void* argument) {
        std::unique_ptr<std::function<std::uint32_t()>> body(
            static_cast<std::function<std::uint32_t()>*>(argument));
        return (*body)();
    }

    platform::UniqueHandle m_handle;
    std::uint32_t m_id = 0;
};

}  // namespace keltra::test
