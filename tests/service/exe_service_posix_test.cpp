// The shipped executable and systemd: without a running systemd every command that needs it
// fails with 1722 (never success). On a real systemd booted by scripts/systemd-sandbox.sh (root
// only) the whole lifecycle runs with real plug-ins: the unit it writes passes systemd-analyze
// verify and is read whole by one reload, /START returns once READY=1 came (Type=notify), the
// status text shows, controls through the channel and reload (param-change) reach every
// plug-in, and the unit ends with status 0. /INSTALL paths systemd would read as another
// program are refused with nothing installed.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>

#include "platform/error.h"
#include "resources/strings.h"
#include "service/service_admin.h"
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

// Inside the sandbox, against the installed service that never ran: the poll of /START and
// /STOP ends at once on a stopped service, and at its bound on a state never reached.
KELTRA_CHILD_ROLE(poll) {
    platform::UniqueServiceHandle manager(
        platform::OpenServiceManager(platform::kScManagerAllAccess));
    platform::UniqueServiceHandle service(platform::OpenService(
        manager.Get(), L"KeltraServiceFramework", platform::kServiceAllAccess));
    if (!service) {
        return 1;
    }
    auto start = std::chrono::steady_clock::now();
    if (Stoneleaf::WaitForServiceState(service.Get(), platform::kServiceRunning, 60000) !=
            platform::kErrorServiceNotActive ||
        std::chrono::steady_clock::now() - start > std::chrono::seconds(5)) {
        return 2;
    }
    start = std::chrono::steady_clock::now();
    const std::uint32_t polled =
        Stoneleaf::WaitForServiceState(service.Get(), platform::kServicePaused, 300);
    const auto waited = std::chrono::steady_clock::now() - start;
    return polled == platform::kErrorTimeout && waited >= std::chrono::milliseconds(300) &&
                   waited < std::chrono::seconds(5)
               ? 0
               : 3;
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
    // A third library without the deletion hook: /UNINSTALL still succeeds.
    WriteKeys({recorders[0], recorders[1], CopyPlugin(L"tp_no_ondelete", dir, L"no_hook")});
    ASSERT_EQ(0u, Inside({L"/bin/cp", dir + L"/registry.reg", L"/etc/keltra/registry.reg"}));
    const std::vector<std::vector<Step>> parts = Lifecycle(exe);
    RunSteps(parts[0]);
    EXPECT_EQ(0u, Inside({L"/usr/bin/systemd-analyze", L"verify",
                          L"/etc/systemd/system/KeltraServiceFramework.service"}));
    // Read back from systemd: the display name, automatic start, and the unit as it was
    // loaded (a change after the reload would make systemd run an older copy).
    EXPECT_EQ(Run("systemctl show -p Description -p UnitFileState -p NeedDaemonReload "
                  "KeltraServiceFramework"),
              "Description=Keltra Service Framework\nUnitFileState=enabled\n"
              "NeedDaemonReload=no\n");
    EXPECT_EQ(Run("stat -c %a /etc/systemd/system/KeltraServiceFramework.service"), "644\n");
    EXPECT_NE(Run("cat /etc/systemd/system/KeltraServiceFramework.service")
                  .find("\nX-Description=" + platform::WideToUtf8(KELTRA_DESCRIPTION) + "\n"),
              std::string::npos);
    // systemctl's refusals told apart: for lack of rights 5; another (manual start refused by a
    // drop-in) 1627 with systemctl's own message, never 1722, which means no systemd.
    EXPECT_EQ(Inside({L"/usr/bin/setpriv", L"--reuid=65534", L"--regid=65534", L"--clear-groups",
                      exe, L"/START"}),
              AsExitCode(5));
    const std::string dropIn = "/run/systemd/system/KeltraServiceFramework.service.d";
    Run("sh -c 'mkdir -p " + dropIn + " && printf \"[Unit]\\nRefuseManualStart=yes\\n\" >" +
        dropIn + "/refuse.conf && systemctl daemon-reload'");
    const std::wstring errors = dir + L"/errors";
    EXPECT_EQ(Inside({L"/bin/sh", L"-c", L"\"$0\" /START 2>\"$1\"", exe, errors}),
              AsExitCode(1627));
    EXPECT_NE(ReadFileBytes(errors).find("refuse manual start"), std::string::npos)
        << ReadFileBytes(errors);
    Run("sh -c 'rm -r " + dropIn + " && systemctl daemon-reload'");
    RunSteps(parts[1]);  // /START has returned after READY=1, which comes with this text
    EXPECT_EQ(Run("systemctl show -p StatusText KeltraServiceFramework"),
              "StatusText=Running: 3 plug-ins loaded\n");
    // The dumps' directory: the service's alone, whatever systemd's default for it.
    EXPECT_EQ(Run("stat -c %a /var/lib/KeltraServiceFramework"), "700\n");
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

// /INSTALL PATH: systemd runs exactly PATH, or the command fails with 87 and nothing is
// installed. systemd's own reading of the unit is the judge; one boot for the whole table.
TEST_F(Systemd, InstallRunsExactlyThePathOrNothing) {
    const struct {
        std::string path;
        bool installed;
    } table[] = {
        {"/opt/k x/svc", true},
        {"/opt/k$x/$$svc", true},  // no variables in the program's name
        {"/opt/k%n/svc%%", true},  // nor specifiers
        {"/opt/k\"x/svc", false},
        {"/opt/k\\x/svc", false},
        {"/opt/kx/svc\\", false},
        {"/opt/k\tx/svc", false},
        {"/opt/k\nExecStartPre=/bin/touch /k-owned\n/svc", false},
        {"/opt/k\xE9/svc", false},  // Latin-1, not UTF-8
        {"C:\\x", false},
        {"opt/svc", false},
    };
    const std::wstring pathFile = dir + L"/path", errors = dir + L"/errors";
    for (const auto& row : table) {
        std::ofstream(platform::WideToUtf8(pathFile), std::ios::binary) << row.path;
        const std::uint32_t code =
            Inside({L"/bin/sh", L"-c", L"\"$0\" /INSTALL \"$(cat \"$1\")\" 2>\"$2\"", exe, pathFile,
                    errors});
        const std::string shown =
            Run("systemctl show -p LoadState -p ExecStart KeltraServiceFramework");
        if (row.installed) {
            EXPECT_EQ(code, 0u) << row.path << ReadFileBytes(errors);
            EXPECT_EQ(shown.rfind("ExecStart={ path=" + row.path + " ; argv[]=" + row.path +
                                      " ; ignore_errors=no ;",
                                  0),
                      0u)
                << shown;
            EXPECT_EQ(Command({L"/UNINSTALL"}), 0u);
        } else {
            EXPECT_EQ(code, 87u) << row.path;
            EXPECT_NE(ReadFileBytes(errors).find("/INSTALL: "), std::string::npos) << row.path;
            EXPECT_EQ(shown, "LoadState=not-found\n") << row.path;
        }
    }
    EXPECT_EQ(Run("ls /etc/systemd/system/ /k-owned 2>&1 | grep -c -e Keltra -e keltra-unit "
                  "-e '^/k-owned'"),
              "0\n");
}

// /STATUS under systemd; the record is root's alone.
TEST_F(Systemd, StatusShowsTheRunningHostOnly) {
    recorders[1] = CopyPlugin(L"tp_not_alive", dir, L"dead");
    WriteKeys(recorders);
    ASSERT_EQ(0u, Inside({L"/bin/cp", dir + L"/registry.reg", L"/etc/keltra/registry.reg"}));
    const std::string record = "/var/lib/KeltraServiceFramework/KeltraServiceFramework.status";
    ExpectStatusLifecycle(
        [&](const std::wstring& args, std::string* shown) {
            const std::wstring out = dir + L"/shown";  // no state directory of its own
            const std::uint32_t code =
                Inside({L"/usr/bin/env", L"-u", L"STATE_DIRECTORY", L"/bin/sh", L"-c",
                        L"\"$0\" /STATUS " + args + L" >\"$1\"", exe, out});
            *shown = ReadFileBytes(out);
            return code;
        },
        exe,
        [&] {
            EXPECT_EQ(Run("stat -c %a:%U " + record), "600:root\n");
            Run("sed -i 's/^process\\t.*/process\\t1/' " + record);
        },
        [&] { return !Run("ls /var/lib/KeltraServiceFramework").empty(); });
}

TEST_F(Systemd, StatusPollIsBoundedAndSeesAStoppedService) {
    ASSERT_EQ(Command({L"/INSTALL", exe}), 0u);
    const std::wstring self = dir + L"/poll_test";  // the build may be out of the sandbox's sight
    std::filesystem::copy_file(platform::GetExecutablePath(), self);
    EXPECT_EQ(Inside({self, L"--keltra-child=poll"}), 0u);
    EXPECT_EQ(Command({L"/UNINSTALL"}), 0u);
}

}  // namespace
}  // namespace keltra::test
