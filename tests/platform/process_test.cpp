// Child processes: arguments passed unchanged, termination, missing programs, and no handle
// passed on that the caller did not ask to share.
#include "platform/error.h"
#include "platform/named_mutex.h"
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

// A process holding its single-instance mutex (and a file of its own) starts a long-lived
// child, then lets go: the name must be free again and the file openable while the child
// still runs, since the child was given neither handle.
TEST(ProcessTest, AChildKeepsNoHandleItsParentCreatedForItself) {
    const std::wstring name = L"Global\\keltra-inherit-" + std::to_wstring(GetCurrentProcessId());
    const std::wstring file = MakeTempDirectory(L"inherit") + kPathSeparator + L"own.dat";
    UniqueHandle mutex(CreateMutex(false, true, name.c_str()));
    ASSERT_TRUE(mutex.Valid()) << GetLastError();
    UniqueHandle own(
        CreateFile(file.c_str(), kGenericWrite, 0, false, kCreateAlways, kFileAttributeNormal));
    ASSERT_TRUE(own.Valid()) << GetLastError();
    ChildProcess child(StartChild("hang"));
    ASSERT_TRUE(child.Valid());
    ASSERT_TRUE(ReleaseMutex(mutex.Get()));
    mutex.Reset();
    own.Reset();
    UniqueHandle again(CreateMutex(false, true, name.c_str()));
    EXPECT_TRUE(again.Valid() && GetLastError() == 0) << "the child keeps the mutex alive";
    EXPECT_TRUE(UniqueHandle(CreateFile(file.c_str(), kGenericWrite, 0, false, kOpenExisting,
                                        kFileAttributeNormal))
                    .Valid())
        << "the child keeps the file open: " << GetLastError();
    std::uint32_t code = 0;
    EXPECT_TRUE(GetExitCodeProcess(child.Get(), &code) && code == kStillActive) << code;
}

}  // namespace
}  // namespace platform
