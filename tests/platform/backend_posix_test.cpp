// What only the POSIX backend does: it terminates threads inside system calls and its own locks,
// keeps the Windows message quota, file modes, signals, reaping and UTF-8 arguments of children,
// and dlopen's special cases.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/dynamic_library.h"
#include "platform/registry.h"
#include "platform/time.h"
#include "tests/platform/thread_test_helpers.h"
#include "tests/support/other_user.h"
#include "text/text.h"

namespace platform {
namespace {

using namespace keltra::test;

std::uint32_t ReadPipeForever(void* argument) {
    auto* victim = static_cast<Victim*>(argument);
    SetEvent(victim->started.Get());
    char byte = 0;
    return read(*static_cast<int*>(victim->data), &byte, 1) < 0 ? 2 : 1;
}

// Goes in and out of the layer's locks and allocations (and the C library's time-zone
// lock) as fast as it can.
std::uint32_t ChurnForever(void* argument) {
    auto* victim = static_cast<Victim*>(argument);
    ThreadMessage message;
    PeekMessage(&message, kWmUser, kWmUser, kPmNoRemove);
    const std::uint32_t self = GetCurrentThreadId();
    for (std::uint64_t round = 0;; ++round) {
        (void)WaitForSingleObject(MakeEvent(true, true).Get(), 0);
        SetEvent(victim->blocker.Get());
        (void)WaitForSingleObject(victim->blocker.Get(), 0);
        PostThreadMessage(self, 0x40C, 0, 0);
        PeekMessage(&message, 0, 0, kPmRemove);
        LocalTime now;
        GetLocalTime(&now);
        if (round == 100) {
            SetEvent(victim->started.Get());
        }
    }
}

TEST(PosixTerminateThreadTest, EndsThreadsInSystemCallsAndInsideTheLayerLeavingNoLockHeld) {
    int fds[2] = {-1, -1};
    ASSERT_EQ(0, pipe2(fds, O_CLOEXEC));
    Victim reader;
    reader.data = &fds[0];
    TerminateAndCheck(&ReadPipeForever, reader);
    EXPECT_EQ(0, close(fds[0]) + close(fds[1]));
    // Termination lands at a random point of the loop; repeat to land in many places. A lock
    // of the layer (or of the heap) left held would hang the next round or the checks below.
    for (int round = 0; round < 50; ++round) {
        Victim victim;
        std::uint32_t id = 0;
        TerminateAndCheck(&ChurnForever, victim, &id);
        EXPECT_FALSE(PostThreadMessage(id, 0x40C, 0, 0));
        ASSERT_TRUE(SetEvent(victim.blocker.Get()));
        ASSERT_EQ(kWaitObject0, WaitForSingleObject(victim.blocker.Get(), 0));
    }
}

TEST(PosixMessageQueueTest, AFullQueueRefusesPostsUntilDrained) {
    // Windows allows 10,000 posted messages per queue; Wine has no limit.
    ThreadMessage message;
    PeekMessage(&message, kWmUser, kWmUser, kPmNoRemove);
    const std::uint32_t self = GetCurrentThreadId();
    std::uint32_t count = 0;
    while (count <= 10000 && PostThreadMessage(self, 0x40C, count, 0)) {
        ++count;
    }
    EXPECT_EQ(kErrorNotEnoughQuota, GetLastError());
    EXPECT_EQ(10000u, count);
    ASSERT_EQ(1, GetMessage(&message, 0x40C, 0x40C));
    EXPECT_TRUE(PostThreadMessage(self, 0x40C, 10001, 0));
    for (count = 0; PeekMessage(&message, 0, 0, kPmRemove);) {
        ++count;
    }
    EXPECT_EQ(10000u, count);
}

TEST(PosixFileTest, ALaxUmaskNeverWidensWhatIsCreated) {
    const std::wstring dir = MakeTempDirectory(L"file-mode");
    const mode_t previous = ::umask(0);
    for (const bool everyone : {true, false}) {
        const std::wstring path = dir + (everyone ? L"/open" : L"/plain");
        UniqueHandle file(CreateFile(path.c_str(), kGenericWrite, 0, everyone, kCreateAlways,
                                     kFileAttributeNormal));
        EXPECT_TRUE(file.Valid());
    }
    const ErrorCode tree = CreateDirectoryTree((dir + L"/a/b").c_str());
    const ErrorCode dumps = CreateDirectoryTree((dir + L"/a/c/dumps").c_str(), true);
    ::umask(previous);
    EXPECT_EQ(0u, tree);
    EXPECT_EQ(0u, dumps);
    const std::pair<const wchar_t*, mode_t> expected[] = {
        {L"/open", 0644}, {L"/plain", 0644}, {L"/a", 0755},
        {L"/a/b", 0755},  {L"/a/c", 0755},   {L"/a/c/dumps", 0700},
    };
    for (const auto& [name, mode] : expected) {
        struct stat info {};
        ASSERT_EQ(0, ::stat(WideToUtf8(dir + name).c_str(), &info));
        EXPECT_EQ(mode, info.st_mode & 07777) << WideToUtf8(name);
    }
}

// Where another user may add names, a link at the name root opens may lead anywhere (into a
// file of root's that then gets emptied, or read as the registry): never followed there. A
// link that root made in a directory of its own is followed.
TEST(PosixFileTest, LinksPlantedWhereOthersCanWriteAreNeverFollowed) {
    if (const char* why = CannotActAsOtherUser()) {
        GTEST_SKIP() << why;
    }
    const std::wstring dir = MakeTempDirectory(L"planted");
    const std::wstring target = dir + L"/root-only.reg";
    const std::string registry =
        "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\K]\n";
    {
        UniqueHandle file(
            CreateFile(target.c_str(), kGenericWrite, 0, false, kCreateNew, kFileAttributeNormal));
        ASSERT_TRUE(WriteFile(file.Get(), registry.data(),
                              static_cast<std::uint32_t>(registry.size()), nullptr));
    }
    const struct {
        const wchar_t* name;
        mode_t mode;
        bool planted;  // by the other user; else by root
    } cases[] = {{L"open", 0777, true}, {L"sticky", 01777, true}, {L"roots", 0755, false}};
    for (const auto& c : cases) {
        const std::wstring room = dir + L"/" + c.name;
        const std::wstring link = room + L"/x.reg";
        ASSERT_EQ(0, ::mkdir(WideToUtf8(room).c_str(), 0700));
        ASSERT_EQ(0, ::chmod(WideToUtf8(room).c_str(), c.mode));
        if (c.planted) {
            ASSERT_EQ(0u, AsOtherUser({L"link", target, link}));
        } else {
            ASSERT_EQ(0, ::symlink(WideToUtf8(target).c_str(), WideToUtf8(link).c_str()));
        }
        SetLastError(0);
        UniqueHandle file(CreateFile(link.c_str(), kGenericRead | kGenericWrite, 0, false,
                                     kCreateAlways, kFileAttributeNormal));
        EXPECT_EQ(!c.planted, file.Valid()) << WideToUtf8(c.name);
        EXPECT_EQ(c.planted ? kErrorAccessDenied : kErrorAlreadyExists, GetLastError());
        file.Reset();
        if (!c.planted) {  // emptied through the link: put the registry back
            UniqueHandle again(CreateFile(target.c_str(), kGenericWrite, 0, false, kCreateAlways,
                                          kFileAttributeNormal));
            ASSERT_TRUE(WriteFile(again.Get(), registry.data(),
                                  static_cast<std::uint32_t>(registry.size()), nullptr));
        }
        ASSERT_TRUE(SetEnvironmentVariable(L"KELTRA_REGISTRY_FILE", link.c_str()));
        UniqueRegKey key;
        EXPECT_EQ(c.planted ? kErrorAccessDenied : kErrorSuccess,
                  RegOpenKeyEx(HkeyLocalMachine(), L"K", 0, kKeyRead, key.Receive()))
            << WideToUtf8(c.name);
        EXPECT_EQ(c.planted,
                  std::wstring(RegistryFileError()).find(L": refused") != std::wstring::npos);
    }
    struct stat info {};
    ASSERT_EQ(0, ::stat(WideToUtf8(target).c_str(), &info));
    const auto size = static_cast<std::size_t>(info.st_size);
    EXPECT_EQ(registry.size(), size) << "root's file was emptied through a planted link";
}

// args[0] "term": ends by SIGTERM; "pause": waits to be killed; else: exits with its length.
KELTRA_CHILD_ROLE(signal_or_length) {
    if (args.at(0) == L"term") {
        signal(SIGTERM, SIG_DFL);
        raise(SIGTERM);
    }
    while (args.at(0) == L"pause") {
        pause();
    }
    return static_cast<int>(args.at(0).size());
}

TEST(PosixProcessTest, SignalsAndUtf8ArgumentsArriveAndEndedChildrenAreReaped) {
    EXPECT_EQ(128u + SIGTERM, RunChild("signal_or_length", {L"term"}));
    // Three characters: two of two bytes and one outside the basic plane (one wchar_t here).
    EXPECT_EQ(3u, RunChild("signal_or_length", {L"\u00e9\u4e2d\U0001F600"}));
    UniqueHandle paused(StartChild("signal_or_length", {L"pause"}));
    ASSERT_TRUE(TerminateProcess(paused.Get(), 1));
    ASSERT_EQ(kWaitObject0, WaitForSingleObject(paused.Get(), kLongWait));
    // A child that ended but was not reaped would be waitable still (WNOWAIT leaves it).
    siginfo_t info{};
    const int waitable = waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT);
    EXPECT_TRUE(waitable < 0 || info.si_pid == 0) << "zombie child " << info.si_pid;
}

TEST(PosixDynamicLibraryTest, SpecialFilesAndUnresolvedImportsAreRefused) {
    // dlopen would block on a FIFO until a writer came; the loader must refuse it at once.
    const std::wstring fifo = MakeTempDirectory(L"dynlib-posix") + L"/pipe.so";
    ASSERT_EQ(::mkfifo(WideToUtf8(fifo).c_str(), 0600), 0);
    for (const std::wstring& path : {fifo, std::wstring(L"/dev/null")}) {
        EXPECT_FAILS_WITH(kErrorBadExeFormat, nullptr, LoadLibrary(path.c_str()));
    }
    EXPECT_FAILS_WITH(kErrorProcNotFound, nullptr,
                      LoadLibrary(PluginPath(L"testlib_unresolved").c_str()));
}

}  // namespace
}  // namespace platform
