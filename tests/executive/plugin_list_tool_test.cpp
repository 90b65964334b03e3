// The keltra-plugins command: reads the same key with the same rules and reports by exit code.
#include <gtest/gtest.h>

#include <string>

#include "tests/executive/exec_test_support.h"

namespace {

using keltra::test::TestRegistryKey;

std::wstring ToolPath() {
    const std::wstring base =
        platform::GetExecutableDirectory() + platform::kPathSeparator + L"keltra-plugins";
    return platform::PathFileExists(base.c_str()) ? base : base + L".exe";
}

std::uint32_t RunTool(const std::vector<std::wstring>& args) {
    platform::UniqueHandle child(platform::StartProcess(ToolPath(), args));
    EXPECT_TRUE(child.Valid());
    if (!child) {
        return 0xFFFFFFFF;
    }
    if (platform::WaitForSingleObject(child.Get(), 60000) != platform::kWaitObject0) {
        platform::TerminateProcess(child.Get(), 1);
        ADD_FAILURE() << "keltra-plugins did not end";
        return 0xFFFFFFFF;
    }
    std::uint32_t code = 0;
    EXPECT_TRUE(platform::GetExitCodeProcess(child.Get(), &code));
    return code;
}

TEST(PluginListTool, ExitCodeTellsWhetherTheKeyCouldBeRead) {
    TestRegistryKey key;
    EXPECT_EQ(RunTool({L"--key", key.Path()}), 2u);  // no such key

    const std::wstring dir = keltra::test::MakeTempDirectory(L"tool");
    const std::wstring file = keltra::test::WriteFile(dir, L"p.dll", "p");
    key.SetString(L"svcbu1", file);
    key.SetString(L"svcbu2", file);  // duplicate
    key.SetString(L"Plugin", file);  // name filtered
    key.SetString(L"sExpand", file, platform::kRegExpandSz);
    key.SetString(L"sMissing", dir + platform::kPathSeparator + L"gone.dll");
    key.SetRaw(L"sLong", platform::kRegSz,
               keltra::test::Utf16LeBytes(std::wstring(260, L'x'), false));
    key.SetDword(L"sNumber", 3);
    EXPECT_EQ(RunTool({L"--key", key.Path()}), 0u);
    EXPECT_EQ(RunTool({L"--key", key.Path(), L"--filter", L"p"}), 0u);
    EXPECT_EQ(RunTool({L"--bogus"}), 87u);
}

}  // namespace
