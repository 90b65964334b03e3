// The manager: loading all or none, unloading in order, deletion hooks, broadcasts and the
// completion wait with suppression.
#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "executive/plugin_mgr.h"
#include "tests/executive/exec_test_support.h"

namespace {

using executive::PluginMgr;
using keltra::test::AliveMode;
using keltra::test::BoundsScope;
using keltra::test::MainMode;
using keltra::test::TestEvent;
using keltra::test::TestLib;
using keltra::test::TestRegistryKey;

constexpr wchar_t kFilter[] = L"svcbu";

// A set of test plug-in copies listed under a test key, in a known order (s000, s001, ...).
class PluginSet {
  public:
    explicit PluginSet(TestRegistryKey& key) : m_key(key) {
        m_dir = keltra::test::MakeTempDirectory(L"mgr");
    }
    /// Copies the variant under a fresh name, lists it and returns the test's handle on it.
    TestLib& Add(const std::wstring& variant) {
        const std::size_t n = m_libs.size();
        wchar_t name[16];
        platform::StringCchPrintfW(name, 16, L"s%03u", static_cast<unsigned>(n));
        const std::wstring path =
            keltra::test::CopyPlugin(variant, m_dir, std::wstring(L"p") + (name + 1));
        m_key.SetString(name, path);
        m_libs.push_back(std::make_unique<TestLib>(path));
        return *m_libs.back();
    }
    TestLib& operator[](std::size_t i) { return *m_libs[i]; }
    [[nodiscard]] std::size_t Size() const { return m_libs.size(); }

  private:
    TestRegistryKey& m_key;
    std::wstring m_dir;
    std::vector<std::unique_ptr<TestLib>> m_libs;
};

class Manager : public testing::Test {
  protected:
    void TearDown() override { mgr.UnloadAllPlugins(); }
    TestRegistryKey key;
    PluginSet set{key};
    PluginMgr mgr;
};

TEST_F(Manager, LoadsEveryListedPlugInInListOrder) {
    for (int i = 0; i < 4; ++i) {
        set.Add(L"tp_good");
    }
    ASSERT_EQ(mgr.SearchAndLoadPlugins(key.Path(), kFilter), 0u);
    ASSERT_EQ(mgr.Count(), 4u);
    std::vector<std::wstring> dlls;
    ASSERT_EQ(PluginMgr::GetAllPluginDLLs(dlls, key.Path(), kFilter), 0u);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(mgr.Plugins()[i]->Entries().GetLibrary().Path(), dlls[i]);
        EXPECT_NE(mgr.Plugins()[i]->HandlerThreadId(), 0u);
        EXPECT_EQ(mgr.Plugins()[i]->MainThreadId(), 0u);
    }
    // Loading calls no export.
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(set[i].Record().isAliveCalls.load(), 0u);
        EXPECT_EQ(set[i].Record().mainCalls.load(), 0u);
    }
    mgr.UnloadAllPlugins();
    EXPECT_EQ(mgr.Count(), 0u);
    EXPECT_TRUE(mgr.Plugins().empty());
    mgr.UnloadAllPlugins();  // twice in a row: nothing to do
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(set[i].Record().unloadCalls.load(), 1u);
        EXPECT_EQ(set[i].Record().mainCalls.load(), 0u);  // unloaded before enter-main
    }
}

TEST_F(Manager, OneFailureUnloadsAllAfterTryingEveryPath) {
    set.Add(L"tp_good");
    set.Add(L"tp_no_handler");
    set.Add(L"tp_good");
    set.Add(L"tp_no_main");
    set.Add(L"tp_good");
    EXPECT_EQ(mgr.SearchAndLoadPlugins(key.Path(), kFilter), 1631u);
    EXPECT_EQ(mgr.Count(), 0u);
    EXPECT_TRUE(mgr.Plugins().empty());
    // Later plug-ins were still brought up, then taken down again.
    for (std::size_t i : {0u, 2u, 4u}) {
        EXPECT_EQ(set[i].Record().unloadCalls.load(), 1u) << i;
    }
    for (std::size_t i : {1u, 3u}) {
        EXPECT_EQ(set[i].Record().unloadCalls.load(), 0u) << i;
    }
}

