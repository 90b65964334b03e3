// The POSIX thread message queue keeps the Windows quota of posted messages.
#include "platform/error.h"
#include "tests/platform/thread_test_helpers.h"

namespace platform {
namespace {

TEST(PosixMessageQueueTest, AFullQueueRefusesPostsUntilDrained) {
    // Windows allows 10,000 posted messages per queue; Wine has no limit.
    ThreadMessage message;
    PeekMessage(&message, kWmUser, kWmUser, kPmNoRemove);
    const std::uint32_t self = GetCurrentThreadId();
    std::uint32_t count = 0;
    while (count <= 10000 && PostThreadMessage(self, 0x40C, count, 0)) {
        ++count;
    }
    EXPECT_EQ(kErrorNotEnoughQuota, GetLastError());
    EXPECT_EQ(10000u, count);
    ASSERT_EQ(1, GetMessage(&message, 0x40C, 0x40C));
    EXPECT_TRUE(PostThreadMessage(self, 0x40C, 10001, 0));
    for (count = 0; PeekMessage(&message, 0, 0, kPmRemove);) {
        ++count;
    }
    EXPECT_EQ(10000u, count);
}

}  // namespace
}  // namespace platform
