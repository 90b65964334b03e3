// The administration commands. CService's own (ExecArguments, Install, Uninstall, Start, Stop
// and BuildBinaryPath, declared with the class in service/service.h) are implemented in
// service_admin.cpp beside the helpers declared here, which the foreground host and the tests
// use too: command words, the bounded status poll, the control command and the messages for a
// console.
//
// Threads: the calling thread of an administering process. Failure: 32-bit Windows codes.
#pragma once

#include <cstdint>
#include <string>

#include "service/host/service_control.h"

namespace Stoneleaf {

/// How long "/START" and "/STOP" wait without progress where the service gives no wait hint:
/// before its first report (the host loads its plug-ins, each allowed 32 s to get ready,
/// before it reports start-pending), with a wait hint of 0, or in a state that is not pending.
inline constexpr std::uint32_t kServicePollBoundMs = 120000;
/// The least and most sleep between two status queries (the service's wait hint, clamped).
inline constexpr std::uint32_t kServicePollMinSleepMs = 50;
inline constexpr std::uint32_t kServicePollMaxSleepMs = 500;

/// True when arg is the command word (e.g. L"/STOP"): its ASCII letters are folded to upper
/// case, every other character must match, and the whole word must match.
[[nodiscard]] bool IsCommandWord(const wchar_t* arg, const wchar_t* word) noexcept;

/// Polls the service's status until it reaches target, sleeping the service's wait hint
/// (clamped to 50..500 ms) between queries, for as long as the service makes progress (a new
/// state or a new checkpoint). 0 when reached; 1460 when a query fails, or when no progress
/// came within the wait hint of a pending state the service reported (checkpoint not 0), or
/// within silentMs where the service gives no hint (before its first report, a hint of 0, a
/// state that is not pending). While waiting for kServiceRunning, a service found stopped ends
/// the wait at once with its exit code (1062 when it reported none).
[[nodiscard]] std::uint32_t WaitForServiceState(platform::ServiceHandle service,
                                                std::uint32_t target,
                                                std::uint32_t silentMs) noexcept;

/// Reads a whole decimal number of at most 32 bits: digits only, no sign, no blank; leading
/// zeros do not make it octal. False, *value untouched, for anything else.
[[nodiscard]] bool ParseDecimal(const wchar_t* text, std::uint32_t* value) noexcept;

/// Reads a control code for "/CONTROL": a decimal number (leading zeros do not make it octal)
/// or one of the words INTERROGATE and PARAMCHANGE (any case). Only 4, 6 and 128..255 are
/// taken.
[[nodiscard]] bool ParseControlCode(const wchar_t* text, std::uint32_t* control) noexcept;

/// Sends one control to the running service named serviceName and returns its result: 0, or
/// the service manager's error (1060 not installed, 1062 not running), or the non-zero result
/// of the service's handler.
[[nodiscard]] std::uint32_t ControlRunningService(const wchar_t* serviceName,
                                                  std::uint32_t control) noexcept;

/// The usage text of the command line (UTF-8), for standard error.
[[nodiscard]] std::string UsageText();

/// A short explanation of the codes the commands return, for a console ("" when none).
[[nodiscard]] const char* DescribeAdminError(std::uint32_t code) noexcept;

}  // namespace Stoneleaf
