// Crash handler, POSIX only: the emulated runtime's invalid parameter, signals from outside,
// the other fault signals, other threads in the dump, dump paths the writer must refuse, and
// the alternate signal stack of the platform's threads.
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>

#include "tests/diagnostics/crash_test_support.h"
#include "tests/support/other_user.h"

namespace {

using namespace keltra::test::crash;
using keltra::test::RunChild;

__attribute__((noinline)) void FormatMalformed(const wchar_t* format, ...) {
    wchar_t buffer[32];
    va_list list;
    va_start(list, format);
    (void)platform::VsnwprintfS(buffer, 32, 31, format, list);
    va_end(list);
}

std::uint32_t WaitForever(void* ready) {
    (void)platform::SetEvent(ready);
    for (;;) {
        pause();
    }
}

// Three threads wait (inside WaitForever) while this one faults.
__attribute__((noinline)) void CrashWithWaitingThreads() {
    for (int i = 0; i < 3; ++i) {
        platform::Handle ready = platform::CreateEvent(true, false);
        (void)platform::BeginThread(&WaitForever, ready, nullptr);
        (void)platform::WaitForSingleObject(ready, platform::kInfinite);
    }
    CrashNullWrite();
}

const CrashCase kCrashes[] = {
    // A malformed format makes the emulated C runtime call its invalid-parameter handler.
    {"invalid_parameter", [] { FormatMalformed(L"%n"); }, "FormatMalformed", 0, 0},
    // SIGTERM sent to the process, as a service manager stops it.
    {"kill_sigterm", [] { kill(getpid(), SIGTERM), pause(); }, "MeetCrash", 0, SIGTERM, false,
     false},
    {"raise_sigbus", [] { raise(SIGBUS); }, "MeetCrash", 0, SIGBUS, false, false},
    {"breakpoint", [] { __asm__ volatile("int3"); }, "MeetCrash", 0x80000003, SIGTRAP},
    {"waiting_threads", CrashWithWaitingThreads, "CrashWithWaitingThreads", 0xC0000005, SIGSEGV,
     false, true, nullptr, 4},
};

KELTRA_CHILD_ROLE(crash) {
    return MeetCrash(args, kCrashes);
}

class CrashPosixTest : public CrashTest, public testing::WithParamInterface<CrashCase> {};

TEST_P(CrashPosixTest, EndsWithExitCodeOneAndADump) {
    ExpectCrash(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Events, CrashPosixTest, testing::ValuesIn(kCrashes),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CrashTest, APathTheWriterMustNotUseEndsWithExitCodeOneAndNoFile) {
    // Nobody reads the FIFO: opening it to write would wait for ever.
    const std::wstring fifo = JoinPath(m_directory, L"fifo");
    ASSERT_EQ(0, mkfifo(fs::path(fifo).c_str(), 0600));
    for (const std::wstring& path : {fifo, std::wstring(L"/dev/null")}) {
        EXPECT_EQ(1u, RunChild("crash", {path, L"", L"raise_sigbus"}, 30000));
    }
    EXPECT_TRUE(fs::is_fifo(fs::path(fifo)));
    EXPECT_TRUE(fs::is_character_file("/dev/null"));  // neither written nor removed
}

// args[0]: the dump's directory, made as the process entry makes it, under the laxest umask;
// args[1]: the dump's name in it.
KELTRA_CHILD_ROLE(crash_lax_umask) {
    ::umask(0);
    (void)platform::CreateDirectoryTree(args.at(0).c_str(), true);
    InstallCrashHandler(JoinPath(args.at(0), args.at(1)));
    raise(SIGBUS);
    return 0;
}

// A dump holds process memory: whatever the umask, only its owner may read it, in a directory
// only its owner may enter; and it never goes through a link or into a file that another user
// planted at its name.
TEST_F(CrashTest, DumpsAreOwnerOnlyAndNeverGoWhereAnotherUserPointed) {
    const std::wstring dumps = JoinPath(m_directory, L"dumps");
    EXPECT_EQ(1u, RunChild("crash_lax_umask", {dumps, L"a.dmp"}, 30000));
    struct stat info {};
    ASSERT_EQ(0, stat(fs::path(dumps).c_str(), &info));
    EXPECT_EQ(0700u, info.st_mode & 07777);
    ASSERT_EQ(0, stat(fs::path(JoinPath(dumps, L"a.dmp")).c_str(), &info));
    EXPECT_EQ(0600u, info.st_mode & 07777);
    if (const char* why = keltra::test::CannotActAsOtherUser()) {
        GTEST_SKIP() << why;
    }
    const std::wstring room = JoinPath(m_directory, L"room");
    ASSERT_EQ(0, mkdir(fs::path(room).c_str(), 0700));
    ASSERT_EQ(0, chmod(fs::path(room).c_str(), 0777));
    const std::wstring target = JoinPath(m_directory, L"roots.txt");
    std::ofstream(fs::path(target)) << "root's own";
    ASSERT_EQ(0u, keltra::test::AsOtherUser({L"link", target, JoinPath(room, L"link.dmp")}));
    ASSERT_EQ(0u, keltra::test::AsOtherUser({L"write", JoinPath(room, L"file.dmp"), L"theirs"}));
    for (const wchar_t* name : {L"link.dmp", L"file.dmp"}) {
        EXPECT_EQ(1u, RunChild("crash_lax_umask", {room, name}, 30000));
    }
    EXPECT_EQ(10u, fs::file_size(fs::path(target))) << "written through the link";
    EXPECT_TRUE(fs::is_symlink(fs::path(JoinPath(room, L"link.dmp"))));
    EXPECT_EQ(6u, fs::file_size(fs::path(JoinPath(room, L"file.dmp")))) << "written into theirs";
}

// A thread the platform starts has its own alternate signal stack from its start (so that a
// stack overflow there reaches the crash handler, see stack_overflow_on_thread), and frees it
// before its handle is signalled, whether its routine returned or it was terminated.
struct StackProbe {
    stack_t seen;
    platform::UniqueHandle reported{platform::CreateEvent(true, false)};
    bool stay;
};

std::uint32_t ReportStack(void* argument) {
    auto* probe = static_cast<StackProbe*>(argument);
    (void)sigaltstack(nullptr, &probe->seen);
    (void)platform::SetEvent(probe->reported.Get());
    while (probe->stay) {
        pause();  // until terminated
    }
    return 0;
}

KELTRA_CHILD_ROLE(thread_signal_stack) {
    for (bool terminate : {false, true}) {
        StackProbe probe{.seen = {}, .stay = terminate};
        platform::UniqueHandle thread(platform::BeginThread(&ReportStack, &probe, nullptr));
        (void)platform::WaitForSingleObject(probe.reported.Get(), platform::kInfinite);
        if (terminate) {
            (void)platform::TerminateThread(thread.Get(), 9);
        }
        if (platform::WaitForSingleObject(thread.Get(), 30000) != platform::kWaitObject0) {
            return 3;
        }
        if ((probe.seen.ss_flags & SS_DISABLE) != 0 || probe.seen.ss_size < 16 * 1024) {
            return 4;  // no alternate stack at the start
        }
        // The stack starts on a page of its own mapping.
        if (msync(probe.seen.ss_sp, sysconf(_SC_PAGESIZE), MS_ASYNC) == 0 || errno != ENOMEM) {
            return 5;  // still mapped once the thread has ended
        }
    }
    return 0;
}

TEST_F(CrashTest, EveryPlatformThreadHasAnAlternateStackFromStartToEnd) {
    EXPECT_EQ(0u, RunChild("thread_signal_stack"));  // 4: none; 5: never freed
}

}  // namespace
