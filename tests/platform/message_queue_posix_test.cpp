// POSIX-only message queue behaviour: the per-queue quota that Windows enforces by default.
#include <gtest/gtest.h>

#include "platform/error.h"
#include "platform/message_queue.h"
#include "platform/thread.h"

namespace platform {
namespace {

TEST(PosixMessageQueueTest, AFullQueueRefusesPostsUntilDrained) {
    // Windows allows 10,000 posted messages per queue; Wine has no limit, hence POSIX-only.
    ThreadMessage message;
    PeekMessage(&message, kWmUser, kWmUser, kPmNoRemove);
    const std::uint32_t self = GetCurrentThreadId();
    for (std::uint32_t i = 0; i < 10000; ++i) {
        ASSERT_TRUE(PostThreadMessage(self, 0x40C, i, 0)) << i;
    }
    SetLastError(0);
    EXPECT_FALSE(PostThreadMessage(self, 0x40C, 10000, 0));
    EXPECT_EQ(kErrorNotEnoughQuota, GetLastError());

    ASSERT_EQ(1, GetMessage(&message, 0x40C, 0x40C));
    EXPECT_EQ(0u, message.wParam);
    EXPECT_TRUE(PostThreadMessage(self, 0x40C, 10001, 0));
    std::uint32_t taken = 0;
    std::uintptr_t last = 0;
    while (PeekMessage(&message, 0, 0, kPmRemove)) {
        ++taken;
        last = message.wParam;
    }
    EXPECT_EQ(10000u, taken);
    EXPECT_EQ(10001u, last);
}

}  // namespace
}  // namespace platform
