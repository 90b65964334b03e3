// Crash handler, Windows only: an invalid parameter detected by a real C runtime DLL.
#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

#include "diagnostics/crash_handler.h"
#include "platform/dynamic_library.h"
#include "tests/diagnostics/crash_test_support.h"
#include "tests/support/test_support.h"

namespace {

using namespace keltra::test::crash;
using keltra::test::RunChild;

std::wstring Arg(const std::vector<std::wstring>& args, std::size_t i) {
    return i < args.size() ? args[i] : std::wstring();
}

using WcscpyS = int(__cdecl*)(wchar_t*, std::size_t, const wchar_t*);

// The universal C runtime is loaded before installation, so the handler is registered with
// it, then asked to copy into a buffer of size 0: an invalid parameter it detects itself.
KELTRA_CHILD_ROLE(crash_invalid_parameter_ucrt) {
    platform::Module ucrt = platform::LoadLibrary(L"ucrtbase.dll");
    if (ucrt == nullptr) {
        return 3;
    }
    auto copy = reinterpret_cast<WcscpyS>(platform::GetProcAddress(ucrt, "wcscpy_s"));
    if (copy == nullptr) {
        return 4;
    }
    InstallCrashHandler(Arg(args, 0));
    RecordCrashingThread(Arg(args, 1));
    wchar_t target[4];
    (void)copy(target, 0, L"text");
    return 5;  // the runtime returned: the handler did not run
}

TEST(CrashHandlerWin32Test, AnInvalidParameterDetectedByTheRuntimeWritesADump) {
    PrepareChildEnvironment();
    const std::wstring directory = keltra::test::MakeTempDirectory(L"crash-win32");
    const std::wstring dump = JoinPath(directory, L"crash.dmp");
    const std::wstring idFile = JoinPath(directory, L"thread.txt");
    ASSERT_EQ(1u, RunChild("crash_invalid_parameter_ucrt", {dump, idFile}));
    const Dump read = ReadDump(dump);
    ExpectSaneDump(read, ReadThreadId(idFile));
    EXPECT_EQ(0u, read.exceptionCode);  // captured
    EXPECT_EQ(ExecutableName(), FaultingModule(read));
}

}  // namespace
