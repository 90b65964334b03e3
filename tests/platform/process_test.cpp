// Child processes: exit codes, arguments passed unchanged, termination, environment, own path.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/event.h"
#include "platform/file.h"
#include "platform/handle.h"
#include "platform/process.h"
#include "platform/wait.h"
#include "tests/platform/thread_test_helpers.h"
#include "tests/support/test_support.h"

namespace platform {
namespace {

using keltra::test::kLongWait;

constexpr wchar_t kVariable[] = L"KELTRA_PROCESS_TEST_VARIABLE";

// Arguments that a naive command line would split, merge or unescape.
const std::vector<std::wstring>& TrickyArguments() {
    static const std::vector<std::wstring> args = {
        L"plain",
        L"two words",
        L"",
        L"quote\"inside",
        L"\"quoted\"",
        L"trailing backslash\\",
        L"C:\\dir with space\\",
        L"back\\\\slashes\\\\\" then quote",
        L"\\\\server\\share",
        L"tab\there",
        L" leading and trailing ",
        L"--keltra-child=not-a-role",
    };
    return args;
}

KELTRA_CHILD_ROLE(exit_with) {
    return std::stoi(args.at(0));
}

KELTRA_CHILD_ROLE(check_args) {
    const auto& expected = TrickyArguments();
    if (args.size() != expected.size()) {
        return 100 + static_cast<int>(args.size());
    }
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] != expected[i]) {
            return 1 + static_cast<int>(i);
        }
    }
    return 0;
}

KELTRA_CHILD_ROLE(hang) {
    UniqueHandle never(CreateEvent(true, false));
    (void)WaitForSingleObject(never.Get(), kInfinite);
    return 1;
}

KELTRA_CHILD_ROLE(check_variable) {
    return GetEnvironmentVariable(kVariable) == args.at(0) ? 0 : 1;
}

TEST(ProcessTest, ChildExitCodesArrive) {
    EXPECT_EQ(0u, keltra::test::RunChild("exit_with", {L"0"}));
    EXPECT_EQ(42u, keltra::test::RunChild("exit_with", {L"42"}));
    EXPECT_EQ(255u, keltra::test::RunChild("exit_with", {L"255"}));
}

TEST(ProcessTest, SeveralChildrenCanBeWaitedOnTogether) {
    std::vector<UniqueHandle> children;
    std::vector<Handle> handles;
    for (int code : {3, 4, 5}) {
        children.emplace_back(keltra::test::StartChild("exit_with", {std::to_wstring(code)}));
        ASSERT_TRUE(children.back().Valid()) << GetLastError();
        handles.push_back(children.back().Get());
    }
    ASSERT_EQ(kWaitObject0, WaitForMultipleObjects(3, handles.data(), true, kLongWait * 3));
    for (std::uint32_t i = 0; i < 3; ++i) {
        std::uint32_t code = 0;
        ASSERT_TRUE(GetExitCodeProcess(handles[i], &code));
        EXPECT_EQ(3 + i, code);
        EXPECT_EQ(kWaitObject0, WaitForSingleObject(handles[i], 0));  // stays signalled
    }
}

TEST(ProcessTest, ArgumentsArriveUnchanged) {
    EXPECT_EQ(0u, keltra::test::RunChild("check_args", TrickyArguments()));
}

TEST(ProcessTest, TerminateEndsAHungChildWithTheGivenCode) {
    UniqueHandle child(keltra::test::StartChild("hang"));
    ASSERT_TRUE(child.Valid()) << GetLastError();
    std::uint32_t code = 0;
    ASSERT_TRUE(GetExitCodeProcess(child.Get(), &code));
    EXPECT_EQ(kStillActive, code);
    EXPECT_EQ(kWaitTimeout, WaitForSingleObject(child.Get(), 0));

    ASSERT_TRUE(TerminateProcess(child.Get(), 7));
    ASSERT_EQ(kWaitObject0, WaitForSingleObject(child.Get(), kLongWait));
    ASSERT_TRUE(GetExitCodeProcess(child.Get(), &code));
    EXPECT_EQ(7u, code);

    SetLastError(0);
    const bool terminatedAgain = TerminateProcess(child.Get(), 8);
    ASSERT_TRUE(GetExitCodeProcess(child.Get(), &code));
    EXPECT_EQ(7u, code);
    if (keltra::test::RunningUnderWine()) {
        GTEST_SKIP() << "Wine gap: TerminateProcess on an ended process succeeds";
    }
    EXPECT_FALSE(terminatedAgain);
    EXPECT_EQ(kErrorAccessDenied, GetLastError());
}

TEST(ProcessTest, EnvironmentIsSetReadRemovedAndInherited) {
    ASSERT_TRUE(SetEnvironmentVariable(kVariable, L"caf\u00e9"));
    EXPECT_EQ(L"caf\u00e9", GetEnvironmentVariable(kVariable));
    // ASCII only on the child's command line: the test main reads narrow arguments.
    ASSERT_TRUE(SetEnvironmentVariable(kVariable, L"some value"));
    EXPECT_EQ(0u, keltra::test::RunChild("check_variable", {L"some value"}));

    ASSERT_TRUE(SetEnvironmentVariable(kVariable, nullptr));
    EXPECT_EQ(L"", GetEnvironmentVariable(kVariable));
    EXPECT_EQ(0u, keltra::test::RunChild("check_variable", {L""}));
}

TEST(ProcessTest, ExecutablePathNamesThisProgram) {
    const std::wstring path = GetExecutablePath();
    const std::wstring directory = GetExecutableDirectory();
    ASSERT_FALSE(path.empty());
    ASSERT_LT(directory.size(), path.size());
    EXPECT_EQ(directory, path.substr(0, directory.size()));
    EXPECT_EQ(kPathSeparator, path[directory.size()]);
    EXPECT_NE(std::wstring::npos, path.find(L"process_test", directory.size()));
}

TEST(ProcessTest, MissingProgramAndBadHandlesFail) {
    SetLastError(0);
    UniqueHandle child(
        StartProcess(GetExecutableDirectory() + kPathSeparator + L"no-such-program-here", {L"x"}));
    EXPECT_FALSE(child.Valid());
    EXPECT_EQ(kErrorFileNotFound, GetLastError());

    Handle closed = CreateEvent(true, false);
    ASSERT_TRUE(CloseHandle(closed));
    std::uint32_t code = 0;
    SetLastError(0);
    EXPECT_FALSE(GetExitCodeProcess(closed, &code));
    EXPECT_EQ(kErrorInvalidHandle, GetLastError());
    SetLastError(0);
    EXPECT_FALSE(TerminateProcess(closed, 1));
    EXPECT_EQ(kErrorInvalidHandle, GetLastError());
}

}  // namespace
}  // namespace platform
