// Crash handler, POSIX only: the emulated runtime's invalid parameter, signals from outside the
// faulting code, the other fault signals, other threads in the dump, and file-name limits.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdarg>
#include <filesystem>
#include <string>
#include <vector>

#include "diagnostics/crash_handler.h"
#include "platform/event.h"
#include "platform/handle.h"
#include "platform/text.h"
#include "platform/thread.h"
#include "platform/wait.h"
#include "tests/diagnostics/crash_test_support.h"
#include "tests/support/test_support.h"

namespace {

using namespace keltra::test::crash;
using keltra::test::RunChild;

std::wstring Arg(const std::vector<std::wstring>& args, std::size_t i) {
    return i < args.size() ? args[i] : std::wstring();
}

__attribute__((noinline)) int FormatMalformed(const wchar_t* format, ...) {
    wchar_t buffer[32];
    va_list list;
    va_start(list, format);
    const int result = platform::VsnwprintfS(buffer, 32, 31, format, list);
    va_end(list);
    return result;
}

// A malformed format makes the emulated C runtime call its invalid-parameter handler.
KELTRA_CHILD_ROLE(crash_invalid_parameter) {
    InstallCrashHandler(Arg(args, 0));
    RecordCrashingThread(Arg(args, 1));
    (void)FormatMalformed(L"%n");
    return 0;
}

// SIGTERM sent to the process, as a service manager stops it, while the thread waits.
KELTRA_CHILD_ROLE(crash_sigterm_from_kill) {
    InstallCrashHandler(Arg(args, 0));
    RecordCrashingThread(Arg(args, 1));
    kill(getpid(), SIGTERM);
    for (;;) {
        pause();
    }
}

KELTRA_CHILD_ROLE(crash_raise_sigbus) {
    InstallCrashHandler(Arg(args, 0));
    RecordCrashingThread(Arg(args, 1));
    raise(SIGBUS);
    return 0;
}

KELTRA_CHILD_ROLE(crash_breakpoint) {
    InstallCrashHandler(Arg(args, 0));
    RecordCrashingThread(Arg(args, 1));
    __asm__ volatile("int3");
    return 0;
}

__attribute__((noinline, no_sanitize("address", "undefined"))) void WriteThroughNull() {
    volatile int* volatile target = nullptr;
    *target = 1;
}

struct Waiter {
    platform::UniqueHandle ready{platform::CreateEvent(true, false)};
    platform::Handle never = nullptr;
};

std::uint32_t WaitForever(void* argument) {
    auto* waiter = static_cast<Waiter*>(argument);
    (void)platform::SetEvent(waiter->ready.Get());
    (void)platform::WaitForSingleObject(waiter->never, platform::kInfinite);
    return 0;
}

// Three threads wait (inside WaitForever) while the main thread faults: all four appear in
// the dump with their registers.
KELTRA_CHILD_ROLE(crash_with_waiting_threads) {
    InstallCrashHandler(Arg(args, 0));
    RecordCrashingThread(Arg(args, 1));
    platform::UniqueHandle never(platform::CreateEvent(true, false));
    Waiter waiters[3];
    std::vector<platform::UniqueHandle> threads;
    std::vector<platform::Handle> ready;
    for (Waiter& waiter : waiters) {
        waiter.never = never.Get();
        threads.emplace_back(platform::BeginThread(&WaitForever, &waiter, nullptr));
        ready.push_back(waiter.ready.Get());
    }
    (void)platform::WaitForMultipleObjects(3, ready.data(), true, platform::kInfinite);
    WriteThroughNull();
    return 0;
}

class CrashHandlerPosixTest : public testing::Test {
  protected:
    void SetUp() override {
        PrepareChildEnvironment();
        m_directory = keltra::test::MakeTempDirectory(L"crash-posix");
        m_dump = JoinPath(m_directory, L"crash.dmp");
        m_idFile = JoinPath(m_directory, L"thread.txt");
    }

    Dump CrashAndRead(const char* role, const std::string& function) {
        std::filesystem::remove(std::filesystem::path(m_dump));
        std::filesystem::remove(std::filesystem::path(m_idFile));
        EXPECT_EQ(1u, RunChild(role, {m_dump, m_idFile}));
        const std::uint32_t crashingThread = ReadThreadId(m_idFile);
        const Dump dump = ReadDump(m_dump);
        ExpectSaneDump(dump, crashingThread);
        if (dump.error.empty()) {
            ExpectLldbReads(dump, m_dump, crashingThread, function);
        }
        return dump;
    }

