// The executive's log lines, read back from the real trace log: texts, levels, names, order.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "executive/plugin_mgr.h"
#include "tests/executive/exec_test_support.h"

namespace {

using executive::PlugIn;
using executive::PluginMgr;
using keltra::test::BoundsScope;
using keltra::test::LogCapture;
using keltra::test::PluginPath;
using keltra::test::TestEvent;
using keltra::test::TestLib;
using keltra::test::TestRegistryKey;

std::wstring Hex8(const void* handle) {
    wchar_t text[16];
    platform::StringCchPrintfW(text, 16, L"0x%08X", executive::HandleBits(handle));
    return text;
}

TEST(LogLines, LoadingAndRefusingLibraries) {
    LogCapture log;
    KELTRA_REQUIRE_LOG(log);
    const std::wstring missing = PluginPath(L"no_such_plugin");
    const std::wstring lacking = PluginPath(L"tp_no_unload");
    executive::PlugInEntries entries;
    EXPECT_FALSE(entries.Create(missing.c_str()));
    EXPECT_FALSE(entries.Create(lacking.c_str()));
    EXPECT_FALSE(entries.Create(nullptr));
    ASSERT_TRUE(entries.Create(PluginPath(L"tp_good").c_str()));
    const platform::Module module = entries.GetLibrary().Module();
    EXPECT_FALSE(entries.Create(PluginPath(L"tp_good").c_str()));
    entries.Destroy();
    executive::Library never;
    never.Unload();

    const std::wstring fn = L"executive::PlugInEntries::Create";
    const std::vector<std::wstring> create = log.Messages(fn);
    const std::vector<std::wstring> expectedCreate = {
        L"D Create library: " + missing, L"E Load library failed.",
        L"D Create library: " + lacking, L"E Load method failed.",
        L"E invalid parameters.",        L"D Create library: " + PluginPath(L"tp_good"),
        L"E invalid parameters."};
    EXPECT_EQ(create, expectedCreate);

    const std::vector<std::wstring> load = log.Messages(L"executive::Library::Load");
    ASSERT_EQ(load.size(), 3u);
    EXPECT_EQ(load[0], L"D lib: 0x00000000, path: " + missing);
    EXPECT_EQ(load[1].substr(0, 9), L"D lib: 0x");
    EXPECT_NE(load[1].substr(0, 17), L"D lib: 0x00000000");
    EXPECT_EQ(load[2], L"D lib: " + Hex8(module) + L", path: " + PluginPath(L"tp_good"));

    const std::vector<std::wstring> unload = log.Messages(L"executive::Library::Unload");
    ASSERT_EQ(unload.size(), 3u);
    EXPECT_EQ(unload[0].substr(unload[0].size() - lacking.size()), lacking);  // freed again
    EXPECT_EQ(unload[1], L"D lib: " + Hex8(module) + L", path: " + PluginPath(L"tp_good"));
    EXPECT_EQ(unload[2], L"D lib: 0x00000000, path: ");
    // Every traced operation opens and closes its scope with the same line number.
    int opened = 0;
    int closed = 0;
    for (const auto& line : log.Lines()) {
        if (line.function == fn && line.message == L"===>")
            ++opened;
        if (line.function == fn && line.message == L"<===")
            ++closed;
    }
    EXPECT_EQ(opened, 5);
    EXPECT_EQ(closed, 5);
}

TEST(LogLines, ThreadPairMessagesAndExitResults) {
    LogCapture log;
    KELTRA_REQUIRE_LOG(log);
    TestLib lib(PluginPath(L"tp_good"));
    PlugIn plugin;
    ASSERT_TRUE(plugin.Create(lib.Path().c_str()));
    const int handlerId = static_cast<int>(plugin.HandlerThreadId());
    ASSERT_TRUE(plugin.PostSysMsg(1, 0, nullptr, nullptr));
    ASSERT_EQ(platform::WaitForSingleObject(plugin.CompletionEvent(), 20000), 0u);
    ASSERT_TRUE(plugin.PostEnterMainMsg(0, nullptr));
    ASSERT_EQ(platform::WaitForSingleObject(plugin.CompletionEvent(), 20000), 0u);
    const int mainId = static_cast<int>(plugin.MainThreadId());
    // A main thread that has not reached "Main" when Destroy lets go of the plug-in does not
    // call it at all; wait until it has, so that both markers are there.
    ASSERT_TRUE(lib.WaitFor(TestEvent::MainEntered));
    plugin.Destroy();

    const std::wstring id = std::to_wstring(handlerId);
    EXPECT_EQ(log.Messages(L"executive::Executive::ExecutiveMessageLoop"),
              (std::vector<std::wstring>{L"D Thread: " + id + L", WM_HANDLER",
                                         L"D Thread: " + id + L", WM_ENTER_MAIN",
                                         L"D Thread: " + id + L", WM_EXIT"}));
    EXPECT_EQ(log.Messages(L"executive::Executive::Destroy"),
              (std::vector<std::wstring>{
                  L"D HandlerThread: [" + id + L"] exit, dwRet=0",
                  L"D MainThread: [" + std::to_wstring(mainId) + L"] exit, dwRet=0"}));
    EXPECT_EQ(log.Messages(L"executive::PlugInEntries::Main"),
              (std::vector<std::wstring>{L"D ==>", L"D <=="}));
    EXPECT_EQ(log.Messages(L"executive::PlugInEntries::Unload"),
              (std::vector<std::wstring>{L"D ==>", L"D <=="}));
    EXPECT_EQ(log.Messages(L"executive::PlugIn::PostSysMsg"),
              std::vector<std::wstring>{L"D Send system message to module \"tp_good\""});
    EXPECT_EQ(log.Messages(L"executive::PlugIn::PostEnterMainMsg"),
              std::vector<std::wstring>{L"D Send enter main message to module \"tp_good\""});
    EXPECT_EQ(log.Messages(L"executive::PlugIn::Create"),
              std::vector<std::wstring>{L"D Create plugin: " + lib.Path()});
    // The handler thread's lines carry its own thread id.
    for (const auto& line : log.Of(L"executive::Executive::ExecutiveMessageLoop")) {
        EXPECT_EQ(line.threadId, static_cast<std::uint32_t>(handlerId));
    }
}

TEST(LogLines, DestroyWithoutMainAndWithHungThreads) {
    BoundsScope bounds(2000);  // long enough for the threads that do end, short for the hangs
    LogCapture log;
    KELTRA_REQUIRE_LOG(log);
    {
        executive::Executive idle;
        idle.Destroy();  // nothing but its trace
    }
    EXPECT_TRUE(log.Of(L"executive::Executive::Destroy").empty());

    TestLib lib(PluginPath(L"tp_hang_main"));
    PlugIn hungMain;
    ASSERT_TRUE(hungMain.Create(lib.Path().c_str()));
    int id = static_cast<int>(hungMain.HandlerThreadId());
    hungMain.Destroy();  // never entered: the main-thread wait fails at once on no handle
    std::vector<std::wstring> lines = log.Messages(L"executive::Executive::Destroy");
    EXPECT_EQ(lines, (std::vector<std::wstring>{
                         L"D HandlerThread: [" + std::to_wstring(id) + L"] exit, dwRet=0",
                         L"D MainThread: [0] exit, dwRet=-1"}));

    PlugIn again;
    ASSERT_TRUE(again.Create(lib.Path().c_str()));
    ASSERT_TRUE(again.PostEnterMainMsg(0, nullptr));
    ASSERT_EQ(platform::WaitForSingleObject(again.CompletionEvent(), 20000), 0u);
    ASSERT_TRUE(lib.WaitFor(TestEvent::MainEntered));
    id = static_cast<int>(again.HandlerThreadId());
    const int mainId = static_cast<int>(again.MainThreadId());
    again.Destroy();
    lines = log.Messages(L"executive::Executive::Destroy");
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[3], L"D MainThread: [" + std::to_wstring(mainId) + L"] exit, dwRet=258");

