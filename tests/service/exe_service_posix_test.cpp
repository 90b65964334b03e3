// The shipped executable and systemd: without a running systemd every command that needs it
// fails with 1722 (never success); on a real systemd booted in a sandbox (root only) the whole
// lifecycle runs with real plug-ins, and the unit it writes passes systemd-analyze verify.
#include <unistd.h>

#include <chrono>
#include <thread>

#include "tests/service/exe_test_support.h"

namespace keltra::test::exe {
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

class Systemd : public HostFixture {
  protected:
    void SetUp() override {
        if (geteuid() != 0 || access("/lib/systemd/systemd", X_OK) != 0) {
            GTEST_SKIP() << "needs root and systemd installed to boot a sandboxed systemd";
        }
        HostFixture::SetUp();
        // Everything the service writes (calls, log) goes to dir, bound read-write inside.
        for (const std::wstring& name : kRecorders) {
            std::filesystem::copy_file(PluginPath(name), Local(name + platform::kLibrarySuffix));
        }
        WriteKeys({Local(L"svc_recorder_a.so"), Local(L"svc_recorder_b.so")});
        std::filesystem::create_directories(std::filesystem::path(dir) / L"with space");
        exe = Local(L"with space/" KELTRA_SERVICE_EXE);
        std::filesystem::copy_file(ExePath(), exe);
        const std::wstring base = dir + L"/sandbox", pidFile = dir + L"/systemd.pid";
        std::filesystem::create_directories(base);
        sandbox.Reset(platform::StartProcess(
            L"/usr/bin/unshare", {L"--mount", L"--pid", L"--fork", L"--propagation", L"private",
                                  L"sh", KELTRA_SANDBOX_SCRIPT, base, pidFile, dir}));
        // Enter only once systemd runs (it has taken the sandbox's root by then).
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while ((pid = ReadText(pidFile)).empty() ||
               ReadText(L"/proc/" + platform::Utf8ToWide(pid.substr(0, pid.size() - 1)) +
                        L"/comm") != "systemd\n") {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "systemd did not boot";
            std::this_thread::sleep_for(std::chrono::milliseconds(50));  // another process boots
        }
        pid.pop_back();
        ASSERT_EQ(0u,
                  Inside({L"/bin/sh", L"-c",  // until booted (bounded by Inside's limit)
                          L"until systemctl is-system-running | grep -qE 'running|degraded'; do "
                          L"sleep 0.1; done; mkdir -p /etc/keltra && cp " +
                              dir + L"/registry.reg /etc/keltra/registry.reg"}));
    }
    void TearDown() override {
        if (!pid.empty()) {
            RunExe({L"-9", platform::Utf8ToWide(pid)}, 10000, L"/bin/kill");
        }
        (void)platform::WaitForSingleObject(sandbox.Get(), 30000);  // none: fails at once
        HostFixture::TearDown();
    }

    std::wstring Local(const std::wstring& name) const { return dir + L"/" + name; }

    // Runs a command inside the sandbox's namespaces and returns its exit code.
    std::uint32_t Inside(std::vector<std::wstring> command) {
        std::vector<std::wstring> args{L"-t", platform::Utf8ToWide(pid), L"-m", L"-p", L"-r",
                                       L"-w"};
        args.insert(args.end(), command.begin(), command.end());
        return RunExe(args, 150000, L"/usr/bin/nsenter");
    }

    platform::UniqueHandle sandbox;
    std::string pid;
    std::wstring exe;
};

TEST_F(Systemd, InstallStartControlReloadStopUninstall) {
    const std::vector<std::vector<Step>> parts = Lifecycle(exe);
    const std::vector<std::wstring> extras[] = {
        {L"/usr/bin/systemd-analyze", L"verify",
         L"/etc/systemd/system/KeltraServiceFramework.service"},
        {L"/usr/bin/systemctl", L"reload", L"KeltraServiceFramework"}};  // SIGHUP: param-change
    for (std::size_t i = 0; i < parts.size(); ++i) {
        for (const Step& step : parts[i]) {
            std::vector<std::wstring> command{exe};
            command.insert(command.end(), step.args.begin(), step.args.end());
            EXPECT_EQ(AsExitCode(step.code), Inside(command))
                << platform::WideToUtf8(command.back());
        }
        if (i < 2) {
            EXPECT_EQ(0u, Inside(extras[i])) << platform::WideToUtf8(extras[i][1]);
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (i == 1 &&
               Calls(Local(L"svc_recorder_b.so")).find("Handler 6") == std::string::npos &&
               std::chrono::steady_clock::now() < deadline) {  // the signal is handled meanwhile
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    ExpectLifecycleSeen({Local(L"svc_recorder_a.so"), Local(L"svc_recorder_b.so")},
                        "Handler 128 0\nHandler 200 0\nHandler 4 0\nHandler 6 0\n");
}

}  // namespace
}  // namespace keltra::test::exe
