// The foreground host on POSIX at the edges of its terminal: stop requests that come before it
// is ready, a terminal that goes away, a closed output, one reader of standard input, and a
// log echo that never hands control characters to the terminal.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "tests/service/service_test_support.h"

namespace keltra::test {
namespace {

constexpr int kBoundMs = 60000;

// keltra-service /RUN in the directory dir, its standard input and output on pipes of the
// test's own; killed at the end if it is still running.
class ForegroundRun {
  public:
    ForegroundRun(const std::wstring& dir, const std::vector<std::string>& args) {
        int in[2], out[2];
        EXPECT_EQ(0, pipe2(in, O_CLOEXEC) + pipe2(out, O_CLOEXEC));
        const std::string exe = platform::WideToUtf8(ExePath());
        const std::string cwd = platform::WideToUtf8(dir);
        std::vector<const char*> argv = {exe.c_str(), "/RUN"};
        for (const std::string& a : args) {
            argv.push_back(a.c_str());
        }
        argv.push_back(nullptr);
        m_pid = fork();
        if (m_pid == 0) {
            if (dup2(in[0], 0) < 0 || dup2(out[1], 1) < 0 || chdir(cwd.c_str()) != 0) {
                _exit(126);
            }
            execv(exe.c_str(), const_cast<char* const*>(argv.data()));
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        m_in = in[1];
        m_out = out[0];
        m_exited = static_cast<int>(syscall(SYS_pidfd_open, m_pid, 0));
    }
    ~ForegroundRun() {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            (void)Wait();
        }
        for (int fd : {m_in, m_out, m_exited}) {
            if (fd >= 0) {
                close(fd);
            }
        }
    }
    // Reads standard output until it holds text (true), or it ends or the bound passes.
    bool ReadUntil(const std::string& text) {
        while (m_printed.find(text) == std::string::npos) {
            pollfd p = {m_out, POLLIN, 0};
            char buffer[4096];
            ssize_t n = 0;
            if (poll(&p, 1, kBoundMs) <= 0 || (n = read(m_out, buffer, sizeof buffer)) <= 0) {
                return false;
            }
            m_printed.append(buffer, static_cast<std::size_t>(n));
        }
        return true;
    }
    void Type(const std::string& text) {
        EXPECT_EQ(static_cast<ssize_t>(text.size()), write(m_in, text.data(), text.size()));
    }
    void CloseOutput() {
        close(m_out);
        m_out = -1;
    }
    // The exit code (128 + the signal for one that ended it), -1 when it does not end in time.
    int Wait() {
        pollfd p = {m_exited, POLLIN, 0};
        int status = 0;
        if (poll(&p, 1, kBoundMs) != 1 || waitpid(m_pid, &status, 0) != m_pid) {
            return -1;
        }
        m_pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    [[nodiscard]] bool Running() const {
        pollfd p = {m_exited, POLLIN, 0};
        return poll(&p, 1, 0) == 0;
    }
    [[nodiscard]] pid_t Pid() const { return m_pid; }
    [[nodiscard]] const std::string& Printed() const { return m_printed; }

  private:
    pid_t m_pid = -1;
    int m_in = -1, m_out = -1, m_exited = -1;
    std::string m_printed;
};

using ForegroundPosix = HostFixture;

// The terminal goes away: a hang-up, or nobody reads the output any more. The plug-ins still
// get the stop and are unloaded; the exit code says why, as a shell would.
TEST_F(ForegroundPosix, AClosedTerminalOrOutputStopsThePlugInsFirst) {
    for (const bool hangUp : {true, false}) {
        for (const std::wstring& recorder : recorders) {
            std::filesystem::remove(recorder + L".calls");
        }
        ForegroundRun run(dir, {});
        ASSERT_TRUE(run.ReadUntil("plug-ins running")) << run.Printed();
        if (hangUp) {
            kill(run.Pid(), SIGHUP);
        } else {
            run.CloseOutput();
            run.Type("128\n");  // its answer meets the closed pipe
        }
        EXPECT_EQ(hangUp ? 129 : 141, run.Wait());
        for (const std::wstring& recorder : recorders) {
            EXPECT_EQ(hangUp ? "Handler 1 0\nUnload\n" : "Handler 128 0\nHandler 1 0\nUnload\n",
                      CallsBesideMain(recorder, true))
                << (hangUp ? "hang-up" : "closed output");
        }
    }
}

// SIGTERM while the process entry still reads its settings (held up here on a FIFO, before
// any handler of its own exists): the run goes on to load the plug-ins and stops them, with
// no dump, rather than dying on the spot.
TEST_F(ForegroundPosix, AStopRequestBeforeTheHostIsReadyIsAStopNotACrash) {
    const std::string live = platform::WideToUtf8(dir + L"/live.reg");
    const std::string alias = platform::WideToUtf8(dir + L"/fifo");
    ASSERT_EQ(0, mkfifo(live.c_str(), 0600));
    ASSERT_EQ(0, link(live.c_str(), alias.c_str()));
    ASSERT_TRUE(platform::SetEnvironmentVariable(L"KELTRA_REGISTRY_FILE",
                                                 platform::Utf8ToWide(live).c_str()));
    ForegroundRun run(dir, {});
    int fifo = -1;
    for (int waited = 0;
         waited < kBoundMs && run.Running() &&
         (fifo = open(alias.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) < 0 && errno == ENXIO;
         ++waited) {
        usleep(1000);  // no event tells that a reader opened the FIFO
    }
    ASSERT_GE(fifo, 0) << "the host never read its registry file";
    kill(run.Pid(), SIGTERM);
    // Later reads find the real file; this one gets its bytes through the FIFO.
    const std::string registry = platform::WideToUtf8(dir + L"/registry.reg");
    const std::string bytes = ReadFileBytes(dir + L"/registry.reg");
    ASSERT_EQ(0, rename(registry.c_str(), live.c_str()));
    ASSERT_EQ(0, fcntl(fifo, F_SETFL, 0));
    EXPECT_EQ(static_cast<ssize_t>(bytes.size()), write(fifo, bytes.data(), bytes.size()));
    close(fifo);
    EXPECT_EQ(0, run.Wait());
    for (const std::wstring& recorder : recorders) {
        EXPECT_EQ("Handler 1 0\nUnload\n", CallsBesideMain(recorder, true));
    }
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(dir) / "crashdump.dmp"));
}

std::size_t ThreadsOf(pid_t pid) {
    std::size_t count = 0;
    std::error_code ignored;
    for (const auto& task :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ignored)) {
        (void)task;
        ++count;
    }
    return count;
}

// Empty lines are skipped without a second reader of standard input, and the log echo shows
// control characters (here in a plug-in's path) as escapes instead of sending them on.
TEST_F(ForegroundPosix, OneInputReaderAndAnEchoWithoutControlCharacters) {
    const std::wstring tricky = CopyPlugin(L"svc_recorder", dir, L"rec\x1b]0;pwned\a");
    WriteKeys({recorders[0], tricky});
    ForegroundRun run(dir, {});
    ASSERT_TRUE(run.ReadUntil("plug-ins running")) << run.Printed();
    run.Type("128\n");
    ASSERT_TRUE(run.ReadUntil("control 128 (event type 0) delivered"));
    const std::size_t threads = ThreadsOf(run.Pid());
    run.Type("\n\n  \n\n200\n");
    ASSERT_TRUE(run.ReadUntil("control 200 (event type 0) delivered"));
    EXPECT_EQ(threads, ThreadsOf(run.Pid())) << "a reader of standard input per empty line";
    run.Type("STOP\n");
    EXPECT_EQ(0, run.Wait());
    ASSERT_TRUE(run.ReadUntil("stopping"));
    EXPECT_EQ("Handler 128 0\nHandler 200 0\nHandler 1 0\nUnload\n", CallsBesideMain(tricky, true));
    EXPECT_EQ(std::string::npos, run.Printed().find_first_of("\x1b\a")) << run.Printed();
    EXPECT_NE(std::string::npos, run.Printed().find("rec\\x1b]0;pwned\\x07"));
}

}  // namespace
}  // namespace keltra::test
