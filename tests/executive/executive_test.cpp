// The thread pair: readiness, the handler thread's loop, the main thread, bounded stopping.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <vector>

#include "executive/executive.h"
#include "executive/library.h"
#include "platform/message_queue.h"
#include "tests/executive/exec_test_support.h"

namespace {

using executive::EnterMainMsg;
using executive::Executive;
using executive::PlugInEntries;
using executive::SysMsg;
using keltra::test::BoundsScope;
using keltra::test::Flag;
using keltra::test::kPromptMs;
using keltra::test::MainMode;
using keltra::test::PluginPath;
using keltra::test::TestEvent;
using keltra::test::TestLib;

// The pair under test, with the packet post that the plug-in object normally makes.
class TestExecutive : public Executive {
  public:
    using Executive::PostPacket;
};

struct OwnedSysMsg {
    Flag done;
    SysMsg msg;
    explicit OwnedSysMsg(std::uint32_t control, void* data = nullptr, void* context = nullptr) {
        msg.header = {executive::WM_HANDLER, sizeof(SysMsg), done.Get(), 0};
        msg.control = control;
        msg.eventType = control * 2;
        msg.eventData = data;
        msg.context = context;
    }
};

struct OwnedEnterMain {
    Flag done;
    EnterMainMsg msg;
    OwnedEnterMain(std::uint32_t argc, wchar_t** argv) {
        msg.header = {executive::WM_ENTER_MAIN, sizeof(EnterMainMsg), done.Get(), 0xDEAD};
        msg.argc = argc;
        msg.argv = argv;
    }
};

TEST(Executive, DestroyWithoutCreateDoesNothing) {
    TestLib lib(PluginPath(L"tp_good"));
    PlugInEntries entries;
    ASSERT_TRUE(entries.Create(lib.Path().c_str()));
    TestExecutive pair;
    pair.Destroy();
    pair.Destroy();
    EXPECT_EQ(pair.HandlerThreadId(), 0u);
    EXPECT_FALSE(pair.Create(nullptr));  // null entries: nothing started
    EXPECT_EQ(pair.HandlerThreadId(), 0u);
    pair.Destroy();
    EXPECT_EQ(lib.Record().unloadCalls.load(), 0u);
    entries.Destroy();
}

TEST(Executive, HandlerCallsRunInOrderOnTheHandlerThreadWithoutOverlap) {
    TestLib lib(PluginPath(L"tp_good"));
    PlugInEntries entries;
    ASSERT_TRUE(entries.Create(lib.Path().c_str()));
    TestExecutive pair;
    ASSERT_TRUE(pair.Create(&entries));
    ASSERT_NE(pair.HandlerThreadId(), 0u);
    EXPECT_NE(pair.HandlerThreadId(), platform::GetCurrentThreadId());

    // Posted from two threads at once; each thread's own posts must keep their order.
    constexpr int kPerThread = 40;
    std::vector<std::unique_ptr<OwnedSysMsg>> packets;
    for (int i = 0; i < 2 * kPerThread; ++i) {
        packets.push_back(std::make_unique<OwnedSysMsg>(
            i, &packets, reinterpret_cast<void*>(std::uintptr_t(i + 1))));
    }
    struct Poster {
        TestExecutive* pair;
        std::vector<std::unique_ptr<OwnedSysMsg>>* packets;
        int first;
        std::atomic<int> posted{0};
    };
    Poster a{&pair, &packets, 0};
    Poster b{&pair, &packets, kPerThread};
    auto post = [](void* p) -> std::uint32_t {
        auto* poster = static_cast<Poster*>(p);
        for (int i = 0; i < kPerThread; ++i) {
            if (poster->pair->PostPacket(&(*poster->packets)[poster->first + i]->msg.header)) {
                poster->posted++;
            }
        }
        return 0;
    };
    platform::UniqueHandle ta(platform::BeginThread(post, &a, nullptr));
    platform::UniqueHandle tb(platform::BeginThread(post, &b, nullptr));
    ASSERT_EQ(platform::WaitForSingleObject(ta.Get(), kPromptMs), platform::kWaitObject0);
    ASSERT_EQ(platform::WaitForSingleObject(tb.Get(), kPromptMs), platform::kWaitObject0);
    EXPECT_EQ(a.posted + b.posted, 2 * kPerThread);
    for (auto& p : packets) {
        ASSERT_TRUE(p->done.Wait());
        EXPECT_EQ(p->msg.header.result, keltra::test::HandlerResultFor(p->msg.control));
    }
    auto& r = lib.Record();
    ASSERT_EQ(r.handlerCalls.load(), 2u * kPerThread);
    EXPECT_EQ(r.handlerOverlaps.load(), 0u);
    int lastA = -1;
    int lastB = kPerThread - 1;
    for (int i = 0; i < 2 * kPerThread; ++i) {
        const auto& call = r.calls[i];
        EXPECT_EQ(call.threadId, pair.HandlerThreadId());
        EXPECT_EQ(call.eventType, call.control * 2);
        EXPECT_EQ(call.eventData, &packets);
        EXPECT_EQ(call.context, reinterpret_cast<void*>(std::uintptr_t(call.control + 1)));
        int& last = static_cast<int>(call.control) < kPerThread ? lastA : lastB;
        EXPECT_EQ(static_cast<int>(call.control), last + 1) << "out of order at call " << i;
        last = static_cast<int>(call.control);
    }
    pair.Destroy();
    EXPECT_EQ(r.unloadCalls.load(), 1u);
    EXPECT_EQ(r.unloadThreadId.load(), platform::GetCurrentThreadId());
    entries.Destroy();
}

TEST(Executive, MainRunsOnItsOwnThreadOncePerCycle) {
    TestLib lib(PluginPath(L"tp_good"));
    lib.Configure(MainMode::ReturnAtOnce);
    PlugInEntries entries;
    ASSERT_TRUE(entries.Create(lib.Path().c_str()));
    wchar_t arg0[] = L"first-argument";
    wchar_t arg1[] = L"second";
    wchar_t* argv[] = {arg0, arg1};
    TestExecutive pair;
    for (int cycle = 0; cycle < 2; ++cycle) {
        ASSERT_TRUE(pair.Create(&entries));
        OwnedEnterMain enter(2, argv);
        ASSERT_TRUE(pair.PostPacket(&enter.msg.header));
        ASSERT_TRUE(enter.done.Wait());
        EXPECT_EQ(enter.msg.header.result, 0u);
        ASSERT_TRUE(lib.WaitFor(TestEvent::MainLeft, cycle + 1));
        auto& r = lib.Record();
        EXPECT_EQ(r.mainCalls.load(), static_cast<std::uint32_t>(cycle + 1));
        EXPECT_EQ(r.mainThreadId.load(), pair.MainThreadId());
        EXPECT_NE(pair.MainThreadId(), pair.HandlerThreadId());
        EXPECT_NE(pair.MainThreadId(), platform::GetCurrentThreadId());
        EXPECT_EQ(r.mainArgc.load(), 2u);
        EXPECT_STREQ(r.mainFirstArg, L"first-argument");

        // "Main" has returned, yet the slot stays occupied for this cycle.
        OwnedEnterMain again(0, nullptr);
        ASSERT_TRUE(pair.PostPacket(&again.msg.header));
        ASSERT_TRUE(again.done.Wait());
        EXPECT_EQ(again.msg.header.result, 183u);
        EXPECT_EQ(r.mainCalls.load(), static_cast<std::uint32_t>(cycle + 1));
        pair.Destroy();
        EXPECT_EQ(pair.HandlerThreadId(), 0u);
        EXPECT_EQ(pair.MainThreadId(), 0u);
    }
    entries.Destroy();
}

TEST(Executive, SecondCreateOnReadyPairKeepsTheFirstEntries) {
    TestLib first(PluginPath(L"tp_good"));
    TestLib second(PluginPath(L"tp_no_ondelete"));
    PlugInEntries a;
    PlugInEntries b;
    ASSERT_TRUE(a.Create(first.Path().c_str()));
    ASSERT_TRUE(b.Create(second.Path().c_str()));
    TestExecutive pair;
    ASSERT_TRUE(pair.Create(&a));
    const std::uint32_t id = pair.HandlerThreadId();
    EXPECT_TRUE(pair.Create(&b));
    EXPECT_EQ(pair.HandlerThreadId(), id);
    OwnedSysMsg msg(3);
    ASSERT_TRUE(pair.PostPacket(&msg.msg.header));
    ASSERT_TRUE(msg.done.Wait());
    EXPECT_EQ(first.Record().handlerCalls.load(), 1u);
    EXPECT_EQ(second.Record().handlerCalls.load(), 0u);
    pair.Destroy();
    EXPECT_EQ(first.Record().unloadCalls.load(), 1u);
    EXPECT_EQ(second.Record().unloadCalls.load(), 0u);
    a.Destroy();
    b.Destroy();
}

TEST(Executive, ReservedAndForeignMessagesDoNotDisturbTheLoop) {
    TestLib lib(PluginPath(L"tp_good"));
    PlugInEntries entries;
    ASSERT_TRUE(entries.Create(lib.Path().c_str()));
    TestExecutive pair;
    ASSERT_TRUE(pair.Create(&entries));
    // 0x40D is taken and dropped; 0x40E and 0x409 are outside the filter and never taken.
    // A null packet is ignored rather than read.
    EXPECT_TRUE(platform::PostThreadMessage(pair.HandlerThreadId(), 0x40D, 0, 0));
    EXPECT_TRUE(platform::PostThreadMessage(pair.HandlerThreadId(), 0x40E, 0, 0));
    EXPECT_TRUE(platform::PostThreadMessage(pair.HandlerThreadId(), 0x409, 0, 0));
    EXPECT_TRUE(platform::PostThreadMessage(pair.HandlerThreadId(), executive::WM_HANDLER, 0, 0));
    OwnedSysMsg msg(11);
    ASSERT_TRUE(pair.PostPacket(&msg.msg.header));
    ASSERT_TRUE(msg.done.Wait());
    EXPECT_EQ(msg.msg.header.result, keltra::test::HandlerResultFor(11));
    EXPECT_EQ(lib.Record().handlerCalls.load(), 1u);
    pair.Destroy();
    entries.Destroy();
}

TEST(Executive, FaultingHandlerIsAnsweredAndTheThreadGoesOnServing) {
    for (const wchar_t* name : {L"tp_fault_av_handler", L"tp_fault_throw_handler"}) {
        TestLib lib(PluginPath(name));
        PlugInEntries entries;
        ASSERT_TRUE(entries.Create(lib.Path().c_str()));
        TestExecutive pair;
        ASSERT_TRUE(pair.Create(&entries));
        for (std::uint32_t i = 0; i < 3; ++i) {
            OwnedSysMsg msg(i);
            ASSERT_TRUE(pair.PostPacket(&msg.msg.header));
            ASSERT_TRUE(msg.done.Wait());
            EXPECT_EQ(msg.msg.header.result, 0x80004005u);
        }
        EXPECT_EQ(lib.Record().handlerCalls.load(), 3u);
        pair.Destroy();
        EXPECT_EQ(lib.Record().unloadCalls.load(), 1u);
        entries.Destroy();
    }
}

TEST(Executive, FaultingMainEndsItsThreadNormally) {
    TestLib lib(PluginPath(L"tp_fault_ill_main"));
    PlugInEntries entries;
    ASSERT_TRUE(entries.Create(lib.Path().c_str()));
    TestExecutive pair;
    ASSERT_TRUE(pair.Create(&entries));
    OwnedEnterMain enter(0, nullptr);
    ASSERT_TRUE(pair.PostPacket(&enter.msg.header));
    ASSERT_TRUE(enter.done.Wait());
    EXPECT_EQ(enter.msg.header.result, 0u);
    ASSERT_EQ(platform::WaitForSingleObject(pair.MainThreadHandle(), kPromptMs),
              platform::kWaitObject0);
    std::uint32_t code = 1;
    EXPECT_TRUE(platform::GetExitCodeThread(pair.MainThreadHandle(), &code));
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(lib.Record().mainCalls.load(), 1u);
    EXPECT_EQ(lib.Record().mainReturns.load(), 0u);
    pair.Destroy();
    entries.Destroy();
}

TEST(Executive, HungHandlerIsTerminatedAfterTheBoundAndDestroyReturns) {
    BoundsScope bounds(300);
    TestLib lib(PluginPath(L"tp_hang_handler"));
    PlugInEntries entries;
    ASSERT_TRUE(entries.Create(lib.Path().c_str()));
    TestExecutive pair;
    ASSERT_TRUE(pair.Create(&entries));
    OwnedSysMsg msg(1);
    ASSERT_TRUE(pair.PostPacket(&msg.msg.header));
    ASSERT_TRUE(lib.WaitFor(TestEvent::HandlerEntered));
    pair.Destroy();  // WM_EXIT is never seen; the thread is terminated
    EXPECT_EQ(pair.HandlerThreadId(), 0u);
    EXPECT_EQ(lib.Record().unloadCalls.load(), 1u);
    EXPECT_EQ(lib.Count(TestEvent::HandlerLeft), 0u);
    EXPECT_FALSE(msg.done.Wait(0));
    entries.Destroy();
}

TEST(Executive, MainThatIgnoresUnloadIsTerminatedAfterTheBound) {
    BoundsScope bounds(300);
    TestLib lib(PluginPath(L"tp_hang_main"));
    PlugInEntries entries;
    ASSERT_TRUE(entries.Create(lib.Path().c_str()));
    TestExecutive pair;
    ASSERT_TRUE(pair.Create(&entries));
    OwnedEnterMain enter(0, nullptr);
    ASSERT_TRUE(pair.PostPacket(&enter.msg.header));
    ASSERT_TRUE(lib.WaitFor(TestEvent::MainEntered));
    pair.Destroy();
    EXPECT_EQ(lib.Record().unloadCalls.load(), 1u);
    EXPECT_EQ(lib.Record().mainReturns.load(), 0u);
    EXPECT_EQ(pair.MainThreadId(), 0u);
    entries.Destroy();
}

// Holds handler threads before they signal readiness, so that Create times out.
std::atomic<bool> g_holdReady{false};
void HoldReadyHook() {
    while (g_holdReady.load()) {
        platform::Sleep(1);  // a hook that is terminated must not hold any lock
    }
}

class HalfStarted : public testing::Test {
  protected:
    void SetUp() override {
        g_holdReady = true;
        executive::SetHandlerReadyHookForTesting(&HoldReadyHook);
    }
    void TearDown() override {
        g_holdReady = false;
        executive::SetHandlerReadyHookForTesting(nullptr);
    }
};

TEST_F(HalfStarted, SecondCreateIsRefusedAndDestroyCallsNoUnload) {
    BoundsScope bounds(kPromptMs, 30000, 200);
    TestLib lib(PluginPath(L"tp_good"));
    PlugInEntries entries;
    ASSERT_TRUE(entries.Create(lib.Path().c_str()));
    TestExecutive pair;
    EXPECT_FALSE(pair.Create(&entries));
    EXPECT_NE(pair.HandlerThreadId(), 0u);  // the late thread is still there
    // Without entries the pair must not pass for Ready.
    EXPECT_FALSE(pair.Create(&entries));
    g_holdReady = false;  // the late thread becomes ready and serves its queue
    pair.Destroy();
    EXPECT_EQ(pair.HandlerThreadId(), 0u);
    EXPECT_EQ(lib.Record().unloadCalls.load(), 0u);
    // Idle again: a fresh Create works.
    ASSERT_TRUE(pair.Create(&entries));
    pair.Destroy();
    EXPECT_EQ(lib.Record().unloadCalls.load(), 1u);
    entries.Destroy();
}

TEST_F(HalfStarted, ThreadThatNeverBecomesReadyIsTerminated) {
    BoundsScope bounds(200, 30000, 200);
    TestLib lib(PluginPath(L"tp_good"));
    PlugInEntries entries;
    ASSERT_TRUE(entries.Create(lib.Path().c_str()));
    {
        TestExecutive pair;
        EXPECT_FALSE(pair.Create(&entries));
        pair.Destroy();
        EXPECT_EQ(pair.HandlerThreadId(), 0u);
    }
    {
        TestExecutive pair;  // left to the destructor this time
        EXPECT_FALSE(pair.Create(&entries));
    }
    EXPECT_EQ(lib.Record().unloadCalls.load(), 0u);
    entries.Destroy();
}

// A request queued behind a long "Handler" that is taken after Destroy has let go of the
// component is answered without calling it.
TEST(Executive, RequestQueuedBehindLongHandlerIsNotPassedOnAfterDestroy) {
    BoundsScope bounds(200);
    TestLib lib(PluginPath(L"tp_hang_handler"));
    PlugInEntries entries;
    ASSERT_TRUE(entries.Create(lib.Path().c_str()));
    TestExecutive pair;
    ASSERT_TRUE(pair.Create(&entries));
    OwnedSysMsg first(1);
    OwnedSysMsg queued(2);
    bool queuedAnswered = false;
    // "Unload" comes after the handler wait has timed out: only then let the long call
    // return, and watch the handler thread take the queued request.
    lib.SetHook([&](TestEvent e) {
        if (e == TestEvent::UnloadCalled) {
            lib.Release();
            queuedAnswered = queued.done.Wait();
        }
    });
    ASSERT_TRUE(pair.PostPacket(&first.msg.header));
    ASSERT_TRUE(pair.PostPacket(&queued.msg.header));
    ASSERT_TRUE(lib.WaitFor(TestEvent::HandlerEntered));
    pair.Destroy();
    EXPECT_TRUE(queuedAnswered);
    EXPECT_EQ(queued.msg.header.result, executive::kRequestComponentGone);
    EXPECT_EQ(lib.Record().handlerCalls.load(), 1u);
    EXPECT_TRUE(first.done.Wait());
    EXPECT_EQ(first.msg.header.result, keltra::test::HandlerResultFor(1));
    entries.Destroy();
}

TEST(Executive, PostingAfterDestroyFails) {
    TestLib lib(PluginPath(L"tp_good"));
    PlugInEntries entries;
    ASSERT_TRUE(entries.Create(lib.Path().c_str()));
    TestExecutive pair;
    ASSERT_TRUE(pair.Create(&entries));
    const std::uint32_t id = pair.HandlerThreadId();
    pair.Destroy();
    OwnedSysMsg msg(1);
    EXPECT_FALSE(pair.PostPacket(&msg.msg.header));
    EXPECT_FALSE(platform::PostThreadMessage(id, executive::WM_HANDLER, 0, 0));
    EXPECT_EQ(lib.Record().handlerCalls.load(), 0u);
    entries.Destroy();
}

}  // namespace
