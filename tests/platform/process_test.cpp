// Child processes: exit codes, arguments passed unchanged, termination, missing programs.
#include <gtest/gtest.h>

#include "tests/platform/thread_test_helpers.h"

namespace platform {
namespace {

using namespace keltra::test;

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

TEST(ProcessTest, ExitCodesAndArgumentsArriveTerminateEndsAChildAndMissingProgramsFail) {
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
    // Terminate ends a hung child with the given code.
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

}  // namespace
}  // namespace platform
