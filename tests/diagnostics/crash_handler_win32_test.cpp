// Crash handler, Windows only: an invalid parameter detected by a C runtime DLL of its own
// (not the runtime the program links), before and after the trace log's formatter has taken
// the invalid-parameter handler over.

#include <cstdarg>
#include <cstddef>

#include "diagnostics/log_file.h"
#include "tests/diagnostics/crash_test_support.h"

namespace {

using namespace keltra::test::crash;
using keltra::test::RunChild;

using WcscpyS = int(__cdecl*)(wchar_t*, std::size_t, const wchar_t*);

// Formats one message as every log line is formatted.
void FormatOneLine(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    wchar_t* text = nullptr;
    (void)logfilesync::CLogFile::FormatText(args, &text, format);
    va_end(args);
    delete[] text;
}

// The universal C runtime is loaded before installation, so the crash handler is registered
// with it, then asked to copy into a buffer of size 0: an invalid parameter it detects itself.
// args[2] "formatted": a log message is formatted first.
KELTRA_CHILD_ROLE(invalid_parameter_ucrt) {
    platform::Module ucrt = platform::LoadLibrary(L"ucrtbase.dll");
    auto copy = reinterpret_cast<WcscpyS>(
        ucrt != nullptr ? platform::GetProcAddress(ucrt, "wcscpy_s") : nullptr);
    if (copy == nullptr) {
        return 4;
    }
    InstallCrashHandler(args.at(0));
    RecordCrashingThread(args.at(1));
    if (args.at(2) == L"formatted") {
        FormatOneLine(L"first line %d", 1);
    }
    wchar_t target[4];
    (void)copy(target, 0, L"text");
    return 5;  // the runtime returned: a handler reported the parameter and went on
}

// Before any log line: the crash handler's dump. After one: the formatter's report on standard
// output (two lines) and no dump, the runtime going on.
TEST_F(CrashTest, AnInvalidParameterOfAnotherRuntimeGoesWhereTheLinkedRuntimesGoes) {
    const Dump dump = CrashAndRead("invalid_parameter_ucrt", "");
    EXPECT_EQ(0u, dump.exceptionCode);  // captured
    EXPECT_EQ(ExecutableName(), dump.ModuleAt(dump.faultRip));
    fs::remove(m_dump);
    EXPECT_EQ(5u, RunChild("invalid_parameter_ucrt", {m_dump, m_idFile, L"formatted"}));
    EXPECT_FALSE(fs::exists(m_dump));
}

}  // namespace
