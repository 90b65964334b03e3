// The keltra-plugins command: reads the same key with the same rules and reports by exit code.
#include <gtest/gtest.h>

#include "tests/executive/exec_test_support.h"

namespace {

using namespace keltra::test;

std::uint32_t RunTool(const std::vector<std::wstring>& args) {
    std::wstring tool =
        platform::GetExecutableDirectory() + platform::kPathSeparator + L"keltra-plugins";
    return RunProgram(platform::PathFileExists(tool.c_str()) ? tool : tool + L".exe", args, 60000);
}

TEST(PluginListTool, ExitCodeTellsWhetherTheKeyCouldBeRead) {
    TestRegistryKey key;
    EXPECT_EQ(RunTool({L"--key", key.Path()}), 2u);  // no such key
    const std::wstring file = WriteFile(key.Dir(), L"p.dll", "p");
    for (const wchar_t* name : {L"svcbu1", L"svcbu2", L"Plugin"}) {  // a duplicate, filtered
        key.SetString(name, file);
    }
    key.SetString(L"sExpand", file, platform::kRegExpandSz);
    key.SetString(L"sMissing", key.Dir() + platform::kPathSeparator + L"gone.dll");
    key.SetRaw(L"sLong", platform::kRegSz, Utf16Le(std::wstring(261, L'x')), 520);
    EXPECT_EQ(RunTool({L"--key", key.Path()}), 0u);
    EXPECT_EQ(RunTool({L"--key", key.Path(), L"--filter", L"p"}), 0u);
    EXPECT_EQ(RunTool({L"--bogus"}), 87u);
}

}  // namespace
