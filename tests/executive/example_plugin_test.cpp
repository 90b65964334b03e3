// The shipped example plug-in runs its whole life under the host: Main waits for Unload.
#include <gtest/gtest.h>

#include "executive/plugin_mgr.h"
#include "tests/executive/exec_test_support.h"

namespace {

TEST(ExamplePlugin, RunsUnderTheManagerAndStopsWhenUnloaded) {
    keltra::test::LogCapture log;
    KELTRA_REQUIRE_LOG(log);
    keltra::test::TestRegistryKey key;
    key.SetString(L"svcbu_example1", keltra::test::PluginPath(L"example_plugin"));
    key.SetString(L"svcbu_example2", keltra::test::PluginPath(L"example_plugin_second"));
    executive::PluginMgr mgr;
    ASSERT_EQ(mgr.SearchAndLoadPlugins(key.Path(), L"svcbu"), 0u);
    ASSERT_EQ(mgr.Count(), 2u);
    EXPECT_STREQ(mgr.Plugins()[0]->GetDescription(), L"Example plug-in");
    EXPECT_STREQ(mgr.Plugins()[1]->GetDescription(), L"Second example plug-in");
    EXPECT_EQ(mgr.PostEntryMainMsgToAll(0, nullptr), 0u);
    EXPECT_EQ(mgr.PostSysMsgToAll(13, 10, nullptr, nullptr), 0u);
    EXPECT_EQ(mgr.PostSysMsgToAll(1, 0, nullptr, nullptr), 0u);
    EXPECT_EQ(mgr.Plugins()[0]->CurrentSysMsg().header.result, 0u);
    mgr.UnloadAllPlugins();
    // Both "Main" routines returned on "Unload": nothing had to be terminated.
    int mainExits = 0;
    for (const auto& line : log.Of(L"executive::Executive::Destroy")) {
        if (line.message.find(L"MainThread: [") == 0) {
            EXPECT_NE(line.message.find(L"dwRet=0"), std::wstring::npos) << "terminated";
            ++mainExits;
        }
    }
    EXPECT_EQ(mainExits, 2);
    EXPECT_EQ(executive::PluginMgr::OnDeleteService(key.Path(), L"svcbu"), 0u);
}

}  // namespace
