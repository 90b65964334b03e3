// Threads: exit codes, signalled handles, identities, the per-thread last error, the queues of
// ended threads, and TerminateThread on running, blocked and ended threads.
#include <set>

#include "platform/error.h"
#include "tests/platform/thread_test_helpers.h"

namespace platform {
namespace {

using namespace keltra::test;

TEST(ThreadTest, SixtyFourThreadsHaveDistinctIdsTheirOwnCodesAndLastErrors) {
    UniqueHandle release = MakeEvent(true);  // manual reset: releases every waiter
    SetLastError(1234);
    TestThreads threads(kMaximumWaitObjects, [&](int i) -> std::uint32_t {
        const bool fresh = GetLastError() != 1234;  // not the creator's
        ThreadMessage message;                      // a queue, to be gone with the thread
        PeekMessage(&message, kWmUser, kWmUser, kPmNoRemove);
        SetLastError(5678);
        const bool released = WaitForSingleObject(release.Get(), kLongWait) == kWaitObject0;
        return fresh && released ? 1000 + i : 1;
    });
    EXPECT_EQ(1234u, GetLastError());
    std::set<std::uint32_t> ids{0, GetCurrentThreadId()};
    std::uint32_t foreign = 0;  // a thread this layer did not start, with a queue
    std::thread([&] {
        ThreadMessage message;
        PeekMessage(&message, kWmUser, kWmUser, kPmNoRemove);
        foreign = GetCurrentThreadId();
    }).join();
    ids.insert(foreign);
    for (std::uint32_t i = 0; i < kMaximumWaitObjects; ++i) {
        ids.insert(threads[i].Id());
    }
    EXPECT_EQ(kMaximumWaitObjects + 3, ids.size()) << "ids are distinct and never 0";
    ASSERT_TRUE(SetEvent(release.Get()));
    for (std::uint32_t i = 0; i < kMaximumWaitObjects; ++i) {
        EXPECT_EQ(1000 + i, threads[i].Join());
        EXPECT_TRUE(TerminateThread(threads[i].Handle(), 9)) << "ended: nothing to do";
        EXPECT_TRUE(threads[i].Join() == 1000 + i || RunningUnderWine())  // Wine overwrites it
            << "an ended thread keeps its code, signalled";
    }
    // Their queues went with them. Wine gap: such a post fails with 87, one to id 0 succeeds.
    for (const std::uint32_t id : {threads[0].Id(), foreign, 0u}) {
        SetLastError(0);
        EXPECT_TRUE(!PostThreadMessage(id, 0x40B, 0, 0) || (id == 0 && RunningUnderWine()));
        EXPECT_TRUE(GetLastError() == kErrorInvalidThreadId || RunningUnderWine()) << id;
    }
}

// Never ends by itself: makes a queue, sets victim->started, then loops, sleeps, waits or
// waits for messages, as *victim->data says.
std::uint32_t BlockForever(void* argument) {
    auto* victim = static_cast<Victim*>(argument);
    ThreadMessage message;
    PeekMessage(&message, kWmUser, kWmUser, kPmNoRemove);
    SetEvent(victim->started.Get());
    switch (*static_cast<int*>(victim->data)) {
        case 0:
            for (volatile bool never = false; !never;) {
            }
            break;
        case 1:
            Sleep(kInfinite);
            break;
        case 2:
            return WaitForSingleObject(victim->blocker.Get(), kInfinite);
        default:
            while (GetMessage(&message, 0x40A, 0x40D) > 0) {
            }
    }
    return 1;
}

TEST(TerminateThreadTest, EndsBusySleepingWaitingAndMessageWaitingThreadsAndTheirQueues) {
    for (int how : {0, 1, 2, 3}) {
        Victim victim;
        victim.data = &how;
        std::uint32_t id = 0;
        TerminateAndCheck(&BlockForever, victim, &id);
        // An ended wait must not take a later signal, nor leave anything behind that breaks it.
        ASSERT_TRUE(SetEvent(victim.blocker.Get()));
        EXPECT_EQ(kWaitObject0, WaitForSingleObject(victim.blocker.Get(), 0));
        EXPECT_EQ(kWaitTimeout, WaitForSingleObject(victim.blocker.Get(), 0));
        SetLastError(0);  // Wine gap: a post to an ended thread fails with 87
        EXPECT_FALSE(PostThreadMessage(id, 0x40B, 0, 0)) << "its queue went with it";
        EXPECT_TRUE(GetLastError() == kErrorInvalidThreadId || RunningUnderWine()) << how;
    }
}

}  // namespace
}  // namespace platform
