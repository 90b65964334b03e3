// Processes: the executable's own path, child processes for tools and tests, environment.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/types.h"

namespace platform {

/// The full path of the running executable.
[[nodiscard]] std::wstring GetExecutablePath();

/// The directory of the running executable, without a trailing separator.
[[nodiscard]] std::wstring GetExecutableDirectory();

/// Starts program with the given arguments (argv[1..], passed unchanged) and returns its
/// handle: waitable (signalled once the child has ended), and closed with CloseHandle. The
/// child inherits standard output and error. Null on failure with the last error set.
[[nodiscard]] Handle StartProcess(const std::wstring& program, const std::vector<std::wstring>& args);

/// The child's exit code, or kStillActive (259) while it runs. On POSIX a child ended by a
/// signal reports 128 + the signal number.
bool GetExitCodeProcess(Handle process, std::uint32_t* exitCode) noexcept;

/// Ends the child at once with the exit code (TerminateProcess; SIGKILL on POSIX).
bool TerminateProcess(Handle process, std::uint32_t exitCode) noexcept;

/// Reads an environment variable; empty when unset.
[[nodiscard]] std::wstring GetEnvironmentVariable(const wchar_t* name);

/// Sets (or, with a null value, removes) an environment variable of this process.
bool SetEnvironmentVariable(const wchar_t* name, const wchar_t* value) noexcept;

}  // namespace platform
