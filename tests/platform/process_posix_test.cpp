// Child processes on POSIX: signals and UTF-8 arguments arrive, and ended children are reaped.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/platform/thread_test_helpers.h"

namespace platform {
namespace {

using namespace keltra::test;

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

}  // namespace
}  // namespace platform