TEST_F(Manager, DirectoryListedAsPlugInFailsTheLoad) {
    set.Add(L"tp_good");
    key.SetString(L"s999", keltra::test::MakeTempDirectory(L"notlib"));
    EXPECT_EQ(mgr.SearchAndLoadPlugins(key.Path(), kFilter), 1631u);
    EXPECT_EQ(mgr.Count(), 0u);
    EXPECT_EQ(set[0].Record().unloadCalls.load(), 1u);
}

TEST_F(Manager, MissingOrEmptyKeyLoadsNothing) {
    EXPECT_EQ(mgr.SearchAndLoadPlugins(key.Path(), kFilter), 2u);
    EXPECT_EQ(mgr.Count(), 0u);
    key.CreateEmpty();
    EXPECT_EQ(mgr.SearchAndLoadPlugins(key.Path(), kFilter), 0u);
    EXPECT_EQ(mgr.Count(), 0u);
    EXPECT_EQ(mgr.SearchAndLoadPlugins(nullptr, kFilter), 87u);
    // With no plug-ins both broadcasts return at once.
    EXPECT_EQ(mgr.PostEntryMainMsgToAll(0, nullptr), 0u);
    EXPECT_EQ(mgr.PostSysMsgToAll(1, 0, nullptr, nullptr), 0u);
    EXPECT_EQ(mgr.WaitForComplete(), 0xFFFFFFFFu);  // nothing to wait for: the wait is refused
}

TEST_F(Manager, UnloadsFrontToBackOneFullyBeforeTheNext) {
    std::mutex lock;
    std::vector<std::wstring> order;
    for (int i = 0; i < 3; ++i) {
        TestLib& lib = set.Add(L"tp_good");
        const std::wstring tag = std::to_wstring(i);
        lib.SetHook([&, tag](TestEvent e) {
            std::lock_guard<std::mutex> guard(lock);
            if (e == TestEvent::UnloadCalled)
                order.push_back(L"unload" + tag);
            if (e == TestEvent::MainLeft)
                order.push_back(L"main-left" + tag);
        });
    }
    ASSERT_EQ(mgr.SearchAndLoadPlugins(key.Path(), kFilter), 0u);
    ASSERT_EQ(mgr.PostEntryMainMsgToAll(0, nullptr), 0u);
    for (std::size_t i = 0; i < 3; ++i) {
        ASSERT_TRUE(set[i].WaitFor(TestEvent::MainEntered));
    }
    mgr.UnloadAllPlugins();
    EXPECT_EQ(order, (std::vector<std::wstring>{L"unload0", L"main-left0", L"unload1",
                                                L"main-left1", L"unload2", L"main-left2"}));
}

TEST_F(Manager, BroadcastReachesOneAndSeveralPlugIns) {
    for (std::size_t count : {1u, 5u}) {
        while (set.Size() < count) {
            set.Add(L"tp_good");
        }
        ASSERT_EQ(mgr.SearchAndLoadPlugins(key.Path(), kFilter), 0u);
        ASSERT_EQ(mgr.Count(), count);
        wchar_t arg[] = L"start";
        wchar_t* argv[] = {arg};
        EXPECT_EQ(mgr.PostEntryMainMsgToAll(1, argv), 0u);
        int data = 0;
        EXPECT_EQ(mgr.PostSysMsgToAll(13, 4, &data, &mgr), 0u);
        EXPECT_EQ(mgr.PostSysMsgToAll(1, 0, nullptr, nullptr), 0u);
        for (std::size_t i = 0; i < count; ++i) {
            auto& r = set[i].Record();
            ASSERT_TRUE(set[i].WaitFor(TestEvent::MainEntered));
            EXPECT_STREQ(r.mainFirstArg, L"start");
            ASSERT_GE(r.handlerCalls.load(), 2u);
            const auto& call = r.calls[r.handlerCalls.load() - 2];
            EXPECT_EQ(call.control, 13u);
            EXPECT_EQ(call.eventType, 4u);
            EXPECT_EQ(call.eventData, &data);
            EXPECT_EQ(call.context, &mgr);
            EXPECT_EQ(r.calls[r.handlerCalls.load() - 1].control, 1u);
            EXPECT_FALSE(mgr.Plugins()[i]->IsSuppressed());
        }
        mgr.UnloadAllPlugins();
    }
}

