// The Windows backend's processes: CreateProcessW with a quoted command line, and the rest
// forwarded.
#include <string>
#include <vector>

#include "platform/process.h"
#include "platform/win32/windows_lean.h"

namespace platform {
namespace {

// Quotes one argument so that the C runtime's command-line parser (and CommandLineToArgvW)
// gives it back unchanged: backslashes are literal except before a quote, where they and the
// quote are escaped.
void AppendQuoted(std::wstring& commandLine, const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        commandLine += arg;
        return;
    }
    commandLine += L'"';
    for (auto it = arg.begin();; ++it) {
        std::size_t backslashes = 0;
        while (it != arg.end() && *it == L'\\') {
            ++it;
            ++backslashes;
        }
        if (it == arg.end()) {
            commandLine.append(backslashes * 2, L'\\');  // the closing quote follows
            break;
        }
        if (*it == L'"') {
            commandLine.append(backslashes * 2 + 1, L'\\');
        } else {
            commandLine.append(backslashes, L'\\');
        }
        commandLine += *it;
    }
    commandLine += L'"';
}

}  // namespace

std::wstring GetExecutablePath() {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD length =
            ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) {
            return {};
        }
        if (length < buffer.size()) {
            return std::wstring(buffer.data(), length);
        }
        buffer.resize(buffer.size() * 2);  // cut: the path is longer than the buffer
    }
}

Handle StartProcess(const std::wstring& program, const std::vector<std::wstring>& args) {
    // The program name is parsed by other rules (no escapes), and a path holds no quote:
    // quoting it whole is enough.
    std::wstring commandLine = L"\"" + program + L"\"";
    for (const std::wstring& arg : args) {
        commandLine += L' ';
        AppendQuoted(commandLine, arg);
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    // Inheriting handles passes the standard handles on, as a POSIX child inherits its
    // descriptors.
    if (!::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                          nullptr, &startup, &info)) {
        return nullptr;
    }
    ::CloseHandle(info.hThread);
    return info.hProcess;
}

bool GetExitCodeProcess(Handle process, std::uint32_t* exitCode) noexcept {
    DWORD code = 0;
    if (exitCode == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (!::GetExitCodeProcess(process, &code)) {
        return false;
    }
    *exitCode = code;
    return true;
}

bool TerminateProcess(Handle process, std::uint32_t exitCode) noexcept {
    return ::TerminateProcess(process, exitCode) != FALSE;
}

std::wstring GetEnvironmentVariable(const wchar_t* name) {
    if (name == nullptr) {
        return {};
    }
    std::wstring value;
    DWORD size = ::GetEnvironmentVariableW(name, nullptr, 0);
    while (size != 0) {
        value.resize(size);
        const DWORD length = ::GetEnvironmentVariableW(name, value.data(), size);
        if (length < size) {
            value.resize(length);
            return value;
        }
        size = length;  // grew in between: try again with the new size
    }
    return {};
}

bool SetEnvironmentVariable(const wchar_t* name, const wchar_t* value) noexcept {
    return ::SetEnvironmentVariableW(name, value) != FALSE;
}

}  // namespace platform
