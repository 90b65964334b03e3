// The plug-in object: creation, the two posts with their packets, suppression, stopping.
#include <gtest/gtest.h>

#include "executive/plug_in.h"
#include "tests/executive/exec_test_support.h"

namespace {

using executive::PlugIn;
using keltra::test::AliveMode;
using keltra::test::BoundsScope;
using keltra::test::kPromptMs;
using keltra::test::MainMode;
using keltra::test::PluginPath;
using keltra::test::TestEvent;
using keltra::test::TestLib;

bool WaitCompletion(PlugIn& plugin, std::uint32_t ms = kPromptMs) {
    return platform::WaitForSingleObject(plugin.CompletionEvent(), ms) == platform::kWaitObject0;
}

TEST(PlugIn, LifecycleFromCreateToDestroy) {
    TestLib lib(PluginPath(L"tp_good"));
    PlugIn plugin;
    ASSERT_NE(plugin.CompletionEvent(), nullptr);
    EXPECT_FALSE(plugin.IsSuppressed());
    EXPECT_EQ(plugin.CurrentEnterMainMsg().header.message, executive::WM_ENTER_MAIN);
    EXPECT_EQ(plugin.CurrentEnterMainMsg().header.size, sizeof(executive::EnterMainMsg));
    EXPECT_EQ(plugin.CurrentSysMsg().header.message, executive::WM_HANDLER);
    EXPECT_EQ(plugin.CurrentSysMsg().header.size, sizeof(executive::SysMsg));
    EXPECT_EQ(plugin.CurrentSysMsg().header.event, plugin.CompletionEvent());

    ASSERT_TRUE(plugin.Create(lib.Path().c_str()));
    EXPECT_NE(plugin.HandlerThreadId(), 0u);
    EXPECT_EQ(plugin.MainThreadId(), 0u);  // not yet entered
    EXPECT_EQ(plugin.Entries().GetLibrary().Path(), lib.Path());

    wchar_t arg[] = L"svc";
    wchar_t* argv[] = {arg};
    ASSERT_TRUE(plugin.PostEnterMainMsg(1, argv));
    ASSERT_TRUE(WaitCompletion(plugin));
    EXPECT_EQ(plugin.CurrentEnterMainMsg().header.result, 0u);
    ASSERT_TRUE(lib.WaitFor(TestEvent::MainEntered));
    EXPECT_STREQ(lib.Record().mainFirstArg, L"svc");

    int data = 0;
    ASSERT_TRUE(plugin.PostSysMsg(13, 0x8013, &data, &lib));
    ASSERT_TRUE(WaitCompletion(plugin));
    const auto& sys = plugin.CurrentSysMsg();
    EXPECT_EQ(sys.header.result, keltra::test::HandlerResultFor(13));
    const auto& call = lib.Record().calls[0];
    EXPECT_EQ(call.control, 13u);
    EXPECT_EQ(call.eventType, 0x8013u);
    EXPECT_EQ(call.eventData, &data);
    EXPECT_EQ(call.context, &lib);
    EXPECT_EQ(call.threadId, plugin.HandlerThreadId());
    EXPECT_EQ(lib.Record().isAliveThreadId.load(), platform::GetCurrentThreadId());

    plugin.Destroy();
    EXPECT_EQ(lib.Record().unloadCalls.load(), 1u);
    EXPECT_EQ(lib.Record().mainReturns.load(), 1u);
    EXPECT_FALSE(plugin.Entries().IsLoaded());
    EXPECT_EQ(plugin.HandlerThreadId(), 0u);
}

TEST(PlugIn, CreateRefusesBadInputAndSecondCreate) {
    {
        PlugIn plugin;
        EXPECT_FALSE(plugin.Create(nullptr));
        EXPECT_FALSE(plugin.Create(L""));
        EXPECT_FALSE(plugin.Create(PluginPath(L"does_not_exist").c_str()));
        EXPECT_FALSE(plugin.Create(PluginPath(L"tp_no_isalive").c_str()));
        EXPECT_FALSE(plugin.Entries().IsLoaded());
        EXPECT_EQ(plugin.HandlerThreadId(), 0u);
    }
    TestLib lib(PluginPath(L"tp_good"));
    PlugIn plugin;
    ASSERT_TRUE(plugin.Create(lib.Path().c_str()));
    const std::uint32_t id = plugin.HandlerThreadId();
    EXPECT_FALSE(plugin.Create(lib.Path().c_str()));
    EXPECT_FALSE(plugin.Create(PluginPath(L"tp_no_ondelete").c_str()));
    EXPECT_EQ(plugin.HandlerThreadId(), id);
    ASSERT_TRUE(plugin.PostSysMsg(1, 0, nullptr, nullptr));  // still serving
    ASSERT_TRUE(WaitCompletion(plugin));
    plugin.Destroy();
}

TEST(PlugIn, NotAliveIsSuppressedAndGetsNothing) {
    TestLib lib(PluginPath(L"tp_not_alive"));
    PlugIn plugin;
    ASSERT_TRUE(plugin.Create(lib.Path().c_str()));
    // The enter-main post ignores "IsAlive" and the flag.
    ASSERT_TRUE(plugin.PostEnterMainMsg(0, nullptr));
    ASSERT_TRUE(WaitCompletion(plugin));
    EXPECT_FALSE(plugin.PostSysMsg(1, 0, nullptr, nullptr));
    EXPECT_TRUE(plugin.IsSuppressed());
    EXPECT_TRUE(WaitCompletion(plugin, 0));  // event left as it was: signalled
    EXPECT_EQ(lib.Record().handlerCalls.load(), 0u);
    EXPECT_EQ(lib.Record().isAliveCalls.load(), 1u);
    // A suppressed plug-in still gets the enter-main post.
    ASSERT_TRUE(plugin.PostEnterMainMsg(0, nullptr));
    ASSERT_TRUE(WaitCompletion(plugin));
    EXPECT_EQ(plugin.CurrentEnterMainMsg().header.result, 183u);
    plugin.Destroy();
}

TEST(PlugIn, FaultingIsAliveCountsAsNotAlive) {
    TestLib lib(PluginPath(L"tp_fault_div0_isalive"));
    PlugIn plugin;
    ASSERT_TRUE(plugin.Create(lib.Path().c_str()));
    EXPECT_FALSE(plugin.PostSysMsg(1, 0, nullptr, nullptr));
    EXPECT_TRUE(plugin.IsSuppressed());
    EXPECT_EQ(lib.Record().handlerCalls.load(), 0u);
    plugin.Destroy();
}

TEST(PlugIn, SuppressedPlugInThatIsAliveAgainStillGetsMessages) {
    TestLib lib(PluginPath(L"tp_toggle_alive"));
    PlugIn plugin;
    ASSERT_TRUE(plugin.Create(lib.Path().c_str()));
    ASSERT_TRUE(plugin.PostSysMsg(1, 0, nullptr, nullptr));  // alive
    ASSERT_TRUE(WaitCompletion(plugin));
    EXPECT_FALSE(plugin.PostSysMsg(2, 0, nullptr, nullptr));  // not alive: suppressed
    EXPECT_TRUE(plugin.IsSuppressed());
    ASSERT_TRUE(plugin.PostSysMsg(3, 0, nullptr, nullptr));  // alive again: posted
    ASSERT_TRUE(WaitCompletion(plugin));
    EXPECT_TRUE(plugin.IsSuppressed());  // never cleared
    ASSERT_EQ(lib.Record().handlerCalls.load(), 2u);
    EXPECT_EQ(lib.Record().calls[0].control, 1u);
    EXPECT_EQ(lib.Record().calls[1].control, 3u);
    plugin.Destroy();
}

TEST(PlugIn, PostsAfterDestroyFailWithoutCallingAnything) {
    TestLib lib(PluginPath(L"tp_good"));
    PlugIn plugin;
    ASSERT_TRUE(plugin.Create(lib.Path().c_str()));
    plugin.Destroy();
    const std::uint32_t aliveCalls = lib.Record().isAliveCalls.load();
    EXPECT_FALSE(plugin.PostEnterMainMsg(0, nullptr));
    EXPECT_FALSE(plugin.PostSysMsg(1, 0, nullptr, nullptr));
    EXPECT_EQ(lib.Record().isAliveCalls.load(), aliveCalls);
    EXPECT_EQ(lib.Record().handlerCalls.load(), 0u);
    EXPECT_EQ(lib.Record().mainCalls.load(), 0u);
    plugin.Destroy();  // a second Destroy is harmless
}

// A post that comes while the handler thread still reads the previous packet (a late,
// suppressed plug-in) must leave that packet alone.
TEST(PlugIn, PostWhilePreviousPacketIsInFlightUsesAFreshPacket) {
    TestLib lib(PluginPath(L"tp_hang_handler"));
    PlugIn plugin;
    ASSERT_TRUE(plugin.Create(lib.Path().c_str()));
    int firstData = 1;
    int secondData = 2;
    ASSERT_TRUE(plugin.PostSysMsg(1, 10, &firstData, nullptr));
    ASSERT_TRUE(lib.WaitFor(TestEvent::HandlerEntered));
    const executive::SysMsg* first = &plugin.CurrentSysMsg();
    plugin.Suppress();  // as the completion wait would after the bound

    ASSERT_TRUE(plugin.PostSysMsg(2, 20, &secondData, nullptr));
    const executive::SysMsg* second = &plugin.CurrentSysMsg();
    EXPECT_NE(second, first);
    EXPECT_EQ(first->control, 1u);  // untouched while "Handler" still runs on it
    EXPECT_EQ(first->eventType, 10u);
    EXPECT_EQ(first->eventData, &firstData);
    EXPECT_EQ(second->control, 2u);
    EXPECT_EQ(second->eventData, &secondData);

    ASSERT_TRUE(plugin.PostSysMsg(3, 30, nullptr, nullptr));  // still in flight: fresh again
    const executive::SysMsg* third = &plugin.CurrentSysMsg();
    EXPECT_NE(third, second);
    EXPECT_EQ(second->control, 2u);

    lib.Release();
    ASSERT_TRUE(lib.WaitFor(TestEvent::HandlerLeft, 3));
    ASSERT_EQ(lib.Record().handlerCalls.load(), 3u);
    for (std::uint32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(lib.Record().calls[i].control, i + 1);
        EXPECT_EQ(lib.Record().calls[i].eventType, (i + 1) * 10);
    }
    EXPECT_EQ(first->header.result, keltra::test::HandlerResultFor(1));
    ASSERT_TRUE(WaitCompletion(plugin));
    // Once nothing is in flight the current packet is reused again.
    ASSERT_TRUE(plugin.PostSysMsg(4, 40, nullptr, nullptr));
    ASSERT_TRUE(lib.WaitFor(TestEvent::HandlerLeft, 4));
    plugin.Destroy();
}

TEST(PlugIn, PacketIsReusedWhenNothingIsInFlight) {
    TestLib lib(PluginPath(L"tp_good"));
    PlugIn plugin;
    ASSERT_TRUE(plugin.Create(lib.Path().c_str()));
    const executive::SysMsg* packet = &plugin.CurrentSysMsg();
    for (std::uint32_t i = 0; i < 5; ++i) {
        ASSERT_TRUE(plugin.PostSysMsg(i, 0, nullptr, nullptr));
        ASSERT_TRUE(WaitCompletion(plugin));
        ASSERT_TRUE(lib.WaitFor(TestEvent::HandlerLeft, i + 1));
        EXPECT_EQ(&plugin.CurrentSysMsg(), packet);
    }
    plugin.Destroy();
}

TEST(PlugIn, HungHandlerStillUnloadsWithinTheBounds) {
    BoundsScope bounds(300);
    TestLib lib(PluginPath(L"tp_hang_handler"));
    PlugIn plugin;
    ASSERT_TRUE(plugin.Create(lib.Path().c_str()));
    ASSERT_TRUE(plugin.PostEnterMainMsg(0, nullptr));
    ASSERT_TRUE(WaitCompletion(plugin));
    ASSERT_TRUE(plugin.PostSysMsg(1, 0, nullptr, nullptr));
    ASSERT_TRUE(lib.WaitFor(TestEvent::HandlerEntered));
    ASSERT_TRUE(plugin.PostSysMsg(2, 0, nullptr, nullptr));  // queued behind the hung call
    plugin.Destroy();
    EXPECT_EQ(lib.Record().unloadCalls.load(), 1u);
    EXPECT_EQ(lib.Record().handlerCalls.load(), 1u);
    EXPECT_FALSE(plugin.Entries().IsLoaded());
}

}  // namespace
