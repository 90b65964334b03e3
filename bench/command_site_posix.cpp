// The command site on POSIX: a real systemd booted in a sandbox by scripts/systemd-sandbox.sh,
// commands entered into its namespaces with nsenter.
#include <sys/wait.h>

#include <cstdio>

#include "bench/command_site.h"
#include "platform/handle.h"
#include "platform/process.h"
#include "platform/wait.h"
#include "text/text.h"

namespace bench {
namespace {

// Runs the sandbox script with a shell's quoting done by the caller; its output and status.
std::string Script(const std::string& args, int* status) {
    std::string out;
    FILE* pipe = ::popen(("'" KELTRA_SANDBOX_SCRIPT "' " + args + " 2>&1").c_str(), "r");
    char buffer[512];
    while (pipe != nullptr && std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
        out += buffer;
    }
    const int raw = pipe == nullptr ? -1 : ::pclose(pipe);
    *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return out;
}

class SandboxSite : public CommandSite {
  public:
    explicit SandboxSite(std::string pid) : m_pid(std::move(pid)) {}
    ~SandboxSite() override {
        int status = 0;
        (void)Script("stop " + m_pid, &status);
    }

    platform::Handle Start(const std::wstring& program,
                           const std::vector<std::wstring>& args) override {
        std::vector<std::wstring> command = {
            L"-t", platform::Utf8ToWide(m_pid), L"-m", L"-p", L"-r", L"-w", program};
        command.insert(command.end(), args.begin(), args.end());
        return platform::StartProcess(L"/usr/bin/nsenter", command);
    }

    bool UseRegistryFile(const std::wstring& path) override {
        platform::UniqueHandle child(
            Start(L"/bin/sh",
                  {L"-c", L"mkdir -p /etc/keltra && cp \"$0\" /etc/keltra/registry.reg", path}));
        std::uint32_t code = 1;
        return child &&
               platform::WaitForSingleObject(child.Get(), 60000) == platform::kWaitObject0 &&
               platform::GetExitCodeProcess(child.Get(), &code) && code == 0;
    }

  private:
    std::string m_pid;
};

}  // namespace

std::unique_ptr<CommandSite> CommandSite::Open(const std::wstring& dir, std::string* why) {
    const std::string local = platform::WideToUtf8(dir);
    int status = 0;
    std::string out = Script("start '" + local + "/sandbox' --rw '" + local + "'", &status);
    if (status != 0) {
        *why = out.empty() ? "the systemd sandbox did not start" : out;
        return nullptr;
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) {
        out.pop_back();
    }
    return std::make_unique<SandboxSite>(out);
}

}  // namespace bench
