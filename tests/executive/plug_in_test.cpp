// The plug-in object: creation, the two posts with their packets, suppression, stopping and
// what the log says of each thread's end.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "executive/plug_in.h"
#include "tests/executive/exec_test_support.h"

namespace {

using executive::PlugIn;
using namespace keltra::test;

bool Completed(PlugIn& plugin, std::uint32_t ms = kPromptMs) {
    return Signalled(plugin.CompletionEvent(), ms);
}

// One Create; the values of a post reach "Handler" on the handler thread; the packet is reused
// while nothing is in flight; nothing is called after Destroy.
TEST(PlugIn, LifecycleFromCreateToDestroy) {
    TestLib lib(PluginPath(L"tp_good"));
    PlugIn plugin;
    EXPECT_FALSE(plugin.Create(PluginPath(L"tp_no_isalive").c_str()));
    ASSERT_TRUE(plugin.Create(lib.Path().c_str()));
    const std::uint32_t id = plugin.HandlerThreadId();
    EXPECT_FALSE(plugin.Create(PluginPath(L"tp_no_ondelete").c_str()));  // changes nothing
    EXPECT_EQ(plugin.HandlerThreadId(), id);
    EXPECT_EQ(plugin.MainThreadId(), 0u);  // not yet entered
    wchar_t arg[] = L"svc";
    wchar_t* argv[] = {arg};
    ASSERT_TRUE(plugin.PostEnterMainMsg(1, argv));
    ASSERT_TRUE(Completed(plugin));
    ASSERT_TRUE(lib.WaitFor(TestEvent::MainEntered));
    EXPECT_STREQ(lib.Record().mainFirstArg, L"svc");
    int data = 0;
    ASSERT_TRUE(plugin.PostSysMsg(13, 0x8013, &data, &lib));
    ASSERT_TRUE(Completed(plugin));
    EXPECT_EQ(plugin.CurrentSysMsg().header.result, HandlerResultFor(13));
    const auto& call = lib.Record().calls[0];
    EXPECT_EQ(call.control + call.eventType, 13u + 0x8013u);
    EXPECT_TRUE(call.eventData == &data && call.context == &lib && call.threadId == id);
    const executive::SysMsg* packet = &plugin.CurrentSysMsg();
    ASSERT_TRUE(plugin.PostSysMsg(14, 0, nullptr, nullptr));
    EXPECT_EQ(&plugin.CurrentSysMsg(), packet);
    ASSERT_TRUE(Completed(plugin));
    plugin.Destroy();
    EXPECT_EQ(lib.Record().unloadCalls.load() + lib.Record().mainReturns.load(), 2u);
    EXPECT_FALSE(plugin.PostEnterMainMsg(0, nullptr));
    EXPECT_FALSE(plugin.PostSysMsg(1, 0, nullptr, nullptr));
    EXPECT_EQ(lib.Record().handlerCalls.load(), 2u);
}

// "IsAlive" false (or faulting) suppresses and posts nothing; a suppressed plug-in that says
// it is alive again still gets system messages, and the enter-main post ignores both.
TEST(PlugIn, SuppressionByIsAlive) {
    struct Case {
        const wchar_t* variant;
        std::vector<bool> posted;  // per PostSysMsg
    };
    for (const Case& c :
         {Case{L"tp_not_alive", {false, false}}, Case{L"tp_fault_div0_isalive", {false}},
          Case{L"tp_toggle_alive", {true, false, true}}}) {
        TestLib lib(PluginPath(c.variant));
        PlugIn plugin;
        ASSERT_TRUE(plugin.Create(lib.Path().c_str()));
        std::uint32_t handled = 0;
        for (std::uint32_t i = 0; i < c.posted.size(); ++i) {
            EXPECT_EQ(plugin.PostSysMsg(i, 0, nullptr, nullptr), c.posted[i]);
            if (c.posted[i]) {
                ASSERT_TRUE(lib.WaitFor(TestEvent::HandlerLeft, ++handled));
                EXPECT_EQ(lib.Record().calls[handled - 1].control, i);
            }
        }
        EXPECT_TRUE(plugin.IsSuppressed());  // never cleared
        ASSERT_TRUE(plugin.PostEnterMainMsg(0, nullptr));
        ASSERT_TRUE(Completed(plugin));
        plugin.Destroy();
    }
}

// A post that comes while the handler thread still reads the previous packet (a late,
// suppressed plug-in) must leave that packet alone.
TEST(PlugIn, PostWhilePreviousPacketIsInFlightUsesAFreshPacket) {
    TestLib lib(PluginPath(L"tp_hang_handler"));
    PlugIn plugin;
    ASSERT_TRUE(plugin.Create(lib.Path().c_str()));
    int firstData = 1;
    ASSERT_TRUE(plugin.PostSysMsg(1, 10, &firstData, nullptr));
    ASSERT_TRUE(lib.WaitFor(TestEvent::HandlerEntered));
    const executive::SysMsg* first = &plugin.CurrentSysMsg();
    plugin.Suppress();  // as the completion wait would after the bound
    ASSERT_TRUE(plugin.PostSysMsg(2, 20, nullptr, nullptr));
    const executive::SysMsg* second = &plugin.CurrentSysMsg();
    ASSERT_TRUE(plugin.PostSysMsg(3, 30, nullptr, nullptr));
    EXPECT_NE(second, first);
    EXPECT_NE(&plugin.CurrentSysMsg(), second);
    EXPECT_EQ(first->control + first->eventType, 11u);  // untouched while "Handler" runs on it
    EXPECT_EQ(first->eventData, &firstData);
    EXPECT_EQ(second->control + second->eventType, 22u);
    lib.Release();
    ASSERT_TRUE(lib.WaitFor(TestEvent::HandlerLeft, 3));
    for (std::uint32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(lib.Record().calls[i].control * 10, lib.Record().calls[i].eventType);
    }
    EXPECT_EQ(first->header.result, HandlerResultFor(1));
    EXPECT_EQ(plugin.PacketsSetAside(), 2u);  // the fresh ones, until nothing is in flight
    plugin.Destroy();
}

// A hung "Handler" reads nothing more: packets set aside for it stay few however many
// controls come, and every event past the limit is withheld with a warning.
TEST(PlugIn, HungPlugInGetsABoundedNumberOfPacketsAndWarnings) {
    constexpr std::uint32_t kControls = 10000;
    LogCapture log;
    TestLib lib(PluginPath(L"tp_hang_handler"));
    PlugIn plugin;
    ASSERT_TRUE(plugin.Create(lib.Path().c_str()));
    std::uint32_t posted = 0;
    for (std::uint32_t i = 0; i < kControls; ++i) {
        posted += plugin.PostSysMsg(i, 0, nullptr, nullptr);
        ASSERT_LE(plugin.PacketsSetAside(), PlugIn::kMaxPacketsSetAside) << "control " << i;
    }
    EXPECT_EQ(posted, PlugIn::kMaxPacketsSetAside + 1);
    const std::wstring warning =
        L"W Module \"tp_hang_handler\" has not read its earlier messages, message withheld.";
    const std::vector<std::wstring> lines = log.Messages(L"executive::PlugIn::PostSysMsg");
    EXPECT_EQ(std::count(lines.begin(), lines.end(), warning), kControls - posted);
    lib.Release();  // it reads what it was given, in order, and nothing else
    ASSERT_TRUE(lib.WaitFor(TestEvent::HandlerLeft, posted));
    EXPECT_EQ(lib.Record().calls[posted - 1].control, posted - 1);
    plugin.Destroy();
    EXPECT_EQ(lib.Record().handlerCalls.load(), posted);
}

// Never entered (the main-thread wait fails at once on no handle), a "Main" that ignores
// "Unload", a hung "Handler", a faulting "Main" (no closing marker): each thread's exit code.
TEST(PlugIn, DestroyLogsHowEachThreadEnded) {
    BoundsScope bounds(1000);
    LogCapture log;
    executive::Executive().Destroy();  // nothing but its trace
    struct Case {
        const wchar_t* variant;
        bool enter, handle;
        std::wstring handlerRet, mainRet;
    };
    std::vector<std::wstring> expected;
    for (const Case& c : {Case{L"tp_good", true, true, L"0", L"0"},
                          Case{L"tp_hang_main", false, false, L"0", L"-1"},
                          Case{L"tp_hang_main", true, false, L"0", L"258"},
                          Case{L"tp_hang_handler", false, true, L"258", L"-1"},
                          Case{L"tp_fault_av_main", true, false, L"0", L"0"}}) {
        TestLib lib(PluginPath(c.variant));
        PlugIn plugin;
        ASSERT_TRUE(plugin.Create(lib.Path().c_str()));
        if (c.enter) {
            ASSERT_TRUE(plugin.PostEnterMainMsg(0, nullptr));
            ASSERT_TRUE(Signalled(plugin.CompletionEvent()));  // the main thread's id is set
            ASSERT_TRUE(lib.WaitFor(TestEvent::MainEntered));
        }
        if (c.handle) {
            ASSERT_TRUE(plugin.PostSysMsg(1, 0, nullptr, nullptr));
            ASSERT_TRUE(lib.WaitFor(TestEvent::HandlerEntered));
        }
        if (c.variant == std::wstring(L"tp_fault_av_main")) {
            ASSERT_TRUE(Signalled(plugin.MainThreadHandle()));
        }
        expected.push_back(L"D HandlerThread: [" + std::to_wstring(plugin.HandlerThreadId()) +
                           L"] exit, dwRet=" + c.handlerRet);
        expected.push_back(L"D MainThread: [" + std::to_wstring(plugin.MainThreadId()) +
                           L"] exit, dwRet=" + c.mainRet);
        plugin.Destroy();
    }
    EXPECT_EQ(log.Messages(L"executive::Executive::Destroy"), expected);
    EXPECT_EQ(log.Messages(L"executive::PlugInEntries::Main"),
              (std::vector<std::wstring>{L"D ==>", L"D <==", L"D ==>",
                                         L"D ==>"}));  // hung and faulted: no "<=="
}

}  // namespace
