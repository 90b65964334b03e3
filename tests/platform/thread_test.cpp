// Threads: exit codes, signalled handles, identities, and TerminateThread on running, blocked and
// ended threads.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "platform/error.h"
#include "platform/event.h"
#include "platform/handle.h"
#include "platform/message_queue.h"
#include "platform/thread.h"
#include "platform/wait.h"
#include "tests/platform/thread_test_helpers.h"

namespace platform {
namespace {

using keltra::test::kLongWait;
using keltra::test::RunningUnderWine;
using keltra::test::TestThread;

TEST(ThreadTest, ExitCodeAndHandleAfterTheRoutineReturns) {
    UniqueHandle release(CreateEvent(true, false));
    std::atomic<std::uint32_t> seenId{0};
    TestThread thread([&]() -> std::uint32_t {
        seenId = GetCurrentThreadId();
        return WaitForSingleObject(release.Get(), kLongWait) == kWaitObject0 ? 0xC0FFEE01u : 1u;
    });
    ASSERT_TRUE(thread.Started());
    EXPECT_NE(0u, thread.Id());

    std::uint32_t code = 0;
    ASSERT_TRUE(GetExitCodeThread(thread.Handle(), &code));
    EXPECT_EQ(kStillActive, code);
    EXPECT_EQ(kWaitTimeout, WaitForSingleObject(thread.Handle(), 0));

    ASSERT_TRUE(SetEvent(release.Get()));
    EXPECT_EQ(0xC0FFEE01u, thread.Join());
    EXPECT_EQ(thread.Id(), seenId.load());
    // Ended threads stay signalled and keep their exit code while the handle is open.
    EXPECT_EQ(kWaitObject0, WaitForSingleObject(thread.Handle(), 0));
    ASSERT_TRUE(GetExitCodeThread(thread.Handle(), &code));
    EXPECT_EQ(0xC0FFEE01u, code);
}

TEST(ThreadTest, SixtyFourLiveThreadsHaveDistinctIdsAndTheirOwnCodes) {
    UniqueHandle release(CreateEvent(true, false));
    std::vector<std::unique_ptr<TestThread>> threads;
    std::vector<Handle> handles;
    std::set<std::uint32_t> ids{GetCurrentThreadId()};
    for (std::uint32_t i = 0; i < kMaximumWaitObjects; ++i) {
        threads.push_back(std::make_unique<TestThread>([i, &release]() -> std::uint32_t {
            return WaitForSingleObject(release.Get(), kLongWait) == kWaitObject0 ? 1000 + i : 1;
        }));
        ASSERT_TRUE(threads.back()->Started());
        handles.push_back(threads.back()->Handle());
        ids.insert(threads.back()->Id());
    }
    EXPECT_EQ(kMaximumWaitObjects + 1, ids.size());
    EXPECT_EQ(0u, ids.count(0));
    EXPECT_EQ(kWaitTimeout, WaitForMultipleObjects(kMaximumWaitObjects, handles.data(), false, 0));
    ASSERT_TRUE(SetEvent(release.Get()));
    ASSERT_EQ(kWaitObject0,
              WaitForMultipleObjects(kMaximumWaitObjects, handles.data(), true, kLongWait));
    for (std::uint32_t i = 0; i < kMaximumWaitObjects; ++i) {
        std::uint32_t code = 0;
        ASSERT_TRUE(GetExitCodeThread(handles[i], &code));
        EXPECT_EQ(1000 + i, code);
    }
}

TEST(ThreadTest, CurrentThreadIdIsStableAndDistinct) {
    const std::uint32_t mine = GetCurrentThreadId();
    EXPECT_NE(0u, mine);
    EXPECT_EQ(mine, GetCurrentThreadId());
    std::uint32_t other = 0;
    std::thread foreign([&] { other = GetCurrentThreadId(); });
    foreign.join();
    EXPECT_NE(0u, other);
    EXPECT_NE(mine, other);
    EXPECT_NE(0u, GetCurrentProcessId());
}

TEST(ThreadTest, BadHandlesAndANullRoutineFail) {
    Handle closed = CreateEvent(true, false);
    ASSERT_TRUE(CloseHandle(closed));
    std::uint32_t code = 0;
    SetLastError(0);
    EXPECT_FALSE(GetExitCodeThread(closed, &code));
    EXPECT_EQ(kErrorInvalidHandle, GetLastError());
    SetLastError(0);
    EXPECT_FALSE(TerminateThread(closed, 1));
    EXPECT_EQ(kErrorInvalidHandle, GetLastError());
    SetLastError(0);
    EXPECT_FALSE(TerminateThread(nullptr, 1));
    EXPECT_EQ(kErrorInvalidHandle, GetLastError());

    UniqueHandle event(CreateEvent(true, false));
    SetLastError(0);
    EXPECT_FALSE(GetExitCodeThread(event.Get(), &code));
    EXPECT_EQ(kErrorInvalidHandle, GetLastError());

    SetLastError(0);
    EXPECT_EQ(nullptr, BeginThread(nullptr, nullptr, nullptr));
    EXPECT_EQ(kErrorInvalidParameter, GetLastError());
}

// Terminated threads run no further code of their own: their state lives outside them.
struct Victim {
    UniqueHandle started{CreateEvent(true, false)};
    UniqueHandle blocker{CreateEvent(false, false)};  // never set while the victim runs
    std::atomic<bool> never{false};
};

std::uint32_t BusyLoop(void* argument) {
    auto* victim = static_cast<Victim*>(argument);
    SetEvent(victim->started.Get());
    while (!victim->never.load(std::memory_order_relaxed)) {
    }
    return 1;
}

std::uint32_t SleepForever(void* argument) {
    auto* victim = static_cast<Victim*>(argument);
    SetEvent(victim->started.Get());
    Sleep(kInfinite);
    return 1;
}

std::uint32_t WaitForever(void* argument) {
    auto* victim = static_cast<Victim*>(argument);
    SetEvent(victim->started.Get());
    (void)WaitForSingleObject(victim->blocker.Get(), kInfinite);
    return 1;
}

std::uint32_t ServeMessagesForever(void* argument) {
    auto* victim = static_cast<Victim*>(argument);
    ThreadMessage message;
    PeekMessage(&message, kWmUser, kWmUser, kPmNoRemove);
    SetEvent(victim->started.Get());
    while (GetMessage(&message, 0x40A, 0x40D) > 0) {
    }
    return 1;
}

// Starts routine on a victim thread, waits until it runs, terminates it with exitCode and
// checks that it ended with that code.
void TerminateAndCheck(ThreadRoutine routine, Victim& victim, std::uint32_t* threadId = nullptr) {
    UniqueHandle thread(BeginThread(routine, &victim, threadId));
    ASSERT_TRUE(thread.Valid()) << GetLastError();
    ASSERT_EQ(kWaitObject0, WaitForSingleObject(victim.started.Get(), kLongWait));
    std::uint32_t code = 0;
    ASSERT_TRUE(GetExitCodeThread(thread.Get(), &code));
    EXPECT_EQ(kStillActive, code);

    ASSERT_TRUE(TerminateThread(thread.Get(), 77));
    ASSERT_EQ(kWaitObject0, WaitForSingleObject(thread.Get(), kLongWait));
    ASSERT_TRUE(GetExitCodeThread(thread.Get(), &code));
    EXPECT_EQ(77u, code);
}

TEST(TerminateThreadTest, EndsABusyLoopingThread) {
    Victim victim;
    TerminateAndCheck(&BusyLoop, victim);
}

TEST(TerminateThreadTest, EndsASleepingThread) {
    Victim victim;
    TerminateAndCheck(&SleepForever, victim);
}

TEST(TerminateThreadTest, EndsAThreadBlockedInAWaitWithoutTakingItsObject) {
    Victim victim;
    TerminateAndCheck(&WaitForever, victim);
    // The ended wait must not take a later signal, nor leave anything behind that breaks it.
    ASSERT_TRUE(SetEvent(victim.blocker.Get()));
    EXPECT_EQ(kWaitObject0, WaitForSingleObject(victim.blocker.Get(), 0));
    EXPECT_EQ(kWaitTimeout, WaitForSingleObject(victim.blocker.Get(), 0));
}

TEST(TerminateThreadTest, EndsAThreadBlockedInGetMessageAndItsQueue) {
    Victim victim;
    std::uint32_t id = 0;
    TerminateAndCheck(&ServeMessagesForever, victim, &id);
    SetLastError(0);
    EXPECT_FALSE(PostThreadMessage(id, 0x40B, 0, 0));
    if (RunningUnderWine()) {
        GTEST_SKIP() << "Wine gap: a post to an ended thread fails with 87, not 1444";
    }
    EXPECT_EQ(kErrorInvalidThreadId, GetLastError());
}

struct SelfTerminator {
    UniqueHandle go{CreateEvent(true, false)};
    Handle self = nullptr;
    std::atomic<bool> returned{false};
};

std::uint32_t TerminateSelf(void* argument) {
    auto* victim = static_cast<SelfTerminator*>(argument);
    if (WaitForSingleObject(victim->go.Get(), kLongWait) != kWaitObject0) {
        return 1;
    }
    TerminateThread(victim->self, 55);
    victim->returned.store(true);
    return 2;
}

TEST(TerminateThreadTest, AThreadThatTerminatesItselfDoesNotReturnFromTheCall) {
    SelfTerminator victim;
    UniqueHandle thread(BeginThread(&TerminateSelf, &victim, nullptr));
    ASSERT_TRUE(thread.Valid());
    victim.self = thread.Get();
    ASSERT_TRUE(SetEvent(victim.go.Get()));
    ASSERT_EQ(kWaitObject0, WaitForSingleObject(thread.Get(), kLongWait));
    std::uint32_t code = 0;
    ASSERT_TRUE(GetExitCodeThread(thread.Get(), &code));
    EXPECT_EQ(55u, code);
    EXPECT_FALSE(victim.returned.load());
}

TEST(TerminateThreadTest, LeavesAnEndedThreadAsItWas) {
    TestThread thread([] { return 5u; });
    ASSERT_TRUE(thread.Started());
    ASSERT_EQ(5u, thread.Join());
    EXPECT_TRUE(TerminateThread(thread.Handle(), 9));
    EXPECT_EQ(kWaitObject0, WaitForSingleObject(thread.Handle(), 0));
    if (RunningUnderWine()) {
        GTEST_SKIP() << "Wine gap: TerminateThread on an ended thread overwrites its exit code";
    }
    std::uint32_t code = 0;
    ASSERT_TRUE(GetExitCodeThread(thread.Handle(), &code));
    EXPECT_EQ(5u, code);
}

TEST(TerminateThreadTest, TerminatingTwiceKeepsTheFirstCode) {
    Victim victim;
    UniqueHandle thread(BeginThread(&WaitForever, &victim, nullptr));
    ASSERT_TRUE(thread.Valid());
    ASSERT_EQ(kWaitObject0, WaitForSingleObject(victim.started.Get(), kLongWait));
    ASSERT_TRUE(TerminateThread(thread.Get(), 41));
    ASSERT_EQ(kWaitObject0, WaitForSingleObject(thread.Get(), kLongWait));
    std::uint32_t code = 0;
    ASSERT_TRUE(GetExitCodeThread(thread.Get(), &code));
    EXPECT_EQ(41u, code);
    EXPECT_TRUE(TerminateThread(thread.Get(), 42));
    if (RunningUnderWine()) {
        GTEST_SKIP() << "Wine gap: TerminateThread on an ended thread overwrites its exit code";
    }
    ASSERT_TRUE(GetExitCodeThread(thread.Get(), &code));
    EXPECT_EQ(41u, code);
}

}  // namespace
}  // namespace platform