    TestLib hang(PluginPath(L"tp_hang_handler"));
    PlugIn hungHandler;
    ASSERT_TRUE(hungHandler.Create(hang.Path().c_str()));
    ASSERT_TRUE(hungHandler.PostSysMsg(1, 0, nullptr, nullptr));
    ASSERT_TRUE(hang.WaitFor(TestEvent::HandlerEntered));
    id = static_cast<int>(hungHandler.HandlerThreadId());
    hungHandler.Destroy();
    lines = log.Messages(L"executive::Executive::Destroy");
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[4], L"D HandlerThread: [" + std::to_wstring(id) + L"] exit, dwRet=258");
}

TEST(LogLines, FaultingMainLeavesNoClosingMarker) {
    LogCapture log;
    KELTRA_REQUIRE_LOG(log);
    TestLib lib(PluginPath(L"tp_fault_av_main"));
    PlugIn plugin;
    ASSERT_TRUE(plugin.Create(lib.Path().c_str()));
    ASSERT_TRUE(plugin.PostEnterMainMsg(0, nullptr));
    ASSERT_EQ(platform::WaitForSingleObject(plugin.CompletionEvent(), 20000), 0u);
    ASSERT_EQ(platform::WaitForSingleObject(plugin.MainThreadHandle(), 20000), 0u);
    plugin.Destroy();
    EXPECT_EQ(log.Messages(L"executive::PlugInEntries::Main"), std::vector<std::wstring>{L"D ==>"});
}