TEST_F(Manager, NotAlivePlugInIsSuppressedAndLeftOutOfTheSameWait) {
    set.Add(L"tp_good");
    set.Add(L"tp_not_alive");
    set.Add(L"tp_good");
    ASSERT_EQ(mgr.SearchAndLoadPlugins(key.Path(), kFilter), 0u);
    EXPECT_EQ(mgr.PostSysMsgToAll(5, 0, nullptr, nullptr), 0u);
    EXPECT_FALSE(mgr.Plugins()[0]->IsSuppressed());
    EXPECT_TRUE(mgr.Plugins()[1]->IsSuppressed());
    EXPECT_FALSE(mgr.Plugins()[2]->IsSuppressed());
    EXPECT_EQ(set[1].Record().handlerCalls.load(), 0u);
    EXPECT_EQ(set[0].Record().handlerCalls.load(), 1u);
    EXPECT_EQ(set[2].Record().handlerCalls.load(), 1u);
}

TEST_F(Manager, EveryPlugInSuppressedMakesTheWaitFail) {
    set.Add(L"tp_not_alive");
    set.Add(L"tp_toggle_alive");
    ASSERT_EQ(mgr.SearchAndLoadPlugins(key.Path(), kFilter), 0u);
    mgr.Plugins()[1]->Suppress();
    // The toggling plug-in says yes and still gets the message; nothing is waited for.
    EXPECT_EQ(mgr.PostSysMsgToAll(7, 0, nullptr, nullptr), 0xFFFFFFFFu);
    ASSERT_TRUE(set[1].WaitFor(TestEvent::HandlerLeft));
    EXPECT_EQ(set[1].Record().calls[0].control, 7u);
    EXPECT_EQ(set[0].Record().handlerCalls.load(), 0u);
}

TEST_F(Manager, LatePlugInIsSuppressedAndNeverWaitedForAgain) {
    BoundsScope bounds(300, 3000);
    set.Add(L"tp_good");
    TestLib& late = set.Add(L"tp_hang_handler");
    set.Add(L"tp_good");
    ASSERT_EQ(mgr.SearchAndLoadPlugins(key.Path(), kFilter), 0u);
    EXPECT_EQ(mgr.PostEntryMainMsgToAll(0, nullptr), 0u);
    EXPECT_EQ(mgr.PostSysMsgToAll(1, 0, nullptr, nullptr), 1u);
    EXPECT_FALSE(mgr.Plugins()[0]->IsSuppressed());
    EXPECT_TRUE(mgr.Plugins()[1]->IsSuppressed());
    EXPECT_FALSE(mgr.Plugins()[2]->IsSuppressed());
    // The next broadcasts wait for the first and third only, and the hung plug-in (still
    // alive) keeps receiving them behind its hung call.
    EXPECT_EQ(mgr.PostSysMsgToAll(2, 0, nullptr, nullptr), 0u);
    EXPECT_EQ(mgr.PostSysMsgToAll(3, 0, nullptr, nullptr), 0u);
    EXPECT_EQ(set[0].Record().handlerCalls.load(), 3u);
    EXPECT_EQ(set[2].Record().handlerCalls.load(), 3u);
    EXPECT_EQ(late.Record().handlerCalls.load(), 1u);
    // Once it lets go it works through its queue in order.
    late.Release();
    ASSERT_TRUE(late.WaitFor(TestEvent::HandlerLeft, 3));
    EXPECT_EQ(late.Record().calls[0].control, 1u);
    EXPECT_EQ(late.Record().calls[1].control, 2u);
    EXPECT_EQ(late.Record().calls[2].control, 3u);
    EXPECT_TRUE(mgr.Plugins()[1]->IsSuppressed());
}

