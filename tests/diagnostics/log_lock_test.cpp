// The log's mutex held by another process for long: log calls wait a bounded time, drop their
// lines, and the next line written says how many were dropped.
#include <atomic>
#include <chrono>
#include <thread>

#include "platform/event.h"
#include "platform/named_mutex.h"
#include "platform/process.h"
#include "platform/thread.h"
#include "platform/wait.h"
#include "tests/diagnostics/log_test_support.h"

namespace {

using namespace keltra::test;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kBound = 60000;  // for anything that must happen
constexpr std::uint32_t kLockWait = 300;

// args: log path, gate. Takes the log's mutex and holds it until it can take the gate.
KELTRA_CHILD_ROLE(log_hold_mutex) {
    logfilesync::CLogFile log;  // not opened: opening takes the mutex, which the test watches
    wchar_t name[260];
    if (!log.Configure(1, args.at(0).c_str(), 1, 0) || log.MakeMutexName(name, 260) != 1) {
        return 3;
    }
    platform::UniqueHandle mutex(platform::OpenMutex(platform::kSynchronize, false,
                                                     (std::wstring(L"Global\\") + name).c_str()));
    platform::UniqueHandle gate(
        platform::OpenMutex(platform::kSynchronize, false, args.at(1).c_str()));
    if (platform::WaitForSingleObject(mutex.Get(), kBound) != platform::kWaitObject0 ||
        platform::WaitForSingleObject(gate.Get(), kBound) > platform::kWaitAbandoned0) {
        return 4;
    }
    return platform::ReleaseMutex(mutex.Get()) && platform::ReleaseMutex(gate.Get()) ? 0 : 5;
}

TEST(LogLock, AMutexHeldElsewhereDelaysLinesByTheBoundAndTheNextLineCountsThem) {
    const std::wstring path = FreshLogPath(L"log-held");
    const std::wstring gateName =
        L"Global\\keltra-test-log-gate-" + std::to_wstring(platform::GetCurrentProcessId());
    platform::UniqueHandle gate(platform::CreateMutex(false, true, gateName.c_str()));
    ASSERT_TRUE(gate.Valid());
    TestLog log(path, 1, 0, kLockWait);
    ASSERT_TRUE(log.Opened());
    ASSERT_EQ(1, log->Log(L'D', L"keltra::test::Parent", 1, L"before"));
    platform::UniqueHandle holder(StartChild("log_hold_mutex", {path, gateName}));
    bool held = false;
    for (int i = 0; i < 4000 && !held; ++i) {  // pausing on the child: one that fails ends it
        const std::uint32_t probe = platform::WaitForSingleObject(log->MutexHandle(), 0);
        held = probe == platform::kWaitTimeout;
        ASSERT_TRUE(held || (probe == platform::kWaitObject0 &&
                             platform::ReleaseMutex(log->MutexHandle())));
        ASSERT_TRUE(held ||
                    platform::WaitForSingleObject(holder.Get(), 5) == platform::kWaitTimeout);
    }
    ASSERT_TRUE(held);

    // On a thread of its own: a log that waited for ever would hang there until the holder
    // lets go, which the test then makes it do.
    Clock::duration took{};
    std::atomic<int> written{-1};
    platform::UniqueHandle done(platform::CreateEvent(true, false));
    std::thread writer([&] {
        const auto start = Clock::now();
        int lines = 0;
        for (int n = 0; n < 3; ++n) {
            lines += log->Log(L'E', L"keltra::test::Parent", 2, L"dropped %d", n);
        }
        took = Clock::now() - start;
        written = lines;
        platform::SetEvent(done.Get());
    });
    const bool bounded = platform::WaitForSingleObject(done.Get(), 20000) == platform::kWaitObject0;
    ASSERT_TRUE(platform::ReleaseMutex(gate.Get()));
    writer.join();
    EXPECT_TRUE(bounded) << "a log call waited for the holder";
    EXPECT_EQ(0, written.load());
    // Each waited the bound (less a timer tick) and no longer than the test's patience.
    EXPECT_GE(took, std::chrono::milliseconds(3 * (kLockWait - 20)));
    ASSERT_EQ(platform::kWaitObject0, platform::WaitForSingleObject(holder.Get(), kBound));
    std::uint32_t code = 99;
    EXPECT_TRUE(platform::GetExitCodeProcess(holder.Get(), &code) && code == 0) << code;

    ASSERT_EQ(1, log->Log(L'D', L"keltra::test::Parent", 3, L"after"));
    ASSERT_EQ(1, log->Log(L'D', L"keltra::test::Parent", 4, L"and on"));
    const LogFileContent content = ReadLogFile(path);
    ASSERT_EQ(4u, content.lines.size());
    EXPECT_EQ(0u, content.unframed);
    EXPECT_EQ(L'W', content.lines[1].level);
    EXPECT_EQ((std::vector<std::wstring>{
                  L"before",
                  L"3 log line(s) dropped: the log's lock was held elsewhere for 300 ms or more",
                  L"after", L"and on"}),
              Messages(path));
}

}  // namespace
