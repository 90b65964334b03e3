// The executive's log lines, read back from the real trace log: one table of texts, levels
// and order per scenario.
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

std::wstring Hex8(const void* handle) {
    wchar_t text[16];
    platform::StringCchPrintfW(text, 16, L"0x%08X", executive::HandleBits(handle));
    return text;
}

TEST(LogLines, LoadingAndRefusingLibraries) {
    LogCapture log;
    const std::wstring missing = PluginPath(L"no_such_plugin");
    const std::wstring lacking = PluginPath(L"tp_no_unload");
    const std::wstring good = PluginPath(L"tp_good");
    executive::PlugInEntries entries;
    EXPECT_FALSE(entries.Create(missing.c_str()));
    executive::Library probe;  // the handle the refused library had
    ASSERT_TRUE(probe.Load(lacking.c_str()));
    const std::wstring lackingHandle = Hex8(probe.Module());
    EXPECT_FALSE(entries.Create(lacking.c_str()));
    EXPECT_FALSE(entries.Create(nullptr));
    ASSERT_TRUE(entries.Create(good.c_str()));
    const std::wstring handle = Hex8(entries.GetLibrary().Module());
    EXPECT_FALSE(entries.Create(good.c_str()));
    entries.Destroy();
    probe.Unload();
    executive::Library().Unload();
    EXPECT_EQ(log.Messages(L"executive::PlugInEntries::Create", true),
              (Lines{L"D ===>", L"D Create library: " + missing, L"E Load library failed.",
                     L"D <===", L"D ===>", L"D Create library: " + lacking,
                     L"E Load method failed.", L"D <===", L"D ===>", L"E invalid parameters.",
                     L"D <===", L"D ===>", L"D Create library: " + good, L"D <===", L"D ===>",
                     L"E invalid parameters.", L"D <==="}));
    EXPECT_EQ(log.Messages(L"executive::Library::Load"),
              (Lines{L"D lib: 0x00000000, path: " + missing,
                     L"D lib: " + lackingHandle + L", path: " + lacking,
                     L"D lib: " + lackingHandle + L", path: " + lacking,
                     L"D lib: " + handle + L", path: " + good}));
    EXPECT_EQ(
        log.Messages(L"executive::Library::Unload"),
        (Lines{L"D lib: " + lackingHandle + L", path: " + lacking,
               L"D lib: " + handle + L", path: " + good,
               L"D lib: " + lackingHandle + L", path: " + lacking, L"D lib: 0x00000000, path: "}));
}

TEST(LogLines, ThreadPairAndPlugInAtWork) {
    LogCapture log;
    TestLib lib(PluginPath(L"tp_good"));
    PlugIn plugin;
    ASSERT_TRUE(plugin.Create(lib.Path().c_str()));
    const std::wstring id = std::to_wstring(plugin.HandlerThreadId());
    ASSERT_TRUE(plugin.PostSysMsg(1, 0, nullptr, nullptr));
    ASSERT_TRUE(Signalled(plugin.CompletionEvent()));
    ASSERT_TRUE(plugin.PostEnterMainMsg(0, nullptr));
    ASSERT_TRUE(Signalled(plugin.CompletionEvent()));
    const std::wstring mainId = std::to_wstring(plugin.MainThreadId());
    ASSERT_TRUE(lib.WaitFor(TestEvent::MainEntered));  // else "Main" might never be called
    plugin.Destroy();
    const std::vector<std::pair<const wchar_t*, Lines>> expected = {
        {L"executive::Executive::ExecutiveMessageLoop",
         {L"D Thread: " + id + L", WM_HANDLER", L"D Thread: " + id + L", WM_ENTER_MAIN",
          L"D Thread: " + id + L", WM_EXIT"}},
        {L"executive::Executive::Destroy",
         {L"D HandlerThread: [" + id + L"] exit, dwRet=0",
          L"D MainThread: [" + mainId + L"] exit, dwRet=0"}},
        {L"executive::PlugInEntries::Main", {L"D ==>", L"D <=="}},
        {L"executive::PlugInEntries::Unload", {L"D ==>", L"D <=="}},
        {L"executive::PlugIn::PostSysMsg", {L"D Send system message to module \"tp_good\""}},
        {L"executive::PlugIn::PostEnterMainMsg",
         {L"D Send enter main message to module \"tp_good\""}},
        {L"executive::PlugIn::Create", {L"D Create plugin: " + lib.Path()}},
    };
    for (const auto& [function, lines] : expected) {
        EXPECT_EQ(log.Messages(function), lines) << platform::WideToUtf8(function);
    }
}

