// POSIX-only thread behaviour: kernel thread ids, termination in system calls and inside the
// layer's locks.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "platform/error.h"
#include "platform/event.h"
#include "platform/handle.h"
#include "platform/message_queue.h"
#include "platform/thread.h"
#include "platform/time.h"
#include "platform/wait.h"
#include "tests/platform/thread_test_helpers.h"

namespace platform {
namespace {

using keltra::test::kLongWait;
using keltra::test::TestThread;

TEST(PosixThreadTest, ThreadIdsAreKernelThreadIds) {
    EXPECT_EQ(static_cast<std::uint32_t>(syscall(SYS_gettid)), GetCurrentThreadId());
    EXPECT_EQ(static_cast<std::uint32_t>(getpid()), GetCurrentProcessId());
    TestThread thread(
        []() -> std::uint32_t { return static_cast<std::uint32_t>(syscall(SYS_gettid)); });
    ASSERT_TRUE(thread.Started());
    EXPECT_EQ(thread.Id(), thread.Join());
}

struct PipeVictim {
    UniqueHandle started{CreateEvent(true, false)};
    int fds[2] = {-1, -1};
};

std::uint32_t ReadPipeForever(void* argument) {
    auto* victim = static_cast<PipeVictim*>(argument);
    SetEvent(victim->started.Get());
    char byte = 0;
    return read(victim->fds[0], &byte, 1) < 0 ? 2 : 1;
}

TEST(PosixTerminateThreadTest, EndsAThreadBlockedInAPipeRead) {
    PipeVictim victim;
    ASSERT_EQ(0, pipe2(victim.fds, O_CLOEXEC));
    UniqueHandle thread(BeginThread(&ReadPipeForever, &victim, nullptr));
    ASSERT_TRUE(thread.Valid());
    ASSERT_EQ(kWaitObject0, WaitForSingleObject(victim.started.Get(), kLongWait));
    ASSERT_TRUE(TerminateThread(thread.Get(), 31));
    ASSERT_EQ(kWaitObject0, WaitForSingleObject(thread.Get(), kLongWait));
    std::uint32_t code = 0;
    ASSERT_TRUE(GetExitCodeThread(thread.Get(), &code));
    EXPECT_EQ(31u, code);
    close(victim.fds[0]);
    close(victim.fds[1]);
}

struct ChurnVictim {
    UniqueHandle started{CreateEvent(true, false)};
    UniqueHandle event{CreateEvent(false, false)};
};

// Goes in and out of the layer's locks and allocations (and the C library's time-zone
// lock) as fast as it can.
std::uint32_t ChurnForever(void* argument) {
    auto* victim = static_cast<ChurnVictim*>(argument);
    ThreadMessage message;
    PeekMessage(&message, kWmUser, kWmUser, kPmNoRemove);
    const std::uint32_t self = GetCurrentThreadId();
    for (std::uint64_t round = 0;; ++round) {
        Handle scratch = CreateEvent(true, true);
        (void)WaitForSingleObject(scratch, 0);
        CloseHandle(scratch);
        SetEvent(victim->event.Get());
        (void)WaitForSingleObject(victim->event.Get(), 0);
        PostThreadMessage(self, 0x40C, 0, 0);
        PeekMessage(&message, 0, 0, kPmRemove);
        LocalTime now;
        GetLocalTime(&now);
        if (round == 100) {
            SetEvent(victim->started.Get());
        }
    }
}

TEST(PosixTerminateThreadTest, ThreadEndedInsideTheLayerLeavesNoLockHeld) {
    // Termination lands at a random point of the loop; repeat to land in many places. A lock
    // of the layer (or of the heap) left held would hang the next round or the checks below.
    for (int round = 0; round < 50; ++round) {
        ChurnVictim victim;
        std::uint32_t id = 0;
        UniqueHandle thread(BeginThread(&ChurnForever, &victim, &id));
        ASSERT_TRUE(thread.Valid());
        ASSERT_EQ(kWaitObject0, WaitForSingleObject(victim.started.Get(), kLongWait));
        ASSERT_TRUE(TerminateThread(thread.Get(), 3));
        ASSERT_EQ(kWaitObject0, WaitForSingleObject(thread.Get(), kLongWait));
        std::uint32_t code = 0;
        ASSERT_TRUE(GetExitCodeThread(thread.Get(), &code));
        EXPECT_EQ(3u, code);
        EXPECT_FALSE(PostThreadMessage(id, 0x40C, 0, 0));
        ASSERT_TRUE(SetEvent(victim.event.Get()));
        ASSERT_EQ(kWaitObject0, WaitForSingleObject(victim.event.Get(), 0));
    }
}

struct MaskedVictim {
    UniqueHandle started{CreateEvent(true, false)};
    std::atomic<bool> outsideTheLayer{false};
    std::atomic<bool> release{false};
};

std::uint32_t BusyWithSignalsBlocked(void* argument) {
    auto* victim = static_cast<MaskedVictim*>(argument);
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    SetEvent(victim->started.Get());
    victim->outsideTheLayer.store(true);
    while (!victim->release.load()) {
    }
    return 1;
}

TEST(PosixTerminateThreadTest, AThreadThatBlocksTheSignalRunsOnAsDocumented) {
    MaskedVictim victim;
    UniqueHandle thread(BeginThread(&BusyWithSignalsBlocked, &victim, nullptr));
    ASSERT_TRUE(thread.Valid());
    ASSERT_EQ(kWaitObject0, WaitForSingleObject(victim.started.Get(), kLongWait));
    // A thread still inside SetEvent would end on leaving it; wait until it has left.
    while (!victim.outsideTheLayer.load()) {
        std::this_thread::yield();
    }
    EXPECT_TRUE(TerminateThread(thread.Get(), 12));
    EXPECT_EQ(kWaitTimeout, WaitForSingleObject(thread.Get(), 200));
    // When it does end, the termination that was accepted decides the exit code.
    victim.release.store(true);
    ASSERT_EQ(kWaitObject0, WaitForSingleObject(thread.Get(), kLongWait));
    std::uint32_t code = 0;
    ASSERT_TRUE(GetExitCodeThread(thread.Get(), &code));
    EXPECT_EQ(12u, code);
}

}  // namespace
}  // namespace platform
