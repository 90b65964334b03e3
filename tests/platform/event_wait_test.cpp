// Events and waits: reset semantics, wait-all atomicity, wait-any order, limits, races.
#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "tests/platform/thread_test_helpers.h"

namespace platform {
namespace {

using namespace keltra::test;

// n events of one kind and their handles.
struct Events {
    Events(int n, bool manualReset) {
        for (int i = 0; i < n; ++i) {
            owned.push_back(MakeEvent(manualReset));
            handles.push_back(owned.back().Get());
        }
    }
    std::uint32_t Wait(bool all, std::uint32_t ms = 0) {
        return WaitForMultipleObjects(static_cast<std::uint32_t>(handles.size()), handles.data(),
                                      all, ms);
    }
    std::vector<UniqueHandle> owned;
    std::vector<Handle> handles;
};

TEST(EventTest, ResetModesDecideHowManyWaitsASetSatisfies) {
    for (const bool manual : {true, false}) {
        UniqueHandle event = MakeEvent(manual, true);
        ASSERT_TRUE(SetEvent(event.Get()));  // a second set of a set event adds nothing
        EXPECT_EQ(kWaitObject0, WaitForSingleObject(event.Get(), 0));
        EXPECT_EQ(manual ? kWaitObject0 : kWaitTimeout, WaitForSingleObject(event.Get(), 0));
        ASSERT_TRUE(ResetEvent(event.Get()));
        EXPECT_EQ(kWaitTimeout, WaitForSingleObject(event.Get(), 0));
    }
}

TEST(EventTest, ManualResetReleasesEveryWaiter) {
    UniqueHandle gate = MakeEvent(true);
    TestThreads threads(8, [&](int) { return WaitForSingleObject(gate.Get(), kLongWait); });
    ASSERT_TRUE(SetEvent(gate.Get()));
    ASSERT_EQ(kWaitObject0, WaitForMultipleObjects(8, threads.Handles(), true, kLongWait));
    EXPECT_TRUE(threads.AllReturnZero());
}

TEST(EventTest, AutoResetReleasesExactlyOneWaiterPerSet) {
    constexpr int kWaiters = 4;
    constexpr int kSets = 300;
    UniqueHandle event = MakeEvent(false);
    UniqueHandle ack = MakeEvent(false);
    std::atomic<bool> stop{false};
    std::atomic<int> releases{0};
    TestThreads waiters(kWaiters, [&](int) -> std::uint32_t {
        for (;;) {
            if (WaitForSingleObject(event.Get(), kLongWait) != kWaitObject0) {
                return 1;
            }
            if (stop.load()) {
                SetEvent(ack.Get());
                return 0;
            }
            ++releases;
            SetEvent(ack.Get());
        }
    });
    for (int i = 1; i <= kSets; ++i) {
        ASSERT_TRUE(SetEvent(event.Get()));
        ASSERT_EQ(kWaitObject0, WaitForSingleObject(ack.Get(), kLongWait)) << "set " << i;
    }
    stop.store(true);
    for (int i = 0; i < kWaiters; ++i) {
        ASSERT_TRUE(SetEvent(event.Get()));
        ASSERT_EQ(kWaitObject0, WaitForSingleObject(ack.Get(), kLongWait));
    }
    EXPECT_TRUE(waiters.AllReturnZero());
    // A set that released two waiters would show up as an extra release.
    EXPECT_EQ(kSets, releases.load());
}

TEST(WaitTest, WaitAllTakesNothingUntilTheWholeSetIsSignalled) {
    Events both(2, false);
    ASSERT_TRUE(SetEvent(both.handles[0]));
    EXPECT_EQ(kWaitTimeout, both.Wait(true));
    EXPECT_EQ(kWaitTimeout, both.Wait(true, 50));
    EXPECT_EQ(kWaitObject0, WaitForSingleObject(both.handles[0], 0)) << "the failed wait took A";
    ASSERT_TRUE(SetEvent(both.handles[0]));
    ASSERT_TRUE(SetEvent(both.handles[1]));
    EXPECT_EQ(kWaitObject0, both.Wait(true));
    EXPECT_EQ(kWaitTimeout, both.Wait(false)) << "wait-all left one set";
}

TEST(WaitTest, BlockedWaitAllDoesNotConsumeAPartialSet) {
    UniqueHandle a = MakeEvent(false);
    UniqueHandle b = MakeEvent(false);
    UniqueHandle waiting = MakeEvent(true);
    TestThread waiter([&]() -> std::uint32_t {
        const Handle both[] = {a.Get(), b.Get()};
        SetEvent(waiting.Get());
        return WaitForMultipleObjects(2, both, true, kLongWait);
    });
    ASSERT_EQ(kWaitObject0, WaitForSingleObject(waiting.Get(), kLongWait));

    ASSERT_TRUE(SetEvent(a.Get()));
    // With B unset the waiter must stay blocked and leave A to anyone else.
    EXPECT_EQ(kWaitTimeout, WaitForSingleObject(waiter.Handle(), 100));
    EXPECT_EQ(kWaitObject0, WaitForSingleObject(a.Get(), 0)) << "the blocked wait-all took A";

    ASSERT_TRUE(SetEvent(b.Get()));
    EXPECT_EQ(kWaitTimeout, WaitForSingleObject(waiter.Handle(), 100));
    EXPECT_EQ(kWaitObject0, WaitForSingleObject(b.Get(), 0)) << "the blocked wait-all took B";

    ASSERT_TRUE(SetEvent(a.Get()));
    ASSERT_TRUE(SetEvent(b.Get()));
    EXPECT_EQ(kWaitObject0, waiter.Join());
    EXPECT_EQ(kWaitTimeout, WaitForSingleObject(a.Get(), 0));
    EXPECT_EQ(kWaitTimeout, WaitForSingleObject(b.Get(), 0));
}

TEST(WaitTest, WaitAnyReturnsTheLowestSignalledIndex) {
    Events five(5, false);
    ASSERT_TRUE(SetEvent(five.handles[3]));
    ASSERT_TRUE(SetEvent(five.handles[1]));
    EXPECT_EQ(kWaitObject0 + 1, five.Wait(false));
    EXPECT_EQ(kWaitObject0 + 3, five.Wait(false));
    EXPECT_EQ(kWaitTimeout, five.Wait(false));
}

TEST(WaitTest, SixtyFourObjectsCanBeWaitedOnAndSixtyFiveOrNoneCannot) {
    Events events(kMaximumWaitObjects + 1, true);
    for (Handle handle : events.handles) {
        ASSERT_TRUE(SetEvent(handle));
    }
    EXPECT_EQ(kWaitObject0, WaitForMultipleObjects(64, events.handles.data(), true, 0));
    EXPECT_FAILS_WITH(kErrorInvalidParameter, kWaitFailed, events.Wait(true));
    EXPECT_FAILS_WITH(kErrorInvalidParameter, kWaitFailed,
                      WaitForMultipleObjects(0, events.handles.data(), false, 0));
}

TEST(WaitTest, BadHandlesFailWithInvalidHandle) {
    TestThread thread([] { return 0u; });     // an object of another type
    Handle closed = CreateEvent(true, true);  // Windows reuses the value of the next object
    ASSERT_TRUE(CloseHandle(closed));
    for (Handle bad : {closed, Handle{nullptr}, kInvalidHandleValue}) {
        EXPECT_FAILS_WITH(kErrorInvalidHandle, false, CloseHandle(bad));
    }
    EXPECT_FAILS_WITH(kErrorInvalidHandle, kWaitFailed, WaitForSingleObject(closed, kLongWait));
    EXPECT_FAILS_WITH(kErrorInvalidHandle, false, SetEvent(closed));
    EXPECT_FAILS_WITH(kErrorInvalidHandle, false, ResetEvent(thread.Handle()));
}

TEST(WaitStressTest, WaitAllAgainstACompetingSingleWaiter) {
    // A consumer waits for A and B together while a thief takes A alone whenever it can. Each
    // setter sets its event again only once its previous signal was taken, so every set is
    // taken exactly once, by the consumer or the thief: none lost, none taken twice.
    constexpr int kConsumed = 500;
    UniqueHandle a = MakeEvent(false);
    UniqueHandle b = MakeEvent(false);
    UniqueHandle aTaken = MakeEvent(false);
    UniqueHandle bTaken = MakeEvent(false);
    UniqueHandle stop = MakeEvent(true);
    std::atomic<int> consumed{0};
    std::atomic<int> stolen{0};

    TestThread consumer([&]() -> std::uint32_t {
        const Handle both[] = {a.Get(), b.Get()};
        for (int i = 0; i < kConsumed; ++i) {
            if (WaitForMultipleObjects(2, both, true, kLongWait) != kWaitObject0) {
                SetEvent(stop.Get());
                return 1;
            }
            ++consumed;
            SetEvent(aTaken.Get());
            SetEvent(bTaken.Get());
        }
        SetEvent(stop.Get());
        return 0;
    });
    TestThread thief([&]() -> std::uint32_t {
        const Handle stopOrA[] = {stop.Get(), a.Get()};
        for (;;) {
            switch (WaitForMultipleObjects(2, stopOrA, false, kLongWait)) {
                case kWaitObject0:
                    return 0;
                case kWaitObject0 + 1:
                    ++stolen;
                    SetEvent(aTaken.Get());
                    break;
                default:
                    return 1;
            }
        }
    });
    auto setter = [&stop](Handle event, Handle taken, std::atomic<int>& sets) {
        return [&stop, event, taken, &sets]() -> std::uint32_t {
            const Handle stopOrTaken[] = {stop.Get(), taken};
            for (;;) {
                ++sets;
                SetEvent(event);
                switch (WaitForMultipleObjects(2, stopOrTaken, false, kLongWait)) {
                    case kWaitObject0:
                        return 0;
                    case kWaitObject0 + 1:
                        break;
                    default:
                        return 1;
                }
            }
        };
    };
    std::atomic<int> setsOfA{0};
    std::atomic<int> setsOfB{0};
    {
        TestThread setA(setter(a.Get(), aTaken.Get(), setsOfA));
        TestThread setB(setter(b.Get(), bTaken.Get(), setsOfB));
        EXPECT_EQ(0u, consumer.Join());
        EXPECT_EQ(0u, thief.Join());
        EXPECT_EQ(0u, setA.Join());
        EXPECT_EQ(0u, setB.Join());
    }
    EXPECT_EQ(kConsumed, consumed.load());
    // A set not taken by the end is still pending in its event.
    const int pendingA = WaitForSingleObject(a.Get(), 0) == kWaitObject0 ? 1 : 0;
    const int pendingB = WaitForSingleObject(b.Get(), 0) == kWaitObject0 ? 1 : 0;
    EXPECT_EQ(setsOfA.load(), consumed.load() + stolen.load() + pendingA);
    EXPECT_EQ(setsOfB.load(), consumed.load() + pendingB);
}

}  // namespace
}  // namespace platform
