// Loading plug-in libraries and calling their exports under the fault guard.
#include <gtest/gtest.h>

#include "executive/library.h"
#include "tests/executive/exec_test_support.h"

namespace {

using executive::Library;
using executive::PlugInEntries;
using namespace keltra::test;

// What cannot be loaded is refused, by the library and by the entry table, whose empty
// calls answer with failure values; a second load keeps the first; destruction alone does
// not free the module.
TEST(Library, LoadsOnceAndRefusesWhatCannotBeLoaded) {
    const std::wstring dir = MakeTempDirectory(L"lib");
    const std::wstring text = WriteFile(dir, std::wstring(L"t") + platform::kLibrarySuffix, "x");
    PlugInEntries entries;
    for (const std::wstring& path : {std::wstring(), text, dir + std::wstring(40000, L'x'),
                                     dir + platform::kPathSeparator + L"missing.dll", dir}) {
        Library library;
        EXPECT_FALSE(library.Load(path.c_str())) << platform::WideToUtf8(path.substr(0, 80));
        EXPECT_TRUE(library.Module() == nullptr && library.Path().empty());
        EXPECT_FALSE(entries.Create(path.c_str()));
    }
    EXPECT_FALSE(Library().Load(nullptr));
    EXPECT_FALSE(entries.Create(nullptr));
    EXPECT_EQ(entries.Handler(1, 0, nullptr, nullptr), executive::kHandlerFaultResult);
    EXPECT_FALSE(entries.IsAlive());
    EXPECT_EQ(entries.GetDescription(), nullptr);
    entries.Main(0, nullptr);
    entries.Unload();
    TestLib lib(PluginPath(L"tp_good"));
    ASSERT_TRUE(entries.Create(lib.Path().c_str()));
    EXPECT_FALSE(entries.Create(PluginPath(L"tp_no_ondelete").c_str()));
    EXPECT_EQ(entries.GetLibrary().Path(), lib.Path());
    EXPECT_STREQ(entries.GetDescription(), L"tp_good");
    EXPECT_EQ(entries.Handler(7, 8, nullptr, nullptr), HandlerResultFor(7));
    entries.Destroy();
    EXPECT_FALSE(entries.IsLoaded());
    EXPECT_EQ(lib.Record().mainCalls + lib.Record().unloadCalls + lib.Record().isAliveCalls, 0u);
    platform::Module kept = nullptr;
    {
        Library destroyed;
        ASSERT_TRUE(destroyed.Load(PluginPath(L"tp_good").c_str()));
        kept = destroyed.Module();
    }
    EXPECT_NE(platform::GetProcAddress(kept, "Main"), nullptr);
    EXPECT_TRUE(platform::FreeLibrary(kept));
}

class MissingExport : public testing::TestWithParam<const wchar_t*> {};

TEST_P(MissingExport, IsRefusedUncalledAndTheLibraryFreed) {
    TestLib lib(PluginPath(GetParam()));
    PlugInEntries entries;
    EXPECT_FALSE(entries.Create(lib.Path().c_str()));
    EXPECT_TRUE(entries.GetLibrary().Path().empty());
    auto& r = lib.Record();
    EXPECT_EQ(r.mainCalls + r.handlerCalls + r.unloadCalls + r.isAliveCalls +
                  r.getDescriptionCalls + r.onDeleteServiceCalls,
              0u);
}

INSTANTIATE_TEST_SUITE_P(EachRequiredExport, MissingExport,
                         testing::Values(L"tp_no_main", L"tp_no_handler", L"tp_no_unload",
                                         L"tp_no_getdescription", L"tp_no_isalive"));

// Each fault kind (access violation, divide by zero, illegal instruction, C++ throw) in each
// export ends that call with its failure value, on every call; the other exports still work.
class GuardedCall : public testing::TestWithParam<std::tuple<const char*, const char*>> {};

TEST_P(GuardedCall, FaultGivesTheFailureValueAndTheHostGoesOn) {
    const std::string which = std::get<1>(GetParam());
    const std::wstring name =
        platform::Utf8ToWide(std::string("tp_fault_") + std::get<0>(GetParam()) + "_" + which);
    TestLib lib(PluginPath(name));
    lib.Configure(MainMode::ReturnAtOnce);
    PlugInEntries entries;
    ASSERT_TRUE(entries.Create(lib.Path().c_str()));
    for (int round = 0; round < 2; ++round) {
        entries.Main(0, nullptr);
        entries.Unload();
        EXPECT_EQ(entries.Handler(9, 0, nullptr, nullptr),
                  which == "handler" ? 0x80004005u : HandlerResultFor(9));
        EXPECT_EQ(entries.IsAlive(), which != "isalive");
        EXPECT_EQ(entries.GetDescription() == nullptr, which == "getdescription");
    }
    EXPECT_EQ(lib.Record().mainReturns.load(), which == "main" ? 0u : 2u);
    entries.Destroy();
}

INSTANTIATE_TEST_SUITE_P(EachKindInEachExport, GuardedCall,
                         testing::Combine(testing::Values("av", "div0", "ill", "throw"),
                                          testing::Values("main", "handler", "unload",
                                                          "getdescription", "isalive")),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param)) + "_" +
                                    std::get<1>(info.param);
                         });

}  // namespace