// Never entered (the main-thread wait fails at once on no handle), a "Main" that ignores
// "Unload", a hung "Handler", a faulting "Main" (no closing marker).
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
    for (const Case& c : {Case{L"tp_hang_main", false, false, L"0", L"-1"},
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
              (Lines{L"D ==>", L"D ==>"}));  // hung (terminated) and faulted: no "<=="
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

TEST(LogLines, DiscoveryLoadingTheSetAndDeletionHooks) {
    LogCapture log;
    TestRegistryKey key;
    const std::wstring bad1 = key.Add(L"tp_no_main").Path();
    const std::wstring good = key.Add(L"tp_no_ondelete").Path();
    const std::wstring bad2 = key.Add(L"tp_no_isalive").Path();
    const std::wstring missing = key.Dir() + platform::kPathSeparator + L"gone.dll";
    const std::wstring dir = MakeTempDirectory(L"notlib");  // exists, cannot be loaded
    key.SetString(L"s003", missing);  // listed in name order: every platform keeps it
    key.SetString(L"s004", good);
    key.SetString(L"s005", dir);
    // All or none: every path is tried, and the one that loaded is taken down again.
    PluginMgr mgr;
    EXPECT_EQ(mgr.SearchAndLoadPlugins(key.Path(), L"svcbu"), 1631u);
    EXPECT_EQ(mgr.Count(), 0u);
    EXPECT_EQ(
        key[0].Record().unloadCalls + key[1].Record().unloadCalls * 2 + key[2].Record().unloadCalls,
        2u);
    // Deletion hooks: each library on a load of its own, no other export called.
    auto calls = [&](std::size_t i) {
        auto& r = key[i].Record();
        return r.mainCalls + r.handlerCalls + r.unloadCalls + r.isAliveCalls +
               r.getDescriptionCalls;
    };
    const std::uint32_t before = calls(0) + calls(1) + calls(2);
    EXPECT_EQ(PluginMgr::OnDeleteService(key.Path(), L"svcbu"), 0u);
    EXPECT_EQ(calls(0) + calls(1) + calls(2), before);
    EXPECT_EQ(key[0].Record().onDeleteServiceCalls + key[2].Record().onDeleteServiceCalls, 2u);
    EXPECT_EQ(PluginMgr::OnDeleteService(nullptr, L"svcbu"), 87u);
    TestRegistryKey absent;
    EXPECT_EQ(mgr.SearchAndLoadPlugins(absent.Path(), L"svcbu"), 2u);
    const std::wstring reason = platform::RegistryFileError();  // the .reg file's; none on Windows
    EXPECT_EQ(PluginMgr::OnDeleteService(absent.Path(), L"svcbu"), 2u);
    const std::wstring found = L"D Found a plugin: ";
    const Lines reading = {found + bad1 + L", bExists=1",          found + good + L", bExists=1",
                           found + bad2 + L", bExists=1",          found + missing + L", bExists=0",
                           found + good + L", bExists=1",          found + dir + L", bExists=1",
                           L"W Found a duplicated plugin: " + good};
    Lines get = reading;
    get.insert(get.end(), reading.begin(), reading.end());
    for (int twice = 0; twice < 2; ++twice) {
        get.push_back(L"E Open registry [" + std::wstring(absent.Path()) +
                      L"\\svcbu] failed, dwErr=2");
        if (!reason.empty()) {
            get.push_back(L"E " + reason);
        }
    }
    EXPECT_EQ(log.Messages(L"executive::PluginMgr::GetAllPluginDLLs"), get);
    const std::wstring creating = L"D Creating service object for plugin ";
    EXPECT_EQ(
        log.Messages(L"executive::PluginMgr::SearchAndLoadPlugins"),
        (Lines{creating + bad1 + L".", L"E Failed creating service object.", creating + good + L".",
               L"D Add plugin [" + good + L"]", creating + bad2 + L".",
               L"E Failed creating service object.", creating + dir + L".",
               L"E Failed creating service object.", L"E Failed (dwErr=1631), unload all plugins.",
               L"E Read plugin DLLs from registry failed, dwErr=2"}));
    EXPECT_EQ(log.Messages(L"executive::PlugIn::Create"),
              (Lines{L"D Create plugin: " + bad1, L"E Create library failed.",
                     L"D Create plugin: " + good, L"D Create plugin: " + bad2,
                     L"E Create library failed.", L"D Create plugin: " + dir,
                     L"E Create library failed."}));
    EXPECT_EQ(log.Messages(L"executive::PluginMgr::OnDeleteService"),
              (Lines{L"D Library: " + bad1, L"D ==>", L"D <==", L"D Library: " + good,
                     L"E Get OnDeleteService() failed.", L"D Library: " + bad2, L"D ==>", L"D <==",
                     L"D Library: " + dir, L"E Load library failed.",
                     L"E Read plugin DLLs from registry failed, dwErr=87",
                     L"E Read plugin DLLs from registry failed, dwErr=2"}));
}

}  // namespace
