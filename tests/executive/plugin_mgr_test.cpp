// The manager: loading all or none, unloading in order, deletion hooks, broadcasts and the
// completion wait with suppression; the shipped example plug-ins under it.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "executive/plugin_mgr.h"
#include "tests/executive/exec_test_support.h"

namespace {

using executive::PluginMgr;
using namespace keltra::test;

constexpr wchar_t kFilter[] = L"svcbu";

class Manager : public testing::Test {
  protected:
    void TearDown() override { mgr.UnloadAllPlugins(); }
    std::uint32_t Load() { return mgr.SearchAndLoadPlugins(key.Path(), kFilter); }
    bool Suppressed(std::size_t i) { return mgr.Plugins()[i]->IsSuppressed(); }
    TestRegistryKey key;
    PluginMgr mgr;
};

TEST_F(Manager, LoadsInListOrderCallingNothingAndUnloadsFrontToBackOneFullyBeforeTheNext) {
    std::mutex lock;
    std::vector<std::wstring> order;
    for (int i = 0; i < 3; ++i) {
        key.Add(L"tp_good").SetHook([&, i](TestEvent e) {
            std::lock_guard<std::mutex> guard(lock);
            if (e == TestEvent::UnloadCalled || e == TestEvent::MainLeft) {
                order.push_back((e == TestEvent::UnloadCalled ? L"unload" : L"left") +
                                std::to_wstring(i));
            }
        });
    }
    ASSERT_EQ(Load(), 0u);
    ASSERT_EQ(mgr.Count(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(mgr.Plugins()[i]->Entries().GetLibrary().Path(), key[i].Path());
        EXPECT_EQ(key[i].Record().isAliveCalls + key[i].Record().mainCalls, 0u);
    }
    ASSERT_EQ(mgr.PostEntryMainMsgToAll(0, nullptr), 0u);
    for (std::size_t i = 0; i < 3; ++i) {
        ASSERT_TRUE(key[i].WaitFor(TestEvent::MainEntered));
    }
    mgr.UnloadAllPlugins();
    EXPECT_EQ(mgr.Count(), 0u);
    EXPECT_EQ(order, (std::vector<std::wstring>{L"unload0", L"left0", L"unload1", L"left1",
                                                L"unload2", L"left2"}));
}

TEST_F(Manager, MissingOrEmptyKeyLoadsNothingAndNothingIsWaitedFor) {
    EXPECT_EQ(Load(), 2u);
    EXPECT_EQ(mgr.SearchAndLoadPlugins(nullptr, kFilter), 87u);
    key.SetRaw(nullptr, 0, {});
    EXPECT_EQ(Load(), 0u);
    EXPECT_EQ(mgr.PostEntryMainMsgToAll(0, nullptr) + mgr.PostSysMsgToAll(1, 0, nullptr, nullptr),
              0u);
    EXPECT_EQ(mgr.WaitForComplete(), 0xFFFFFFFFu);
}

// A set with libraries that cannot be used: every path is tried, none stays loaded, the one
// that loaded is taken down again. The deletion hooks run each on a load of its own, alone.
TEST_F(Manager, LoadsAllOrNoneAndRunsDeletionHooksAlone) {
    LogCapture log;
    key.Add(L"tp_no_main");
    key.Add(L"tp_no_ondelete");
    key.SetString(L"s002", MakeTempDirectory(L"notlib"));  // exists, cannot be loaded
    EXPECT_EQ(Load(), 1631u);
    EXPECT_EQ(mgr.Count(), 0u);
    EXPECT_EQ(key[1].Record().unloadCalls.load(), 1u);
    EXPECT_EQ(log.Count(L'E', L"executive::PluginMgr::SearchAndLoadPlugins",
                        L"Failed (dwErr=1631), unload all plugins."),
              1);
    EXPECT_EQ(PluginMgr::OnDeleteService(key.Path(), kFilter), 0u);
    EXPECT_EQ(key[0].Record().onDeleteServiceCalls.load(), 1u);
    EXPECT_EQ(key[0].Record().mainCalls + key[0].Record().unloadCalls +
                  key[0].Record().isAliveCalls + key[0].Record().getDescriptionCalls +
                  key[1].Record().mainCalls + key[1].Record().unloadCalls,
              1u);  // the unload above
    EXPECT_EQ(PluginMgr::OnDeleteService(nullptr, kFilter), 87u);
    TestRegistryKey absent;
    EXPECT_EQ(PluginMgr::OnDeleteService(absent.Path(), kFilter), 2u);
}

// "IsAlive" false suppresses, and so does lateness, each with its warning; a faulting
// "GetDescription" gives a null name to the lines, which are still written.
TEST_F(Manager, SuppressionByIsAliveAndByLateness) {
    BoundsScope bounds(300, 500);
    LogCapture log;
    for (const wchar_t* variant :
         {L"tp_fault_av_getdescription", L"tp_not_alive", L"tp_hang_handler"}) {
        key.Add(variant);
    }
    ASSERT_EQ(Load(), 0u);
    EXPECT_EQ(mgr.PostEntryMainMsgToAll(0, nullptr), 0u);
    EXPECT_EQ(mgr.PostSysMsgToAll(1, 0, nullptr, nullptr), 1u);  // the hung one is late
    EXPECT_EQ(std::vector<bool>({Suppressed(0), Suppressed(1), Suppressed(2)}),
              std::vector<bool>({false, true, true}));
    // Neither is waited for again; the hung one (still alive) keeps getting messages.
    EXPECT_EQ(mgr.PostSysMsgToAll(2, 0, nullptr, nullptr), 0u);
    EXPECT_EQ(mgr.PostSysMsgToAll(3, 0, nullptr, nullptr), 0u);
    EXPECT_EQ(key[0].Record().handlerCalls.load(), 3u);
    EXPECT_EQ(key[1].Record().handlerCalls.load(), 0u);
    key[2].Release();  // once it lets go it works through its queue in order
    ASSERT_TRUE(key[2].WaitFor(TestEvent::HandlerLeft, 3));
    for (std::uint32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(key[2].Record().calls[i].control, i + 1);
    }
    mgr.Plugins()[0]->Suppress();  // every plug-in suppressed: there is nothing to wait for
    EXPECT_EQ(mgr.PostSysMsgToAll(4, 0, nullptr, nullptr), 0xFFFFFFFFu);
    ASSERT_TRUE(key[0].WaitFor(TestEvent::HandlerLeft, 4));  // posted all the same
    std::vector<std::wstring> sent;
    for (int round = 0; round < 4; ++round) {
        sent.insert(sent.end(), {L"D Send system message to module \"(null)\"",
                                 L"W Suppress module \"tp_not_alive\"",
                                 L"D Send system message to module \"tp_hang_handler\""});
    }
    EXPECT_EQ(log.Messages(L"executive::PlugIn::PostSysMsg"), sent);
    EXPECT_EQ(log.Messages(L"executive::PluginMgr::WaitForComplete"),
              (std::vector<std::wstring>{L"W Module \"tp_hang_handler\" didn't finish processing "
                                         L"message in time, suppressed!",
                                         L"E Failed to wait events, dwErr=87"}));
}

// Two plug-ins hung in both threads: a stop takes the two exit bounds of each, plus a small
// margin, and nothing more (a terminated thread adds no wait of its own).
TEST_F(Manager, HungPlugInsStopWithinTheBounds) {
    constexpr std::uint32_t kExitMs = 400;
    BoundsScope bounds(kExitMs, 500, 32000, 60000);
    for (int i = 0; i < 2; ++i) {
        key.Add(L"tp_hang_handler").Configure(MainMode::IgnoreUnload, true);
    }
    key.Add(L"tp_good");
    ASSERT_EQ(Load(), 0u);
    EXPECT_EQ(mgr.PostEntryMainMsgToAll(0, nullptr), 0u);
    EXPECT_EQ(mgr.PostSysMsgToAll(1, 0, nullptr, nullptr), 1u);
    const auto start = std::chrono::steady_clock::now();
    mgr.UnloadAllPlugins();
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_LT(elapsed, std::chrono::milliseconds(2 * 2 * kExitMs + 3000));
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(key[i].Record().unloadCalls.load(), 1u) << i;
        EXPECT_EQ(key[i].Record().mainReturns.load(), i == 2 ? 1u : 0u) << i;
    }
    EXPECT_EQ(key[0].Count(TestEvent::HandlerLeft), 0u);  // terminated, never returned
}

// More than 64 plug-ins that are not suppressed exceed the platform's wait: every broadcast
// fails at once, after the messages have been posted.
TEST_F(Manager, SixtyFivePlugInsMakeEveryBroadcastFail) {
    for (std::size_t i = 0; i < 65; ++i) {
        key.Add(L"tp_good");
    }
    ASSERT_EQ(Load(), 0u);
    EXPECT_EQ(mgr.PostEntryMainMsgToAll(0, nullptr), 0xFFFFFFFFu);
    EXPECT_EQ(mgr.PostSysMsgToAll(9, 0, nullptr, nullptr), 0xFFFFFFFFu);
    for (std::size_t i = 0; i < 65; ++i) {
        EXPECT_FALSE(Suppressed(i));
        ASSERT_TRUE(key[i].WaitFor(TestEvent::HandlerLeft)) << i;
    }
    mgr.Plugins()[0]->Suppress();  // 64 remain: the wait works again
    EXPECT_EQ(mgr.PostSysMsgToAll(10, 0, nullptr, nullptr), 0u);
}

TEST_F(Manager, ShippedExamplePlugInsRunAndStopWhenUnloaded) {
    LogCapture log;
    key.SetString(L"svcbu_example1", PluginPath(L"example_plugin"));
    key.SetString(L"svcbu_example2", PluginPath(L"example_plugin_second"));
    ASSERT_EQ(Load(), 0u);
    EXPECT_STREQ(mgr.Plugins()[0]->GetDescription(), L"Example plug-in");
    EXPECT_STREQ(mgr.Plugins()[1]->GetDescription(), L"Second example plug-in");
    EXPECT_EQ(mgr.PostEntryMainMsgToAll(0, nullptr), 0u);
    EXPECT_EQ(mgr.PostSysMsgToAll(13, 10, nullptr, nullptr), 0u);
    EXPECT_EQ(mgr.PostSysMsgToAll(1, 0, nullptr, nullptr), 0u);
    mgr.UnloadAllPlugins();
    int mainExits = 0;  // both "Main" routines returned on "Unload": nothing was terminated
    for (const std::wstring& line : log.Messages(L"executive::Executive::Destroy")) {
        if (line.find(L"D MainThread: [") == 0) {
            EXPECT_NE(line.find(L"dwRet=0"), std::wstring::npos) << "terminated";
            ++mainExits;
        }
    }
    EXPECT_EQ(mainExits, 2);
    EXPECT_EQ(PluginMgr::OnDeleteService(key.Path(), kFilter), 0u);
}

}  // namespace
