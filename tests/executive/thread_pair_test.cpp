// The thread pair: readiness, the handler thread's loop, the main thread, bounded stopping.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "executive/library.h"
#include "executive/thread_pair.h"
#include "platform/error.h"
#include "platform/message_queue.h"
#include "tests/executive/exec_test_support.h"

namespace {

using executive::Executive;
using namespace keltra::test;

// The pair under test, with the packet post that the plug-in object normally makes.
struct TestExecutive : Executive {
    using Executive::PostPacket;
};

// A request packet with its own completion event.
template <typename Msg>
struct Owned {
    platform::UniqueHandle done{platform::CreateEvent(true, false)};
    Msg msg;
    explicit Owned(std::uint32_t control) {
        msg.header = {std::is_same_v<Msg, executive::SysMsg> ? executive::WM_HANDLER
                                                             : executive::WM_ENTER_MAIN,
                      sizeof(Msg), done.Get(), 0xDEAD};
        if constexpr (std::is_same_v<Msg, executive::SysMsg>) {
            msg.control = control;
            msg.eventType = control * 2;
        }
    }
};
using Sys = Owned<executive::SysMsg>;
using Enter = Owned<executive::EnterMainMsg>;

// A test plug-in, its entry table and a thread pair over it.
class Pair : public testing::Test {
  protected:
    void Load(const wchar_t* variant) {
        lib = std::make_unique<TestLib>(PluginPath(variant));
        ASSERT_TRUE(entries.Create(lib->Path().c_str()));
    }
    template <typename Msg>
    std::uint32_t Serve(Owned<Msg>& packet) {
        EXPECT_TRUE(pair.PostPacket(&packet.msg.header));
        EXPECT_TRUE(Signalled(packet.done.Get()));
        return packet.msg.header.result;
    }
    void TearDown() override {
        pair.Destroy();
        entries.Destroy();
    }
    std::unique_ptr<TestLib> lib;
    executive::PlugInEntries entries;
    TestExecutive pair;
};

// Reserved, foreign and null messages do not disturb the loop.
TEST_F(Pair, HandlerCallsFromTwoPostersRunInOrderOnTheHandlerThreadWithoutOverlap) {
    Load(L"tp_good");
    EXPECT_FALSE(pair.Create(nullptr));
    pair.Destroy();  // nothing started: nothing done
    ASSERT_TRUE(pair.Create(&entries));
    // 0x40D is taken and dropped; 0x40E and 0x409 are never taken; a null packet is ignored.
    for (std::uint32_t message : {0x40Du, 0x40Eu, 0x409u, std::uint32_t(executive::WM_HANDLER)}) {
        EXPECT_TRUE(platform::PostThreadMessage(pair.HandlerThreadId(), message, 0, 0));
    }
    constexpr std::uint32_t kEach = 40;  // this thread posts the first half, another the rest
    std::vector<std::unique_ptr<Sys>> packets;
    for (std::uint32_t i = 0; i < 2 * kEach; ++i) {
        packets.push_back(std::make_unique<Sys>(i));
    }
    auto post = [&](std::uint32_t from) {
        for (std::uint32_t i = from; i < from + kEach; ++i) {
            EXPECT_TRUE(pair.PostPacket(&packets[i]->msg.header));
        }
    };
    std::thread other(post, kEach);
    post(0);
    other.join();
    for (auto& p : packets) {
        ASSERT_TRUE(Signalled(p->done.Get()));
        EXPECT_EQ(p->msg.header.result, HandlerResultFor(p->msg.control));
    }
    auto& r = lib->Record();
    ASSERT_EQ(r.handlerCalls.load(), 2 * kEach);
    EXPECT_EQ(r.handlerOverlaps.load(), 0u);
    std::uint32_t next[2] = {0, kEach};
    for (std::uint32_t i = 0; i < 2 * kEach; ++i) {
        EXPECT_EQ(r.calls[i].threadId, pair.HandlerThreadId());
        EXPECT_EQ(r.calls[i].eventType, r.calls[i].control * 2);
        EXPECT_EQ(r.calls[i].control, next[r.calls[i].control / kEach]++) << "out of order";
    }
    pair.Destroy();
    EXPECT_EQ(r.unloadCalls.load(), 1u);
    EXPECT_EQ(r.unloadThreadId.load(), platform::GetCurrentThreadId());
}

TEST_F(Pair, MainRunsOnItsOwnThreadOncePerCycleAndSecondCreateKeepsTheEntries) {
    Load(L"tp_good");
    lib->Configure(MainMode::ReturnAtOnce);
    executive::PlugInEntries other;
    ASSERT_TRUE(other.Create(PluginPath(L"tp_no_ondelete").c_str()));
    for (std::uint32_t cycle = 1; cycle <= 2; ++cycle) {
        ASSERT_TRUE(pair.Create(&entries));
        EXPECT_TRUE(pair.Create(&other));  // Ready already: the first entries stay
        Enter enter(0);
        EXPECT_EQ(Serve(enter), 0u);
        ASSERT_TRUE(lib->WaitFor(TestEvent::MainLeft, cycle));
        EXPECT_EQ(lib->Record().mainThreadId.load(), pair.MainThreadId());
        EXPECT_NE(pair.MainThreadId(), pair.HandlerThreadId());
        Enter again(0);  // "Main" has returned, yet the slot stays occupied for this cycle
        EXPECT_EQ(Serve(again), 183u);
        EXPECT_EQ(lib->Record().mainCalls.load(), cycle);
        pair.Destroy();
        EXPECT_EQ(pair.HandlerThreadId() + pair.MainThreadId(), 0u);
    }
    EXPECT_EQ(lib->Record().unloadCalls.load(), 2u);
    other.Destroy();
}

// A request queued behind a long "Handler" and taken after Destroy has let go of the
// component is answered without calling it.
TEST_F(Pair, RequestQueuedBehindLongHandlerIsNotPassedOnAfterDestroy) {
    BoundsScope bounds(200);
    Load(L"tp_hang_handler");
    ASSERT_TRUE(pair.Create(&entries));
    Sys first(1), queued(2);
    bool queuedAnswered = false;
    lib->SetHook([&](TestEvent e) {  // "Unload" comes after the handler wait timed out
        if (e == TestEvent::UnloadCalled) {
            lib->Release();
            queuedAnswered = Signalled(queued.done.Get());
        }
    });
    ASSERT_TRUE(pair.PostPacket(&first.msg.header));
    ASSERT_TRUE(pair.PostPacket(&queued.msg.header));
    ASSERT_TRUE(lib->WaitFor(TestEvent::HandlerEntered));
    pair.Destroy();
    EXPECT_TRUE(queuedAnswered);
    EXPECT_EQ(queued.msg.header.result, platform::kErrorNotReady);
    EXPECT_EQ(lib->Record().handlerCalls.load(), 1u);
    EXPECT_FALSE(pair.PostPacket(&first.msg.header));  // no pair any more
}

// Holds handler threads before they signal readiness, so that Create times out.
std::atomic<bool> g_holdReady{false};
void HoldReadyHook() {
    while (g_holdReady.load()) {
        platform::Sleep(1);  // a hook that is terminated must not hold any lock
    }
}

TEST_F(Pair, HalfStartedPairRefusesCreateCallsNoUnloadAndEndsItsThread) {
    Load(L"tp_good");
    executive::SetHandlerReadyHookForTesting(&HoldReadyHook);
    for (bool becomesReady : {true, false}) {
        BoundsScope bounds(200, 30000, 200);
        g_holdReady = true;
        EXPECT_FALSE(pair.Create(&entries));
        EXPECT_NE(pair.HandlerThreadId(), 0u);  // the late thread is still there
        EXPECT_FALSE(pair.Create(&entries));    // without entries it must not pass for Ready
        TestExecutive leftToDestructor;
        EXPECT_FALSE(leftToDestructor.Create(&entries));
        g_holdReady = !becomesReady;  // the late threads serve their queues, or are terminated
        pair.Destroy();
        EXPECT_EQ(pair.HandlerThreadId(), 0u);
    }
    g_holdReady = false;
    executive::SetHandlerReadyHookForTesting(nullptr);
    EXPECT_EQ(lib->Record().unloadCalls.load(), 0u);
    ASSERT_TRUE(pair.Create(&entries));  // Idle again: a fresh Create works
}

}  // namespace
