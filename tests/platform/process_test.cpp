// Child processes: exit codes, arguments passed unchanged, termination, environment, own path.
#include <gtest/gtest.h>

#include "tests/platform/thread_test_helpers.h"

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

TEST(ProcessTest, ExitCodesAndArgumentsArriveAndMissingProgramsFail) {
    std::vector<UniqueHandle> children;
    std::vector<Handle> handles;
    const std::uint32_t codes[] = {0, 42, 255};
    for (const std::uint32_t code : codes) {
        children.emplace_back(StartChild("exit_with", {std::to_wstring(code)}));
        handles.push_back(children.back().Get());
    }
    ASSERT_EQ(kWaitObject0, WaitForMultipleObjects(3, handles.data(), true, kLongWait * 3));
    for (std::uint32_t i = 0, code = 0; i < 3; ++i) {
        EXPECT_TRUE(GetExitCodeProcess(handles[i], &code) && code == codes[i]) << code;
        EXPECT_EQ(kWaitObject0, WaitForSingleObject(handles[i], 0));  // stays signalled
    }
    EXPECT_EQ(0u, RunChild("check_args", kTrickyArguments)) << "args unchanged";
    EXPECT_FAILS_WITH(kErrorFileNotFound, nullptr,
                      StartProcess(GetExecutableDirectory() + kPathSeparator + L"nothing", {}));
}

TEST(ProcessTest, TerminateEndsAHungChildWithTheGivenCode) {
    UniqueHandle child(StartChild("hang"));
    std::uint32_t code = 0;
    EXPECT_TRUE(GetExitCodeProcess(child.Get(), &code) && code == kStillActive) << code;
    ASSERT_TRUE(TerminateProcess(child.Get(), 7));
    ASSERT_EQ(kWaitObject0, WaitForSingleObject(child.Get(), kLongWait));
    if (!RunningUnderWine()) {  // Wine gap: TerminateProcess on an ended process succeeds
        EXPECT_FAILS_WITH(kErrorAccessDenied, false, TerminateProcess(child.Get(), 8));
    }
    EXPECT_TRUE(GetExitCodeProcess(child.Get(), &code) && code == 7) << code;
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

}  // namespace
}  // namespace platform
