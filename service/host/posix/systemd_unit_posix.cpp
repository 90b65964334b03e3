// The systemd unit of a service: its text, and writing it in one step.
#include "service/host/posix/systemd_unit.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "platform/error.h"
#include "text/text.h"

namespace platform::posix {

std::string ProgramOf(const wchar_t* binaryPath) {
    std::wstring path = binaryPath;
    if (path.size() >= 2 && path.front() == L'"' && path.back() == L'"') {
        path = path.substr(1, path.size() - 2);
    }
    return WideToUtf8(path);
}

namespace {

// ExecStart= takes words: the program goes in double quotes, where systemd decodes C escapes
// (so backslashes and quotes are escaped), with % doubled (specifiers). $ stays as it is:
// systemd substitutes variables in arguments, never in the program's name.
std::string QuoteExec(const std::string& program) {
    std::string out = "\"";
    for (const char c : program) {
        if (c == '\\' || c == '"') {
            out += '\\';
        } else if (c == '%') {
            out += '%';
        }
        out += c;
    }
    return out + "\"";
}

// The program's path as systemd keeps it: repeated slashes and "." levels taken out.
std::string SimplifiedPath(const std::string& path) {
    std::string out;
    std::size_t at = 0;
    while (at < path.size()) {
        const std::size_t next = std::min(path.find('/', at), path.size());
        const std::string level = path.substr(at, next - at);
        if (!level.empty() && level != ".") {
            out += "/" + level;
        }
        at = next + 1;
    }
    return out.empty() || path.back() != '/' ? out : out + "/";
}

// A time span for a unit line, in systemd's units.
std::string Span(std::uint64_t ms) {
    return ms % 1000 == 0 ? std::to_string(ms / 1000) + "s" : std::to_string(ms) + "ms";
}

}  // namespace

std::string UnitValue(const wchar_t* text) {
    std::string out;
    for (const char c : WideToUtf8(text != nullptr ? text : L"")) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            out += ' ';
        } else {
            out += c;
            if (c == '%') {
                out += c;
            }
        }
    }
    return out;
}

std::string UnitText(const ServiceConfig& config) {
    const std::string name = WideToUtf8(config.name);
    std::string text = "# Written by " + name + " /INSTALL; removed by /UNINSTALL.\n[Unit]\n";
    text += "Description=" +
            UnitValue(config.displayName != nullptr ? config.displayName : config.name) + "\n";
    // Description= holds the display name, the title systemctl shows; the longer text is kept
    // under a key systemd ignores (X- prefix).
    if (config.description != nullptr && config.description[0] != L'\0') {
        text += "X-Description=" + UnitValue(config.description) + "\n";
    }
    const ServiceRecovery recovery =
        config.recovery != nullptr ? *config.recovery : ServiceRecovery{};
    if (recovery.restart) {
        // A crash loop ends here: past the limit the unit stays failed.
        text += "StartLimitIntervalSec=" + Span(recovery.startLimitIntervalS * 1000ull) +
                "\nStartLimitBurst=" + std::to_string(recovery.startLimitBurst) + "\n";
    }
    text += "\n[Service]\nType=notify\nNotifyAccess=main\n";
    text += recovery.restart
                ? "Restart=on-failure\nRestartSec=" + Span(recovery.restartDelaysMs[0]) + "\n"
                : "Restart=no\n";
    text += "ExecStart=" + QuoteExec(ProgramOf(config.binaryPath)) + "\n";
    text += "ExecReload=/bin/kill -HUP $MAINPID\n";
    // Crash dumps hold process memory: their directory is the owner's alone.
    text += "RuntimeDirectory=" + name + "\nStateDirectory=" + name + "\nStateDirectoryMode=0700\n";
    // The host extends these while it waits within its own bounds (EXTEND_TIMEOUT_USEC): they
    // only end a host that stops telling systemd how long its next step may take.
    text +=
        "KillMode=mixed\nTimeoutStartSec=120\nTimeoutStopSec=120\n\n[Install]\n"
        "WantedBy=multi-user.target\n";
    return text;
}

ErrorCode WriteUnitFile(const std::string& path, const std::string& text, bool replace) {
    std::string temporary = path.substr(0, path.rfind('/') + 1) + ".keltra-unit-XXXXXX";
    const int fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        return ErrorFromErrno(errno);
    }
    const bool written = fchmod(fd, 0644) == 0 &&
                         write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
                         fsync(fd) == 0;
    ErrorCode error = written ? 0 : ErrorFromErrno(errno);
    close(fd);
    if (error == 0 && (replace ? rename(temporary.c_str(), path.c_str())
                               : link(temporary.c_str(), path.c_str())) != 0) {
        error = errno == EEXIST ? ErrorCode{kErrorServiceExists} : ErrorFromErrno(errno);
    }
    unlink(temporary.c_str());  // after a rename: nothing there
    return error;
}

std::string ExecStartShownFor(const std::string& program) {
    return "{ path=" + SimplifiedPath(program) + " ; argv[]=" + program + " ; ignore_errors=";
}

}  // namespace platform::posix
