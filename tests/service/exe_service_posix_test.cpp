// The shipped executable and systemd: without a running systemd every command that needs it
// fails with 1722 (never success). On a real systemd booted by scripts/systemd-sandbox.sh (root
// only) the whole lifecycle runs with real plug-ins: the unit it writes passes systemd-analyze
// verify, /START returns once READY=1 came (Type=notify), the status text shows, controls
// through the channel and reload (param-change) reach every plug-in, and the unit ends with
// status 0.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "tests/service/service_test_support.h"

namespace keltra::test {
namespace {

using NoSystemd = HostFixture;

TEST_F(NoSystemd, CommandsFailWithACodeNeverSuccess) {
    if (access("/run/systemd/system", F_OK) == 0) {
        GTEST_SKIP() << "systemd runs on this machine: nothing to refuse";
    }
    const std::vector<std::wstring> commands[] = {
        {L"/INSTALL", ExePath()}, {L"/START"}, {L"/STOP"}, {L"/UNINSTALL"}, {L"/CONTROL", L"128"}};
    for (const auto& args : commands) {
        EXPECT_EQ(AsExitCode(1722), RunExe(args)) << platform::WideToUtf8(args[0]);
    }
    EXPECT_NE(std::string::npos, Log().find("Exec arguments failed, dwRet=1722"));
}

const std::string kScript = KELTRA_SOURCE_DIR "/scripts/systemd-sandbox.sh";

// Runs the sandbox script with args (quoted by the caller); its output, and its exit status.
std::string Sandbox(const std::string& args, int* status = nullptr) {
    std::string out;
    FILE* pipe = popen(("'" + kScript + "' " + args + " 2>&1").c_str(), "r");
    char buffer[512];
    while (pipe != nullptr && std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
        out += buffer;
    }
    const int raw = pipe == nullptr ? -1 : pclose(pipe);
    if (status != nullptr) {
        *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    }
    return out;
}

class Systemd : public HostFixture {
  protected:
    void SetUp() override {
        HostFixture::SetUp();
        SpacedExe();
        // Everything the service writes (calls, log) goes to dir, bound read-write inside.
        const std::string local = platform::WideToUtf8(dir);
        int status = 0;
        pid = Sandbox("start '" + local + "/sandbox' --rw '" + local + "'", &status);
        if (status == 77) {
            GTEST_SKIP() << std::exchange(pid, "");
        }
        ASSERT_EQ(status, 0) << std::exchange(pid, "");
        pid.pop_back();
        ASSERT_EQ(0u, Inside({L"/bin/sh", L"-c",
                              L"mkdir -p /etc/keltra && cp '" + dir +
                                  L"/registry.reg' /etc/keltra/registry.reg"}));
    }
    void TearDown() override {
        if (!pid.empty()) {
            Sandbox("stop " + pid);
        }
        HostFixture::TearDown();
    }

    // Runs a command inside the sandbox and returns its exit code.
    std::uint32_t Inside(std::vector<std::wstring> command) {
        command.insert(command.begin(), {L"run", platform::Utf8ToWide(pid)});
        return RunExe(command, 150000, platform::Utf8ToWide(kScript));
    }
    std::uint32_t Command(const std::vector<std::wstring>& args) override {
        std::vector<std::wstring> command{exe};
        command.insert(command.end(), args.begin(), args.end());
        return Inside(command);
    }
    std::string Run(const std::string& command) { return Sandbox("run " + pid + " " + command); }

    std::string pid;
};

TEST_F(Systemd, InstallStartControlReloadStopUninstall) {
    const std::vector<std::vector<Step>> parts = Lifecycle(exe);
    RunSteps(parts[0]);
    EXPECT_EQ(0u, Inside({L"/usr/bin/systemd-analyze", L"verify",
                          L"/etc/systemd/system/KeltraServiceFramework.service"}));
    RunSteps(parts[1]);  // /START has returned after READY=1, which comes with this text
    EXPECT_EQ(Run("systemctl show -p StatusText KeltraServiceFramework"),
              "StatusText=Running: 2 plug-ins loaded\n");
    EXPECT_EQ(0u, Inside({L"/usr/bin/systemctl", L"reload", L"KeltraServiceFramework"}));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (const std::wstring& path : recorders) {  // SIGHUP: param-change, handled meanwhile
        while (Calls(path).find("Handler 6") == std::string::npos &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    RunSteps({parts[2].begin(), parts[2].begin() + 2});
    EXPECT_EQ(Run("systemctl show -p Result -p ExecMainStatus KeltraServiceFramework"),
              "Result=success\nExecMainStatus=0\n")
        << Run("journalctl --no-pager -u KeltraServiceFramework");
    RunSteps({parts[2].begin() + 2, parts[2].end()});
    ExpectLifecycleSeen("Handler 128 0\nHandler 200 0\nHandler 4 0\nHandler 6 0\n");
}

}  // namespace
}  // namespace keltra::test