TEST(LogLines, SuppressionAndFailedWaits) {
    BoundsScope bounds(1000, 3000);
    LogCapture log;
    KELTRA_REQUIRE_LOG(log);
    TestRegistryKey key;
    const std::wstring dir = keltra::test::MakeTempDirectory(L"logmgr");
    const std::wstring dead = keltra::test::CopyPlugin(L"tp_not_alive", dir, L"dead");
    const std::wstring late = keltra::test::CopyPlugin(L"tp_hang_handler", dir, L"late");
    const std::wstring faulty = keltra::test::CopyPlugin(L"tp_fault_av_getdescription", dir, L"f");
    key.SetString(L"s1", dead);
    key.SetString(L"s2", late);
    key.SetString(L"s3", faulty);
    PluginMgr mgr;
    ASSERT_EQ(mgr.SearchAndLoadPlugins(key.Path(), L"svcbu"), 0u);
    EXPECT_EQ(mgr.PostSysMsgToAll(1, 0, nullptr, nullptr), 1u);
    mgr.Plugins()[2]->Suppress();
    EXPECT_EQ(mgr.PostSysMsgToAll(2, 0, nullptr, nullptr), 0xFFFFFFFFu);
    mgr.UnloadAllPlugins();

    EXPECT_EQ(
        log.Count(L'W', L"executive::PlugIn::PostSysMsg", L"Suppress module \"tp_not_alive\""), 2);
    EXPECT_EQ(log.Count(L'W', L"executive::PluginMgr::WaitForComplete",
                        L"Module \"tp_hang_handler\" didn't finish processing message in time, "
                        L"suppressed!"),
              1);
    EXPECT_EQ(log.Count(L'E', L"executive::PluginMgr::WaitForComplete",
                        L"Failed to wait events, dwErr=87"),
              1);
    // A faulting "GetDescription" gives a null string to the line; the line is still written.
    EXPECT_EQ(log.Messages(L"executive::PlugIn::PostSysMsg").size(), 6u);
}

