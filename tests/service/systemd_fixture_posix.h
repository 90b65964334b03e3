// A real systemd for the service tests: scripts/systemd-sandbox.sh boots one as PID 1 of
// private namespaces over a throw-away overlay of /, with the test's directory bound
// read-write inside; the fixture runs commands and the shipped executable in it. Skipped, with
// the reason, where the namespaces cannot be made (not root).
#pragma once

#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/service/service_test_support.h"

namespace keltra::test {

inline const std::string kSandboxScript = KELTRA_SOURCE_DIR "/scripts/systemd-sandbox.sh";

/// Runs the sandbox script with args (quoted by the caller); its output, and its exit status.
inline std::string Sandbox(const std::string& args, int* status = nullptr) {
    std::string out;
    FILE* pipe = popen(("'" + kSandboxScript + "' " + args + " 2>&1").c_str(), "r");
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

/// HostFixture's configuration, and a systemd booted for the test with the test's directory
/// bound read-write and its registry file as /etc/keltra/registry.reg.
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
        return RunExe(command, 150000, platform::Utf8ToWide(kSandboxScript));
    }
    std::uint32_t Command(const std::vector<std::wstring>& args) override {
        std::vector<std::wstring> command{exe};
        command.insert(command.end(), args.begin(), args.end());
        return Inside(command);
    }
    std::string Run(const std::string& command) { return Sandbox("run " + pid + " " + command); }

    /// One property of the unit as systemd shows it.
    std::string Property(const std::string& name) {
        std::string shown = Run("systemctl show -p " + name + " --value KeltraServiceFramework");
        return shown.empty() ? shown : shown.substr(0, shown.size() - 1);
    }
    /// Polls the unit until ready() holds (the manager offers no event for it); false after
    /// boundMs.
    bool WaitUntil(const std::function<bool()>& ready, int boundMs = 60000) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
        while (!ready()) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return true;
    }
    /// The registry the test wrote, as the service reads it inside.
    void CopyRegistryIn() {
        ASSERT_EQ(0u, Inside({L"/bin/cp", dir + L"/registry.reg", L"/etc/keltra/registry.reg"}));
    }
    /// The crash dumps in the service's state directory.
    int Dumps() {
        const std::string n =
            Run("sh -c \"ls /var/lib/KeltraServiceFramework 2>/dev/null | "
                "grep -c '^KeltraServicePlugin[.]exe_crashdump_.*[.]dmp$'\"");
        return std::atoi(n.c_str());
    }
    static int Count(const std::string& text, const std::string& what) {
        int n = 0;
        for (std::size_t at = 0; (at = text.find(what, at)) != std::string::npos; ++at) {
            ++n;
        }
        return n;
    }

    std::string pid;
};

}  // namespace keltra::test
