// Loading plug-in libraries and calling their exports under the fault guard.
#include <gtest/gtest.h>

#include <string>

#include "executive/library.h"
#include "tests/executive/exec_test_support.h"

namespace {

using executive::Library;
using executive::PlugInEntries;
using keltra::test::MainMode;
using keltra::test::PluginPath;
using keltra::test::TestLib;

TEST(Library, LoadsOnceAndUnloadsByPath) {
    const std::wstring path = PluginPath(L"tp_good");
    Library library;
    EXPECT_FALSE(library.Load(nullptr));
    ASSERT_TRUE(library.Load(path.c_str()));
    const platform::Module module = library.Module();
    EXPECT_NE(module, nullptr);
    EXPECT_EQ(library.Path(), path);

    // A second load is refused and leaves the first untouched.
    EXPECT_FALSE(library.Load(PluginPath(L"tp_no_ondelete").c_str()));
    EXPECT_EQ(library.Module(), module);
    EXPECT_EQ(library.Path(), path);

    library.Unload();
    EXPECT_EQ(library.Module(), nullptr);
    EXPECT_TRUE(library.Path().empty());
    library.Unload();  // nothing loaded: frees nothing
}

TEST(Library, RefusesWhatCannotBeLoaded) {
    const std::wstring dir = keltra::test::MakeTempDirectory(L"lib");
    const std::wstring notALibrary =
        keltra::test::WriteFile(dir, std::wstring(L"text") + platform::kLibrarySuffix, "no code");
    const std::wstring tooLong = dir + platform::kPathSeparator + std::wstring(40000, L'x');
    const std::wstring missing =
        dir + platform::kPathSeparator + L"missing" + platform::kLibrarySuffix;
    for (const std::wstring& path : {std::wstring(), notALibrary, tooLong, missing, dir}) {
        Library library;
        EXPECT_FALSE(library.Load(path.c_str())) << platform::WideToUtf8(path.substr(0, 80));
        EXPECT_EQ(library.Module(), nullptr);
        EXPECT_TRUE(library.Path().empty());
    }
}

TEST(Library, DestructionDoesNotFreeTheModule) {
    platform::Module module = nullptr;
    {
        Library library;
        ASSERT_TRUE(library.Load(PluginPath(L"tp_good").c_str()));
        module = library.Module();
    }
    // Still loaded: its exports still resolve. Only Unload frees.
    EXPECT_NE(platform::GetProcAddress(module, "Main"), nullptr);
    EXPECT_TRUE(platform::FreeLibrary(module));
}

TEST(PlugInEntries, CreateResolvesAllFiveAndDestroyFreesAgain) {
    TestLib lib(PluginPath(L"tp_good"));
    PlugInEntries entries;
    ASSERT_TRUE(entries.Create(lib.Path().c_str()));
    EXPECT_TRUE(entries.IsLoaded());
    EXPECT_STREQ(entries.GetDescription(), L"tp_good");
    EXPECT_TRUE(entries.IsAlive());
    EXPECT_EQ(entries.Handler(7, 8, nullptr, nullptr), keltra::test::HandlerResultFor(7));
    entries.Reserved();
    entries.Destroy();
    EXPECT_FALSE(entries.IsLoaded());
    entries.Destroy();  // Empty already: no effect
    // The test's calls were the only ones; Create itself called no export.
    EXPECT_EQ(lib.Record().isAliveCalls.load(), 1u);
    EXPECT_EQ(lib.Record().handlerCalls.load(), 1u);
    EXPECT_EQ(lib.Record().mainCalls.load(), 0u);
    EXPECT_EQ(lib.Record().unloadCalls.load(), 0u);
}

TEST(PlugInEntries, RefusesBadPathsAndSecondCreate) {
    PlugInEntries entries;
    EXPECT_FALSE(entries.Create(nullptr));
    EXPECT_FALSE(entries.Create(L""));
    EXPECT_FALSE(entries.Create(std::wstring(40000, L'p').c_str()));
    EXPECT_FALSE(entries.IsLoaded());
    // An empty table answers with the failure values instead of jumping to null.
    EXPECT_EQ(entries.Handler(1, 0, nullptr, nullptr), executive::kHandlerFaultResult);
    EXPECT_FALSE(entries.IsAlive());
    EXPECT_EQ(entries.GetDescription(), nullptr);
    entries.Main(0, nullptr);
    entries.Unload();

    ASSERT_TRUE(entries.Create(PluginPath(L"tp_good").c_str()));
    const platform::Module module = entries.GetLibrary().Module();
    EXPECT_FALSE(entries.Create(PluginPath(L"tp_no_ondelete").c_str()));
    EXPECT_FALSE(entries.Create(PluginPath(L"tp_good").c_str()));
    EXPECT_EQ(entries.GetLibrary().Module(), module);
    EXPECT_STREQ(entries.GetDescription(), L"tp_good");
    entries.Destroy();
}

class MissingExport : public testing::TestWithParam<const wchar_t*> {};

TEST_P(MissingExport, IsRefusedAndTheLibraryFreed) {
    TestLib lib(PluginPath(GetParam()));
    PlugInEntries entries;
    EXPECT_FALSE(entries.Create(lib.Path().c_str()));
    EXPECT_FALSE(entries.IsLoaded());
    EXPECT_TRUE(entries.GetLibrary().Path().empty());
    // The refused library got no call at all.
    auto& r = lib.Record();
    EXPECT_EQ(r.mainCalls + r.handlerCalls + r.unloadCalls + r.isAliveCalls +
                  r.getDescriptionCalls + r.onDeleteServiceCalls,
              0u);
    // The table is still usable for a good library.
    EXPECT_TRUE(entries.Create(PluginPath(L"tp_good").c_str()));
    entries.Destroy();
}

INSTANTIATE_TEST_SUITE_P(EachRequiredExport, MissingExport,
                         testing::Values(L"tp_no_main", L"tp_no_handler", L"tp_no_unload",
                                         L"tp_no_getdescription", L"tp_no_isalive"));

struct FaultCase {
    const wchar_t* kind;
    const wchar_t* exportName;
};

class GuardedCall : public testing::TestWithParam<FaultCase> {};

// Every export that faults (access violation, divide by zero, illegal instruction, C++
// throw) ends with its failure value, again on every call, and the other exports still work.
TEST_P(GuardedCall, FaultGivesTheFailureValueAndTheHostGoesOn) {
    const FaultCase c = GetParam();
    const std::wstring name = std::wstring(L"tp_fault_") + c.kind + L"_" + c.exportName;
    TestLib lib(PluginPath(name));
    lib.Configure(MainMode::ReturnAtOnce);
    PlugInEntries entries;
    ASSERT_TRUE(entries.Create(lib.Path().c_str()));
    const std::wstring which = c.exportName;
    for (int round = 0; round < 2; ++round) {
        if (which == L"handler") {
            EXPECT_EQ(entries.Handler(5, 6, nullptr, nullptr), 0x80004005u);
        } else if (which == L"isalive") {
            EXPECT_FALSE(entries.IsAlive());
        } else if (which == L"getdescription") {
            EXPECT_EQ(entries.GetDescription(), nullptr);
        } else if (which == L"main") {
            entries.Main(0, nullptr);
            EXPECT_EQ(lib.Record().mainReturns.load(), 0u);  // ended by the fault
        } else if (which == L"unload") {
            entries.Unload();
        }
    }
    if (which != L"handler") {
        EXPECT_EQ(entries.Handler(9, 0, nullptr, nullptr), keltra::test::HandlerResultFor(9));
    }
    if (which != L"isalive") {
        EXPECT_TRUE(entries.IsAlive());
    }
    if (which != L"getdescription") {
        EXPECT_STREQ(entries.GetDescription(), name.c_str());
    }
    entries.Destroy();
}

std::vector<FaultCase> AllFaultCases() {
    std::vector<FaultCase> cases;
    for (const wchar_t* kind : {L"av", L"div0", L"ill", L"throw"}) {
        for (const wchar_t* e : {L"main", L"handler", L"unload", L"getdescription", L"isalive"}) {
            cases.push_back({kind, e});
        }
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(EachKindInEachExport, GuardedCall, testing::ValuesIn(AllFaultCases()),
                         [](const testing::TestParamInfo<FaultCase>& info) {
                             return platform::WideToUtf8(info.param.kind) + "_" +
                                    platform::WideToUtf8(info.param.exportName);
                         });

}  // namespace
