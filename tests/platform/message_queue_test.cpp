// Thread message queues: creation on first use, filtered take, order, quit, posts from many
// threads (the queues of ended threads: thread_test).
#include "platform/error.h"
#include "tests/platform/thread_test_helpers.h"

namespace platform {
namespace {

using namespace keltra::test;

TEST(MessageQueueTest, FilteredTakesLeaveOtherMessagesQueuedInOrderAndQuitEndsGetMessage) {
    ThreadMessage message;
    PeekMessage(&message, kWmUser, kWmUser, kPmNoRemove);  // the queue, which tests share
    while (PeekMessage(&message, 0, 0, kPmRemove)) {
    }
    const std::uint32_t self = GetCurrentThreadId();
    const std::uint32_t posted[] = {0x500, 0x40B, 0x40E, 0x40A, 0x409, 0x40D, 0x401, 0x40C};
    for (std::uint32_t i = 0; i < std::size(posted); ++i) {
        ASSERT_TRUE(PostThreadMessage(self, posted[i], i, 0)) << GetLastError();
    }
    ASSERT_TRUE(PeekMessage(&message, 0x40A, 0x40D, kPmNoRemove));  // shows, leaves
    EXPECT_EQ(0x40Bu, message.message);
    for (std::uint32_t expected : {0x40Bu, 0x40Au, 0x40Du, 0x40Cu}) {
        ASSERT_EQ(1, GetMessage(&message, 0x40A, 0x40D));
        EXPECT_EQ(expected, message.message);
    }
    EXPECT_FALSE(PeekMessage(&message, 0x40A, 0x40D, kPmRemove));
    ASSERT_TRUE(PostThreadMessage(self, 0x12, 7, 0));  // WM_QUIT
    std::vector<std::uintptr_t> left;
    while (GetMessage(&message, 0, 0) > 0) {
        left.push_back(message.wParam);
    }
    EXPECT_EQ((std::vector<std::uintptr_t>{0, 2, 4, 6}), left);
    EXPECT_EQ(0x12u, message.message);
    EXPECT_EQ(7u, message.wParam);
}

TEST(MessageQueueTest, PostsFailUntilTheQueueExistsThenTenThousandArriveWholeAndInOrder) {
    constexpr std::uint32_t kPosters = 4;
    constexpr std::uint32_t kPerPoster = 2500;
    const std::uintptr_t wParam = ~std::uintptr_t{0} - 5;  // all pointer bits carried
    UniqueHandle go = MakeEvent(true);
    UniqueHandle ready = MakeEvent(true);
    TestThread consumer([&]() -> std::uint32_t {
        ThreadMessage message;
        if (WaitForSingleObject(go.Get(), kLongWait) != kWaitObject0 ||
            PeekMessage(&message, kWmUser, kWmUser, kPmNoRemove)) {
            return 1;  // nothing can be queued yet
        }
        SetEvent(ready.Get());
        if (GetMessage(&message, 0, 0) <= 0 || message.message != 0x40B ||
            message.wParam != wParam || message.lParam != -42) {
            return 2;
        }
        std::uint32_t next[kPosters] = {}, i = 0;  // each poster's messages arrive in its order
        while (i < kPosters * kPerPoster && GetMessage(&message, 0x40C, 0x40C) > 0 &&
               message.wParam < kPosters &&
               static_cast<std::uint32_t>(message.lParam) == next[message.wParam]++) {
            ++i;
        }
        return i == kPosters * kPerPoster ? 0 : 3 + i;
    });
    EXPECT_FAILS_WITH(kErrorInvalidThreadId, false, PostThreadMessage(consumer.Id(), 0x40B, 1, 2));
    ASSERT_TRUE(SetEvent(go.Get()));
    ASSERT_EQ(kWaitObject0, WaitForSingleObject(ready.Get(), kLongWait));
    ASSERT_TRUE(PostThreadMessage(consumer.Id(), 0x40B, wParam, -42)) << GetLastError();
    TestThreads posters(kPosters, [&](int p) -> std::uint32_t {
        for (std::uint32_t seq = 0; seq < kPerPoster; ++seq) {
            if (!PostThreadMessage(consumer.Id(), 0x40C, p, static_cast<std::intptr_t>(seq))) {
                return GetLastError();
            }
        }
        return 0;
    });
    EXPECT_TRUE(posters.AllReturnZero());
    EXPECT_EQ(0u, consumer.Join()) << "1 no queue, 2 first message, 3+i message i lost or late";
}

}  // namespace
}  // namespace platform