    std::wstring m_directory;
    std::wstring m_dump;
    std::wstring m_idFile;
};

TEST_F(CrashHandlerPosixTest, AnInvalidParameterWritesADump) {
    const Dump dump = CrashAndRead("crash_invalid_parameter", "FormatMalformed");
    EXPECT_EQ(0u, dump.exceptionCode);
}

TEST_F(CrashHandlerPosixTest, SignalsFromOutsideAndOtherFaultSignalsWriteADump) {
    {
        SCOPED_TRACE("kill SIGTERM");
        const Dump dump = CrashAndRead("crash_sigterm_from_kill", "KeltraChildRole_crash_");
        EXPECT_EQ(static_cast<std::uint32_t>(SIGTERM), dump.exceptionCode);
    }
    {
        SCOPED_TRACE("SIGBUS");
        const Dump dump = CrashAndRead("crash_raise_sigbus", "KeltraChildRole_crash_");
        EXPECT_EQ(static_cast<std::uint32_t>(SIGBUS), dump.exceptionCode);
    }
    {
        SCOPED_TRACE("breakpoint");
        const Dump dump = CrashAndRead("crash_breakpoint", "KeltraChildRole_crash_breakpoint");
        EXPECT_EQ(static_cast<std::uint32_t>(SIGTRAP), dump.exceptionCode);
        EXPECT_EQ(ExecutableName(), FaultingModule(dump));
    }
}

TEST_F(CrashHandlerPosixTest, EveryThreadIsListedWithItsRegistersAndStack) {
    const Dump dump = CrashAndRead("crash_with_waiting_threads", "KeltraChildRole_crash_");
    ASSERT_GE(dump.threads.size(), 4u);
    EXPECT_EQ(dump.exceptionThreadId, dump.threads.front().id);  // the faulting thread first
    for (const DumpThread& thread : dump.threads) {
        SCOPED_TRACE(thread.id);
        EXPECT_GE(thread.contextSize, 1232u);
        EXPECT_NE(0u, thread.rip);
        EXPECT_GT(thread.stackSize, 0u);
        EXPECT_NE(nullptr, dump.ModuleAt(thread.rip));
    }
    // The waiting threads' stacks lead lldb back to where they wait.
    const auto output = RunLldb(m_dump, {"thread backtrace all -c 12"});
    if (!output) {
        GTEST_SKIP() << "lldb is not installed: the other threads were checked by the "
                        "structural reader only";
    }
    std::size_t waiting = 0;
    for (std::size_t at = output->find("WaitForever"); at != std::string::npos;
         at = output->find("WaitForever", at + 1)) {
        ++waiting;
    }
    EXPECT_EQ(3u, waiting) << *output;
}

TEST_F(CrashHandlerPosixTest, AFileNameTheFileSystemRefusesEndsWithExitCodeOne) {
    // 256 bytes in one name, relative to the current directory: too long for Linux file
    // systems, short enough for the buffer.
    const std::wstring path(256, L'n');
    ASSERT_LT(path.size(), Stoneleaf::kCrashDumpPathCapacity);
    EXPECT_EQ(1u, RunChild("crash_abort_posix", {path}));
    EXPECT_FALSE(FileExists(path));
}

TEST_F(CrashHandlerPosixTest, APathNamingAFifoOrADeviceIsLeftAlone) {
    // Nobody reads the FIFO: opening it to write would wait for ever.
    const std::wstring fifo = JoinPath(m_directory, L"fifo");
    ASSERT_EQ(0, mkfifo(std::filesystem::path(fifo).c_str(), 0600));
    EXPECT_EQ(1u, RunChild("crash_abort_posix", {fifo}, 30000));
    EXPECT_TRUE(std::filesystem::is_fifo(std::filesystem::path(fifo)));

    // A device: nothing written to it, and it is not removed after the failed dump.
    EXPECT_EQ(1u, RunChild("crash_abort_posix", {L"/dev/null"}));
    EXPECT_TRUE(std::filesystem::is_character_file("/dev/null"));
}

KELTRA_CHILD_ROLE(crash_abort_posix) {
    InstallCrashHandler(Arg(args, 0));
    abort();
}

}  // namespace
