// POSIX-only process behaviour: children ended by signals, reaping, and UTF-8 arguments.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/handle.h"
#include "platform/process.h"
#include "platform/wait.h"
#include "tests/platform/thread_test_helpers.h"
#include "tests/support/test_support.h"

namespace platform {
namespace {

using keltra::test::kLongWait;

KELTRA_CHILD_ROLE(raise_sigterm) {
    signal(SIGTERM, SIG_DFL);
    raise(SIGTERM);
    return 1;
}

KELTRA_CHILD_ROLE(pause_forever) {
    for (;;) {
        pause();
    }
}

KELTRA_CHILD_ROLE(echo_length) {
    return static_cast<int>(args.at(0).size());
}

// Children of this process that have ended but were not reaped.
int CountZombieChildren() {
    int zombies = 0;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) {
        return -1;
    }
    const pid_t self = getpid();
    while (dirent* entry = readdir(proc)) {
        const std::string stat = std::string("/proc/") + entry->d_name + "/stat";
        FILE* file = std::fopen(stat.c_str(), "r");
        if (file == nullptr) {
            continue;
        }
        char line[512] = {};
        const bool read = std::fgets(line, sizeof line, file) != nullptr;
        std::fclose(file);
        if (!read) {
            continue;
        }
        // "pid (comm) state ppid ...": comm may hold spaces and parentheses, so parse after
        // the last ')'.
        const char* rest = std::strrchr(line, ')');
        char state = 0;
        int ppid = 0;
        if (rest != nullptr && std::sscanf(rest + 1, " %c %d", &state, &ppid) == 2 &&
            ppid == self && state == 'Z') {
            ++zombies;
        }
    }
    closedir(proc);
    return zombies;
}

TEST(PosixProcessTest, ChildEndedBySignalReports128PlusTheSignal) {
    EXPECT_EQ(128u + SIGTERM, keltra::test::RunChild("raise_sigterm"));
}

TEST(PosixProcessTest, WaitedChildrenLeaveNoZombies) {
    for (int i = 0; i < 5; ++i) {
        UniqueHandle child(keltra::test::StartChild("echo_length", {L"abc"}));
        ASSERT_TRUE(child.Valid());
        ASSERT_EQ(kWaitObject0, WaitForSingleObject(child.Get(), kLongWait));
        std::uint32_t code = 0;
        ASSERT_TRUE(GetExitCodeProcess(child.Get(), &code));
        EXPECT_EQ(3u, code);
    }
    UniqueHandle paused(keltra::test::StartChild("pause_forever"));
    ASSERT_TRUE(paused.Valid());
    ASSERT_TRUE(TerminateProcess(paused.Get(), 1));
    ASSERT_EQ(kWaitObject0, WaitForSingleObject(paused.Get(), kLongWait));
    EXPECT_EQ(0, CountZombieChildren());
}

TEST(PosixProcessTest, NonAsciiArgumentsTravelAsUtf8) {
    // Three characters: two of two bytes and one outside the basic plane (one wchar_t here).
    EXPECT_EQ(3u, keltra::test::RunChild("echo_length", {L"\u00e9\u4e2d\U0001F600"}));
}

}  // namespace
}  // namespace platform
