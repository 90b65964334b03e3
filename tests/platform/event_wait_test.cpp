// Events, waits and clocks: reset semantics, wait-all atomicity, wait-any order, limits, races.
#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "platform/error.h"
#include "platform/event.h"
#include "platform/handle.h"
#include "platform/thread.h"
#include "platform/time.h"
#include "platform/wait.h"
#include "tests/platform/thread_test_helpers.h"

namespace platform {
namespace {

using keltra::test::kLongWait;
using keltra::test::TestThread;

UniqueHandle MakeEvent(bool manualReset, bool signalled = false) {
    UniqueHandle event(CreateEvent(manualReset, signalled));
    EXPECT_TRUE(event.Valid()) << "CreateEvent failed with " << GetLastError();
    return event;
}

// A handle value that named an event a moment ago.
Handle ClosedHandle() {
    Handle handle = CreateEvent(true, true);
    EXPECT_TRUE(CloseHandle(handle));
    return handle;
}

TEST(EventTest, ManualResetStaysSignalledUntilReset) {
    UniqueHandle event = MakeEvent(true);
    EXPECT_EQ(kWaitTimeout, WaitForSingleObject(event.Get(), 0));
    ASSERT_TRUE(SetEvent(event.Get()));
    EXPECT_EQ(kWaitObject0, WaitForSingleObject(event.Get(), 0));
    EXPECT_EQ(kWaitObject0, WaitForSingleObject(event.Get(), 0));
    ASSERT_TRUE(ResetEvent(event.Get()));
    EXPECT_EQ(kWaitTimeout, WaitForSingleObject(event.Get(), 0));

    UniqueHandle initiallySet = MakeEvent(true, true);
    EXPECT_EQ(kWaitObject0, WaitForSingleObject(initiallySet.Get(), 0));
    EXPECT_EQ(kWaitObject0, WaitForSingleObject(initiallySet.Get(), 0));
}

TEST(EventTest, AutoResetIsTakenByOneWaitAndDoesNotCount) {
    UniqueHandle event = MakeEvent(false, true);
    EXPECT_EQ(kWaitObject0, WaitForSingleObject(event.Get(), 0));
    EXPECT_EQ(kWaitTimeout, WaitForSingleObject(event.Get(), 0));

    ASSERT_TRUE(SetEvent(event.Get()));
    ASSERT_TRUE(SetEvent(event.Get()));  // a second set of a set event adds nothing
    EXPECT_EQ(kWaitObject0, WaitForSingleObject(event.Get(), 0));
    EXPECT_EQ(kWaitTimeout, WaitForSingleObject(event.Get(), 0));

    ASSERT_TRUE(SetEvent(event.Get()));
    ASSERT_TRUE(ResetEvent(event.Get()));
    EXPECT_EQ(kWaitTimeout, WaitForSingleObject(event.Get(), 0));
}

TEST(EventTest, ManualResetReleasesEveryWaiter) {
    UniqueHandle gate = MakeEvent(true);
    std::atomic<int> released{0};
    std::vector<std::unique_ptr<TestThread>> threads;
    std::vector<Handle> handles;
    for (int i = 0; i < 8; ++i) {
        threads.push_back(std::make_unique<TestThread>([&]() -> std::uint32_t {
            if (WaitForSingleObject(gate.Get(), kLongWait) != kWaitObject0) {
                return 1;
            }
            ++released;
            return 0;
        }));
        ASSERT_TRUE(threads.back()->Started());
        handles.push_back(threads.back()->Handle());
    }
    ASSERT_TRUE(SetEvent(gate.Get()));
    ASSERT_EQ(kWaitObject0, WaitForMultipleObjects(static_cast<std::uint32_t>(handles.size()),
                                                   handles.data(), true, kLongWait));
    EXPECT_EQ(8, released.load());
    for (auto& thread : threads) {
        EXPECT_EQ(0u, thread->Join());
    }
}

TEST(EventTest, AutoResetReleasesExactlyOneWaiterPerSet) {
    constexpr int kWaiters = 4;
    constexpr int kSets = 300;
    UniqueHandle event = MakeEvent(false);
    UniqueHandle ack = MakeEvent(false);
    std::atomic<bool> stop{false};
    std::atomic<int> releases{0};
    std::vector<std::unique_ptr<TestThread>> waiters;
    for (int i = 0; i < kWaiters; ++i) {
        waiters.push_back(std::make_unique<TestThread>([&]() -> std::uint32_t {
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
        }));
        ASSERT_TRUE(waiters.back()->Started());
    }
    for (int i = 1; i <= kSets; ++i) {
        ASSERT_TRUE(SetEvent(event.Get()));
        ASSERT_EQ(kWaitObject0, WaitForSingleObject(ack.Get(), kLongWait)) << "set " << i;
    }
    stop.store(true);
    for (int i = 0; i < kWaiters; ++i) {
        ASSERT_TRUE(SetEvent(event.Get()));
        ASSERT_EQ(kWaitObject0, WaitForSingleObject(ack.Get(), kLongWait));
    }
    for (auto& waiter : waiters) {
        EXPECT_EQ(0u, waiter->Join());
    }
    // A set that released two waiters would show up as an extra release.
    EXPECT_EQ(kSets, releases.load());
}

TEST(WaitTest, WaitAllTakesNothingUntilTheWholeSetIsSignalled) {
    UniqueHandle a = MakeEvent(false);
    UniqueHandle b = MakeEvent(false);
    const Handle both[] = {a.Get(), b.Get()};

    ASSERT_TRUE(SetEvent(a.Get()));
    EXPECT_EQ(kWaitTimeout, WaitForMultipleObjects(2, both, true, 0));
    EXPECT_EQ(kWaitTimeout, WaitForMultipleObjects(2, both, true, 50));
    EXPECT_EQ(kWaitObject0, WaitForSingleObject(a.Get(), 0)) << "the failed wait-all took A";

    ASSERT_TRUE(SetEvent(a.Get()));
    ASSERT_TRUE(SetEvent(b.Get()));
    EXPECT_EQ(kWaitObject0, WaitForMultipleObjects(2, both, true, 0));
    EXPECT_EQ(kWaitTimeout, WaitForSingleObject(a.Get(), 0)) << "wait-all left A set";
    EXPECT_EQ(kWaitTimeout, WaitForSingleObject(b.Get(), 0)) << "wait-all left B set";
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
    ASSERT_TRUE(waiter.Started());
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
    std::vector<UniqueHandle> events;
    std::vector<Handle> handles;
    for (int i = 0; i < 5; ++i) {
        events.push_back(MakeEvent(false));
        handles.push_back(events.back().Get());
    }
    ASSERT_TRUE(SetEvent(handles[3]));
    ASSERT_TRUE(SetEvent(handles[1]));
    EXPECT_EQ(kWaitObject0 + 1, WaitForMultipleObjects(5, handles.data(), false, 0));
    EXPECT_EQ(kWaitObject0 + 3, WaitForMultipleObjects(5, handles.data(), false, 0));
    EXPECT_EQ(kWaitTimeout, WaitForMultipleObjects(5, handles.data(), false, 0));

    // A blocked wait-any wakes with the index of the object that was set.
    UniqueHandle waiting = MakeEvent(true);
    TestThread waiter([&]() -> std::uint32_t {
        SetEvent(waiting.Get());
        return WaitForMultipleObjects(5, handles.data(), false, kLongWait);
    });
    ASSERT_TRUE(waiter.Started());
    ASSERT_EQ(kWaitObject0, WaitForSingleObject(waiting.Get(), kLongWait));
    ASSERT_TRUE(SetEvent(handles[4]));
    EXPECT_EQ(kWaitObject0 + 4, waiter.Join());
    EXPECT_EQ(kWaitTimeout, WaitForSingleObject(handles[4], 0));
}

TEST(WaitTest, SixtyFourObjectsCanBeWaitedOn) {
    std::vector<UniqueHandle> events;
    std::vector<Handle> handles;
    for (std::uint32_t i = 0; i < kMaximumWaitObjects; ++i) {
        events.push_back(MakeEvent(true));
        handles.push_back(events.back().Get());
    }
    EXPECT_EQ(kWaitTimeout, WaitForMultipleObjects(64, handles.data(), false, 0));
    ASSERT_TRUE(SetEvent(handles[63]));
    EXPECT_EQ(kWaitObject0 + 63, WaitForMultipleObjects(64, handles.data(), false, 0));
    EXPECT_EQ(kWaitTimeout, WaitForMultipleObjects(64, handles.data(), true, 0));
    for (Handle handle : handles) {
        ASSERT_TRUE(SetEvent(handle));
    }
    EXPECT_EQ(kWaitObject0, WaitForMultipleObjects(64, handles.data(), true, 0));
    EXPECT_EQ(kWaitObject0, WaitForMultipleObjects(64, handles.data(), false, 0));
}

TEST(WaitTest, BadCountsFailAtOnceWithInvalidParameter) {
    std::vector<UniqueHandle> events;
    std::vector<Handle> handles;
    for (std::uint32_t i = 0; i <= kMaximumWaitObjects; ++i) {
        events.push_back(MakeEvent(true));
        handles.push_back(events.back().Get());
    }
    // Every object here stays unsignalled: a wait would last the whole bound.
    SetLastError(0);
    EXPECT_EQ(kWaitFailed, WaitForMultipleObjects(0, handles.data(), false, kLongWait));
    EXPECT_EQ(kErrorInvalidParameter, GetLastError());
    SetLastError(0);
    EXPECT_EQ(kWaitFailed, WaitForMultipleObjects(65, handles.data(), true, kLongWait));
    EXPECT_EQ(kErrorInvalidParameter, GetLastError());
    SetLastError(0);
    EXPECT_EQ(kWaitFailed, WaitForMultipleObjects(65, handles.data(), false, kLongWait));
    EXPECT_EQ(kErrorInvalidParameter, GetLastError());
    SetLastError(0);
    EXPECT_EQ(kWaitFailed, WaitForMultipleObjects(1, nullptr, false, kLongWait));
    EXPECT_EQ(kErrorInvalidParameter, GetLastError());
}

TEST(WaitTest, BadHandlesFailWithInvalidHandle) {
    // Windows reuses a closed handle's value for the next object: take each closed handle
    // right before its use, and create nothing in between.
    UniqueHandle good = MakeEvent(true);
    Handle closed = ClosedHandle();
    SetLastError(0);
    EXPECT_EQ(kWaitFailed, WaitForSingleObject(closed, kLongWait));
    EXPECT_EQ(kErrorInvalidHandle, GetLastError());
    SetLastError(0);
    EXPECT_EQ(kWaitFailed, WaitForSingleObject(nullptr, kLongWait));
    EXPECT_EQ(kErrorInvalidHandle, GetLastError());

    const Handle mixed[] = {good.Get(), closed};
    SetLastError(0);
    EXPECT_EQ(kWaitFailed, WaitForMultipleObjects(2, mixed, false, kLongWait));
    EXPECT_EQ(kErrorInvalidHandle, GetLastError());

    SetLastError(0);
    EXPECT_FALSE(SetEvent(closed));
    EXPECT_EQ(kErrorInvalidHandle, GetLastError());
    SetLastError(0);
    EXPECT_FALSE(ResetEvent(nullptr));
    EXPECT_EQ(kErrorInvalidHandle, GetLastError());
    for (Handle bad : {closed, static_cast<Handle>(nullptr), kInvalidHandleValue}) {
        SetLastError(0);
        EXPECT_FALSE(CloseHandle(bad));
        EXPECT_EQ(kErrorInvalidHandle, GetLastError());
    }

    // An object of another type is a bad handle for the event calls.
    TestThread thread([] { return 0u; });
    ASSERT_TRUE(thread.Started());
    SetLastError(0);
    EXPECT_FALSE(SetEvent(thread.Handle()));
    EXPECT_EQ(kErrorInvalidHandle, GetLastError());
}

TEST(WaitTest, TimeOutReturns258AfterTheTime) {
    UniqueHandle event = MakeEvent(false);
    UniqueHandle other = MakeEvent(false);
    const Handle both[] = {event.Get(), other.Get()};
    // The tick count may advance in steps of up to about 16 ms on Windows.
    constexpr std::uint64_t kTickSlack = 20;

    std::uint64_t start = TickCount64();
    EXPECT_EQ(kWaitTimeout, WaitForSingleObject(event.Get(), 200));
    EXPECT_GE(TickCount64() - start + kTickSlack, 200u);

    start = TickCount64();
    EXPECT_EQ(kWaitTimeout, WaitForMultipleObjects(2, both, true, 150));
    EXPECT_GE(TickCount64() - start + kTickSlack, 150u);

    ASSERT_TRUE(SetEvent(other.Get()));
    start = TickCount64();
    EXPECT_EQ(kWaitTimeout, WaitForMultipleObjects(2, both, true, 150));
    EXPECT_GE(TickCount64() - start + kTickSlack, 150u);
    EXPECT_EQ(kWaitObject0, WaitForSingleObject(other.Get(), 0)) << "timed-out wait-all took it";
}

TEST(WaitTest, ThreadHandlesMixWithEvents) {
    UniqueHandle release = MakeEvent(true);
    UniqueHandle event = MakeEvent(true);
    TestThread thread([&]() -> std::uint32_t {
        return WaitForSingleObject(release.Get(), kLongWait) == kWaitObject0 ? 0 : 1;
    });
    ASSERT_TRUE(thread.Started());
    const Handle mixed[] = {thread.Handle(), event.Get()};
    ASSERT_TRUE(SetEvent(event.Get()));
    EXPECT_EQ(kWaitTimeout, WaitForMultipleObjects(2, mixed, true, 0));
    EXPECT_EQ(kWaitObject0 + 1, WaitForMultipleObjects(2, mixed, false, 0));
    ASSERT_TRUE(SetEvent(release.Get()));
    EXPECT_EQ(kWaitObject0, WaitForMultipleObjects(2, mixed, true, kLongWait));
    // An ended thread stays signalled.
    EXPECT_EQ(kWaitObject0, WaitForMultipleObjects(2, mixed, false, 0));
    EXPECT_EQ(kWaitObject0, WaitForSingleObject(thread.Handle(), 0));
}

TEST(WaitStressTest, TokenRingOfAutoResetEvents) {
    constexpr int kThreads = 8;
    constexpr int kRounds = 500;
    std::vector<UniqueHandle> events;
    for (int i = 0; i < kThreads; ++i) {
        events.push_back(MakeEvent(false));
    }
    std::atomic<int> passes{0};
    std::vector<std::unique_ptr<TestThread>> threads;
    std::vector<Handle> handles;
    for (int i = 0; i < kThreads; ++i) {
        threads.push_back(std::make_unique<TestThread>([&, i]() -> std::uint32_t {
            for (int round = 0; round < kRounds; ++round) {
                if (WaitForSingleObject(events[i].Get(), kLongWait) != kWaitObject0) {
                    return 1;
                }
                ++passes;
                SetEvent(events[(i + 1) % kThreads].Get());
            }
            return 0;
        }));
        ASSERT_TRUE(threads.back()->Started());
        handles.push_back(threads.back()->Handle());
    }
    ASSERT_TRUE(SetEvent(events[0].Get()));
    ASSERT_EQ(kWaitObject0, WaitForMultipleObjects(kThreads, handles.data(), true, kLongWait * 3));
    for (auto& thread : threads) {
        EXPECT_EQ(0u, thread->Join());
    }
    EXPECT_EQ(kThreads * kRounds, passes.load());
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
        ASSERT_TRUE(consumer.Started() && thief.Started() && setA.Started() && setB.Started());
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

TEST(TimeTest, TickCountNeverGoesBack) {
    std::uint64_t last = TickCount64();
    for (int i = 0; i < 100000; ++i) {
        const std::uint64_t now = TickCount64();
        ASSERT_GE(now, last);
        last = now;
    }
}

TEST(TimeTest, LocalTimeFieldsAreInRange) {
    LocalTime now{};
    GetLocalTime(&now);
    EXPECT_GE(now.year, 2020);
    EXPECT_GE(now.month, 1);
    EXPECT_LE(now.month, 12);
    EXPECT_LE(now.dayOfWeek, 6);
    EXPECT_GE(now.day, 1);
    EXPECT_LE(now.day, 31);
    EXPECT_LE(now.hour, 23);
    EXPECT_LE(now.minute, 59);
    EXPECT_LE(now.second, 59);
    EXPECT_LE(now.milliseconds, 999);
}

}  // namespace
}  // namespace platform
