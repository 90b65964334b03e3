// Thread termination on POSIX: threads ended inside system calls and inside the layer's own
// locks and allocations leave no lock held.
#include <fcntl.h>
#include <unistd.h>

#include "platform/time.h"
#include "tests/platform/thread_test_helpers.h"

namespace platform {
namespace {

using namespace keltra::test;

std::uint32_t ReadPipeForever(void* argument) {
    auto* victim = static_cast<Victim*>(argument);
    SetEvent(victim->started.Get());
    char byte = 0;
    return read(*static_cast<int*>(victim->data), &byte, 1) < 0 ? 2 : 1;
}

// Goes in and out of the layer's locks and allocations (and the C library's time-zone
// lock) as fast as it can.
std::uint32_t ChurnForever(void* argument) {
    auto* victim = static_cast<Victim*>(argument);
    ThreadMessage message;
    PeekMessage(&message, kWmUser, kWmUser, kPmNoRemove);
    const std::uint32_t self = GetCurrentThreadId();
    for (std::uint64_t round = 0;; ++round) {
        (void)WaitForSingleObject(MakeEvent(true, true).Get(), 0);
        SetEvent(victim->blocker.Get());
        (void)WaitForSingleObject(victim->blocker.Get(), 0);
        PostThreadMessage(self, 0x40C, 0, 0);
        PeekMessage(&message, 0, 0, kPmRemove);
        LocalTime now;
        GetLocalTime(&now);
        if (round == 100) {
            SetEvent(victim->started.Get());
        }
    }
}

TEST(PosixTerminateThreadTest, EndsThreadsInSystemCallsAndInsideTheLayerLeavingNoLockHeld) {
    int fds[2] = {-1, -1};
    ASSERT_EQ(0, pipe2(fds, O_CLOEXEC));
    Victim reader;
    reader.data = &fds[0];
    TerminateAndCheck(&ReadPipeForever, reader);
    EXPECT_EQ(0, close(fds[0]) + close(fds[1]));
    // Termination lands at a random point of the loop; repeat to land in many places. A lock
    // of the layer (or of the heap) left held would hang the next round or the checks below.
    for (int round = 0; round < 50; ++round) {
        Victim victim;
        std::uint32_t id = 0;
        TerminateAndCheck(&ChurnForever, victim, &id);
        EXPECT_FALSE(PostThreadMessage(id, 0x40C, 0, 0));
        ASSERT_TRUE(SetEvent(victim.blocker.Get()));
        ASSERT_EQ(kWaitObject0, WaitForSingleObject(victim.blocker.Get(), 0));
    }
}

}  // namespace
}  // namespace platform
