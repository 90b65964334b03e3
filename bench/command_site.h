// Where exe_bench runs the shipped executable's commands: beside a service manager that the
// administration commands (/INSTALL, /START, /STOP, /UNINSTALL) can use. Windows (and Wine): this
// machine, with its service manager. POSIX: a real systemd booted for the benchmark as PID 1 of
// private namespaces over a throw-away overlay of / (scripts/systemd-sandbox.sh; root only).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/types.h"

namespace bench {

class CommandSite {
  public:
    /// A site whose commands see dir (read and written) at its own path. Null, with the reason
    /// in *why, when none can be had (POSIX: not root, no systemd, no namespaces).
    static std::unique_ptr<CommandSite> Open(const std::wstring& dir, std::string* why);
    /// Ends the site (POSIX: the sandbox's systemd, and everything inside with it).
    virtual ~CommandSite() = default;

    /// Starts program with args at the site; the handle is signalled once it has ended, with
    /// the program's exit code. Null on failure. POSIX: through nsenter, so a command costs
    /// that entry too (the same for every command the benchmark compares).
    [[nodiscard]] virtual platform::Handle Start(const std::wstring& program,
                                                 const std::vector<std::wstring>& args) = 0;
    /// Makes the registry file at path the one the installed service reads. True on success.
    virtual bool UseRegistryFile(const std::wstring& path) = 0;
};

}  // namespace bench