TEST_F(Manager, HungPlugInsStillUnloadWithinTheBounds) {
    BoundsScope bounds(300, 3000);
    set.Add(L"tp_hang_handler");
    set.Add(L"tp_hang_main");
    set.Add(L"tp_good");
    ASSERT_EQ(mgr.SearchAndLoadPlugins(key.Path(), kFilter), 0u);
    EXPECT_EQ(mgr.PostEntryMainMsgToAll(0, nullptr), 0u);
    EXPECT_EQ(mgr.PostSysMsgToAll(1, 0, nullptr, nullptr), 1u);
    EXPECT_TRUE(mgr.Plugins()[0]->IsSuppressed());
    mgr.UnloadAllPlugins();
    EXPECT_EQ(mgr.Count(), 0u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(set[i].Record().unloadCalls.load(), 1u) << i;
    }
    EXPECT_EQ(set[0].Count(TestEvent::HandlerLeft), 0u);  // terminated, never returned
    EXPECT_EQ(set[1].Record().mainReturns.load(), 0u);
    EXPECT_EQ(set[2].Record().mainReturns.load(), 1u);
}

// More than 64 plug-ins that are not suppressed exceed the platform's wait: every broadcast
// fails at once, after the messages have been posted.
TEST_F(Manager, SixtyFivePlugInsMakeEveryBroadcastFail) {
    constexpr std::size_t kCount = 65;
    for (std::size_t i = 0; i < kCount; ++i) {
        set.Add(L"tp_good");
    }
    ASSERT_EQ(mgr.SearchAndLoadPlugins(key.Path(), kFilter), 0u);
    ASSERT_EQ(mgr.Count(), kCount);
    EXPECT_EQ(mgr.PostEntryMainMsgToAll(0, nullptr), 0xFFFFFFFFu);
    EXPECT_EQ(mgr.PostSysMsgToAll(9, 0, nullptr, nullptr), 0xFFFFFFFFu);
    for (std::size_t i = 0; i < kCount; ++i) {
        EXPECT_FALSE(mgr.Plugins()[i]->IsSuppressed());
        ASSERT_TRUE(set[i].WaitFor(TestEvent::HandlerLeft)) << i;  // posted all the same
    }
    // With one suppressed, 64 remain: the wait works again.
    mgr.Plugins()[0]->Suppress();
    EXPECT_EQ(mgr.PostSysMsgToAll(10, 0, nullptr, nullptr), 0u);
}

TEST_F(Manager, DeletionHooksReachEachLibraryOnAFreshLoad) {
    TestLib& without = set.Add(L"tp_no_ondelete");
    TestLib& with = set.Add(L"tp_good");
    key.SetString(L"s900", keltra::test::MakeTempDirectory(L"notlib"));  // cannot be loaded
    EXPECT_EQ(PluginMgr::OnDeleteService(key.Path(), kFilter), 0u);
    auto& r = with.Record();
    EXPECT_EQ(r.onDeleteServiceCalls.load(), 1u);
    EXPECT_EQ(r.mainCalls + r.handlerCalls + r.unloadCalls + r.isAliveCalls + r.getDescriptionCalls,
              0u);
    auto& w = without.Record();
    EXPECT_EQ(w.mainCalls + w.handlerCalls + w.unloadCalls + w.isAliveCalls + w.getDescriptionCalls,
              0u);
}

TEST_F(Manager, DeletionHooksReportAnUnreadableList) {
    EXPECT_EQ(PluginMgr::OnDeleteService(key.Path(), kFilter), 2u);
    EXPECT_EQ(PluginMgr::OnDeleteService(nullptr, kFilter), 87u);
}

}  // namespace
