// The shipped executable and systemd: without a running systemd every command that needs it
// fails with 1722 (never success); on a real systemd booted in a sandbox (root only) the whole
// lifecycle runs with real plug-ins, and the unit it writes passes systemd-analyze verify.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "tests/service/exe_test_support.h"

namespace keltra::test::exe {
namespace {

using NoSystemd = HostFixture;

TEST_F(NoSystemd, CommandsFailWithACodeNeverSuccess) {
    struct stat info {};
    if (lstat("/run/systemd/system", &info) == 0) {
        GTEST_SKIP() << "systemd runs on this machine: nothing to refuse";
    }
    for (const auto& args : std::vector<std::vector<std::wstring>>{{L"/INSTALL", ExePath()},
                                                                   {L"/START"},
                                                                   {L"/STOP"},
                                                                   {L"/UNINSTALL"},
                                                                   {L"/CONTROL", L"128"}}) {
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
        ASSERT_TRUE(sandbox);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        std::string state;
        while (state.rfind("running", 0) != 0 && state.rfind("degraded", 0) != 0 &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));  // another process boots
            pid = ReadText(pidFile);
            while (!pid.empty() && pid.back() == '\n') {
                pid.pop_back();
            }
            if (!pid.empty()) {
                Inside({L"/bin/sh", L"-c", L"systemctl is-system-running > " + dir + L"/state"});
                state = ReadText(dir + L"/state");
            }
        }
        ASSERT_TRUE(state.rfind("running", 0) == 0 || state.rfind("degraded", 0) == 0) << state;
        ASSERT_EQ(0u, Inside({L"/bin/sh", L"-c",
                              L"mkdir -p /etc/keltra && cp " + dir +
                                  L"/registry.reg /etc/keltra/registry.reg"}));
    }
    void TearDown() override {
        if (!pid.empty()) {
            RunExe({L"-9", platform::Utf8ToWide(pid)}, 10000, L"/bin/kill");
        }
        if (sandbox) {
            (void)platform::WaitForSingleObject(sandbox.Get(), 30000);
        }
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
    const std::wstring unit = L"/etc/systemd/system/KeltraServiceFramework.service";
    const struct {
        std::vector<std::wstring> command;
        std::uint32_t code;
    } steps[] = {
        {{exe, L"/STOP"}, 1060},
        {{exe, L"/UNINSTALL"}, 1060},
        {{exe, L"/INSTALL"}, 87},
        {{exe, L"/install", L" " + exe + L" "}, 0},
        {{exe, L"/INSTALL", exe}, 1073},
        {{L"/usr/bin/systemd-analyze", L"verify", unit}, 0},
        {{exe, L"/Start"}, 0},
        {{exe, L"/START"}, 1056},
        {{exe}, 183},
        {{exe, L"/RUN", L"STOP"}, 183},
        {{exe, L"/CONTROL", L"128"}, 0},
        {{exe, L"/control", L"0xC8"}, 0},
        {{exe, L"/CONTROL", L"INTERROGATE"}, 0},
        {{L"/usr/bin/systemctl", L"reload", L"KeltraServiceFramework"}, 0},
        {{exe, L"/STOP"}, 0},
        {{exe, L"/STOP"}, 0},
        {{exe, L"/CONTROL", L"128"}, 1062},
        {{exe, L"/UNINSTALL"}, 0},
        {{exe, L"/START"}, 1060},
    };
    for (const auto& step : steps) {
        EXPECT_EQ(AsExitCode(step.code), Inside(step.command))
            << platform::WideToUtf8(step.command.back());
    }
    for (const std::wstring& name : kRecorders) {
        EXPECT_EQ(
            "Handler 128 0\nHandler 200 0\nHandler 4 0\nHandler 6 0\nHandler 1 0\nUnload\n"
            "OnDeleteService\n",
            CallsBesideMain(Local(name + platform::kLibrarySuffix)));
    }
    for (const char* line : {"Entry service failed, dwRet=183", "Exec arguments failed, dwRet=1060",
                             "Exec arguments failed, dwRet=1073", "Entry service success."}) {
        EXPECT_NE(std::string::npos, Log().find(line)) << line;
    }
}

}  // namespace
}  // namespace keltra::test::exe
