// Child processes: exit codes, arguments passed unchanged, termination, environment, own path.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/process.h"
#include "tests/platform/thread_test_helpers.h"
#include "tests/support/test_support.h"

namespace platform {
namespace {

using namespace keltra::test;

constexpr wchar_t kVariable[] = L"KELTRA_PROCESS_TEST_VARIABLE";

// Arguments that a naive command line would split, merge or unescape.
// clang-format off
const std::vector<std::wstring> kTrickyArguments = {L"plain", L"two words", L"", L"quote\"inside",
    L"\"quoted\"", L"trailing backslash\\", L"C:\\dir with space\\", L"\\\\server\\share",
    L"back\\\\slashes\\\\\" then quote", L"tab\there", L" leading and trailing ",
    L"--keltra-child=not-a-role"};
// clang-format on

KELTRA_CHILD_ROLE(exit_with) {
    return std::stoi(args.at(0));
}

KELTRA_CHILD_ROLE(check_args) {
    return args == kTrickyArguments ? 0 : 1;
}

KELTRA_CHILD_ROLE(hang) {
    return WaitForSingleObject(CreateEvent(true, false), kInfinite);
}

KELTRA_CHILD_ROLE(check_variable) {
    return GetEnvironmentVariable(kVariable) == args.at(0) ? 0 : 1;
}

TEST(ProcessTest, ExitCodesArriveAndChildrenCanBeWaitedOnTogether) {
    std::vector<UniqueHandle> children;
    std::vector<Handle> handles;
    for (int code : {0, 42, 255}) {
        children.emplace_back(StartChild("exit_with", {std::to_wstring(code)}));
        handles.push_back(children.back().Get());
    }
    ASSERT_EQ(kWaitObject0, WaitForMultipleObjects(3, handles.data(), true, kLongWait * 3));
    for (std::uint32_t expected : {0u, 42u, 255u}) {
        std::uint32_t code = 0;
        ASSERT_TRUE(GetExitCodeProcess(handles.front(), &code));
        EXPECT_EQ(expected, code);
        EXPECT_EQ(kWaitObject0, WaitForSingleObject(handles.front(), 0));  // stays signalled
        handles.erase(handles.begin());
    }
    EXPECT_EQ(0u, RunChild("check_args", kTrickyArguments)) << "args unchanged";
}

TEST(ProcessTest, TerminateEndsAHungChildWithTheGivenCode) {
    UniqueHandle child(StartChild("hang"));
    std::uint32_t code = 0;
    ASSERT_TRUE(GetExitCodeProcess(child.Get(), &code));
    EXPECT_EQ(kStillActive, code);
    ASSERT_TRUE(TerminateProcess(child.Get(), 7));
    ASSERT_EQ(kWaitObject0, WaitForSingleObject(child.Get(), kLongWait));
    SetLastError(0);
    const bool terminatedAgain = TerminateProcess(child.Get(), 8);
    ASSERT_TRUE(GetExitCodeProcess(child.Get(), &code));
    EXPECT_EQ(7u, code);
    if (RunningUnderWine()) {
        GTEST_SKIP() << "Wine gap: TerminateProcess on an ended process succeeds";
    }
    EXPECT_FALSE(terminatedAgain);
    EXPECT_EQ(kErrorAccessDenied, GetLastError());
}

TEST(ProcessTest, EnvironmentIsSetReadRemovedAndInherited) {
    ASSERT_TRUE(SetEnvironmentVariable(kVariable, L"caf\u00e9"));
    EXPECT_EQ(L"caf\u00e9", GetEnvironmentVariable(kVariable));
    // ASCII only on the child's command line: the test main reads narrow arguments.
    for (const wchar_t* value : {L"some value", static_cast<const wchar_t*>(nullptr)}) {
        ASSERT_TRUE(SetEnvironmentVariable(kVariable, value));
        EXPECT_EQ(0u, RunChild("check_variable", {value ? value : L""}));
    }
    EXPECT_EQ(L"", GetEnvironmentVariable(kVariable));
}

TEST(ProcessTest, ExecutablePathNamesThisProgramAndMissingProgramsAndBadHandlesFail) {
    const std::wstring path = GetExecutablePath();
    const std::wstring directory = GetExecutableDirectory();
    EXPECT_EQ(directory + kPathSeparator, path.substr(0, directory.size() + 1));
    EXPECT_NE(std::wstring::npos, path.find(L"process_test", directory.size()));
    EXPECT_FAILS_WITH(kErrorFileNotFound, nullptr,
                      StartProcess(directory + kPathSeparator + L"no-such-program", {L"x"}));
    Handle closed = CreateEvent(true, false);
    ASSERT_TRUE(CloseHandle(closed));
    std::uint32_t code = 0;
    EXPECT_FAILS_WITH(kErrorInvalidHandle, false, GetExitCodeProcess(closed, &code));
    EXPECT_FAILS_WITH(kErrorInvalidHandle, false, TerminateProcess(closed, 1));
}

}  // namespace
}  // namespace platform
