// Named mutexes: one mutex per name across threads and processes, race-free creation,
// recursive thread ownership, abandonment by dead threads and processes, lifetime.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/error.h"
#include "platform/event.h"
#include "platform/file.h"
#include "platform/handle.h"
#include "platform/named_mutex.h"
#include "platform/process.h"
#include "platform/thread.h"
#include "platform/wait.h"
#include "tests/platform/thread_test_helpers.h"
#include "tests/support/test_support.h"

namespace platform {
namespace {

using keltra::test::kLongWait;
using keltra::test::TestThread;

// A name no other test (or earlier run) uses.
std::wstring UniqueName(const wchar_t* tag) {
    static std::atomic<int> counter{0};
    return std::wstring(L"Global\\keltra-test-") + tag + L"-" +
           std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(counter++);
}

enum ProbeResult : int { kProbeAcquired = 10, kProbeBusy = 11, kProbeAbandoned = 12 };

// Opens the mutex and tries it once without waiting.
KELTRA_CHILD_ROLE(mutex_probe) {
    UniqueHandle mutex(OpenMutex(kSynchronize, false, args.at(0).c_str()));
    if (!mutex) {
        return 1;
    }
    switch (WaitForSingleObject(mutex.Get(), 0)) {
        case kWaitObject0:
            return ReleaseMutex(mutex.Get()) ? kProbeAcquired : 2;
        case kWaitTimeout:
            return kProbeBusy;
        case kWaitAbandoned0:
            return ReleaseMutex(mutex.Get()) ? kProbeAbandoned : 3;
        default:
            return 4;
    }
}

// Takes the mutex and ends the process without releasing it.
KELTRA_CHILD_ROLE(mutex_hold_and_exit) {
    Handle mutex = CreateMutex(true, false, args.at(0).c_str());
    if (mutex == nullptr || WaitForSingleObject(mutex, kInfinite) != kWaitObject0) {
        return 1;
    }
    return 0;  // the handle and the ownership die with the process
}

// Takes the mutex and waits for ever, to be killed while holding it.
KELTRA_CHILD_ROLE(mutex_hold_and_hang) {
    Handle mutex = CreateMutex(true, false, args.at(0).c_str());
    if (mutex == nullptr || WaitForSingleObject(mutex, kInfinite) != kWaitObject0) {
        return 1;
    }
    UniqueHandle never(CreateEvent(true, false));
    (void)WaitForSingleObject(never.Get(), kInfinite);
    return 2;
}

// Increments a counter kept in a file, `iterations` times, each under the mutex: without
// exclusion two writers read the same value and an increment is lost.
bool CountUnderMutex(const std::wstring& name, const std::wstring& path, int iterations) {
    UniqueHandle mutex(CreateMutex(true, false, name.c_str()));
    Handle raw =
        CreateFile(path.c_str(), kGenericRead | kGenericWrite, kFileShareRead | kFileShareWrite,
                   true, kOpenAlways, kFileAttributeNormal);
    if (!mutex || raw == kInvalidHandleValue) {
        return false;
    }
    UniqueHandle file(raw);
    for (int i = 0; i < iterations; ++i) {
        const std::uint32_t wait = WaitForSingleObject(mutex.Get(), kInfinite);
        if (wait != kWaitObject0) {
            return false;
        }
        std::uint32_t value = 0;
        std::uint32_t got = 0;
        if (SetFilePointer(file.Get(), 0, nullptr, kFileBegin) != 0 ||
            !ReadFile(file.Get(), &value, sizeof value, &got)) {
            return false;
        }
        if (got != sizeof value) {
            value = 0;
        }
        ++value;
        if (SetFilePointer(file.Get(), 0, nullptr, kFileBegin) != 0 ||
            !WriteFile(file.Get(), &value, sizeof value, nullptr) || !ReleaseMutex(mutex.Get())) {
            return false;
        }
    }
    return true;
}

KELTRA_CHILD_ROLE(mutex_counter) {
    const int iterations = std::stoi(args.at(2));
    constexpr int kThreads = 2;
    std::atomic<bool> ok{true};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            if (!CountUnderMutex(args.at(0), args.at(1), iterations)) {
                ok = false;
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    return ok ? 0 : 1;
}

std::uint32_t ReadCounter(const std::wstring& path) {
    UniqueHandle file(CreateFile(path.c_str(), kGenericRead, kFileShareRead | kFileShareWrite,
                                 false, kOpenExisting, kFileAttributeNormal));
    std::uint32_t value = 0;
    std::uint32_t got = 0;
    EXPECT_TRUE(ReadFile(file.Get(), &value, sizeof value, &got));
    EXPECT_EQ(sizeof value, got);
    return value;
}

TEST(NamedMutexTest, OneMutexPerNameWithCreateAndOpenResults) {
    const std::wstring name = UniqueName(L"names");
    EXPECT_EQ(nullptr, OpenMutex(kSynchronize, false, name.c_str()));
    EXPECT_EQ(kErrorFileNotFound, GetLastError());

    SetLastError(12345);
    UniqueHandle first(CreateMutex(true, false, name.c_str()));
    ASSERT_TRUE(first.Valid()) << GetLastError();
    EXPECT_EQ(kErrorSuccess, GetLastError());

    UniqueHandle second(CreateMutex(true, true, name.c_str()));
    ASSERT_TRUE(second.Valid());
    EXPECT_EQ(kErrorAlreadyExists, GetLastError());
    // initiallyOwned is ignored for an existing mutex: the other thread can take it.
    std::uint32_t seen = 0;
    TestThread other([&] {
        seen = WaitForSingleObject(first.Get(), 0);
        if (seen == kWaitObject0) {
            ReleaseMutex(first.Get());
        }
        return 0u;
    });
    other.Join();
    EXPECT_EQ(kWaitObject0, seen);

    UniqueHandle opened(OpenMutex(kSynchronize, false, name.c_str()));
    ASSERT_TRUE(opened.Valid());
    // All three handles name one mutex: taken through one, it is busy through the others.
    ASSERT_EQ(kWaitObject0, WaitForSingleObject(opened.Get(), 0));
    TestThread probe([&] { return WaitForSingleObject(second.Get(), 0); });
    EXPECT_EQ(kWaitTimeout, probe.Join());
    EXPECT_TRUE(ReleaseMutex(first.Get()));  // any handle of the owner releases

    // The name is case-sensitive, as on Windows.
    std::wstring upper = name;
    upper[upper.size() - 1] = L'X';
    EXPECT_EQ(nullptr, OpenMutex(kSynchronize, false, upper.c_str()));

    EXPECT_EQ(nullptr, CreateMutex(true, false, nullptr));
    EXPECT_EQ(kErrorInvalidParameter, GetLastError());
    EXPECT_EQ(nullptr, CreateMutex(true, false, L""));
    EXPECT_EQ(kErrorInvalidParameter, GetLastError());
    const std::wstring tooLong(kMaxMutexName + 1, L'n');
    EXPECT_EQ(nullptr, CreateMutex(true, false, tooLong.c_str()));
    EXPECT_EQ(kErrorInvalidParameter, GetLastError());
    const std::wstring longest = UniqueName(L"long") + std::wstring(200, L'l');
    ASSERT_LE(longest.size(), kMaxMutexName);
    UniqueHandle longMutex(CreateMutex(true, false, longest.c_str()));
    EXPECT_TRUE(longMutex.Valid()) << GetLastError();
}

TEST(NamedMutexTest, ThreadOwnershipIsRecursiveAndChecked) {
    UniqueHandle mutex(CreateMutex(true, true, UniqueName(L"recursive").c_str()));
    ASSERT_TRUE(mutex.Valid());
    // Owned from creation; taken twice more.
    EXPECT_EQ(kWaitObject0, WaitForSingleObject(mutex.Get(), 0));
    Handle handles[1] = {mutex.Get()};
    EXPECT_EQ(kWaitObject0, WaitForMultipleObjects(1, handles, false, kInfinite));

    std::uint32_t releasedByOther = 1;
    ErrorCode otherError = 0;
    std::uint32_t otherWait = 0;
    {
        TestThread other([&] {
            releasedByOther = ReleaseMutex(mutex.Get()) ? 1 : 0;
            otherError = GetLastError();
            otherWait = WaitForSingleObject(mutex.Get(), 50);
            return 0u;
        });
        other.Join();
    }
    EXPECT_EQ(0u, releasedByOther);
    EXPECT_EQ(kErrorNotOwner, otherError);
    EXPECT_EQ(kWaitTimeout, otherWait);

    EXPECT_TRUE(ReleaseMutex(mutex.Get()));
    EXPECT_TRUE(ReleaseMutex(mutex.Get()));
    // Still owned once: another thread still cannot take it.
    {
        TestThread other([&] { return WaitForSingleObject(mutex.Get(), 0); });
        EXPECT_EQ(kWaitTimeout, other.Join());
    }
    EXPECT_TRUE(ReleaseMutex(mutex.Get()));
    EXPECT_FALSE(ReleaseMutex(mutex.Get()));
    EXPECT_EQ(kErrorNotOwner, GetLastError());

    // Free now: a waiting thread gets it as soon as it is released.
    ASSERT_EQ(kWaitObject0, WaitForSingleObject(mutex.Get(), 0));
    TestThread waiter([&] {
        const std::uint32_t result = WaitForSingleObject(mutex.Get(), kLongWait);
        if (result == kWaitObject0) {
            ReleaseMutex(mutex.Get());
        }
        return result;
    });
    EXPECT_TRUE(ReleaseMutex(mutex.Get()));
    EXPECT_EQ(kWaitObject0, waiter.Join());
}

TEST(NamedMutexTest, AThreadEndingWhileOwningAbandonsIt) {
    UniqueHandle mutex(CreateMutex(true, false, UniqueName(L"thread-dies").c_str()));
    ASSERT_TRUE(mutex.Valid());
    {
        TestThread owner([&] { return WaitForSingleObject(mutex.Get(), 0); });
        ASSERT_EQ(kWaitObject0, owner.Join());
    }
    EXPECT_EQ(kWaitAbandoned0, WaitForSingleObject(mutex.Get(), kLongWait));
    // Taken over: an ordinary mutex again.
    EXPECT_TRUE(ReleaseMutex(mutex.Get()));
    EXPECT_EQ(kWaitObject0, WaitForSingleObject(mutex.Get(), 0));
    EXPECT_TRUE(ReleaseMutex(mutex.Get()));
}

TEST(NamedMutexTest, ExcludesOtherProcesses) {
    const std::wstring name = UniqueName(L"process");
    UniqueHandle mutex(CreateMutex(true, false, name.c_str()));
    ASSERT_TRUE(mutex.Valid());
    ASSERT_EQ(kWaitObject0, WaitForSingleObject(mutex.Get(), 0));
    EXPECT_EQ(static_cast<std::uint32_t>(kProbeBusy),
              keltra::test::RunChild("mutex_probe", {name}));
    ASSERT_TRUE(ReleaseMutex(mutex.Get()));
    EXPECT_EQ(static_cast<std::uint32_t>(kProbeAcquired),
              keltra::test::RunChild("mutex_probe", {name}));
}

TEST(NamedMutexTest, AProcessThatEndsOrIsKilledWhileOwningAbandonsIt) {
    const std::wstring name = UniqueName(L"process-dies");
    UniqueHandle mutex(CreateMutex(true, false, name.c_str()));
    ASSERT_TRUE(mutex.Valid());

    ASSERT_EQ(0u, keltra::test::RunChild("mutex_hold_and_exit", {name}));
    EXPECT_EQ(kWaitAbandoned0, WaitForSingleObject(mutex.Get(), kLongWait));
    ASSERT_TRUE(ReleaseMutex(mutex.Get()));

    UniqueHandle child(keltra::test::StartChild("mutex_hold_and_hang", {name}));
    ASSERT_TRUE(child.Valid());
    // Wait until the child holds it: probe the mutex, pausing on the child's handle so that a
    // child that fails ends the wait at once.
    bool held = false;
    for (int i = 0; i < 4000 && !held; ++i) {
        const std::uint32_t probe = WaitForSingleObject(mutex.Get(), 0);
        if (probe == kWaitTimeout) {
            held = true;
        } else {
            ASSERT_EQ(kWaitObject0, probe);
            ASSERT_TRUE(ReleaseMutex(mutex.Get()));
            ASSERT_EQ(kWaitTimeout, WaitForSingleObject(child.Get(), 5)) << "child ended early";
        }
    }
    ASSERT_TRUE(held);
    // A waiter in a second process, blocked while the owner is killed, gets it.
    ASSERT_TRUE(TerminateProcess(child.Get(), 9));
    ASSERT_EQ(kWaitObject0, WaitForSingleObject(child.Get(), kLongWait));
    EXPECT_EQ(static_cast<std::uint32_t>(kProbeAbandoned),
              keltra::test::RunChild("mutex_probe", {name}));
    EXPECT_EQ(kWaitObject0, WaitForSingleObject(mutex.Get(), kLongWait));
    EXPECT_TRUE(ReleaseMutex(mutex.Get()));
}

TEST(NamedMutexTest, ConcurrentFirstCreatorsGetOneMutex) {
    const std::wstring name = UniqueName(L"race");
    constexpr int kThreads = 8;
    std::atomic<int> ready{0};
    std::vector<Handle> handles(kThreads, nullptr);
    std::vector<ErrorCode> errors(kThreads, 0);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            ready.fetch_add(1);
            while (ready.load() < kThreads) {
                std::this_thread::yield();
            }
            handles[i] = CreateMutex(true, false, name.c_str());
            errors[i] = GetLastError();
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    int created = 0;
    for (int i = 0; i < kThreads; ++i) {
        ASSERT_NE(nullptr, handles[i]);
        EXPECT_TRUE(errors[i] == kErrorSuccess || errors[i] == kErrorAlreadyExists) << errors[i];
        created += errors[i] == kErrorSuccess ? 1 : 0;
    }
    EXPECT_EQ(1, created);
    // One mutex: held through the first handle, busy through every other.
    ASSERT_EQ(kWaitObject0, WaitForSingleObject(handles[0], 0));
    TestThread probe([&] {
        std::uint32_t busy = 0;
        for (int i = 1; i < kThreads; ++i) {
            busy += WaitForSingleObject(handles[i], 0) == kWaitTimeout ? 1 : 0;
        }
        return busy;
    });
    EXPECT_EQ(static_cast<std::uint32_t>(kThreads - 1), probe.Join());
    EXPECT_TRUE(ReleaseMutex(handles[0]));
    for (Handle h : handles) {
        EXPECT_TRUE(CloseHandle(h));
    }
}

TEST(NamedMutexTest, ProcessesAndThreadsCountingUnderItLoseNoIncrement) {
    const std::wstring name = UniqueName(L"count");
    const std::wstring path =
        keltra::test::MakeTempDirectory(L"mutex-count") + kPathSeparator + L"counter.bin";
    constexpr int kChildren = 3;
    constexpr int kIterations = 300;
    std::vector<UniqueHandle> children;
    for (int i = 0; i < kChildren; ++i) {
        children.emplace_back(
            keltra::test::StartChild("mutex_counter", {name, path, std::to_wstring(kIterations)}));
        ASSERT_TRUE(children.back().Valid());
    }
    EXPECT_TRUE(CountUnderMutex(name, path, kIterations));
    for (auto& child : children) {
        ASSERT_EQ(kWaitObject0, WaitForSingleObject(child.Get(), 60000));
        std::uint32_t code = 0xFFFF;
        EXPECT_TRUE(GetExitCodeProcess(child.Get(), &code));
        EXPECT_EQ(0u, code);
    }
    // Each child ran two threads.
    EXPECT_EQ(static_cast<std::uint32_t>(kIterations * (2 * kChildren + 1)), ReadCounter(path));
}

TEST(NamedMutexTest, TheMutexGoesAwayWithItsLastHandle) {
    const std::wstring name = UniqueName(L"lifetime");
    Handle first = CreateMutex(true, false, name.c_str());
    Handle second = OpenMutex(kSynchronize, false, name.c_str());
    ASSERT_NE(nullptr, first);
    ASSERT_NE(nullptr, second);
    ASSERT_EQ(kWaitObject0, WaitForSingleObject(first, 0));
    ASSERT_TRUE(ReleaseMutex(first));
    EXPECT_TRUE(CloseHandle(first));
    // Still there through the second handle.
    UniqueHandle third(OpenMutex(kSynchronize, false, name.c_str()));
    EXPECT_TRUE(third.Valid());
    third.Reset();
    EXPECT_TRUE(CloseHandle(second));
    EXPECT_EQ(nullptr, OpenMutex(kSynchronize, false, name.c_str()));
    EXPECT_EQ(kErrorFileNotFound, GetLastError());
    // A fresh one under the same name is new, and free.
    UniqueHandle again(CreateMutex(true, false, name.c_str()));
    ASSERT_TRUE(again.Valid());
    EXPECT_EQ(kErrorSuccess, GetLastError());
    EXPECT_EQ(kWaitObject0, WaitForSingleObject(again.Get(), 0));
    EXPECT_TRUE(ReleaseMutex(again.Get()));
}

TEST(NamedMutexTest, OpenersRacingTheLastCloserNeverSplitTheMutex) {
    // Threads repeatedly open and close the name while one handle keeps taking it: were a
    // closer to unlink a name that an opener still joins, two mutexes would exist under one
    // name and both holders would be inside at once.
    const std::wstring name = UniqueName(L"churn");
    std::atomic<int> inside{0};
    std::atomic<bool> overlap{false};
    std::atomic<bool> failed{false};
    constexpr int kThreads = 4;
    constexpr int kRounds = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                UniqueHandle mutex(CreateMutex(true, false, name.c_str()));
                if (!mutex || WaitForSingleObject(mutex.Get(), kLongWait) != kWaitObject0) {
                    failed = true;
                    return;
                }
                if (inside.fetch_add(1) != 0) {
                    overlap = true;
                }
                std::this_thread::yield();
                inside.fetch_sub(1);
                if (!ReleaseMutex(mutex.Get())) {
                    failed = true;
                }
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_FALSE(failed);
    EXPECT_FALSE(overlap);
}

}  // namespace
}  // namespace platform
