// The test service as a unit of Type=notify under a real systemd (scripts/systemd-sandbox.sh:
// PID 1 of private namespaces over a throw-away overlay of /): start waits for READY=1, the
// status text shows, a control through the channel, reload and stop reach every plug-in, and
// the unit ends with status 0. Skips, saying why, where the namespaces cannot be made.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "tests/service/service_test_fixture.h"

namespace keltra::test {
namespace {

const std::string kScript = KELTRA_SOURCE_DIR "/scripts/systemd-sandbox.sh";

// Runs a shell command; its output, and its exit status in *status.
std::string Shell(const std::string& command, int* status = nullptr) {
    std::string out;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
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

TEST(ServiceSystemdTest, NotifyUnitUnderARealSystemd) {
    PluginSet plugins{L"tp_good", L"tp_good"};
    const std::string bin = platform::WideToUtf8(platform::GetExecutableDirectory());
    const std::string dir = platform::WideToUtf8(MakeTempDirectory(L"systemd"));
    int status = 0;
    std::string pid = Shell(kScript + " start " + dir + "/base " + KELTRA_BINARY_DIR, &status);
    if (status == 77) {
        GTEST_SKIP() << pid;
    }
    ASSERT_EQ(status, 0) << pid;
    pid.pop_back();
    struct Stop {
        std::string pid;
        ~Stop() { Shell(kScript + " stop " + pid); }
    } stop{pid};
    std::ofstream(dir + "/keltra-test.service")
        << "[Service]\nType=notify\nRuntimeDirectory=keltra-test\nEnvironment=KELTRA_REGISTRY_FILE="
        << platform::WideToUtf8(platform::GetEnvironmentVariable(L"KELTRA_REGISTRY_FILE"))
        << "\nExecStart=" << bin << "/test_service keltra-test \""
        << platform::WideToUtf8(plugins.Key()) << "\" /run/report\n"
        << "ExecReload=/bin/kill -HUP $MAINPID\n";
    const std::string inside = kScript + " run " + pid + " ";
    const std::pair<std::string, std::string> steps[] = {
        // command, output ("*": any)
        {"systemctl link " + dir + "/keltra-test.service", "*"},
        {"timeout 60 systemctl start keltra-test", ""},  // returns once READY=1 came
        {"systemctl show -p StatusText keltra-test", "StatusText=Running: 2 plug-ins loaded\n"},
        {bin + "/test_control_client keltra-test 200", "0\n"},
        {"systemctl reload keltra-test", ""},
        {"timeout 60 systemctl stop keltra-test", ""},
        {"systemctl show -p Result -p ExecMainStatus keltra-test",
         "Result=success\nExecMainStatus=0\n"},
        {"cat /run/report >" + dir + "/report", ""}};
    for (const auto& [command, expected] : steps) {
        const std::string out = Shell(inside + command, &status);
        EXPECT_EQ(status, 0) << command << "\n" << out;
        EXPECT_TRUE(expected == "*" || out == expected)
            << command << "\n"
            << out << Shell(inside + "journalctl --no-pager -u keltra-test");
    }
    const RunReport run = ReadRunReport(platform::Utf8ToWide(dir + "/report"));
    ASSERT_EQ(run.plugins.size(), 2u);
    for (const auto& p : run.plugins) {
        EXPECT_EQ(Controls(Calls(*p)), (std::vector<std::uint32_t>{200, 6, 1}));
        EXPECT_EQ(p->unloadCalls.load(), 1u);
    }
}

}  // namespace
}  // namespace keltra::test
