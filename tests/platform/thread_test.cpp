// Threads: exit codes, signalled handles, identities, the per-thread last error, and
// TerminateThread on running, blocked, self-terminating and ended threads.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

#include "platform/message_queue.h"
#include "tests/platform/thread_test_helpers.h"
#include "tests/support/test_support.h"

namespace platform {
namespace {

using namespace keltra::test;

TEST(ThreadTest, SixtyFourThreadsHaveDistinctIdsTheirOwnCodesAndLastErrors) {
    UniqueHandle release = MakeEvent(true);
    SetLastError(1234);
    TestThreads threads(kMaximumWaitObjects, [&](int i) -> std::uint32_t {
        const bool fresh = GetLastError() != 1234;  // not the creator's
        SetLastError(5678);
        const bool released = WaitForSingleObject(release.Get(), kLongWait) == kWaitObject0;
        return fresh && released ? 1000 + i : 1;
    });
    EXPECT_EQ(1234u, GetLastError());
    std::uint32_t foreignId = 0;
    std::thread([&] { foreignId = GetCurrentThreadId(); }).join();
    std::set<std::uint32_t> ids{0, GetCurrentThreadId(), foreignId};
    std::uint32_t code = 0;
    for (std::uint32_t i = 0; i < kMaximumWaitObjects; ++i) {
        ids.insert(threads[i].Id());
        ASSERT_TRUE(GetExitCodeThread(threads.Handles()[i], &code));
        EXPECT_EQ(kStillActive, code);
    }
    EXPECT_EQ(kMaximumWaitObjects + 3, ids.size()) << "ids are distinct and never 0";
    ASSERT_TRUE(SetEvent(release.Get()));
    for (std::uint32_t i = 0; i < kMaximumWaitObjects; ++i) {
        EXPECT_EQ(1000 + i, threads[i].Join());
        EXPECT_EQ(1000 + i, threads[i].Join()) << "an ended thread keeps its code, signalled";
    }
}

TEST(ThreadTest, BadHandlesAndANullRoutineFail) {
    UniqueHandle event = MakeEvent(true);
    Handle closed = CreateEvent(true, false);
    ASSERT_TRUE(CloseHandle(closed));
    std::uint32_t code = 0;
    for (Handle bad : {closed, Handle{nullptr}, event.Get()}) {
        EXPECT_FAILS_WITH(kErrorInvalidHandle, false, GetExitCodeThread(bad, &code));
        EXPECT_FAILS_WITH(kErrorInvalidHandle, false, TerminateThread(bad, 1));
    }
    EXPECT_FAILS_WITH(kErrorInvalidParameter, nullptr, BeginThread(nullptr, nullptr, nullptr));
}

std::uint32_t BusyLoop(void* argument) {
    SetEvent(static_cast<Victim*>(argument)->started.Get());
    for (volatile bool never = false; !never;) {
    }
    return 1;
}

std::uint32_t SleepForever(void* argument) {
    SetEvent(static_cast<Victim*>(argument)->started.Get());
    Sleep(kInfinite);
    return 1;
}

std::uint32_t WaitForever(void* argument) {
    auto* victim = static_cast<Victim*>(argument);
    SetEvent(victim->started.Get());
    return WaitForSingleObject(victim->blocker.Get(), kInfinite);
}

std::uint32_t ServeMessagesForever(void* argument) {
    ThreadMessage message;
    PeekMessage(&message, kWmUser, kWmUser, kPmNoRemove);
    SetEvent(static_cast<Victim*>(argument)->started.Get());
    while (GetMessage(&message, 0x40A, 0x40D) > 0) {
    }
    return 1;
}

TEST(TerminateThreadTest, EndsBusyAndSleepingThreads) {
    for (ThreadRoutine routine : {&BusyLoop, &SleepForever}) {
        Victim victim;
        TerminateAndCheck(routine, victim);
    }
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

std::uint32_t TerminateSelf(void* argument) {
    auto* victim = static_cast<Victim*>(argument);
    if (WaitForSingleObject(victim->started.Get(), kLongWait) == kWaitObject0) {
        TerminateThread(victim->data, 55);
    }
    victim->data = nullptr;  // never reached after a termination
    return 2;
}

TEST(TerminateThreadTest, AThreadThatTerminatesItselfDoesNotReturnFromTheCall) {
    Victim victim;
    UniqueHandle thread(BeginThread(&TerminateSelf, &victim, nullptr));
    victim.data = thread.Get();
    ASSERT_TRUE(SetEvent(victim.started.Get()));
    ASSERT_EQ(kWaitObject0, WaitForSingleObject(thread.Get(), kLongWait));
    std::uint32_t code = 0;
    ASSERT_TRUE(GetExitCodeThread(thread.Get(), &code));
    EXPECT_EQ(55u, code);
    EXPECT_EQ(thread.Get(), victim.data);
}

TEST(TerminateThreadTest, LeavesAnEndedThreadAsItWas) {
    for (const bool terminated : {false, true}) {  // ended by returning 5, or terminated (77)
        Victim victim;
        UniqueHandle thread(BeginThread(&WaitForever, &victim, nullptr));
        if (terminated) {
            ASSERT_TRUE(TerminateThread(thread.Get(), 77));
        } else {
            ASSERT_TRUE(SetEvent(victim.blocker.Get()));
        }
        ASSERT_EQ(kWaitObject0, WaitForSingleObject(thread.Get(), kLongWait));
        EXPECT_TRUE(TerminateThread(thread.Get(), 9));
        if (RunningUnderWine()) {
            GTEST_SKIP() << "Wine gap: TerminateThread on an ended thread overwrites its code";
        }
        std::uint32_t code = 0;
        ASSERT_TRUE(GetExitCodeThread(thread.Get(), &code));
        EXPECT_EQ(terminated ? 77u : kWaitObject0, code);
    }
}

}  // namespace
}  // namespace platform
