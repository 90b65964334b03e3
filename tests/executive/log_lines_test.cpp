// The executive's log lines, read back from the real trace log: what an operator reads when
// threads hang or fault and plug-ins are suppressed or late.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "executive/plugin_mgr.h"
#include "tests/executive/exec_test_support.h"

namespace {

using executive::PlugIn;
using executive::PluginMgr;
using namespace keltra::test;
using Lines = std::vector<std::wstring>;

// Never entered (the main-thread wait fails at once on no handle), a "Main" that ignores
// "Unload", a hung "Handler", a faulting "Main" (no closing marker): each thread's exit code.
TEST(LogLines, DestroyWithoutMainAndWithHungOrFaultedThreads) {
    BoundsScope bounds(1000);
    LogCapture log;
    executive::Executive().Destroy();  // nothing but its trace
    struct Case {
        const wchar_t* variant;
        bool enter, handle;
        std::wstring handlerRet, mainRet;
    };
    Lines expected;
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
              (Lines{L"D ==>", L"D <==", L"D ==>", L"D ==>"}));  // hung and faulted: no "<=="
}

TEST(LogLines, SuppressionAndFailedWaits) {
    BoundsScope bounds(1000, 500);
    LogCapture log;
    TestRegistryKey key;
    for (const wchar_t* variant :
         {L"tp_not_alive", L"tp_hang_handler", L"tp_fault_av_getdescription"}) {
        key.Add(variant);
    }
    PluginMgr mgr;
    ASSERT_EQ(mgr.SearchAndLoadPlugins(key.Path(), L"svcbu"), 0u);
    EXPECT_EQ(mgr.PostSysMsgToAll(1, 0, nullptr, nullptr), 1u);
    mgr.Plugins()[2]->Suppress();
    EXPECT_EQ(mgr.PostSysMsgToAll(2, 0, nullptr, nullptr), 0xFFFFFFFFu);
    mgr.UnloadAllPlugins();
    // A faulting "GetDescription" gives a null string to the line; the line is still written.
    const std::wstring send = L"D Send system message to module ";
    const std::wstring dead = L"W Suppress module \"tp_not_alive\"";
    EXPECT_EQ(log.Messages(L"executive::PlugIn::PostSysMsg"),
              (Lines{dead, send + L"\"tp_hang_handler\"", send + L"\"(null)\"", dead,
                     send + L"\"tp_hang_handler\"", send + L"\"(null)\""}));
    EXPECT_EQ(log.Messages(L"executive::PluginMgr::WaitForComplete"),
              (Lines{L"W Module \"tp_hang_handler\" didn't finish processing message in time, "
                     L"suppressed!",
                     L"E Failed to wait events, dwErr=87"}));
}

}  // namespace
