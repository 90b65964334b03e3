// Test helpers: plug-in paths, temporary directories and child-process roles.
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <map>

#include "platform/dynamic_library.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/handle.h"
#include "platform/process.h"
#include "platform/thread.h"
#include "platform/wait.h"

namespace keltra::test {

std::map<std::string, ChildRole>& ChildRoles() {
    static std::map<std::string, ChildRole> roles;
    return roles;
}

std::wstring PluginPath(const std::wstring& baseName) {
    return platform::GetExecutableDirectory() + platform::kPathSeparator + baseName +
           platform::kLibrarySuffix;
}

std::wstring MakeTempDirectory(const std::wstring& tag) {
    static std::atomic<int> counter{0};
    const std::wstring root =
        platform::GetExecutableDirectory() + platform::kPathSeparator + L"test-tmp";
    // Process ids come back (at once under Wine): a directory of an earlier process with this
    // id may still hold its files, so take the next name until one is new.
    for (;;) {
        const std::wstring dir = root + platform::kPathSeparator + tag + L"-" +
                                 std::to_wstring(platform::GetCurrentProcessId()) + L"-" +
                                 std::to_wstring(counter++);
        const platform::ErrorCode created = platform::CreateDirectoryTree(dir.c_str());
        if (created != platform::kErrorAlreadyExists && created != platform::kErrorFileExists) {
            return dir;
        }
    }
}

bool RegisterChildRole(const char* name, ChildRole role) {
    ChildRoles()[name] = std::move(role);
    return true;
}

platform::Handle StartChild(const char* role, const std::vector<std::wstring>& args) {
    std::vector<std::wstring> all{L"--keltra-child=" +
                                  std::wstring(role, role + std::strlen(role))};
    all.insert(all.end(), args.begin(), args.end());
    return platform::StartProcess(platform::GetExecutablePath(), all);
}

void ChildProcessTraits::Close(platform::Handle child) noexcept {
    if (platform::WaitForSingleObject(child, 0) != platform::kWaitObject0) {
        (void)platform::TerminateProcess(child, 0xFFFFFFFF);
        (void)platform::WaitForSingleObject(child, 10000);
    }
    (void)platform::CloseHandle(child);
}

std::uint32_t RunChild(const char* role, const std::vector<std::wstring>& args,
                       std::uint32_t timeoutMs) {
    ChildProcess child(StartChild(role, args));
    if (!child) {
        ADD_FAILURE() << "cannot start child role " << role;
        return 0xFFFFFFFF;
    }
    if (platform::WaitForSingleObject(child.Get(), timeoutMs) != platform::kWaitObject0) {
        ADD_FAILURE() << "child role " << role << " did not end within " << timeoutMs << " ms";
        return 0xFFFFFFFF;  // the owner ends it
    }
    std::uint32_t code = 0;
    platform::GetExitCodeProcess(child.Get(), &code);
    return code;
}

bool RunningUnderWine() {
    const platform::ErrorCode saved = platform::GetLastError();
    static const bool wine = [] {
        platform::UniqueModule ntdll(platform::LoadLibrary(L"ntdll.dll"));
        return ntdll && platform::GetProcAddress(ntdll.Get(), "wine_get_version");
    }();
    platform::SetLastError(saved);
    return wine;
}

}  // namespace keltra::test
