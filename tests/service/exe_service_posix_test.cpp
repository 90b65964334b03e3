// The shipped executable and systemd: without a running systemd every command that needs it
// fails with 1722 (never success). On a real systemd booted by scripts/systemd-sandbox.sh (root
// only) the whole lifecycle runs with real plug-ins: the unit it writes passes systemd-analyze
// verify and is read whole by one reload, /START returns once READY=1 came (Type=notify), the
// status text shows, controls through the channel and reload (param-change) reach every
// plug-in, a reload re-reads the log level first, the lifecycle lines reach the journal under
// the unit with their priority, and the unit ends with status 0. /INSTALL paths systemd would read
// as another program are refused with nothing installed.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <thread>

#include "platform/error.h"
#include "resources/strings.h"
#include "service/service_admin.h"
#include "tests/service/systemd_fixture_posix.h"

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

TEST_F(Systemd, InstallStartControlReloadStopUninstall) {
    // A third library without the deletion hook: /UNINSTALL still succeeds.
    WriteKeys({recorders[0], recorders[1], CopyPlugin(L"tp_no_ondelete", dir, L"no_hook")});
    SetLogLevel(3);  // W: the control handler's D lines are not written until the reload
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
    SetLogLevel(1);
    ASSERT_EQ(0u, Inside({L"/bin/cp", dir + L"/registry.reg", L"/etc/keltra/registry.reg"}));
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
    // The lifecycle in the journal, filed under the unit, at information priority (journald
    // takes entries in the background: polled, with a bound).
    const std::string journal = "journalctl --no-pager -o cat -u KeltraServiceFramework -p ";
    const std::string lifecycle =
        "Started with 3 plug-ins.\nLog settings re-read: nothing "
        "changed\nLog settings re-read: loglevel 3 -> 1\nStopped; "
        "plug-ins unloaded.\n";
    std::string info;
    const std::string ours = " | grep -E '^(Started with|Log settings|Stopped;)'";
    for (int i = 0; i < 100 && (info = Run(journal + "6..6" + ours)) != lifecycle; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_EQ(info, lifecycle) << Run("journalctl --no-pager -u KeltraServiceFramework");
    EXPECT_EQ(Run(journal + "0..5" + ours + " | wc -l"), "0\n");
    RunSteps({parts[2].begin() + 2, parts[2].end()});
    ExpectLifecycleSeen("Handler 128 0\nHandler 200 0\nHandler 6 0\nHandler 4 0\nHandler 6 0\n");
    ExpectLevelRaisedByParamChange();
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

// Recovery: a plug-in that crashes the host on a control (exit code 1, a dump written) is
// followed by a new main process of the same unit that loads the plug-ins again, after the
// unit's restart delay; and the dump directory never holds more than the kept count (2 here),
// pruned at each start.
TEST_F(Systemd, ACrashedHostIsRestartedAndKeepsFewDumps) {
    SetRegistryValue(L"Software\\Keltra\\Brismont Settings\\CrashDump", L"keep",
                     platform::kRegDword, std::string("\2\0\0\0", 4));
    CopyRegistryIn();
    ASSERT_EQ(Command({L"/INSTALL", exe}), 0u);
    const std::pair<const char*, const char*> unit[] = {{"Restart", "on-failure"},
                                                        {"RestartUSec", "5s"},
                                                        {"StartLimitBurst", "10"},
                                                        {"StartLimitIntervalUSec", "1h"},
                                                        {"TimeoutStopUSec", "2min"}};
    for (const auto& [name, value] : unit) {
        EXPECT_EQ(Property(name), value) << name;
    }
    ASSERT_EQ(Command({L"/START"}), 0u);
    std::string firstPid = Property("MainPID");
    for (int crash = 1; crash <= 3; ++crash) {
        (void)Command({L"/CONTROL", L"201"});  // the recorder faults on a thread of its own
        ASSERT_TRUE(WaitUntil([&] {
            return Property("NRestarts") == std::to_string(crash) &&
                   Property("ActiveState") == "active";
        })) << "no restart after crash "
            << crash;
        const std::string main = Property("MainPID");
        EXPECT_NE(main, firstPid) << "a new main process";
        firstPid = main;
        const int dumps = Dumps();
        EXPECT_TRUE(dumps >= 1 && dumps <= 2) << dumps << " dumps after crash " << crash;
    }
    const std::string journal = Run("journalctl --no-pager -u KeltraServiceFramework");
    EXPECT_EQ(Count(journal, "code=exited, status=1/FAILURE"), 3) << journal;
    for (const std::wstring& path : recorders) {
        EXPECT_EQ(Count(Calls(path), "Main 1\n"), 4) << "loaded at the start and each restart";
    }
    EXPECT_EQ(Command({L"/STOP"}), 0u);
    EXPECT_EQ(Command({L"/UNINSTALL"}), 0u);
}

// /NORESTART: the unit that crashed stays failed, past the delay a restart would come after.
TEST_F(Systemd, ACrashedHostInstalledWithNoRestartStaysFailed) {
    ASSERT_EQ(Command({L"/INSTALL", exe, L"/NORESTART"}), 0u);
    EXPECT_EQ(Property("Restart"), "no");
    EXPECT_EQ(Command({L"/INSTALL", exe, L"/NORESTART", L"x"}), 87u) << "an unknown word";
    ASSERT_EQ(Command({L"/START"}), 0u);
    (void)Command({L"/CONTROL", L"201"});
    ASSERT_TRUE(WaitUntil([&] { return Property("ActiveState") == "failed"; }));
    EXPECT_FALSE(WaitUntil([&] { return Property("ActiveState") != "failed"; }, 7000))
        << "restarted after " << Property("RestartUSec");
    EXPECT_EQ(Property("NRestarts"), "0");
    EXPECT_EQ(Property("ExecMainStatus"), "1");
    EXPECT_EQ(Dumps(), 1);
    EXPECT_EQ(Command({L"/UNINSTALL"}), 0u);
}

// Two plug-ins hung in "Handler" listed before one that behaves, under a unit whose stop
// timeout (2 s here) is shorter than the host's own bounds (2000 ms per thread, 1000 ms for
// the broadcast): the host extends systemd's timeout before each of its waits, so the stop
// ends after those bounds with success, and the behaving plug-in got "Unload". Once through
// systemctl, once through /STOP.
TEST_F(Systemd, AStopWithHungPlugInsEndsWithinTheHostsBounds) {
    WriteKeys({CopyPlugin(L"tp_hang_handler", dir, L"hung_a"),
               CopyPlugin(L"tp_hang_handler", dir, L"hung_b"), recorders[0]});
    CopyRegistryIn();
    ASSERT_EQ(Command({L"/INSTALL", exe}), 0u);
    // The test service (the same service with the bounds shortened) in the unit /INSTALL wrote.
    const std::wstring service = dir + L"/test_service";
    std::filesystem::copy_file(ExePath(KELTRA_TEST_SERVICE_EXE), service);
    const std::wstring dropIn = dir + L"/bounds.conf";
    std::ofstream(platform::WideToUtf8(dropIn))
        << "[Service]\nExecStart=\nExecStart=\"" << platform::WideToUtf8(service)
        << "\" KeltraServiceFramework \"Software\\\\Keltra\\\\Brismont "
           "Settings\\\\SvcPlugins\" 2000 none\nTimeoutStopSec=2s\n";
    const std::wstring dropInDir = L"/run/systemd/system/KeltraServiceFramework.service.d";
    ASSERT_EQ(0u, Inside({L"/bin/sh", L"-c",
                          L"mkdir -p \"$0\" && cp \"$1\" \"$0\" && systemctl daemon-reload",
                          dropInDir, dropIn}));
    for (int run = 1; run <= 2; ++run) {
        ASSERT_EQ(Command({L"/START"}), 0u);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(run == 1 ? Inside({L"/usr/bin/systemctl", L"stop", L"KeltraServiceFramework"})
                           : Command({L"/STOP"}),
                  0u);
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_GE(took, std::chrono::milliseconds(5000)) << "the broadcast and two thread bounds";
        EXPECT_LT(took, std::chrono::seconds(60));
        EXPECT_EQ(Property("Result"), "success")
            << Run("journalctl --no-pager -u KeltraServiceFramework");
        EXPECT_EQ(Property("ExecMainStatus"), "0");
        EXPECT_EQ(Count(Calls(recorders[0]), "Unload\n"), run);
    }
    EXPECT_EQ(Command({L"/UNINSTALL"}), 0u);
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
