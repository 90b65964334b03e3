// Threads: exit codes, signalled handles, identities, the per-thread last error, and
// TerminateThread on running, blocked and ended threads.
#include <gtest/gtest.h>

#include <set>

#include "tests/platform/thread_test_helpers.h"

namespace platform {
namespace {

using namespace keltra::test;

TEST(ThreadTest, SixtyFourThreadsHaveDistinctIdsTheirOwnCodesAndLastErrors) {
    UniqueHandle release = MakeEvent(true);  // manual reset: releases every waiter
    SetLastError(1234);
    TestThreads threads(kMaximumWaitObjects, [&](int i) -> std::uint32_t {
        const bool fresh = GetLastError() != 1234;  // not the creator's
        SetLastError(5678);
        const bool released = WaitForSingleObject(release.Get(), kLongWait) == kWaitObject0;
        return fresh && released ? 1000 + i : 1;
    });
    EXPECT_EQ(1234u, GetLastError());
    std::set<std::uint32_t> ids{0, GetCurrentThreadId()};
    std::thread([&] { ids.insert(GetCurrentThreadId()); }).join();  // one the layer did not start
    for (std::uint32_t i = 0; i < kMaximumWaitObjects; ++i) {
        ids.insert(threads[i].Id());
    }
    EXPECT_EQ(kMaximumWaitObjects + 3, ids.size()) << "ids are distinct and never 0";
    ASSERT_TRUE(SetEvent(release.Get()));
    for (std::uint32_t i = 0; i < kMaximumWaitObjects; ++i) {
        EXPECT_EQ(1000 + i, threads[i].Join());
        EXPECT_EQ(1000 + i, threads[i].Join()) << "an ended thread keeps its code, signalled";
    }
}

// Routines that never end by themselves: each one sets victim->started once inside.
std::uint32_t BusyLoop(void* victim) {
    SetEvent(static_cast<Victim*>(victim)->started.Get());
    for (volatile bool never = false; !never;) {
    }
    return 1;
}

std::uint32_t SleepForever(void* victim) {
    SetEvent(static_cast<Victim*>(victim)->started.Get());
    Sleep(kInfinite);
    return 1;
}

std::uint32_t WaitForever(void* victim) {
    SetEvent(static_cast<Victim*>(victim)->started.Get());
    return WaitForSingleObject(static_cast<Victim*>(victim)->blocker.Get(), kInfinite);
}

std::uint32_t ServeMessagesForever(void* victim) {
    ThreadMessage message;
    PeekMessage(&message, kWmUser, kWmUser, kPmNoRemove);
    SetEvent(static_cast<Victim*>(victim)->started.Get());
    while (GetMessage(&message, 0x40A, 0x40D) > 0) {
    }
    return 1;
}

TEST(TerminateThreadTest, EndsBusySleepingWaitingAndMessageWaitingThreadsAndTheirQueues) {
    for (ThreadRoutine routine : {&BusyLoop, &SleepForever, &WaitForever, &ServeMessagesForever}) {
        Victim victim;
        std::uint32_t id = 0;
        TerminateAndCheck(routine, victim, &id);
        // An ended wait must not take a later signal, nor leave anything behind that breaks it.
        ASSERT_TRUE(SetEvent(victim.blocker.Get()));
        EXPECT_EQ(kWaitObject0, WaitForSingleObject(victim.blocker.Get(), 0));
        EXPECT_EQ(kWaitTimeout, WaitForSingleObject(victim.blocker.Get(), 0));
        SetLastError(0);
        EXPECT_FALSE(PostThreadMessage(id, 0x40B, 0, 0)) << "its queue went with it";
        if (!RunningUnderWine()) {  // Wine gap: a post to an ended thread fails with 87
            EXPECT_EQ(kErrorInvalidThreadId, GetLastError());
        }
    }
}

TEST(TerminateThreadTest, LeavesAnEndedThreadAsItWas) {
    for (const bool terminated : {false, true}) {  // ended by returning 0, or terminated (77)
        Victim victim;
        UniqueHandle thread(BeginThread(&WaitForever, &victim, nullptr));
        ASSERT_TRUE(terminated ? TerminateThread(thread.Get(), 77)
                               : SetEvent(victim.blocker.Get()));
        ASSERT_EQ(kWaitObject0, WaitForSingleObject(thread.Get(), kLongWait));
        EXPECT_TRUE(TerminateThread(thread.Get(), 9));
        if (RunningUnderWine()) {
            GTEST_SKIP() << "Wine gap: TerminateThread on an ended thread overwrites its code";
        }
        EXPECT_EQ(terminated ? 77u : kWaitObject0, ThreadExitCode(thread.Get()));
    }
}

}  // namespace
}  // namespace platform
