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

/// Starts program (a full path: no search) with the given arguments (argv[1..], passed
/// unchanged: Windows gets a command line quoted for the C runtime's parser) and returns its
/// handle: waitable (signalled once the child has ended), and closed with CloseHandle, which
/// leaves the child running. The child inherits the environment and the inheritable handles
/// (POSIX: the descriptors without close-on-exec), standard output and error among them.
/// Null on failure with the last error set (2 when the program does not exist). On POSIX a
/// watcher thread per child reaps it as soon as it ends, so no zombie is left, waited or not.
[[nodiscard]] Handle StartProcess(const std::wstring& program,
                                  const std::vector<std::wstring>& args);

/// The child's exit code, or kStillActive (259) while it runs. On POSIX an exit code has 8
/// bits (0..255) and a child ended by a signal reports 128 + the signal number, unless
/// TerminateProcess ended it.
bool GetExitCodeProcess(Handle process, std::uint32_t* exitCode) noexcept;

/// Ends the child at once; its exit code becomes the one given, on both platforms
/// (TerminateProcess; SIGKILL on POSIX). False with the last error 5 once the child has ended.
bool TerminateProcess(Handle process, std::uint32_t exitCode) noexcept;

/// Reads an environment variable; empty when unset.
[[nodiscard]] std::wstring GetEnvironmentVariable(const wchar_t* name);

/// Sets (or, with a null value, removes) an environment variable of this process; children
/// started afterwards inherit it. False with 87 for a null or empty name. On POSIX these two
/// calls are serialised with each other, not with getenv/setenv called elsewhere.
bool SetEnvironmentVariable(const wchar_t* name, const wchar_t* value) noexcept;

}  // namespace platform