TEST(LogLines, DiscoveryAndLoadingTheSet) {
    LogCapture log;
    KELTRA_REQUIRE_LOG(log);
    TestRegistryKey key;
    const std::wstring dir = keltra::test::MakeTempDirectory(L"logdisc");
    const std::wstring good = keltra::test::CopyPlugin(L"tp_good", dir, L"good");
    const std::wstring bad1 = keltra::test::CopyPlugin(L"tp_no_main", dir, L"bad1");
    const std::wstring bad2 = keltra::test::CopyPlugin(L"tp_no_isalive", dir, L"bad2");
    const std::wstring missing = dir + platform::kPathSeparator + L"gone.dll";
    key.SetString(L"s1", bad1);
    key.SetString(L"s2", good);
    key.SetString(L"s3", missing);
    key.SetString(L"s4", good);
    key.SetString(L"s5", bad2);
    PluginMgr mgr;
    EXPECT_EQ(mgr.SearchAndLoadPlugins(key.Path(), L"svcbu"), 1631u);

    const std::wstring get = L"executive::PluginMgr::GetAllPluginDLLs";
    EXPECT_EQ(log.Messages(get),
              (std::vector<std::wstring>{L"D Found a plugin: " + bad1 + L", bExists=1",
                                         L"D Found a plugin: " + good + L", bExists=1",
                                         L"D Found a plugin: " + missing + L", bExists=0",
                                         L"D Found a plugin: " + good + L", bExists=1",
                                         L"D Found a plugin: " + bad2 + L", bExists=1",
                                         L"W Found a duplicated plugin: " + good}));
    EXPECT_EQ(
        log.Messages(L"executive::PluginMgr::SearchAndLoadPlugins"),
        (std::vector<std::wstring>{
            L"D Creating service object for plugin " + bad1 + L".",
            L"E Failed creating service object.",
            L"D Creating service object for plugin " + good + L".", L"D Add plugin [" + good + L"]",
            L"D Creating service object for plugin " + bad2 + L".",
            L"E Failed creating service object.", L"E Failed (dwErr=1631), unload all plugins."}));
    EXPECT_EQ(log.Messages(L"executive::PlugIn::Create"),
              (std::vector<std::wstring>{L"D Create plugin: " + bad1, L"E Create library failed.",
                                         L"D Create plugin: " + good, L"D Create plugin: " + bad2,
                                         L"E Create library failed."}));

    TestRegistryKey absent;
    EXPECT_EQ(mgr.SearchAndLoadPlugins(absent.Path(), L"svcbu"), 2u);
    EXPECT_EQ(
        log.Count(L'E', get,
                  L"Open registry [" + std::wstring(absent.Path()) + L"\\svcbu] failed, dwErr=2"),
        1);
    EXPECT_EQ(log.Count(L'E', L"executive::PluginMgr::SearchAndLoadPlugins",
                        L"Read plugin DLLs from registry failed, dwErr=2"),
              1);
}

TEST(LogLines, DeletionHooks) {
    LogCapture log;
    KELTRA_REQUIRE_LOG(log);
    TestRegistryKey key;
    const std::wstring dir = keltra::test::MakeTempDirectory(L"logdel");
    const std::wstring without = keltra::test::CopyPlugin(L"tp_no_ondelete", dir, L"without");
    const std::wstring with = keltra::test::CopyPlugin(L"tp_good", dir, L"with");
    key.SetString(L"s1", without);
    key.SetString(L"s2", with);
    key.SetString(L"s3", dir);  // exists, cannot be loaded
    EXPECT_EQ(PluginMgr::OnDeleteService(key.Path(), L"svcbu"), 0u);
    EXPECT_EQ(
        log.Messages(L"executive::PluginMgr::OnDeleteService"),
        (std::vector<std::wstring>{L"D Library: " + without, L"E Get OnDeleteService() failed.",
                                   L"D Library: " + with, L"D ==>", L"D <==", L"D Library: " + dir,
                                   L"E Load library failed."}));
}

}  // namespace
