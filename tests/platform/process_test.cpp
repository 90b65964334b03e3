// Child processes: arguments passed unchanged, termination, missing programs.
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

KELTRA_CHILD_ROLE(check_args) {
    return args == kTrickyArguments ? 42 : 1;
}

KELTRA_CHILD_ROLE(hang) {
    return WaitForSingleObject(CreateEvent(true, false), kInfinite);
}

// Exit codes in general are what every RunChild of the suite checks.
TEST(ProcessTest, ArgumentsArriveUnchangedTerminateEndsAChildAndMissingProgramsFail) {
    EXPECT_EQ(42u, RunChild("check_args", kTrickyArguments)) << "1: args changed";
    EXPECT_FAILS_WITH(kErrorFileNotFound, nullptr,
                      StartProcess(GetExecutableDirectory() + kPathSeparator + L"nothing", {}));
    UniqueHandle child(StartChild("hang"));
    std::uint32_t code = 0;
    EXPECT_TRUE(GetExitCodeProcess(child.Get(), &code) && code == kStillActive) << code;
    ASSERT_TRUE(TerminateProcess(child.Get(), 7));
    ASSERT_EQ(kWaitObject0, WaitForSingleObject(child.Get(), kLongWait));
    if (!RunningUnderWine()) {  // Wine gap: TerminateProcess on an ended process succeeds
        EXPECT_FAILS_WITH(kErrorAccessDenied, false, TerminateProcess(child.Get(), 8));
    }
    EXPECT_TRUE(GetExitCodeProcess(child.Get(), &code) && code == 7) << code;
    EXPECT_EQ(kWaitObject0, WaitForSingleObject(child.Get(), 0))
        << "an ended child stays signalled";
}

}  // namespace
}  // namespace platform
