// Test helpers: paths of the test plug-ins, child-process roles, and bounded waits.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/types.h"
#include "platform/unique_owner.h"

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
/// Returns the child's handle (wait on it with platform::WaitForSingleObject); own it with
/// ChildProcess so that it ends with the test on every path.
platform::Handle StartChild(const char* role, const std::vector<std::wstring>& args = {});

/// What ChildProcess needs to know of a child's handle: letting go of a child that still runs
/// ends it (TerminateProcess) and waits up to 10 s for it to be gone before the handle closes.
struct ChildProcessTraits {
    using Value = platform::Handle;
    static bool IsValid(platform::Handle child) noexcept { return child != nullptr; }
    static void Close(platform::Handle child) noexcept;
};

/// The owner of a child process handle (StartChild, platform::StartProcess): a test that
/// returns early, through a failed assertion too, leaves no child running behind it.
using ChildProcess = platform::UniqueOwner<ChildProcessTraits>;

/// Called by the test main before any test runs: every process this program starts, and the
/// processes those start, is bound to end at the latest with this program (Windows: a job
/// that kills its processes when its last handle closes; Linux: this process becomes the
/// reaper of orphaned descendants, so that EndStrayProcesses finds them).
void ContainChildProcesses();

/// Called by the test main after each test: ends every process the test left running (on
/// Windows the job ends them with the program, which runs one test under ctest). Returns how
/// many there were.
int EndStrayProcesses();

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
