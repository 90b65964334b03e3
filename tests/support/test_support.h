// Test helpers: paths of the test plug-ins, child-process roles, and bounded waits.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/types.h"

namespace keltra::test {

/// Full path of a test plug-in built beside the test program, e.g. PluginPath(L"plugin_good").
std::wstring PluginPath(const std::wstring& baseName);

/// A fresh, empty directory for one test, under the build tree's temporary area.
std::wstring MakeTempDirectory(const std::wstring& tag);

/// A child-process role: runs in a child started with RunChild and returns its exit code.
using ChildRole = std::function<int(const std::vector<std::wstring>& args)>;

/// Registers a role at static-initialisation time; see KELTRA_CHILD_ROLE.
bool RegisterChildRole(const char* name, ChildRole role);

/// Starts this test program again as a child running the named role with arguments.
/// Returns the child's handle (wait on it with platform::WaitForSingleObject).
platform::Handle StartChild(const char* role, const std::vector<std::wstring>& args = {});

/// Starts the child, waits up to timeoutMs and returns its exit code; kills it and returns
/// 0xFFFFFFFF (with a test failure) if it does not end in time.
std::uint32_t RunChild(const char* role, const std::vector<std::wstring>& args = {},
                       std::uint32_t timeoutMs = 60000);

/// True under Wine (its ntdll alone exports wine_get_version). Tests that meet a known Wine
/// gap check what Wine gets right, then skip the rest naming the gap. Keeps the last error.
bool RunningUnderWine();

}  // namespace keltra::test

/// Defines a child-process role: KELTRA_CHILD_ROLE(name) { ...; return exitCode; }
/// with `args` in scope.
#define KELTRA_CHILD_ROLE(name)                                               \
    static int KeltraChildRole_##name(const std::vector<std::wstring>& args); \
    static const bool keltraChildRoleRegistered_##name =                      \
        ::keltra::test::RegisterChildRole(#name, &KeltraChildRole_##name);    \
    static int KeltraChildRole_##name([[maybe_unused]] const std::vector<std::wstring>& args)
