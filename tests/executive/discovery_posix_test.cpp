// What a host running as root refuses to read or load: a registry file or a plug-in that
// another user could change or replace, with the reason in the log and from keltra-plugins.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "executive/library.h"
#include "executive/plugin_mgr.h"
#include "tests/executive/exec_test_support.h"
#include "tests/support/other_user.h"

namespace {

using namespace keltra::test;

// What keltra-plugins printed, and its exit code.
std::pair<std::string, std::uint32_t> ListPlugins(const std::wstring& key) {
    const std::string command = platform::WideToUtf8(platform::GetExecutableDirectory()) +
                                "/keltra-plugins --key '" + platform::WideToUtf8(key) + "' 2>&1";
    std::FILE* tool = ::popen(command.c_str(), "r");
    std::string printed;
    for (char buf[512]; tool != nullptr && std::fgets(buf, sizeof buf, tool) != nullptr;) {
        printed += buf;
    }
    const int status = tool != nullptr ? ::pclose(tool) : -1;
    return {printed, static_cast<std::uint32_t>(WEXITSTATUS(status))};
}

TEST(DiscoveryPosix, WhatAnotherUserCouldChangeIsRefusedWithTheReason) {
    if (const char* why = CannotActAsOtherUser()) {
        GTEST_SKIP() << why;
    }
    const mode_t umask = ::umask(022);  // the suite's files are root's and not writable by others
    TestRegistryKey key;
    const std::string dir = platform::WideToUtf8(key.Dir());
    ASSERT_EQ(0, ::mkdir((dir + "/open").c_str(), 0700));
    ASSERT_EQ(0, ::chmod((dir + "/open").c_str(), 0777));
    const struct {
        std::wstring copyAs;  // under the key's directory
        int (*spoil)(const char* path);
        std::string why;  // after the path; empty: taken
    } cases[] = {
        {L"roots", nullptr, ""},
        {L"theirs", [](const char* p) { return ::chown(p, kOtherUser, kOtherUser); },
         " is owned by uid 65534, not root"},
        {L"groups", [](const char* p) { return ::chmod(p, 0775); },
         " is writable by group or others"},
        {L"open/any", nullptr, ""},  // the directory is at fault
    };
    LogCapture log;
    std::vector<std::wstring> expected;
    for (const auto& c : cases) {
        const std::wstring path = CopyPlugin(L"tp_good", key.Dir(), c.copyAs);
        key.SetString((L"svcbu_" + c.copyAs).c_str(), path);
        if (c.spoil != nullptr) {
            ASSERT_EQ(0, c.spoil(platform::WideToUtf8(path).c_str()));
        }
        const std::string shown = platform::WideToUtf8(path);
        const std::string at = c.copyAs == L"open/any" ? dir + "/open" : shown;
        const std::string why = c.copyAs == L"open/any" ? " is writable by group or others" : c.why;
        executive::Library library;
        EXPECT_EQ(why.empty(), library.Load(path.c_str())) << shown;
        library.Unload();
        if (why.empty()) {
            expected.push_back(path);
            continue;
        }
        const std::string reason = at + why;
        const auto [printed, code] = ListPlugins(key.Path());
        EXPECT_NE(std::string::npos, printed.find("\"" + shown + "\": refused: ")) << printed;
        EXPECT_NE(std::string::npos, printed.find(reason)) << printed;
        const std::wstring line = L"Refused plugin " + path + L": " + platform::Utf8ToWide(reason) +
                                  L" (running as root)";
        std::vector<std::wstring> dlls;
        EXPECT_EQ(0u, executive::PluginMgr::GetAllPluginDLLs(dlls, key.Path(), L"svcbu"));
        EXPECT_EQ(1, log.Count(L'E', L"executive::PluginMgr::GetAllPluginDLLs", line)) << shown;
        EXPECT_EQ(expected, dlls);
    }
    // The registry file itself: another user's is not read at all.
    const std::string file = dir + "/registry.reg";
    ASSERT_EQ(0, ::chown(file.c_str(), kOtherUser, kOtherUser));
    const auto [printed, code] = ListPlugins(key.Path());
    EXPECT_EQ(5u, code);
    const std::string reason = file + ": refused, " + file + " is owned by uid 65534, not root";
    EXPECT_NE(std::string::npos, printed.find("error 5: " + reason)) << printed;
    std::vector<std::wstring> dlls;
    EXPECT_EQ(5u, executive::PluginMgr::GetAllPluginDLLs(dlls, key.Path(), L"svcbu"));
    EXPECT_TRUE(dlls.empty());
    const auto lines = log.Messages(L"executive::PluginMgr::GetAllPluginDLLs");
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::wstring& l) {
        return l.rfind(L"E " + platform::Utf8ToWide(reason), 0) == 0;
    }));
    ::umask(umask);
}

}  // namespace
