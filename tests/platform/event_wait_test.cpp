// Events and waits: reset semantics, wait-all atomicity, wait-any order, limits, races (a set
// against a wait's timeout too), and the handle checks every call on a waitable object makes.
#include "platform/error.h"
#include "tests/platform/thread_test_helpers.h"

namespace platform {
namespace {

using namespace keltra::test;

// n events of one kind and their handles.
struct Events {
    Events(int n, bool manualReset, bool signalled = false) {
        for (int i = 0; i < n; ++i) {
            owned.push_back(MakeEvent(manualReset, signalled));
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

TEST(EventTest, AutoResetReleasesExactlyOneWaiterPerSet) {
    // Each set waits for its release to be acknowledged: a set that released two waiters
    // shows up as an extra release.
    constexpr int kSets = 300;
    Events signals(2, false);  // the event, the acknowledgement
    UniqueHandle stop = MakeEvent(true);
    std::atomic<int> releases{0};
    TestThreads waiters(4, [&](int) -> std::uint32_t {
        const Handle stopOrEvent[] = {stop.Get(), signals.handles[0]};
        std::uint32_t result;
        while ((result = WaitForMultipleObjects(2, stopOrEvent, false, kLongWait)) ==
               kWaitObject0 + 1) {
            ++releases;
            SetEvent(signals.handles[1]);
        }
        return result == kWaitObject0 ? 0 : 1;
    });
    for (int i = 1; i <= kSets; ++i) {
        ASSERT_TRUE(SetEvent(signals.handles[0]));
        ASSERT_EQ(kWaitObject0, WaitForSingleObject(signals.handles[1], kLongWait)) << i;
    }
    ASSERT_TRUE(SetEvent(stop.Get()));
    EXPECT_TRUE(waiters.AllReturnZero());
    EXPECT_EQ(kSets, releases.load());
}

TEST(WaitTest, WaitAllTakesNothingUntilTheWholeSetIsSignalled) {
    Events both(2, false);
    UniqueHandle waiting = MakeEvent(true);
    ASSERT_TRUE(SetEvent(both.handles[0]));
    EXPECT_EQ(kWaitTimeout, both.Wait(true));
    EXPECT_EQ(kWaitTimeout, both.Wait(true, 50));
    EXPECT_EQ(kWaitObject0, WaitForSingleObject(both.handles[0], 0)) << "a failed wait took A";
    TestThread waiter([&]() -> std::uint32_t {
        SetEvent(waiting.Get());
        return both.Wait(true, kLongWait);
    });
    ASSERT_EQ(kWaitObject0, WaitForSingleObject(waiting.Get(), kLongWait));
    // With the other one unset the waiter must stay blocked and leave each to anyone else.
    for (Handle event : both.handles) {
        ASSERT_TRUE(SetEvent(event));
        EXPECT_EQ(kWaitTimeout, WaitForSingleObject(waiter.Handle(), 100));
        EXPECT_EQ(kWaitObject0, WaitForSingleObject(event, 0)) << "the blocked wait-all took it";
    }
    ASSERT_TRUE(SetEvent(both.handles[0]));
    ASSERT_TRUE(SetEvent(both.handles[1]));
    EXPECT_EQ(kWaitObject0, waiter.Join());
    EXPECT_EQ(kWaitTimeout, both.Wait(false)) << "wait-all left one set";
}

TEST(WaitTest, WaitAnyGivesTheLowestSignalledIndexAndSixtyFourObjectsAreTheLimit) {
    Events five(5, false);
    ASSERT_TRUE(SetEvent(five.handles[3]));
    ASSERT_TRUE(SetEvent(five.handles[1]));
    EXPECT_EQ(kWaitObject0 + 1, five.Wait(false));
    EXPECT_EQ(kWaitObject0 + 3, five.Wait(false));  // each wait took the one it reported
    Events events(kMaximumWaitObjects + 1, true, true);
    EXPECT_EQ(kWaitObject0, WaitForMultipleObjects(64, events.handles.data(), true, 0));
    EXPECT_FAILS_WITH(kErrorInvalidParameter, kWaitFailed, events.Wait(true));
}

TEST(WaitTest, ClosedNullAndWrongKindHandlesFailWithInvalidHandle) {
    TestThread thread([] { return 0u; });
    UniqueHandle event = MakeEvent(true);
    Handle closed = CreateEvent(true, true);  // Windows reuses the value of the next object
    ASSERT_TRUE(CloseHandle(closed));
    std::uint32_t code = 0;
    for (Handle bad : {closed, Handle{nullptr}, kInvalidHandleValue}) {
        EXPECT_FAILS_WITH(kErrorInvalidHandle, false, CloseHandle(bad));
    }
    for (Handle bad : {closed, Handle{nullptr}}) {
        EXPECT_FAILS_WITH(kErrorInvalidHandle, kWaitFailed, WaitForSingleObject(bad, kLongWait));
        EXPECT_FAILS_WITH(kErrorInvalidHandle, false, SetEvent(bad));
        EXPECT_FAILS_WITH(kErrorInvalidHandle, false, GetExitCodeProcess(bad, &code));
        EXPECT_FAILS_WITH(kErrorInvalidHandle, false, TerminateProcess(bad, 1));
    }
    for (Handle bad : {closed, Handle{nullptr}, event.Get()}) {
        EXPECT_FAILS_WITH(kErrorInvalidHandle, false, GetExitCodeThread(bad, &code));
        EXPECT_FAILS_WITH(kErrorInvalidHandle, false, TerminateThread(bad, 1));
    }
    EXPECT_FAILS_WITH(kErrorInvalidHandle, false, ResetEvent(thread.Handle()));
    EXPECT_FAILS_WITH(kErrorInvalidParameter, nullptr, BeginThread(nullptr, nullptr, nullptr));
}

TEST(WaitStressTest, WaitAllAgainstACompetingSingleWaiter) {
    // A consumer waits for A and B together while a thief takes A alone whenever it can. Each
    // setter sets its event again only once its previous signal was taken, so every set is
    // taken exactly once, by the consumer or the thief: none lost, none taken twice.
    constexpr int kConsumed = 500;
    Events events(4, false);  // A, B, and the signals that each was taken
    const Handle a = events.handles[0];
    const Handle b = events.handles[1];
    UniqueHandle stop = MakeEvent(true);
    std::atomic<int> consumed{0};
    std::atomic<int> stolen{0};
    std::atomic<int> sets[2] = {0, 0};
    TestThread consumer([&]() -> std::uint32_t {
        const Handle both[] = {a, b};
        while (consumed < kConsumed &&
               WaitForMultipleObjects(2, both, true, kLongWait) == kWaitObject0) {
            ++consumed;
            SetEvent(events.handles[2]);
            SetEvent(events.handles[3]);
        }
        SetEvent(stop.Get());
        return consumed == kConsumed ? 0 : 1;
    });
    // Both the thief (i 0, also taking A) and the setters (i 1, 2) wait for stop or their event.
    TestThreads others(3, [&](int i) -> std::uint32_t {
        const Handle stopOr[] = {stop.Get(), i == 0 ? a : events.handles[i + 1]};
        for (std::uint32_t result = kWaitObject0 + 1; result == kWaitObject0 + 1;) {
            if (i > 0) {
                ++sets[i - 1];
                SetEvent(events.handles[i - 1]);
            }
            result = WaitForMultipleObjects(2, stopOr, false, kLongWait);
            if (i == 0 && result == kWaitObject0 + 1) {
                ++stolen;
                SetEvent(events.handles[2]);
            } else if (result == kWaitObject0) {
                return 0;
            }
        }
        return 1;
    });
    EXPECT_EQ(0u, consumer.Join());
    EXPECT_TRUE(others.AllReturnZero());
    EXPECT_EQ(kConsumed, consumed.load());
    // A set not taken by the end is still pending in its event.
    const int pendingA = WaitForSingleObject(a, 0) == kWaitObject0 ? 1 : 0;
    const int pendingB = WaitForSingleObject(b, 0) == kWaitObject0 ? 1 : 0;
    EXPECT_EQ(sets[0].load(), consumed.load() + stolen.load() + pendingA);
    EXPECT_EQ(sets[1].load(), consumed.load() + pendingB);
}

TEST(WaitStressTest, ASetIsNeverLostToAWaitThatTimesOutAsItIsTaken) {
    // Short waits end on threads that end at once, while the set comes about when their time
    // runs out: a wait completed by the set must report it (the set is taken), and the wake
    // that follows it must not reach a wait or a thread that is gone (sanitizers watch).
    constexpr int kRounds = 300;
    UniqueHandle event = MakeEvent(false);
    for (int round = 0; round < kRounds; ++round) {
        std::atomic<int> got{0};
        {
            TestThreads waiters(3, [&](int) -> std::uint32_t {
                const std::uint32_t result = WaitForSingleObject(event.Get(), 1);
                got += result == kWaitObject0 ? 1 : 0;
                return result == kWaitObject0 || result == kWaitTimeout ? 0 : 1;
            });
            ASSERT_TRUE(SetEvent(event.Get()));
            ASSERT_TRUE(waiters.AllReturnZero()) << round;
        }
        const int pending = WaitForSingleObject(event.Get(), 0) == kWaitObject0 ? 1 : 0;
        ASSERT_EQ(1, got.load() + pending) << round;
    }
}

}  // namespace
}  // namespace platform
