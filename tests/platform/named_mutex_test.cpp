// Named mutexes: one mutex per name across threads and processes, race-free creation,
// recursive thread ownership, abandonment by dead threads and processes, exclusion under
// contention, lifetime (also when its last holder is killed).
#include "platform/named_mutex.h"
#include "platform/error.h"
#include "tests/platform/thread_test_helpers.h"
#include "text/text.h"

namespace platform {
namespace {

using namespace keltra::test;

// A name no other test (or earlier run) uses.
std::wstring UniqueName(const wchar_t* tag) {
    static std::atomic<int> counter{0};
    return std::wstring(L"Global\\keltra-test-") + tag + L"-" +
           std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(counter++);
}

// What another thread gets from a wait of 0 on the mutex (released again if it got it).
std::uint32_t TryFromAnotherThread(Handle mutex) {
    TestThread other([mutex] {
        const std::uint32_t result = WaitForSingleObject(mutex, 0);
        return result == kWaitTimeout || ReleaseMutex(mutex) ? result : 99;
    });
    return other.Join();
}

// Opens the mutex in a child and tries it once. Exit codes: 10 acquired, 11 busy, 12
// abandoned (exit codes travel in 8 bits only).
constexpr std::uint32_t kProbeAcquired = 10, kProbeBusy = 11, kProbeAbandoned = 12;
KELTRA_CHILD_ROLE(mutex_probe) {
    UniqueHandle mutex(OpenMutex(kSynchronize, false, args.at(0).c_str()));
    const std::uint32_t result = mutex ? WaitForSingleObject(mutex.Get(), 0) : kWaitFailed;
    if (result == kWaitTimeout || !ReleaseMutex(mutex.Get())) {
        return result == kWaitTimeout ? kProbeBusy : 1u;
    }
    return result == kWaitObject0 ? kProbeAcquired : kProbeAbandoned;
}

// Opens the mutex and takes it (args[1] "exit": then exits, "hang": hangs to be killed) or
// only holds it open ("open": hangs), without ever releasing or closing it. With args[2], a
// file it then creates: its wait has returned.
KELTRA_CHILD_ROLE(mutex_hold) {
    Handle mutex = CreateMutex(true, false, args.at(0).c_str());
    if (mutex == nullptr ||
        (args.at(1) != L"open" && WaitForSingleObject(mutex, kInfinite) != kWaitObject0)) {
        return 1;
    }
    if (args.size() > 2 && !UniqueHandle(CreateFile(args[2].c_str(), kGenericWrite, 0, false,
                                                    kCreateAlways, kFileAttributeNormal))) {
        return 2;
    }
    return args.at(1) == L"exit" ? 0 : WaitForSingleObject(CreateEvent(true, false), kInfinite);
}

// Starts a mutex_hold child ("hang" or "open") and waits until it has the mutex open and, if
// owned, owns it: until its file appears (a busy mutex alone would not say that its wait has
// returned), pausing on the child's handle so that a child that fails ends the wait at once.
UniqueHandle StartHoldingChild(const std::wstring& name, const wchar_t* mode) {
    const std::wstring flag = MakeTempDirectory(L"mutex-hold") + kPathSeparator + L"held";
    UniqueHandle child(StartChild("mutex_hold", {name, mode, flag}));
    for (int i = 0; i < 4000 && child; ++i) {
        if (PathFileExists(flag.c_str())) {
            return child;
        }
        if (WaitForSingleObject(child.Get(), 5) != kWaitTimeout) {
            break;
        }
    }
    ADD_FAILURE() << "the child did not come to hold " << WideToUtf8(name);
    return child;
}

TEST(NamedMutexTest, OneMutexPerNameWithCreateAndOpenResultsGoneWithItsLastHandle) {
    const std::wstring name = UniqueName(L"names");
    EXPECT_FAILS_WITH(kErrorFileNotFound, nullptr, OpenMutex(kSynchronize, false, name.c_str()));
    SetLastError(12345);
    UniqueHandle first(CreateMutex(true, false, name.c_str()));
    EXPECT_EQ(kErrorSuccess, GetLastError());
    UniqueHandle second(CreateMutex(true, true, name.c_str()));
    EXPECT_EQ(kErrorAlreadyExists, GetLastError());
    EXPECT_EQ(kWaitObject0, TryFromAnotherThread(first.Get())) << "initiallyOwned ignored: existed";
    UniqueHandle opened(OpenMutex(kSynchronize, false, name.c_str()));
    ASSERT_EQ(kWaitObject0, WaitForSingleObject(opened.Get(), 0));
    EXPECT_EQ(kWaitTimeout, TryFromAnotherThread(second.Get())) << "one mutex behind all three";
    EXPECT_TRUE(ReleaseMutex(first.Get()));  // any handle of the owner releases
    first.Reset();
    second.Reset();
    EXPECT_TRUE(UniqueHandle(OpenMutex(kSynchronize, false, name.c_str())).Valid()) << "still";
    opened.Reset();
    EXPECT_FAILS_WITH(kErrorFileNotFound, nullptr, OpenMutex(kSynchronize, false, name.c_str()));
    UniqueHandle again(CreateMutex(true, false, name.c_str()));  // new, and free
    EXPECT_EQ(kErrorSuccess, GetLastError());
    EXPECT_EQ(kWaitObject0, TryFromAnotherThread(again.Get()));
    const std::wstring tooLong(kMaxMutexName + 1, L'n');
    for (const wchar_t* bad : {static_cast<const wchar_t*>(nullptr), L"", tooLong.c_str()}) {
        EXPECT_FAILS_WITH(kErrorInvalidParameter, nullptr, CreateMutex(true, false, bad));
    }
    const std::wstring longest = name + std::wstring(kMaxMutexName - name.size(), L'l');
    EXPECT_TRUE(UniqueHandle(CreateMutex(true, false, longest.c_str())).Valid()) << GetLastError();
}

TEST(NamedMutexTest, ThreadOwnershipIsRecursiveCheckedAndAbandonedByAnEndingThread) {
    UniqueHandle mutex(CreateMutex(true, true, UniqueName(L"recursive").c_str()));
    EXPECT_EQ(kWaitObject0, WaitForSingleObject(mutex.Get(), 0));  // owned from creation
    Handle handles[1] = {mutex.Get()};
    EXPECT_EQ(kWaitObject0, WaitForMultipleObjects(1, handles, false, kInfinite));
    TestThread other([&] { return ReleaseMutex(mutex.Get()) ? 0u : GetLastError(); });
    EXPECT_EQ(kErrorNotOwner, other.Join());
    for (int owned = 3; owned > 0; --owned) {
        EXPECT_EQ(kWaitTimeout, TryFromAnotherThread(mutex.Get())) << owned;
        EXPECT_TRUE(ReleaseMutex(mutex.Get()));
    }
    EXPECT_FAILS_WITH(kErrorNotOwner, false, ReleaseMutex(mutex.Get()));
    // Free now: a waiting thread gets it as soon as it is released.
    ASSERT_EQ(kWaitObject0, WaitForSingleObject(mutex.Get(), 0));
    TestThread waiter([&] { return WaitForSingleObject(mutex.Get(), kLongWait); });
    EXPECT_TRUE(ReleaseMutex(mutex.Get()));
    EXPECT_EQ(kWaitObject0, waiter.Join());  // and ends owning it: abandoned
    EXPECT_EQ(kWaitAbandoned0, WaitForSingleObject(mutex.Get(), kLongWait));
    EXPECT_TRUE(ReleaseMutex(mutex.Get()));  // taken over: an ordinary mutex again
    EXPECT_EQ(kWaitObject0, WaitForSingleObject(mutex.Get(), 0));
    EXPECT_TRUE(ReleaseMutex(mutex.Get()));
}

TEST(NamedMutexTest, AProcessThatEndsOrIsKilledWhileOwningAbandonsItToOtherHolders) {
    const std::wstring name = UniqueName(L"process-dies");
    UniqueHandle mutex(CreateMutex(true, false, name.c_str()));
    ASSERT_EQ(kWaitObject0, WaitForSingleObject(mutex.Get(), 0));
    EXPECT_EQ(kProbeBusy, RunChild("mutex_probe", {name})) << "excludes other processes";
    ASSERT_TRUE(ReleaseMutex(mutex.Get()));
    EXPECT_EQ(kProbeAcquired, RunChild("mutex_probe", {name}));

    ASSERT_EQ(0u, RunChild("mutex_hold", {name, L"exit"}));
    EXPECT_EQ(kWaitAbandoned0, WaitForSingleObject(mutex.Get(), kLongWait));
    ASSERT_TRUE(ReleaseMutex(mutex.Get()));

    UniqueHandle child(StartHoldingChild(name, L"hang"));
    ASSERT_FALSE(HasFailure());
    // A waiter in a second process, blocked while the owner is killed, gets it.
    ASSERT_TRUE(TerminateProcess(child.Get(), 9));
    ASSERT_EQ(kWaitObject0, WaitForSingleObject(child.Get(), kLongWait));
    EXPECT_EQ(kProbeAbandoned, RunChild("mutex_probe", {name}));
    EXPECT_EQ(kWaitObject0, WaitForSingleObject(mutex.Get(), kLongWait));
    EXPECT_TRUE(ReleaseMutex(mutex.Get()));
}

TEST(NamedMutexTest, AKilledLastHolderLeavesNoMutexBehind) {
    // Its handles close with the process: the name is free, and the next mutex is a new one,
    // free, not abandoned (no handle was left to see the abandonment).
    for (const bool owned : {true, false}) {
        const std::wstring name = UniqueName(owned ? L"killed-owner" : L"killed-opener");
        UniqueHandle child(StartHoldingChild(name, owned ? L"hang" : L"open"));
        ASSERT_FALSE(HasFailure()) << owned;
        ASSERT_TRUE(TerminateProcess(child.Get(), 9));
        ASSERT_EQ(kWaitObject0, WaitForSingleObject(child.Get(), kLongWait));
        UniqueHandle mutex(CreateMutex(true, false, name.c_str()));
        EXPECT_EQ(kErrorSuccess, GetLastError()) << owned;
        EXPECT_EQ(kWaitObject0, WaitForSingleObject(mutex.Get(), 0)) << owned;
        EXPECT_TRUE(ReleaseMutex(mutex.Get()));
    }
}

TEST(NamedMutexTest, ConcurrentFirstCreatorsGetOneMutex) {
    const std::wstring name = UniqueName(L"race");
    constexpr int kThreads = 8;
    StartingLine line(kThreads);
    std::atomic<int> created{0};
    std::vector<UniqueHandle> handles(kThreads);
    TestThreads threads(kThreads, [&](int i) -> std::uint32_t {
        line.Arrive();
        handles[i].Reset(CreateMutex(true, false, name.c_str()));
        const ErrorCode error = GetLastError();
        created += error == kErrorSuccess;
        return handles[i] && (error == kErrorSuccess || error == kErrorAlreadyExists) ? 0 : 1;
    });
    ASSERT_TRUE(threads.AllReturnZero());
    EXPECT_EQ(1, created.load());
    ASSERT_EQ(kWaitObject0, WaitForSingleObject(handles[0].Get(), 0));
    for (int i = 1; i < kThreads; ++i) {
        EXPECT_EQ(kWaitTimeout, TryFromAnotherThread(handles[i].Get())) << "one mutex: busy";
    }
    EXPECT_TRUE(ReleaseMutex(handles[0].Get()));
}

TEST(NamedMutexTest, OpenersRacingTheLastCloserNeverSplitTheMutex) {
    // Threads repeatedly open and close the name while one handle keeps taking it: were a
    // closer to unlink a name that an opener still joins, two mutexes would exist under one
    // name and both holders would be inside at once.
    const std::wstring name = UniqueName(L"churn");
    std::atomic<int> inside{0}, overlaps{0};
    constexpr int kThreads = 4;
    constexpr int kRounds = 300;
    TestThreads threads(kThreads, [&](int) -> std::uint32_t {
        for (int i = 0; i < kRounds; ++i) {
            UniqueHandle mutex(CreateMutex(true, false, name.c_str()));
            if (!mutex || WaitForSingleObject(mutex.Get(), kLongWait) != kWaitObject0) {
                return 1;
            }
            overlaps += inside.fetch_add(1) != 0;
            std::this_thread::yield();
            inside.fetch_sub(1);
            if (!ReleaseMutex(mutex.Get())) {
                return 2;
            }
        }
        return 0;
    });
    EXPECT_TRUE(threads.AllReturnZero());
    EXPECT_EQ(0, overlaps.load());
}

}  // namespace
}  // namespace platform
